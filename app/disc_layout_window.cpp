#include "app/disc_layout_window.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTableView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "app/disc_fill_gauge.h"
#include "app/main_window.h"
#include "burner/compilation/veskburner.h"
#include "burner/platform/file_attributes.h"

namespace zamo {
namespace {

constexpr int kMaxWidth = 625;
constexpr int kColumnWidth = 150;
constexpr int kTreeWidth = 140;
// Tall enough for the usage bar inset 10 pixels inside the capacity bar (the
// upper half) and for the scale's labels below it.
constexpr int kGaugeHeight = 60;
constexpr int kGaugeInset = 10;
constexpr int kScaleMarginMb = 100;  // the scale runs this far past the capacity

// Blocks of 2048 bytes in MB of 1048576 bytes, rounded.
int RoundedMb(int64_t blocks) { return static_cast<int>(std::lround(static_cast<double>(blocks) * 2048 / 1048576)); }

bool IsFolder(const TFEntry& entry) { return (entry.Attr & faDirectory) != 0; }

}  // namespace

QString LayoutDateText(double date_time) {
  const DateTimeFields f = DecodeDateTime(date_time);
  return QString::asprintf("%02d-%02d-%04d %02d:%02d:%02d", f.month, f.day, f.year, f.hour, f.minute, f.second);
}

QString LayoutSizeText(const TFEntry& entry) {
  if (IsFolder(entry)) return QStringLiteral(" < DIR > ");
  return QStringLiteral("%1").arg(static_cast<qlonglong>(entry.IsoSize), 9);
}

// The grid's rows: the children of one folder, each bound to its entry; an
// empty folder gives one unbound row. The texts are made when shown, so a
// folder of many thousand files costs one pointer a row.
class TLayoutGridModel : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  void Fill(const TDEntry* dir) {
    beginResetModel();
    rows_.clear();
    if (dir != nullptr) {
      for (TFEntry* child = dir->FirstChild; child != nullptr; child = child->Next) rows_.push_back(child);
    }
    if (rows_.empty()) rows_.push_back(nullptr);
    endResetModel();
  }
  // The entry of row `row`; null for the empty row or a row out of range.
  TFEntry* Entry(int row) const { return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[row] : nullptr; }

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 3; }

  QVariant data(const QModelIndex& index, int role) const override {
    const TFEntry* entry = Entry(index.row());
    if (role == Qt::TextAlignmentRole) {
      return QVariant::fromValue(Qt::AlignVCenter | (index.column() == 1 ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role != Qt::DisplayRole || entry == nullptr) return {};
    switch (index.column()) {
      case 0:
        return QString::fromStdString(entry->LongName);
      case 1:
        return LayoutSizeText(*entry);
      case 2:
        return IsFolder(*entry) ? QString() : LayoutDateText(entry->DateTime);
      default:
        return {};
    }
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
      return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char* const kHeads[] = {"Nom", "Taille", "    Date & Heure "};
    return section >= 0 && section < 3 ? QString::fromUtf8(kHeads[section]) : QVariant();
  }

 private:
  std::vector<TFEntry*> rows_;
};

TfrmDiscLayout::TfrmDiscLayout(TVeskBurner& veskb, QWidget* parent) : QDialog(parent), veskb_(veskb) {
  setObjectName(QStringLiteral("frmDiscLayout"));
  setWindowTitle(QString::fromUtf8(kDiscLayoutCaption));
  setModal(true);
  Build();
}

TfrmDiscLayout::~TfrmDiscLayout() = default;

void TfrmDiscLayout::Build() {
  setMaximumWidth(kMaxWidth);
  resize(kMaxWidth, 460);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(6, 6, 6, 6);
  outer->setSpacing(6);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  tree_ = new QTreeWidget(splitter);
  tree_->setObjectName(QStringLiteral("tvFolders"));
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  SetHint(tree_, QStringLiteral("Parcourir les dossiers."));
  connect(tree_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current) { FillGrid(NodeDir(current)); });

  grid_model_ = new TLayoutGridModel(this);
  grid_ = new QTableView(splitter);
  grid_->setObjectName(QStringLiteral("sgFiles"));
  grid_->setModel(grid_model_);
  grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setWordWrap(false);
  grid_->horizontalHeader()->setDefaultSectionSize(kColumnWidth);
  grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grid_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // The date column takes what the window leaves, so all three show at once.
  grid_->horizontalHeader()->setStretchLastSection(true);
  grid_->verticalHeader()->hide();
  grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);

  // Del and F5 act on the control that has the focus: each has its own actions.
  QAction* delete_folder = AddAction(tree_, "miTreeDelete", QStringLiteral("Supprimer"), QKeySequence::Delete);
  QAction* refresh_tree = AddAction(tree_, "miTreeRefresh", QStringLiteral("Actualiser"), QKeySequence(Qt::Key_F5));
  QAction* delete_file = AddAction(grid_, "miGridDelete", QStringLiteral("Supprimer"), QKeySequence::Delete);
  QAction* refresh_grid = AddAction(grid_, "miGridRefresh", QStringLiteral("Actualiser"), QKeySequence(Qt::Key_F5));
  connect(delete_folder, &QAction::triggered, this, &TfrmDiscLayout::DeleteTreeFolder);
  connect(delete_file, &QAction::triggered, this, &TfrmDiscLayout::DeleteGridEntry);
  connect(refresh_tree, &QAction::triggered, this, &TfrmDiscLayout::FillTree);
  connect(refresh_grid, &QAction::triggered, this, &TfrmDiscLayout::FillTree);

  splitter->addWidget(tree_);
  splitter->addWidget(grid_);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({kTreeWidth, kMaxWidth - kTreeWidth});
  outer->addWidget(splitter, 1);

  gauge_ = new TCDSize(this);
  gauge_->setObjectName(QStringLiteral("CDSize1"));
  gauge_->setFixedHeight(kGaugeHeight);
  gauge_->SetMemBarColour(Qt::black);
  gauge_->SetTickColour(Qt::gray);
  gauge_->SetProgressGap(kGaugeInset);
  SetHint(gauge_, QStringLiteral("Espace total disponible et espace utilisé"));
  outer->addWidget(gauge_);
  outer->addWidget(BuildBottomBar());
}

QWidget* TfrmDiscLayout::BuildBottomBar() {
  auto* bar = new QWidget(this);
  bar->setObjectName(QStringLiteral("pBottom"));
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(10);
  close_button_ = new QPushButton(QStringLiteral("Fermer"), bar);
  close_button_->setObjectName(QStringLiteral("bClose"));
  SetHint(close_button_, QStringLiteral("Appuyer sur 'Fermer' ou 'X' pour continuer. "));
  connect(close_button_, &QPushButton::clicked, this, &QDialog::accept);
  auto* title = new QLabel(QStringLiteral("Supprimer : "), bar);
  title->setObjectName(QStringLiteral("lDelete"));
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  auto* keys = new QLabel(QStringLiteral("Menu au clic droit de la souris - ou DEL - F5 pour rafraichir.  "), bar);
  keys->setObjectName(QStringLiteral("lKeys"));
  row->addWidget(close_button_);
  row->addSpacing(6);
  row->addWidget(title);
  row->addWidget(keys, 1);
  return bar;
}

QAction* TfrmDiscLayout::AddAction(QWidget* owner, const char* name, const QString& text, const QKeySequence& key) {
  auto* action = new QAction(text, owner);
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcut(key);
  action->setShortcutContext(Qt::WidgetShortcut);
  owner->addAction(action);
  owner->setContextMenuPolicy(Qt::ActionsContextMenu);
  return action;
}

int TfrmDiscLayout::Open() {
  FillTree();
  FillGauge();
  return exec();
}

void TfrmDiscLayout::FillGauge() {
  // The session as the job will lay it out on this disc, after what the disc
  // holds already. A compilation that does not fit turns the usage bar the
  // over-burn colour; the window does nothing more about it (the job's space
  // check warns). Deletions do not redraw it.
  veskb_.CalculateLayout(/*to_image_file=*/false, /*import_into=*/nullptr);
  const int64_t capacity = veskb_.GetDiscCapacity();
  gauge_->SetMaxCDSize(RoundedMb(capacity));
  gauge_->SetMaxMemory(static_cast<int>(capacity * 2048 / 1024 / 1024) + kScaleMarginMb);
  gauge_->SetMemShaded(RoundedMb(veskb_.ImageSectors()) + RoundedMb(veskb_.GetNextWritableAddress()));
}

void TfrmDiscLayout::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* where = screen()) move(where->availableGeometry().center() - rect().center());
}

TDEntry* TfrmDiscLayout::NodeDir(const QTreeWidgetItem* item) {
  if (item == nullptr) return nullptr;
  return static_cast<TDEntry*>(item->data(0, Qt::UserRole).value<void*>());
}

void TfrmDiscLayout::FillTree() {
  // The nodes point at folders a deletion may have freed: none survives.
  const QSignalBlocker quiet(tree_);
  tree_->clear();
  auto* root = new QTreeWidgetItem(tree_, {QStringLiteral("CDROOT")});
  root->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(veskb_.RootDir)));
  // Depth first with a stack of its own: an imported tree may be deeper than
  // a recursion should go. Each folder's children keep the folder's order.
  std::vector<std::pair<QTreeWidgetItem*, const TDEntry*>> pending;
  if (veskb_.RootDir != nullptr) pending.emplace_back(root, veskb_.RootDir);
  while (!pending.empty()) {
    auto [node, dir] = pending.back();
    pending.pop_back();
    for (const TFEntry* child = dir->FirstChild; child != nullptr; child = child->Next) {
      if (!IsFolder(*child) || child->Dir == nullptr) continue;
      auto* item = new QTreeWidgetItem(node, {QString::fromStdString(child->LongName)});
      item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(child->Dir)));
      pending.emplace_back(item, child->Dir);
    }
  }
  tree_->expandAll();
  tree_->setCurrentItem(root);
  FillGrid(veskb_.RootDir);
}

void TfrmDiscLayout::FillGrid(TDEntry* dir) {
  grid_dir_ = dir;
  grid_model_->Fill(dir);
}

void TfrmDiscLayout::DeleteGridEntry() {
  const int row = grid_->currentIndex().isValid() ? grid_->currentIndex().row() : -1;
  TFEntry* entry = grid_model_->Entry(row);
  if (entry == nullptr || grid_dir_ == nullptr) return;
  if (IsFolder(*entry)) {
    QMessageBox::information(
        this, QString::fromUtf8(kAppTitle),
        QString::fromStdString(entry->LongName) +
            QStringLiteral(" est un dossier. Utiliser l'arborescence (à gauche) pour le supprimer."));
    return;
  }
  TDEntry* dir = grid_dir_;
  if (!veskb_.DeleteChild(dir, entry)) return;
  FillGrid(grid_dir_);
  // The row that took the deleted one's place stays under the cursor.
  const int rows = grid_model_->rowCount(QModelIndex());
  grid_->setCurrentIndex(grid_model_->index(std::min(row, rows - 1), 0));
}

void TfrmDiscLayout::DeleteTreeFolder() {
  TDEntry* dir = NodeDir(tree_->currentItem());
  if (dir == nullptr || dir == veskb_.RootDir) return;  // the root stays, always
  veskb_.DeleteDir(dir);
  FillTree();
}

}  // namespace zamo
