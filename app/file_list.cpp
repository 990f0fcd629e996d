#include "app/file_list.h"

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/drop_receiver.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr int kMarkColumn = 0, kNameColumn = 1, kSizeColumn = 2;
constexpr int kPathRole = Qt::UserRole;       // on the name column: the path's bytes
constexpr int kBytesRole = Qt::UserRole;      // on the size column: the byte count
constexpr int kRecursiveRole = Qt::UserRole;  // on the mark column: the include-subfolders flag
constexpr int64_t kMegabyte = 1048576;
// The application's compilation capacities (every list job uses them).
constexpr int kListMaxFiles = 600000;
constexpr int kListMaxDirs = 20000;

const QColor kSkyBlue(135, 206, 235);

// The path option: a click ticks a clear or grayed box and clears a ticked
// one; the grayed state is only ever set from the settings file.
class TPathCheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  void nextCheckState() override { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }
};

// Cells with grid lines on their right and bottom edges.
class TGridDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    painter->save();
    painter->setPen(option.palette.color(QPalette::Midlight));
    painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
    painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
    painter->restore();
  }
};

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t RoundedMegabytes(int64_t bytes) { return (bytes + kMegabyte / 2) / kMegabyte; }

}  // namespace

// ---- TFillMeter ------------------------------------------------------------

TFillMeter::TFillMeter(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TFillMeter::SetRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = maximum;
  SetValue(value_);
}

void TFillMeter::SetValue(int64_t value) {
  if (maximum_ < minimum_) {
    value_ = 0;  // no range: nothing to show
  } else {
    value_ = static_cast<int>(std::clamp<int64_t>(value, minimum_, maximum_));
  }
  update();
}

int TFillMeter::LitSegments() const {
  if (maximum_ < minimum_) return 0;
  if (maximum_ == minimum_) return value_ == maximum_ ? SegmentCount() : 0;
  const double fraction = double(value_ - minimum_) / double(maximum_ - minimum_);
  return static_cast<int>(std::lround(fraction * SegmentCount()));
}

QSize TFillMeter::sizeHint() const { return {SegmentCount() * 5 + 12, 20}; }

void TFillMeter::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect frame = rect().adjusted(0, 0, -1, -1);
  painter.fillRect(frame, Qt::white);
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(frame);
  // The segments: 38, a wider gap, then the last 10.
  const QRect inner = frame.adjusted(3, 3, -2, -2);
  const int gap = 1, group_gap = 4;
  const double step = double(inner.width() - group_gap + gap) / SegmentCount();
  const int lit = LitSegments();
  for (int i = 0; i < lit; ++i) {
    const int left = inner.left() + static_cast<int>(i * step) + (i >= kMainSegments ? group_gap : 0);
    const int right = inner.left() + static_cast<int>((i + 1) * step) - gap + (i >= kMainSegments ? group_gap : 0);
    painter.fillRect(QRect(QPoint(left, inner.top()), QPoint(std::max(left, right - 1), inner.bottom())), kSkyBlue);
  }
}

// ---- TFileList -------------------------------------------------------------

TFileList::TFileList(TVeskBurner& burner, SavePathFunction save_path, QWidget* parent)
    : QWidget(parent), burner_(burner), save_path_(std::move(save_path)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);
  auto* path_row = new QWidget(this);
  BuildPathRow(path_row);
  layout->addWidget(path_row);
  BuildList();
  layout->addWidget(clBox_, 1);
  auto* fill_row = new QWidget(this);
  BuildFillRow(fill_row);
  layout->addWidget(fill_row);

  ExplorerDragDrop_ = new TExDragDrop(this);
  ExplorerDragDrop_->SetControl(clBox_);
  ExplorerDragDrop_->OnDropped = [this](TExDragDrop* sender, int count) { ExplorerDragDropDropped(sender, count); };
}

TFileList::~TFileList() { ExplorerDragDrop_->SetControl(nullptr); }

void TFileList::BuildPathRow(QWidget* row) {
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addStretch(1);
  cPathInfo_ = new TPathCheckBox(QStringLiteral("Inclure les chemins des fichiers: "), row);
  cPathInfo_->setObjectName(QStringLiteral("cPathInfo"));
  cPathInfo_->setTristate(true);
  cPathInfo_->setLayoutDirection(Qt::RightToLeft);  // the caption on the left of the box
  cPathInfo_->setStatusTip(QStringLiteral("Conserver le chemin (path) des fichiers. "));
  connect(cPathInfo_, &QCheckBox::clicked, this, [this] {
    if (save_path_) save_path_(cPathInfo_->checkState());
  });
  layout->addWidget(cPathInfo_);
  clear_button_ = new QToolButton(row);
  clear_button_->setObjectName(QStringLiteral("bClearList"));
  clear_button_->setIcon(style()->standardIcon(QStyle::SP_DialogResetButton));
  clear_button_->setAccessibleName(QStringLiteral("Vider la liste"));
  clear_button_->setStatusTip(QStringLiteral("Vider la liste.  "));
  clear_button_->setAutoRaise(true);
  connect(clear_button_, &QToolButton::clicked, this, &TFileList::Clear);
  layout->addWidget(clear_button_);
}

void TFileList::BuildList() {
  clBox_ = new QTreeWidget(this);
  clBox_->setObjectName(QStringLiteral("clBox"));
  clBox_->setStatusTip(QStringLiteral("Liste"));
  clBox_->setColumnCount(3);
  clBox_->setHeaderLabels({QStringLiteral("R"), QStringLiteral("Nom"), QStringLiteral("Taille")});
  clBox_->headerItem()->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
  clBox_->setRootIsDecorated(false);
  clBox_->setItemsExpandable(false);
  clBox_->setUniformRowHeights(true);
  clBox_->setAllColumnsShowFocus(true);
  clBox_->setSelectionMode(QAbstractItemView::SingleSelection);
  clBox_->setSelectionBehavior(QAbstractItemView::SelectRows);
  clBox_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  clBox_->setMouseTracking(true);  // hot tracking
  clBox_->setTextElideMode(Qt::ElideMiddle);
  clBox_->setItemDelegate(new TGridDelegate(clBox_));
  QHeaderView* header = clBox_->header();
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(kMarkColumnWidth);
  header->setSectionResizeMode(kMarkColumn, QHeaderView::Fixed);
  header->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
  header->setSectionResizeMode(kSizeColumn, QHeaderView::Interactive);
  header->resizeSection(kMarkColumn, kMarkColumnWidth);
  header->resizeSection(kSizeColumn, kSizeColumnMax);
  header->setSectionsMovable(false);
  connect(header, &QHeaderView::sectionResized, this, [header](int section, int, int size) {
    if (section == kSizeColumn && (size < kSizeColumnMin || size > kSizeColumnMax))
      header->resizeSection(kSizeColumn, std::clamp(size, kSizeColumnMin, kSizeColumnMax));
  });
  connect(clBox_, &QTreeWidget::itemChanged, this, &TFileList::RefuseMarkChange);
  connect(clBox_, &QTreeWidget::itemDoubleClicked, this, [this] { RemoveSelected(); });

  remove_action_ = new QAction(QStringLiteral("Enlever l'item sélectionné"), clBox_);
  remove_action_->setShortcut(QKeySequence::Delete);
  remove_action_->setShortcutContext(Qt::WidgetShortcut);
  connect(remove_action_, &QAction::triggered, this, &TFileList::RemoveSelected);
  clear_action_ = new QAction(QStringLiteral("Vider la liste"), clBox_);
  connect(clear_action_, &QAction::triggered, this, &TFileList::Clear);
  verify_action_ = new QAction(QStringLiteral("Vérifier..."), clBox_);
  verify_action_->setObjectName(QStringLiteral("Vrifier1"));
  verify_action_->setEnabled(false);  // the space check is a job of the main window
  print_action_ = new QAction(QStringLiteral("Imprimer la liste..."), clBox_);
  print_action_->setObjectName(QStringLiteral("Imprimerlaliste1"));
  auto separator = [this] {
    auto* action = new QAction(clBox_);
    action->setSeparator(true);
    return action;
  };
  clBox_->addActions({remove_action_, clear_action_, separator(), verify_action_, separator(), print_action_});
  clBox_->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TFileList::BuildFillRow(QWidget* row) {
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  fill_button_ = new QPushButton(QStringLiteral("Remplissage"), row);
  fill_button_->setObjectName(QStringLiteral("bFill"));
  fill_button_->setStatusTip(QStringLiteral("Appuyez pour vérifier l'espace vacant."));
  connect(fill_button_, &QPushButton::clicked, this, &TFileList::EstimateFill);
  layout->addWidget(fill_button_);
  meter_ = new TFillMeter(row);
  meter_->setObjectName(QStringLiteral("gFill"));
  meter_->setMinimumHeight(fill_button_->sizeHint().height() - 4);
  layout->addWidget(meter_, 1);
}

// ---- Entries ------------------------------------------------------------

QString TFileList::SizeText(int64_t bytes) {
  if (bytes == 0) return {};
  return QString::fromStdString(FormatThousands(static_cast<uint64_t>(bytes)));
}

void TFileList::AddPaths(const QStringList& paths) {
  std::vector<std::string> native;
  native.reserve(static_cast<size_t>(paths.size()));
  for (const QString& path : paths) native.push_back(QFile::encodeName(path).toStdString());
  AddNativePaths(native);
}

void TFileList::ExplorerDragDropDropped(TExDragDrop* sender, int) { AddNativePaths(sender->NativeItems()); }

void TFileList::AddNativePaths(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  // The sizes are measured now, walking each folder's whole tree; the
  // window waits for them.
  emit statusMessage(QStringLiteral("****** Calculs en cours. Veillez patienter ******"));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  for (const std::string& path : paths) AddEntry(path);
  QApplication::restoreOverrideCursor();
  emit statusMessage(QString());
  UpdateMeter();
  emit listChanged();
}

void TFileList::AddEntry(const std::string& dropped) {
  std::string path = dropped;
  const bool folder = IsDirectory(path);
  if (folder && !path.ends_with('/')) path.push_back('/');
  const int64_t bytes = burner_.FolderSize(path);

  auto* item = new QTreeWidgetItem();
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);  // neither checkable nor editable
  item->setData(kMarkColumn, kRecursiveRole, false);
  item->setText(kNameColumn, QString::fromStdString(DisplayUtf8(path)));
  item->setData(kNameColumn, kPathRole, QByteArray::fromStdString(path));
  item->setText(kSizeColumn, SizeText(bytes));
  item->setData(kSizeColumn, kBytesRole, static_cast<qlonglong>(bytes));
  item->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
  item->setData(kMarkColumn, Qt::UserRole + 1, folder);
  {
    const QSignalBlocker block(clBox_);
    if (!mark_pictures_) item->setCheckState(kMarkColumn, Qt::Unchecked);
    clBox_->addTopLevelItem(item);
  }
  if (folder && !mark_pictures_) UseMarkPictures();
  if (mark_pictures_) {
    const QSignalBlocker block(clBox_);
    item->setIcon(kMarkColumn, style()->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
  }
}

void TFileList::UseMarkPictures() {
  // From the first folder on, the mark column shows pictures instead of
  // check boxes: a folder's picture, or a file's.
  mark_pictures_ = true;
  const QSignalBlocker block(clBox_);
  for (int i = 0; i < clBox_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = clBox_->topLevelItem(i);
    item->setData(kMarkColumn, Qt::CheckStateRole, QVariant());
    const bool folder = item->data(kMarkColumn, Qt::UserRole + 1).toBool();
    item->setIcon(kMarkColumn, style()->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
  }
}

void TFileList::RefuseMarkChange(QTreeWidgetItem* item, int column) {
  if (column != kMarkColumn || mark_pictures_) return;
  const Qt::CheckState mark = item->data(kMarkColumn, kRecursiveRole).toBool() ? Qt::Checked : Qt::Unchecked;
  if (item->checkState(kMarkColumn) == mark) return;
  const QSignalBlocker block(clBox_);
  item->setCheckState(kMarkColumn, mark);
}

std::vector<TListEntry> TFileList::Entries() const {
  std::vector<TListEntry> entries;
  entries.reserve(static_cast<size_t>(clBox_->topLevelItemCount()));
  for (int i = 0; i < clBox_->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = clBox_->topLevelItem(i);
    entries.push_back({item->data(kNameColumn, kPathRole).toByteArray().toStdString(), item->text(kSizeColumn),
                       item->data(kSizeColumn, kBytesRole).toLongLong(),
                       item->data(kMarkColumn, kRecursiveRole).toBool()});
  }
  return entries;
}

int TFileList::Count() const { return clBox_->topLevelItemCount(); }

int64_t TFileList::TotalBytes() const {
  int64_t total = 0;
  for (int i = 0; i < clBox_->topLevelItemCount(); ++i)
    total += clBox_->topLevelItem(i)->data(kSizeColumn, kBytesRole).toLongLong();
  return total;
}

void TFileList::RemoveSelected() {
  const QList<QTreeWidgetItem*> selected = clBox_->selectedItems();
  if (selected.isEmpty()) return;
  delete selected.front();
  UpdateMeter();
  emit listChanged();
}

void TFileList::Clear() {
  clBox_->clear();
  // While a job runs its threads read the compilation; it is emptied when
  // the job ends.
  if (!burner_.JobRunning() && !burner_.Verifying()) burner_.ClearCompilation(kListMaxFiles, kListMaxDirs);
  UpdateMeter();
  emit listChanged();
}

// ---- Path option ------------------------------------------------------------

Qt::CheckState TFileList::PathState() const { return cPathInfo_->checkState(); }

void TFileList::SetPathState(Qt::CheckState state) { cPathInfo_->setCheckState(state); }

// ---- Fill estimate ------------------------------------------------------------

void TFileList::EstimateFill() {
  // The drive serves one caller at a time: not while a job or an erase uses it.
  if (burner_.JobRunning() || burner_.Verifying() || burner_.Erasing()) return;
  // A layout for the disc (which asks the drive what disc it holds), without
  // importing a session into the compilation, then the free blocks.
  const uint16_t session_to_import = burner_.SessionToImport;
  burner_.SessionToImport = 0;
  burner_.CalculateLayout(false, nullptr);
  burner_.SessionToImport = session_to_import;
  const int64_t free_blocks = burner_.GetFreeBlocks();
  free_mb_ = RoundedMegabytes(free_blocks * kSectorSize);
  UpdateMeter();
}

void TFileList::UpdateMeter() {
  if (!free_mb_) return;  // nothing read from the drive yet
  const int64_t free_mb = std::min<int64_t>(*free_mb_, std::numeric_limits<int>::max());
  int percent = 0;
  if (free_mb <= 0) {
    // No disc, or no room left on it: an empty meter.
    meter_->SetRange(1, 0);
  } else {
    meter_->SetRange(1, static_cast<int>(free_mb));
    meter_->SetValue(RoundedMegabytes(TotalBytes()));
    percent = static_cast<int>(std::lround(meter_->Value() * 100.0 / double(free_mb)));
  }
  meter_->setStatusTip(QStringLiteral("Approximativement %1 % rempli.").arg(percent));
}

}  // namespace zamo
