#include "app/options_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QVBoxLayout>
#include <optional>

#include "app/balloon.h"
#include "app/main_window.h"
#include "app/settings_file.h"
#include "app/skin.h"
#include "burner/compilation/veskburner.h"

namespace zamo {
namespace {

constexpr int kMegabyte = 1048576;

QCheckBox* MakeBox(QWidget* parent, const char* name, const char* caption, const char* hint) {
  auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
  box->setObjectName(QString::fromLatin1(name));
  SetHint(box, QString::fromUtf8(hint));
  return box;
}

QString SkinCaption() { return SkinOn() ? QStringLiteral("XP") : QStringLiteral("Office 2007"); }

}  // namespace

TfrmSettings::TfrmSettings(TAppOptions& options, TVeskBurner& burner, std::string settings_path, QWidget* parent)
    : QDialog(parent), options_(options), burner_(burner), settings_path_(std::move(settings_path)) {
  setWindowTitle(QStringLiteral("    Options "));
  setModal(true);
  BuildControls();
  FillControls();
}

void TfrmSettings::BuildControls() {
  auto* outer = new QVBoxLayout(this);
  // Fixed to what the controls need: a dialog border that cannot be resized.
  outer->setSizeConstraint(QLayout::SetFixedSize);

  auto* volume_row = new QHBoxLayout;
  volume_row->addWidget(new QLabel(QStringLiteral("Nom de Volume :"), this));
  eVolLabel_ = new QLineEdit(this);
  eVolLabel_->setObjectName(QStringLiteral("eVolLabel"));
  eVolLabel_->setMaxLength(16);
  eVolLabel_->setMinimumWidth(eVolLabel_->fontMetrics().horizontalAdvance(QString(18, QLatin1Char('W'))));
  volume_row->addWidget(eVolLabel_);
  volume_row->addStretch();
  outer->addLayout(volume_row);

  auto* columns = new QHBoxLayout;
  outer->addLayout(columns);

  auto* preferences = new QGroupBox(QStringLiteral(" Préférences "), this);
  auto* grid = new QGridLayout(preferences);
  cJoliet_ = MakeBox(preferences, "cJoliet", "Format de fichier Joliet",
                     "Extension au format ISO pour supporter les noms longs ");
  cCloseDisc_ = MakeBox(preferences, "cCloseDisc", "Clôturer le média*",
                        "Si coché, le média sera finalisé. Ce sera le dernier gravage. ");
  cImportSession_ = MakeBox(preferences, "cImportSession", "Importer une Session*",
                            "Importer une session pour lier les données. ");
  eSession_ = new QLineEdit(QStringLiteral("-1"), preferences);
  eSession_->setObjectName(QStringLiteral("eSession"));
  eSession_->setFixedWidth(eSession_->fontMetrics().horizontalAdvance(QStringLiteral("-0000")) + 12);
  cUnderrunProtection_ = MakeBox(preferences, "cUnderrunProtection", " Protection",
                                 "Utilise la lecture temporisée (cache): moins rapide mais plus fiable. ");
  cTestWrite_ = MakeBox(preferences, "cTestWrite", "Simulation",
                        "Simule une écriture sur le média (le laser demeure inactif).");
  cEject_ = MakeBox(preferences, "cEject", "Ejecter le média après écriture", "Éjecte le média après le gravage. ");
  cOPC_ = MakeBox(preferences, "cOPC", "Calibration OPC", "Pour optimiser la compatibilité entre média et graveur. ");
  cQuickSaveISO_ = MakeBox(preferences, "cQuickSaveISO", "Sauvegarde rapide en format .ISO*",
                           "Sauve automatiquement les fichiers au format ISO. ");
  cArchiveOnly_ = MakeBox(preferences, "cArchiveOnly", "Copie incrémentale*",
                          "Option de sauvegarde incrémentale. Consultez l'aide. ");
  cShowFiles_ = MakeBox(preferences, "cShowFiles", "Montrer les fichiers avant la gravure ",
                        "Affiche l'explorateur de fichiers ZAMO avant la gravure du média. ");
  int row = 0;
  for (QCheckBox* box : {cJoliet_, cCloseDisc_, cImportSession_, cUnderrunProtection_, cTestWrite_, cEject_, cOPC_,
                         cQuickSaveISO_, cArchiveOnly_, cShowFiles_}) {
    grid->addWidget(box, row, 0);
    if (box == cImportSession_) grid->addWidget(eSession_, row, 1, Qt::AlignLeft);
    ++row;
  }
  grid->setColumnStretch(2, 1);
  columns->addWidget(preferences);

  auto* right = new QVBoxLayout;
  columns->addLayout(right);
  auto* indices = new QGroupBox(QStringLiteral(" Indice des sessions"), this);
  auto* index_lines = new QVBoxLayout(indices);
  for (const char* line : {"-1 : dernière session", "0  : nouvelle", "1  : session 1", "2  : session 2 etc."}) {
    index_lines->addWidget(new QLabel(QString::fromUtf8(line), indices));
  }
  right->addWidget(indices);

  auto* cache = new QGroupBox(QStringLiteral(" Cache "), this);
  auto* cache_layout = new QGridLayout(cache);
  auto* cache_caption = new QLabel(QStringLiteral("Taille de la Cache :"), cache);
  SetHint(cache_caption, QStringLiteral("Les fichiers à graver sont mis en mémoire RAM. Exige au minimum 2M RAM. "
                                        "Plus il y en a mieux c'est. "));
  sCacheSize_ = new QSlider(Qt::Vertical, cache);
  sCacheSize_->setObjectName(QStringLiteral("sCacheSize"));
  sCacheSize_->setRange(2, 64);
  sCacheSize_->setTickInterval(4);
  sCacheSize_->setTickPosition(QSlider::TicksRight);
  sCacheSize_->setMinimumHeight(110);
  lCacheSize_ = new QLabel(QStringLiteral("0"), cache);
  lCacheSize_->setObjectName(QStringLiteral("lCacheSize"));
  lCacheSize_->setMinimumWidth(lCacheSize_->fontMetrics().horizontalAdvance(QStringLiteral("64 MB")) + 4);
  connect(sCacheSize_, &QSlider::valueChanged, this, &TfrmSettings::ShowCacheSize);
  cache_layout->addWidget(cache_caption, 0, 0, 1, 2);
  cache_layout->addWidget(sCacheSize_, 1, 0, Qt::AlignHCenter);
  cache_layout->addWidget(lCacheSize_, 1, 1, Qt::AlignVCenter);
  right->addWidget(cache);
  right->addStretch();

  auto* boot_row = new QHBoxLayout;
  cBootable_ = MakeBox(this, "cBootable", "' Bootable '", "Pour créer un média de démarrage. Consultez l'Aide. ");
  lBootImage_ = new QLabel(this);
  lBootImage_->setObjectName(QStringLiteral("lBootImage"));
  QPalette grey = lBootImage_->palette();
  grey.setColor(QPalette::WindowText, Qt::gray);
  lBootImage_->setPalette(grey);
  boot_row->addWidget(cBootable_);
  boot_row->addWidget(lBootImage_, 1);
  outer->addLayout(boot_row);

  auto* bottom = new QHBoxLayout;
  auto* look = new QGroupBox(QStringLiteral(" Apparence "), this);
  auto* look_layout = new QHBoxLayout(look);
  btnSkin_ = new QPushButton(SkinCaption(), look);
  btnSkin_->setObjectName(QStringLiteral("btnSkin"));
  btnSkin_->setAutoDefault(false);
  btnSkin_->setMinimumWidth(btnSkin_->fontMetrics().horizontalAdvance(QStringLiteral("Office 2007")) + 24);
  look_layout->addWidget(btnSkin_);
  bottom->addWidget(look);
  bottom->addStretch();
  auto* accept = new QPushButton(QStringLiteral("Accepter"), this);
  accept->setObjectName(QStringLiteral("bAccept"));
  accept->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Annuler"), this);
  cancel->setObjectName(QStringLiteral("bCancel"));
  cancel->setAutoDefault(false);
  bottom->addWidget(accept, 0, Qt::AlignBottom);
  bottom->addWidget(cancel, 0, Qt::AlignBottom);
  outer->addLayout(bottom);

  connect(cImportSession_, &QCheckBox::toggled, eSession_, &QWidget::setEnabled);
  connect(cBootable_, &QCheckBox::clicked, this, &TfrmSettings::BootableClicked);
  connect(btnSkin_, &QPushButton::clicked, this, &TfrmSettings::SkinClicked);
  connect(accept, &QPushButton::clicked, this, &TfrmSettings::Accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  AttachBalloon(cCloseDisc_, QStringLiteral("Clôturer les média"),
                QStringLiteral("Une opération qui consiste à passer d'un média ouvert à l'écriture à un média fermé. "
                               "Ce sera définitif pour un CD-R. Pour un CD-RW il sera nécessaire d'effacer toutes "
                               "les sessions qui y sont contenues pour le graver de nouveau."));
  AttachBalloon(cImportSession_, QStringLiteral("Importer une session"),
                QStringLiteral("Opération qui permet d'importer et de lier les sessions entre elles.Pour graver "
                               "continuellement à la suite dans une même session il faut mettre la valeur à (-1). "
                               "La valeur 0 ouvre une nouvelle session. La valeur 1 rappelle la session 1 pour y "
                               "graver à la suite etc. Voir l'Aide pour plus de détails."));
  AttachBalloon(cQuickSaveISO_, QStringLiteral("Graver automatiquement au format ISO"),
                QStringLiteral("Utilisé pour débuter automatiquement la sauvegarde des fichiers au format ISO et "
                               "leur gravure sur le disque.\nATTENTION: La sauvegarde au format ISO efface les "
                               "écritures existantes sur le disque."));
  AttachBalloon(cArchiveOnly_, QStringLiteral("Sauvegarde incrémentale"),
                QStringLiteral("Opération qui conciste à copier seulement les fichiers modifiés depuis la dernière "
                               "sauvegarde. Autrement la sauvegarde des fichiers est complète. Consultez l'aide.."));
}

void TfrmSettings::FillControls() {
  eVolLabel_->setText(QString::fromStdString(burner_.IdVolume));
  cJoliet_->setChecked(burner_.JolietFileSystem);
  cCloseDisc_->setChecked(burner_.FinalizeDisc);
  cImportSession_->setChecked(options_.ImportSession);
  eSession_->setText(QString::number(options_.SessionNo));
  eSession_->setEnabled(options_.ImportSession);
  cUnderrunProtection_->setChecked(burner_.UnderrunProtection);
  cUnderrunProtection_->setEnabled((burner_.Capabilities & capUnderrunProtection) != 0);
  cTestWrite_->setChecked(burner_.TestWrite);
  cEject_->setChecked(options_.EjectDisc);
  cOPC_->setChecked(burner_.PerformOPC);
  cQuickSaveISO_->setChecked(options_.QuickSaveISO);
  cArchiveOnly_->setChecked(options_.ArchiveFiles);
  cShowFiles_->setChecked(options_.ShowFiles);
  sCacheSize_->setValue(burner_.CacheSize() / kMegabyte);
  ShowCacheSize(sCacheSize_->value());
  cBootable_->setChecked(burner_.Bootable);
  lBootImage_->setText(QString::fromStdString(burner_.BootImage));
}

void TfrmSettings::ShowCacheSize(int megabytes) {
  lCacheSize_->setText(QStringLiteral("%1 MB").arg(megabytes, 2));
}

void TfrmSettings::BootableClicked(bool checked) {
  if (!checked) return;  // the label keeps its text
  const QFileInfo current(lBootImage_->text());
  QFileDialog chooser(this, QStringLiteral("Image de démarrage"), current.absolutePath(),
                      QStringLiteral("All Image Files (*.IMG *.IMA *.BIN *.img *.ima *.bin);;All Files (*)"));
  chooser.setObjectName(QStringLiteral("BootImageChooser"));
  chooser.setFileMode(QFileDialog::ExistingFile);
  if (!lBootImage_->text().isEmpty()) chooser.selectFile(current.fileName());
  if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty()) {
    lBootImage_->setText(chooser.selectedFiles().constFirst());
  } else {
    cBootable_->setChecked(false);
  }
}

void TfrmSettings::SkinClicked() {
  SetSkinOn(!SkinOn());
  btnSkin_->setText(SkinCaption());
}

void TfrmSettings::Accept() {
  const bool import = cImportSession_->isChecked();
  const QString session_text = eSession_->text();
  const std::optional<int> session = ParseWholeNumber(session_text.toStdString());
  if (import && !session) {
    QMessageBox::warning(this, QString::fromLatin1(kAppTitle),
                         QStringLiteral("Session à importer : « %1 » n'est pas un nombre entier.\n"
                                        "Entrez -1 pour la dernière session, 0 pour une nouvelle, "
                                        "1 pour la session 1, etc.")
                             .arg(session_text));
    eSession_->setFocus();
    eSession_->selectAll();
    return;
  }

  burner_.JolietFileSystem = cJoliet_->isChecked();
  burner_.IdVolume = eVolLabel_->text().toStdString();
  burner_.FinalizeDisc = cCloseDisc_->isChecked();
  burner_.UnderrunProtection = cUnderrunProtection_->isChecked();
  burner_.TestWrite = cTestWrite_->isChecked();
  burner_.PerformOPC = cOPC_->isChecked();
  burner_.SetCacheSize(sCacheSize_->value() * kMegabyte);
  burner_.Bootable = cBootable_->isChecked();
  burner_.BootImage = lBootImage_->text().toStdString();

  options_.ArchiveFiles = cArchiveOnly_->isChecked();
  options_.EjectDisc = cEject_->isChecked();
  options_.ShowFiles = cShowFiles_->isChecked();
  options_.ImportSession = import;
  if (import && *session == 0) {
    QMessageBox::information(this, QString::fromLatin1(kAppTitle),
                             QStringLiteral("Session à importer. 'Zéro' ne rappelle aucune session"));
  }
  options_.SessionNo = import ? static_cast<int8_t>(*session) : 0;
  options_.QuickSaveISO = cQuickSaveISO_->isChecked();

  // The box's text as typed; a text the import does not use and that is no
  // number is written as the 0 in effect.
  const std::string written_session = session ? session_text.toStdString() : std::string("0");
  WriteAllSettings(settings_path_, options_, burner_, written_session,
                   [this](const std::string& line) { burner_.DebugMessage(line, kMsgStatus); });
  accept();
}

void TfrmSettings::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* where = screen()) move(where->availableGeometry().center() - rect().center());
}

}  // namespace zamo
