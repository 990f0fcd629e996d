#include "app/session_chooser.h"

#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/disc_explorer.h"
#include "app/main_window.h"
#include "burner/compilation/veskburner.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

// Blocks of 2048 bytes as "#,##0.00 MB".
QString Megabytes(uint32_t blocks) { return QString::fromStdString(FormatMb(int64_t{blocks} * kSectorSize)); }

QString StatusText(int disc_status) {
  if (disc_status == -1) return QStringLiteral("Statut média inconnu");
  if (disc_status == 2) return QStringLiteral("Média CLÔTURÉ/FINALISÉ");
  return QStringLiteral("Média OUVERT");
}

// A caption and its value on one row of the top panel.
QLabel* AddPair(QGridLayout* grid, int row, const QString& caption, const char* name) {
  auto* left = new QLabel(caption);
  grid->addWidget(left, row, 0);
  auto* value = new QLabel;
  value->setObjectName(QString::fromLatin1(name));
  value->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(value, row, 1);
  return value;
}

}  // namespace

const QString TfrmSessions::kErrorLine = QStringLiteral("     Erreur dans l'obtention de la session");

TfrmSessions::TfrmSessions(TVeskBurner& veskb, QWidget* parent) : QDialog(parent), veskb_(veskb) {
  setObjectName(QStringLiteral("frmSessions"));
  setWindowTitle(QStringLiteral(" Sessions"));
  Build();
}

void TfrmSessions::Build() {
  auto* top = new QFrame(this);
  top->setObjectName(QStringLiteral("pTop"));
  top->setFrameShape(QFrame::StyledPanel);
  auto* grid = new QGridLayout(top);
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(12);
  lMedium_ = AddPair(grid, 0, QStringLiteral("Medium  :"), "lMedium");
  lSize_ = AddPair(grid, 1, QStringLiteral("Taille  :"), "lSize");
  lUsed_ = AddPair(grid, 2, QStringLiteral("Utilisé  :"), "lUsed");
  lFree_ = AddPair(grid, 3, QStringLiteral("Libre  :"), "lFree");

  // The heading and the lines share a fixed-pitch font, so that the padded
  // fields of each line stand under their heading.
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  auto* heading_bar = new QFrame(this);
  heading_bar->setObjectName(QStringLiteral("pHeading"));
  heading_bar->setFrameShape(QFrame::StyledPanel);
  heading_bar->setBackgroundRole(QPalette::Mid);
  heading_bar->setAutoFillBackground(true);
  auto* heading_row = new QHBoxLayout(heading_bar);
  heading_row->setContentsMargins(4, 2, 2, 2);
  auto* heading = new QLabel(QStringLiteral(" Numéro     Début     Taille"), heading_bar);
  heading->setObjectName(QStringLiteral("lHeading"));
  heading->setFont(fixed);
  heading_row->addWidget(heading);
  heading_row->addStretch();
  bShow_ = new QPushButton(QStringLiteral("Afficher"), heading_bar);
  bShow_->setObjectName(QStringLiteral("bShow"));
  bShow_->setAutoDefault(false);  // Enter closes the window
  SetHint(bShow_, QStringLiteral("Afficher le contenu de la session choisie"));
  heading_row->addWidget(bShow_);
  connect(bShow_, &QPushButton::clicked, this, &TfrmSessions::bShowClick);

  lbSessions_ = new QListWidget(this);
  lbSessions_->setObjectName(QStringLiteral("lbSessions"));
  lbSessions_->setFont(fixed);
  lbSessions_->setMinimumSize(380, 140);
  SetHint(lbSessions_, QStringLiteral("Un clic sur une session l'affiche"));
  connect(lbSessions_, &QListWidget::itemClicked, this, &TfrmSessions::bShowClick);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(top);
  layout->addSpacing(4);
  layout->addWidget(heading_bar);
  layout->addWidget(lbSessions_, 1);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed border
}

QString TfrmSessions::SessionLine(int session, uint32_t start_block, uint32_t size_blocks) {
  // Whole MB rounded half to even, as the sizes are everywhere in the program.
  const auto megabytes = static_cast<int64_t>(std::nearbyint(size_blocks / 512.0));
  return QStringLiteral("  ") + QString::fromStdString(PadLeft(3, "0", session)) + QStringLiteral("    ") +
         QString::fromStdString(PadLeft(8, " ", start_block)) + QStringLiteral("   ") +
         QString::fromStdString(PadLeft(4, " ", megabytes)) + QStringLiteral(" MB");
}

bool TfrmSessions::ReadDisc() {
  lbSessions_->clear();
  TDisc disc;
  veskb_.GetDiscInfo(disc);  // Ready: TEST UNIT READY answered within 5 s
  if (!disc.Ready) {
    lbSessions_->addItem(kErrorLine);
    return false;
  }
  const TDiscKind kind = veskb_.GetDiscType();
  const int sessions = veskb_.GetSessionCount();
  for (int s = 1; s <= sessions; ++s) {
    // The session's first track: its start is the session's (a failed
    // read leaves the record zero).
    veskb_.ReadTrackInformationOf(2, static_cast<uint32_t>(s));
    lbSessions_->addItem(SessionLine(s, veskb_.TrackInfo.TrackStart, veskb_.TrackInfo.TrackSize));
  }
  lFree_->setText(Megabytes(veskb_.GetFreeBlocks()) + QStringLiteral(", ") + StatusText(veskb_.GetDiscStatus()));
  veskb_.GetDiscInfo(disc);
  lMedium_->setText(QString::fromUtf8(DiscKindName(kind)));
  lSize_->setText(Megabytes(veskb_.GetDiscCapacity()));
  lUsed_->setText(Megabytes(veskb_.GetNextWritableAddress()) + QStringLiteral(",  Nb. de Sessions : ") +
                  QString::number(sessions));
  return true;
}

int TfrmSessions::Open() {
  const bool ready = ReadDisc();
  if (ready) TSCSIDevice::SetReleaseHandles(true);
  const int result = exec();
  if (!ready) TSCSIDevice::SetReleaseHandles(true);
  return result;
}

void TfrmSessions::bShowClick() {
  const QList<QListWidgetItem*> selected = lbSessions_->selectedItems();
  if (selected.isEmpty()) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kAppTitle),
                    QStringLiteral("Choisir une session parmi la liste "), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("noSessionBox"));
    box.exec();
    return;
  }
  const int session = lbSessions_->row(selected.constFirst()) + 1;
  veskb_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs);
  // A failure is reported in the log by the component; the explorer then
  // shows what could be read (at least the empty root).
  veskb_.ImportSessionTree(session, veskb_.RootDir);
  TfrmTree(veskb_, this).Open();
}

void TfrmSessions::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);  // Esc rejects
}

}  // namespace zamo
