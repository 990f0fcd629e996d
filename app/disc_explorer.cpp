#include "app/disc_explorer.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cmath>
#include <vector>

#include "app/disc_fill_gauge.h"
#include "app/main_window.h"
#include "burner/compilation/veskburner.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr int kMaxWidth = 625;
constexpr int kNameColumnWidth = 377;
constexpr int kSizeColumnWidth = 101;
constexpr int kGaugeHeight = 56;
constexpr int kEntryRole = Qt::UserRole;  // the TDEntry of a node, the TFEntry of a row

bool IsFolder(const TFEntry& entry) { return (entry.Attr & faDirectory) != 0; }

QString Shown(const std::string& name) { return QString::fromStdString(DisplayUtf8(name)); }

// Blocks as whole MB, rounded half to even.
int RoundedMb(uint32_t blocks) { return static_cast<int>(std::nearbyint(blocks * double{kSectorSize} / 1048576)); }

// A name read from a disc used as a file name in a folder of this computer:
// nothing that would leave the folder.
bool SafeFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

template <typename T>
T* Bound(const QVariant& data) {
  return reinterpret_cast<T*>(data.value<quintptr>());
}

}  // namespace

const QString TfrmTree::kStatusText = QStringLiteral("Double-clic sur un fichier pour extraire une copie ");

TfrmTree::TfrmTree(TVeskBurner& veskb, QWidget* parent) : QDialog(parent), veskb_(veskb) {
  setObjectName(QStringLiteral("frmTree"));
  setWindowTitle(QStringLiteral("Explorateur ZAMO Média"));
  Build();
}

void TfrmTree::Build() {
  tvFolders_ = new QTreeWidget;
  tvFolders_->setObjectName(QStringLiteral("tvFolders"));
  tvFolders_->setHeaderHidden(true);
  tvFolders_->setColumnCount(1);
  tvFolders_->setSelectionBehavior(QAbstractItemView::SelectRows);
  tvFolders_->setAllColumnsShowFocus(true);
  tvFolders_->setContextMenuPolicy(Qt::CustomContextMenu);
  SetHint(tvFolders_, QStringLiteral("Parcourir les dossiers."));
  // A right click selects the node under the mouse, as a left click does.
  connect(tvFolders_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (QTreeWidgetItem* item = tvFolders_->itemAt(at)) tvFolders_->setCurrentItem(item);
  });
  connect(tvFolders_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (item != nullptr) FillGrid(Bound<TDEntry>(item->data(0, kEntryRole)));
  });

  sgFiles_ = new QTableWidget(0, 2);
  sgFiles_->setObjectName(QStringLiteral("sgFiles"));
  sgFiles_->setHorizontalHeaderLabels({QStringLiteral("Nom fichier"), QStringLiteral("Taille")});
  sgFiles_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  sgFiles_->horizontalHeader()->setHighlightSections(false);
  sgFiles_->verticalHeader()->hide();  // no fixed column
  sgFiles_->setColumnWidth(0, kNameColumnWidth);
  sgFiles_->setColumnWidth(1, kSizeColumnWidth);
  sgFiles_->setSelectionBehavior(QAbstractItemView::SelectRows);
  sgFiles_->setSelectionMode(QAbstractItemView::SingleSelection);
  sgFiles_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  sgFiles_->setWordWrap(false);
  // Fixed pitch: the row numbers and the sizes are padded with spaces.
  sgFiles_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  sgFiles_->verticalHeader()->setDefaultSectionSize(sgFiles_->fontMetrics().height() + 6);
  connect(sgFiles_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { ExtractOne(row); });

  auto* splitter = new QSplitter(Qt::Horizontal);
  splitter->setObjectName(QStringLiteral("splitter"));
  splitter->addWidget(tvFolders_);
  splitter->addWidget(sgFiles_);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setChildrenCollapsible(false);

  cdSize_ = new TCDSize;
  cdSize_->setObjectName(QStringLiteral("cdSize"));
  cdSize_->setFixedHeight(kGaugeHeight);
  cdSize_->SetMemBarColour(Qt::black);
  cdSize_->SetTickColour(QColor(128, 128, 128));
  cdSize_->SetProgressGap(10);
  SetHint(cdSize_, QStringLiteral("Espace total disponible et espace utilisé"));

  pStatus_ = new QFrame;
  pStatus_->setObjectName(QStringLiteral("pStatus"));
  pStatus_->setFrameShape(QFrame::StyledPanel);
  pStatus_->setCursor(Qt::PointingHandCursor);
  SetHint(pStatus_, QStringLiteral("Un clic ici extrait une copie de tous les fichiers du dossier affiché"));
  auto* status_row = new QHBoxLayout(pStatus_);
  status_row->setContentsMargins(4, 3, 4, 3);
  bClose_ = new QPushButton(QStringLiteral("Fermer"));
  bClose_->setObjectName(QStringLiteral("bClose"));
  bClose_->setCursor(Qt::ArrowCursor);
  SetHint(bClose_, QStringLiteral("Fermer/Continuer"));
  connect(bClose_, &QPushButton::clicked, this, &QDialog::accept);
  status_row->addWidget(bClose_);
  lStatus_ = new QLabel(kStatusText);
  lStatus_->setObjectName(QStringLiteral("lStatus"));
  status_row->addWidget(lStatus_, 1);
  // The text is part of the panel: a click on it is a click on the panel.
  pStatus_->installEventFilter(this);
  lStatus_->installEventFilter(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(3);
  layout->addWidget(splitter, 1);
  layout->addWidget(cdSize_);
  layout->addWidget(pStatus_);
  setMaximumWidth(kMaxWidth);
  resize(kMaxWidth, 460);
  splitter->setSizes({kMaxWidth - kNameColumnWidth - kSizeColumnWidth - 30, kNameColumnWidth + kSizeColumnWidth + 22});
}

int TfrmTree::Open() {
  FillTree();
  SetGauge();
  return exec();
}

// ---- Tree and grid ------------------------------------------------------------------

void TfrmTree::FillTree() {
  tvFolders_->clear();
  auto* root = new QTreeWidgetItem(tvFolders_, {QStringLiteral("CDROOT")});
  root->setData(0, kEntryRole, QVariant::fromValue(reinterpret_cast<quintptr>(veskb_.RootDir)));
  if (veskb_.RootDir != nullptr) AddFolders(root, veskb_.RootDir);
  root->setExpanded(true);
  tvFolders_->setCurrentItem(root);
  FillGrid(veskb_.RootDir);  // also when the root was current already
}

void TfrmTree::AddFolders(QTreeWidgetItem* node, const TDEntry* dir) {
  for (const TFEntry* child = dir->FirstChild; child != nullptr; child = child->Next) {
    if (!IsFolder(*child) || child->Dir == nullptr) continue;
    auto* item = new QTreeWidgetItem(node, {Shown(child->LongName)});
    item->setData(0, kEntryRole, QVariant::fromValue(reinterpret_cast<quintptr>(child->Dir)));
    AddFolders(item, child->Dir);
  }
}

QString TfrmTree::NameCell(int row, const TFEntry& entry) {
  return QString::fromStdString(PadLeft(2, " ", row)) + QLatin1Char(' ') + Shown(entry.LongName);
}

QString TfrmTree::SizeCell(const TFEntry& entry) {
  if (IsFolder(entry)) return QStringLiteral(" < DIR > ");
  return QString::fromStdString(PadLeft(9, " ", entry.IsoSize));
}

void TfrmTree::FillGrid(const TDEntry* dir) {
  sgFiles_->clearContents();
  sgFiles_->setRowCount(0);
  int row = 0;
  for (const TFEntry* child = dir ? dir->FirstChild : nullptr; child != nullptr; child = child->Next) {
    sgFiles_->insertRow(row);
    auto* name = new QTableWidgetItem(NameCell(row + 1, *child));
    name->setData(kEntryRole, QVariant::fromValue(reinterpret_cast<quintptr>(child)));
    sgFiles_->setItem(row, 0, name);
    sgFiles_->setItem(row, 1, new QTableWidgetItem(SizeCell(*child)));
    ++row;
  }
  if (row == 0) sgFiles_->setRowCount(1);  // an empty folder: one empty, unbound row
}

const TFEntry* TfrmTree::EntryOfRow(int row) const {
  const QTableWidgetItem* item = sgFiles_->item(row, 0);
  return item == nullptr ? nullptr : Bound<const TFEntry>(item->data(kEntryRole));
}

// The disc's capacity, with 100 MB of scale beyond it, and what is used.
void TfrmTree::SetGauge() {
  const uint32_t capacity = veskb_.GetDiscCapacity();
  cdSize_->SetMaxMemory(static_cast<int>(uint64_t{capacity} * kSectorSize / 1024 / 1024 + 100));
  cdSize_->SetMaxCDSize(RoundedMb(capacity));
  cdSize_->SetMemShaded(RoundedMb(veskb_.GetNextWritableAddress()));
}

// ---- Extraction ---------------------------------------------------------------------

void TfrmTree::ExtractOne(int row) {
  const TFEntry* entry = EntryOfRow(row);
  if (entry == nullptr) return;  // the empty row
  const QString name = Shown(entry->LongName);
  if (IsFolder(*entry)) {
    Message(QStringLiteral("On ne peut extraire un dossier, ") + name + QStringLiteral(" est un dossier"),
            "folderBox");
    return;
  }
  QFileDialog chooser(this, QStringLiteral("Extraire une copie de ") + name, QDir::homePath());
  chooser.setObjectName(QStringLiteral("ExtractFileDialog"));
  chooser.setAcceptMode(QFileDialog::AcceptSave);
  chooser.setFileMode(QFileDialog::AnyFile);
  chooser.selectFile(name);
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return;
  // Success and failure alike are written to the log by the component.
  veskb_.ExtractFile(entry, QFile::encodeName(chooser.selectedFiles().constFirst()).toStdString());
}

QString TfrmTree::AskDestinationFolder() {
  QFileDialog chooser(this, QStringLiteral("Extraire tous les fichiers du dossier vers"), QDir::homePath());
  chooser.setObjectName(QStringLiteral("ExtractFolderDialog"));
  chooser.setFileMode(QFileDialog::Directory);
  chooser.setOption(QFileDialog::ShowDirsOnly);
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return {};
  const QString folder = QDir::cleanPath(chooser.selectedFiles().constFirst());
  if (QDir(folder).isRoot()) {
    Message(QStringLiteral("Les fichiers ne sont pas extraits à la racine du système (") + folder +
                QStringLiteral("). Choisir un dossier, par exemple ") + QDir::homePath() + QStringLiteral(" ."),
            "rootBox");
    return {};
  }
  return folder;
}

TfrmTree::Conflict TfrmTree::AskReplace(const QString& path) {
  QMessageBox box(QMessageBox::Question, QString::fromUtf8(kAppTitle),
                  QStringLiteral("Le fichier ") + path + QStringLiteral(" existe déjà.\nLe remplacer ?"),
                  QMessageBox::NoButton, this);
  box.setObjectName(QStringLiteral("replaceBox"));
  QPushButton* replace = box.addButton(QStringLiteral("Remplacer"), QMessageBox::YesRole);
  QPushButton* skip = box.addButton(QStringLiteral("Ignorer"), QMessageBox::NoRole);
  QPushButton* replace_all = box.addButton(QStringLiteral("Tout remplacer"), QMessageBox::YesRole);
  QPushButton* cancel = box.addButton(QStringLiteral("Annuler"), QMessageBox::RejectRole);
  box.setDefaultButton(skip);
  box.setEscapeButton(cancel);
  box.exec();
  if (box.clickedButton() == replace) return Conflict::kReplace;
  if (box.clickedButton() == replace_all) return Conflict::kReplaceAll;
  if (box.clickedButton() == skip) return Conflict::kSkip;
  return Conflict::kCancel;
}

void TfrmTree::ExtractAll() {
  std::vector<const TFEntry*> files;
  for (int row = 0; row < sgFiles_->rowCount(); ++row) {
    const TFEntry* entry = EntryOfRow(row);
    if (entry != nullptr && !IsFolder(*entry)) files.push_back(entry);
  }
  if (files.empty()) {
    Message(QStringLiteral("Aucun fichier à extraire dans ce dossier."), "noFileBox");
    return;
  }
  const QString folder = AskDestinationFolder();
  if (folder.isEmpty()) return;
  const std::string folder_path = QFile::encodeName(folder).toStdString();
  int copied = 0, skipped = 0, failed = 0;
  bool replace_all = false, cancelled = false;
  for (const TFEntry* entry : files) {
    if (!SafeFileName(entry->LongName)) {
      Log(">>> NOM DE FICHIER REFUSÉ (IL SORTIRAIT DU DOSSIER): \"" + DisplayUtf8(entry->LongName) + "\"");
      ++failed;
      continue;
    }
    const std::string dest = folder_path + "/" + entry->LongName;
    const QString shown_dest = QFile::decodeName(QByteArray::fromStdString(dest));
    if (!replace_all && QFileInfo::exists(shown_dest)) {
      const Conflict answer = AskReplace(shown_dest);
      if (answer == Conflict::kCancel) {
        cancelled = true;
        break;
      }
      if (answer == Conflict::kSkip) {
        Log(">>> FICHIER IGNORÉ, DÉJÀ PRÉSENT: " + DisplayUtf8(dest));
        ++skipped;
        continue;
      }
      replace_all = answer == Conflict::kReplaceAll;
    }
    lStatus_->setText(QStringLiteral("Extraction ") + Shown(entry->LongName));
    lStatus_->repaint();
    // A failure is written to the log by the component; the next file follows.
    if (veskb_.ExtractFile(entry, dest)) {
      ++copied;
    } else {
      ++failed;
    }
  }
  lStatus_->setText(kStatusText);
  std::string line = StrFormat(">>> EXTRACTION %s: %d FICHIER(S) COPIÉ(S) SUR %d VERS %s",
                               cancelled ? "ANNULÉE" : "TERMINÉE", copied, static_cast<int>(files.size()),
                               DisplayUtf8(folder_path).c_str());
  if (skipped > 0) line += StrFormat(", %d IGNORÉ(S)", skipped);
  if (failed > 0) line += StrFormat(", %d EN ÉCHEC", failed);
  Log(line);
}

bool TfrmTree::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == pStatus_ || watched == lStatus_) && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    ExtractAll();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmTree::Message(const QString& text, const char* name) {
  QMessageBox box(QMessageBox::Information, QString::fromUtf8(kAppTitle), text, QMessageBox::Ok, this);
  box.setObjectName(QString::fromLatin1(name));
  box.exec();
}

void TfrmTree::Log(const std::string& line) { veskb_.DebugMessage(line, kMsgStatus); }

}  // namespace zamo
