#include "app/shell_browser.h"

#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <set>

#include "app/thumbnails.h"
#include "burner/platform/str_format.h"

namespace zamo {

const std::array<TFilterKind, 22> kFilterKinds = {{
    {"Tous (*.*) ", "*.*"},
    {"Fichiers texte brut .txt .log", "*.txt;*.log;*.me"},
    {"Index Windows et autres fichiers codés .dat ", "*.dat"},
    {"Fichiers d'initialisation .ini ", "*.ini "},
    {"Fichiers document Word .doc", "*.doc "},
    {"Fichiers texte enrichi (Wordpad etc.) .rtf ", "*.rtf"},
    {"Fichiers portable (Adobe Acrobat) .pdf ", "*.pdf"},
    {"Fichiers compressés communs .zp .rar .cab ", "*.zip;*.rar;*.cab"},
    {"Images - icônes windows ", "*.ico"},
    {"Images - formats communs .jpg .bmp .gif .png...", "*.jpg;*.bmp;*.gif;*.png;*.tif;*.wmf;*.avi"},
    {"Images - Photoshop .eps,.psd ", "*.eps;*.psd"},
    {"Images - Paint Shop Pro .psp ", "*.psp"},
    {"Images - Diaporama PowerPoint .pps .ppt", "*.pps;*.ppt"},
    {"Outlook - Messagerie .eml .ost .ost", "*.eml;*.ost;*.pst"},
    {"Excel - Fichiers Macro .xla ", "*.xla "},
    {"Excel - Fichier Tableur .xls", "*.xls"},
    {"Excel - Fichier Tableur modèle .xlt", "*.xlt"},
    {"Media - Tous  ", "*.wav;*.ram,*.ra;*.qt;*.mpg;*.mpeg;*.mp3;*.mov;*.mid;*.cda;*.avi;*.aif;*.divx;*.wmv;*.swf;"},
    {"Media - Son .wav .mp3 .mid .cda .wma", "*.wav;*.mp3;*.mid;*.cda;*.wma"},
    {"Media - Animation Flash .swf", "*.swf"},
    {"Navigateur - .htm .html .php ", "*.htm;*.html;*.php;*.php3"},
    {"Base de données Access - .mdb", "*.mdb"},
}};

namespace {

const QString kAppTitle = QStringLiteral("ZAMO    Gravure sur CD/DVD");
const QColor kFilteredTint(255, 255, 223);
constexpr int kRootRole = Qt::UserRole;  // a volume's root path, in the volumes model
constexpr int kThumbnailEdge = 96;

// The files of a folder, for dragging: copies only, never a move that would
// let a view remove what it dragged, and nothing dropped into it.
class TFileModel : public QFileSystemModel {
 public:
  using QFileSystemModel::QFileSystemModel;
  Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }
  Qt::DropActions supportedDropActions() const override { return Qt::IgnoreAction; }
  // The details view's column captions, in French whatever translations
  // are installed.
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
      return QFileSystemModel::headerData(section, orientation, role);
    switch (section) {
      case 0: return QStringLiteral("Nom");
      case 1: return QStringLiteral("Taille");
      case 2: return QStringLiteral("Type");
      case 3: return QStringLiteral("Modifié le");
      default: return {};
    }
  }
};

// The style's icons (where the desktop has no icon theme) and French kinds.
class TFileIcons : public QFileIconProvider {
 public:
  QString type(const QFileInfo& info) const override {
    if (info.isDir()) return QStringLiteral("Dossier");
    const QString suffix = info.suffix();
    return suffix.isEmpty() ? QStringLiteral("Fichier") : QStringLiteral("Fichier ") + suffix.toUpper();
  }
};

// The thumbnail view's button: a small framed picture.
QIcon ThumbnailsIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QColor(70, 70, 70));
  painter.setBrush(QColor(200, 225, 250));
  painter.drawRect(QRectF(1.5, 2.5, 13, 11));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(240, 190, 40));
  painter.drawEllipse(QPointF(11, 6), 1.8, 1.8);
  painter.setBrush(QColor(60, 140, 70));
  painter.drawPolygon(
      QPolygonF({QPointF(2, 13), QPointF(6.5, 7), QPointF(10, 11), QPointF(11.5, 9.5), QPointF(14, 13)}));
  return QIcon(pixmap);
}

// File systems that hold no user files.
bool IsSystemVolume(const QStorageInfo& volume) {
  static const std::set<QByteArray> kSystemTypes = {"proc",  "sysfs",    "devtmpfs", "devpts",  "cgroup",
                                                    "cgroup2", "securityfs", "debugfs", "tracefs", "pstore",
                                                    "bpf",   "mqueue",   "hugetlbfs", "configfs", "fusectl",
                                                    "autofs", "binfmt_misc", "efivarfs", "nsfs"};
  if (kSystemTypes.count(volume.fileSystemType()) != 0) return true;
  // A bind mount of a single file (a container's /etc/hosts) is no volume.
  return !QFileInfo(volume.rootPath()).isDir();
}

QString VolumeName(const QStorageInfo& volume) {
  const QString root = volume.rootPath();
  if (root == QLatin1String("/")) return QStringLiteral("Système (/)");
  const QString label = volume.name().isEmpty() ? QFileInfo(root).fileName() : volume.name();
  return QStringLiteral("%1 (%2)").arg(label, root);
}

QString MegabytesText(qint64 bytes) { return QString::fromStdString(FormatMb(bytes)); }

// Shows a standard folder, or the home folder when the desktop has none.
QString StandardFolder(QStandardPaths::StandardLocation location) {
  const QString folder = QStandardPaths::writableLocation(location);
  return QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

}  // namespace

QStringList MaskPatterns(const QString& mask) {
  QStringList patterns;
  for (const QString& part : mask.split(QLatin1Char(';'))) {
    const QString pattern = part.trimmed();
    if (!pattern.isEmpty()) patterns.push_back(pattern);
  }
  return patterns;
}

bool MaskShowsEverything(const QString& mask) {
  const QStringList patterns = MaskPatterns(mask);
  return patterns.isEmpty() || patterns.contains(QStringLiteral("*.*")) || patterns.contains(QStringLiteral("*"));
}

TShellBrowser::TShellBrowser(TRole role, QWidget* parent)
    : QWidget(parent),
      role_(role),
      view_(role == TRole::kFileSource ? TView::kList : TView::kLargeIcons),
      icons_(std::make_unique<TFileIcons>()),
      thumbnails_(std::make_unique<TThumbnailLoader>(kThumbnailEdge)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(3);
  auto* bar = new QWidget(this);
  BuildButtons(bar);
  layout->addWidget(bar);
  BuildViews();
  layout->addWidget(stack_, 1);
  if (role_ == TRole::kFileSource) {
    BuildFilterBox();
    layout->addWidget(filter_box_);
  }
  drives_ = new QStandardItemModel(this);
  MakeFileModel();
  connect(thumbnails_.get(), &TThumbnailLoader::ready, this, [this](const QString& path) {
    if (folder_.isEmpty()) return;
    const QModelIndex index = files_->index(path);
    if (index.isValid()) list_view_->update(index);
  });
  if (role_ == TRole::kFileSource) {
    ShowFolder(QDir::homePath());
  } else {
    ShowDrives();
  }
  SetView(view_);
}

TShellBrowser::~TShellBrowser() {
  // The models' gatherer threads use the icon provider: they go first
  // (the one in use, and any replaced one not deleted yet).
  for (QFileSystemModel* model : findChildren<QFileSystemModel*>(Qt::FindDirectChildrenOnly)) delete model;
  files_ = nullptr;
}

// ---- Building -------------------------------------------------------------

void TShellBrowser::BuildButtons(QWidget* bar) {
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(1);
  folder_box_ = new QComboBox(bar);
  folder_box_->setObjectName(role_ == TRole::kFileSource ? QStringLiteral("ShellCombo")
                                                         : QStringLiteral("ComputerCombo"));
  folder_box_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  folder_box_->setMinimumContentsLength(12);
  folder_box_->setStatusTip(QStringLiteral("Dossier affiché"));
  connect(folder_box_, &QComboBox::activated, this, [this](int index) {
    const QString target = folder_box_->itemData(index).toString();
    if (target.isEmpty()) {
      ShowDrives();
    } else if (!ShowFolder(target)) {
      FillFolderBox();
    }
  });
  layout->addWidget(folder_box_, 1);

  auto add_button = [&](const char* name, QStyle::StandardPixmap icon, const QString& hint) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QLatin1String(name));
    button->setIcon(style()->standardIcon(icon));
    button->setStatusTip(hint);
    button->setAccessibleName(hint);
    button->setAutoRaise(true);
    layout->addWidget(button);
    return button;
  };
  connect(add_button("bOrigin", QStyle::SP_ComputerIcon, QStringLiteral("Retour à l'origine")),
          &QToolButton::clicked, this, &TShellBrowser::ShowDrives);
  connect(add_button("bLargeIcons", QStyle::SP_FileDialogContentsView,
                     QStringLiteral("Aperçu normal (liste par icones rangés)")),
          &QToolButton::clicked, this, [this] { SetView(TView::kLargeIcons); });
  QToolButton* thumbnails = add_button("bThumbnails", QStyle::SP_FileDialogInfoView,
                                       QStringLiteral("Aperçu sous forme de vignettes (utile pour les images)"));
  thumbnails->setIcon(ThumbnailsIcon());
  connect(thumbnails, &QToolButton::clicked, this, [this] { SetView(TView::kThumbnails); });
  connect(add_button("bList", QStyle::SP_FileDialogListView, QStringLiteral("Aperçu sous forme de liste")),
          &QToolButton::clicked, this, [this] { SetView(TView::kList); });
  connect(add_button("bDetails", QStyle::SP_FileDialogDetailedView,
                     QStringLiteral("Aperçu du détail des médias, disques, dossiers et fichiers")),
          &QToolButton::clicked, this, [this] { SetView(TView::kDetails); });
}

void TShellBrowser::BuildViews() {
  stack_ = new QStackedWidget(this);
  list_view_ = new QListView(stack_);
  tree_view_ = new QTreeView(stack_);
  const bool source = role_ == TRole::kFileSource;
  list_view_->setObjectName(source ? QStringLiteral("ShellList") : QStringLiteral("ComputerList"));
  tree_view_->setObjectName(source ? QStringLiteral("ShellDetails") : QStringLiteral("ComputerDetails"));
  thumbnail_delegate_ = new TThumbnailDelegate(*thumbnails_, list_view_);
  list_view_->setItemDelegate(thumbnail_delegate_);
  list_view_->setMovement(QListView::Static);  // icons are never moved by a drag
  list_view_->setResizeMode(QListView::Adjust);
  list_view_->setLayoutMode(QListView::Batched);  // a long folder is laid out in steps
  tree_view_->setRootIsDecorated(false);
  tree_view_->setItemsExpandable(false);
  tree_view_->setUniformRowHeights(true);
  tree_view_->setSortingEnabled(true);
  tree_view_->sortByColumn(0, Qt::AscendingOrder);
  tree_view_->header()->setDefaultSectionSize(90);
  tree_view_->header()->setStretchLastSection(true);
  for (QAbstractItemView* view : Views()) {
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setDragEnabled(source);
    view->setDragDropMode(source ? QAbstractItemView::DragOnly : QAbstractItemView::NoDragDrop);
    view->setDefaultDropAction(Qt::CopyAction);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    if (source) view->setStatusTip(QStringLiteral("Sélection des fichiers à graver"));
    connect(view, &QAbstractItemView::activated, this, &TShellBrowser::Activate);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& at) { ShowContextMenu(view->viewport()->mapToGlobal(at)); });
    stack_->addWidget(view);
  }
}

void TShellBrowser::BuildFilterBox() {
  filter_box_ = new QComboBox(this);
  filter_box_->setObjectName(QStringLiteral("cbFilter"));
  filter_box_->setEditable(true);
  filter_box_->setInsertPolicy(QComboBox::NoInsert);
  filter_box_->setMaxVisibleItems(15);
  filter_box_->setStatusTip(QStringLiteral("Filtre selon le type (images, texte etc.)"));
  for (const TFilterKind& kind : kFilterKinds)
    filter_box_->addItem(QString::fromUtf8(kind.Description), QString::fromUtf8(kind.Mask));
  filter_box_->setEditText(mask_);
  // A kind puts its mask, as stored, in the box; a mask typed in it applies
  // on Enter.
  connect(filter_box_, &QComboBox::activated, this, [this](int index) {
    const QString mask = filter_box_->itemData(index).toString();
    filter_box_->setEditText(mask);
    SetFilterMask(mask);
  });
  connect(filter_box_->lineEdit(), &QLineEdit::returnPressed, this,
          [this] { SetFilterMask(filter_box_->currentText()); });
}

void TShellBrowser::MakeFileModel() {
  QFileSystemModel* old = files_;
  files_ = new TFileModel(this);
  files_->setReadOnly(true);
  files_->setIconProvider(icons_.get());
  files_->setNameFilterDisables(false);  // files that do not match are hidden, not greyed
  files_->setOption(QFileSystemModel::DontWatchForChanges, !auto_refresh_);
  ApplyFilter();
  if (old != nullptr) old->deleteLater();
}

// ---- Browsing -------------------------------------------------------------

void TShellBrowser::ShowDrives() {
  thumbnails_->Forget();
  folder_.clear();
  FillDrives();
  ApplyModel();
  FillFolderBox();
  emit folderChanged(folder_);
}

void TShellBrowser::FillDrives() {
  drives_->clear();
  drives_->setHorizontalHeaderLabels(
      {QStringLiteral("Nom"), QStringLiteral("Taille"), QStringLiteral("Libre"), QStringLiteral("Type")});
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (!volume.isValid() || !volume.isReady() || volume.bytesTotal() <= 0 || IsSystemVolume(volume)) continue;
    const QByteArray type = volume.fileSystemType();
    const bool optical = type == "iso9660" || type == "udf";
    auto* name = new QStandardItem(style()->standardIcon(optical ? QStyle::SP_DriveCDIcon : QStyle::SP_DriveHDIcon),
                                   VolumeName(volume));
    name->setData(volume.rootPath(), kRootRole);
    name->setEditable(false);
    auto* size = new QStandardItem(MegabytesText(volume.bytesTotal()));
    auto* free = new QStandardItem(MegabytesText(volume.bytesAvailable()));
    auto* kind = new QStandardItem(QString::fromLatin1(type));
    for (QStandardItem* item : {size, free, kind}) item->setEditable(false);
    size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    free->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    drives_->appendRow({name, size, free, kind});
  }
}

bool TShellBrowser::ShowFolder(const QString& path) {
  const QFileInfo info(path);
  if (!info.isDir()) return false;
  thumbnails_->Forget();
  folder_ = QDir::cleanPath(info.absoluteFilePath());
  ApplyModel();
  FillFolderBox();
  emit folderChanged(folder_);
  return true;
}

void TShellBrowser::ApplyModel() {
  QAbstractItemModel* model = folder_.isEmpty() ? static_cast<QAbstractItemModel*>(drives_) : files_;
  for (QAbstractItemView* view : Views()) {
    if (view->model() != model) {
      QItemSelectionModel* old_selection = view->selectionModel();
      view->setModel(model);
      delete old_selection;
      connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, &TShellBrowser::SelectionChanged);
    }
  }
  tree_view_->header()->resizeSection(0, 170);  // names first
  if (folder_.isEmpty()) {
    list_view_->setRootIndex({});
    tree_view_->setRootIndex({});
  } else {
    const QModelIndex root = files_->setRootPath(folder_);
    list_view_->setRootIndex(root);
    tree_view_->setRootIndex(root);
  }
  UpdateDrag();
  Tint(!folder_.isEmpty() && !MaskShowsEverything(mask_));
}

void TShellBrowser::FillFolderBox() {
  const QSignalBlocker block(folder_box_);
  folder_box_->clear();
  folder_box_->addItem(style()->standardIcon(QStyle::SP_ComputerIcon), QStringLiteral("Poste de travail"), QString());
  if (folder_.isEmpty()) {
    folder_box_->setCurrentIndex(0);
    return;
  }
  // Each folder from the root down to the one shown.
  QStringList chain;
  for (QDir dir(folder_);;) {
    chain.prepend(dir.absolutePath());
    if (dir.isRoot() || !dir.cdUp()) break;
  }
  for (const QString& path : chain) folder_box_->addItem(style()->standardIcon(QStyle::SP_DirIcon), path, path);
  folder_box_->setCurrentIndex(folder_box_->count() - 1);
}

void TShellBrowser::SetView(TView view) {
  view_ = view;
  thumbnail_delegate_->SetEnabled(view == TView::kThumbnails);
  if (view != TView::kThumbnails) thumbnails_->Forget();
  if (view == TView::kDetails) {
    stack_->setCurrentWidget(tree_view_);
    UpdateDrag();
    return;
  }
  stack_->setCurrentWidget(list_view_);
  const int small = style()->pixelMetric(QStyle::PM_SmallIconSize);
  const int large = style()->pixelMetric(QStyle::PM_LargeIconSize);
  switch (view) {
    case TView::kList:
      list_view_->setViewMode(QListView::ListMode);
      list_view_->setFlow(QListView::TopToBottom);
      list_view_->setWrapping(true);
      list_view_->setIconSize({small, small});
      list_view_->setGridSize({});
      list_view_->setSpacing(1);
      break;
    case TView::kLargeIcons:
      list_view_->setViewMode(QListView::IconMode);
      list_view_->setFlow(QListView::LeftToRight);
      list_view_->setWrapping(true);
      list_view_->setIconSize({large, large});
      list_view_->setGridSize({large + 64, large + 40});
      list_view_->setSpacing(4);
      break;
    case TView::kThumbnails:
      list_view_->setViewMode(QListView::IconMode);
      list_view_->setFlow(QListView::LeftToRight);
      list_view_->setWrapping(true);
      list_view_->setIconSize({kThumbnailEdge, kThumbnailEdge});
      list_view_->setGridSize({kThumbnailEdge + 28, kThumbnailEdge + 40});
      list_view_->setSpacing(4);
      break;
    case TView::kDetails:
      break;
  }
  list_view_->setMovement(QListView::Static);
  list_view_->setWordWrap(view != TView::kList);
  list_view_->setTextElideMode(Qt::ElideMiddle);
  UpdateDrag();
}

void TShellBrowser::UpdateDrag() {
  // Never from a volume's entry; a list view's mode may have switched drags off.
  const bool drags = role_ == TRole::kFileSource && !folder_.isEmpty();
  list_view_->setDragEnabled(drags);
  tree_view_->setDragEnabled(drags);
}

std::array<QAbstractItemView*, 2> TShellBrowser::Views() const { return {list_view_, tree_view_}; }

QAbstractItemView* TShellBrowser::CurrentView() const {
  return view_ == TView::kDetails ? static_cast<QAbstractItemView*>(tree_view_) : list_view_;
}

void TShellBrowser::ChooseFolder() {
  const QString start = folder_.isEmpty() ? QDir::homePath() : folder_;
  const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Choisir un dossier"), start);
  if (!chosen.isEmpty()) ShowFolder(chosen);
}

void TShellBrowser::ShowDesktop() { ShowFolder(StandardFolder(QStandardPaths::DesktopLocation)); }

void TShellBrowser::ShowDocuments() { ShowFolder(StandardFolder(QStandardPaths::DocumentsLocation)); }

void TShellBrowser::RefreshAll() {
  // A new model reads the folder afresh (the old one keeps what it read).
  MakeFileModel();
  if (folder_.isEmpty()) {
    ShowDrives();
  } else if (!ShowFolder(folder_)) {
    ShowDrives();  // the folder is gone
  }
}

void TShellBrowser::SetAutoRefresh(bool on) {
  auto_refresh_ = on;
  files_->setOption(QFileSystemModel::DontWatchForChanges, !on);
}

void TShellBrowser::SetDesktopMenu(bool on) { desktop_menu_ = on; }

void TShellBrowser::SetShowHidden(bool on) {
  show_hidden_ = on;
  ApplyFilter();
}

// ---- Filter ---------------------------------------------------------------

void TShellBrowser::SetFilterMask(const QString& mask) {
  mask_ = mask;
  if (filter_box_ != nullptr && filter_box_->currentText() != mask) filter_box_->setEditText(mask);
  ApplyFilter();
}

void TShellBrowser::ApplyFilter() {
  const bool everything = MaskShowsEverything(mask_);
  QDir::Filters filters = QDir::Files | QDir::NoDot | QDir::System;
  if (everything) filters |= QDir::AllDirs;  // folders and the parent's ".."
  if (show_hidden_) filters |= QDir::Hidden;
  files_->setFilter(filters);
  files_->setNameFilters(everything ? QStringList() : MaskPatterns(mask_));
  Tint(!folder_.isEmpty() && !everything);
}

void TShellBrowser::Tint(bool filtered) {
  for (QAbstractItemView* view : Views()) {
    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, filtered ? kFilteredTint : QColor(Qt::white));
    view->setPalette(palette);
  }
}

// ---- Items ----------------------------------------------------------------

QString TShellBrowser::PathOf(const QModelIndex& index) const {
  if (!index.isValid()) return {};
  if (index.model() == drives_) return drives_->index(index.row(), 0).data(kRootRole).toString();
  return QDir::cleanPath(files_->filePath(index));
}

void TShellBrowser::Activate(const QModelIndex& index) {
  const QString path = PathOf(index);
  if (path.isEmpty()) return;
  if (QFileInfo(path).isDir()) {
    ShowFolder(path);
  } else {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  }
}

QStringList TShellBrowser::SelectedPaths() const {
  QStringList paths;
  const QAbstractItemView* view = CurrentView();
  if (view->selectionModel() == nullptr) return paths;
  std::set<int> rows;
  for (const QModelIndex& index : view->selectionModel()->selectedIndexes()) {
    if (rows.insert(index.row()).second) paths.push_back(PathOf(index));
  }
  return paths;
}

void TShellBrowser::SelectionChanged() {
  emit statusMessage(QString::number(SelectedPaths().size()) + QStringLiteral(" item(s) sélectionnés."));
}

int TShellBrowser::ThumbnailsMade() const { return thumbnails_->Made(); }

void TShellBrowser::ShowContextMenu(const QPoint& global) {
  QMenu menu(this);
  const QStringList paths = SelectedPaths();
  if (desktop_menu_) {
    const bool one = paths.size() == 1;
    QAction* open = menu.addAction(QStringLiteral("Ouvrir"));
    open->setEnabled(!paths.isEmpty());
    connect(open, &QAction::triggered, this, [paths] {
      for (const QString& path : paths) QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    });
    QAction* folder = menu.addAction(QStringLiteral("Ouvrir le dossier contenant"));
    folder->setEnabled(one);
    connect(folder, &QAction::triggered, this, [paths] {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(paths.front()).absolutePath()));
    });
    menu.addSeparator();
    QAction* properties = menu.addAction(QStringLiteral("Propriétés"));
    properties->setEnabled(one);
    connect(properties, &QAction::triggered, this, [this, paths] { ShowProperties(paths.front()); });
  } else {
    connect(menu.addAction(QStringLiteral("Info! ")), &QAction::triggered, this, [this] {
      QMessageBox::information(this, kAppTitle, QStringLiteral("Aucune aide contextuelle disponible."));
    });
    connect(menu.addAction(QStringLiteral("Tout sélectionner")), &QAction::triggered, this,
            [this] { CurrentView()->selectAll(); });
  }
  menu.exec(global);
}

void TShellBrowser::ShowProperties(const QString& path) {
  const QFileInfo info(path);
  QString text = QStringLiteral("%1\n\n").arg(QDir::toNativeSeparators(path));
  if (info.isDir()) {
    text += QStringLiteral("Dossier\n");
  } else {
    text += QStringLiteral("Taille : %1 octets\n").arg(QString::fromStdString(FormatThousands(uint64_t(info.size()))));
  }
  text += QStringLiteral("Modifié le : %1").arg(QLocale().toString(info.lastModified(), QLocale::LongFormat));
  QMessageBox::information(this, QStringLiteral("Propriétés"), text);
}

}  // namespace zamo
