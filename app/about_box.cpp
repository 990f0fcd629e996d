// about_box.cpp: the about box and the program's picture.
#include "app/about_box.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QRadialGradient>
#include <QConicalGradient>
#include <QVBoxLayout>

#include "app/main_window.h"

namespace zamo {
namespace {

QPixmap DiscPicture(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF centre(size / 2.0, size / 2.0);
  const double radius = size / 2.0 - std::max(1.0, size / 32.0);
  // The recording side: silver with a coloured sheen.
  QConicalGradient sheen(centre, 30);
  sheen.setColorAt(0.00, QColor(0xC8, 0xD3, 0xE6));
  sheen.setColorAt(0.15, QColor(0xF4, 0xE3, 0xB5));
  sheen.setColorAt(0.30, QColor(0xE7, 0xF0, 0xFA));
  sheen.setColorAt(0.50, QColor(0xB9, 0xC9, 0xE8));
  sheen.setColorAt(0.65, QColor(0xE2, 0xC7, 0xF0));
  sheen.setColorAt(0.80, QColor(0xEE, 0xF4, 0xFB));
  sheen.setColorAt(1.00, QColor(0xC8, 0xD3, 0xE6));
  p.setPen(QPen(QColor(0x5A, 0x67, 0x7D), std::max(1.0, size / 48.0)));
  p.setBrush(sheen);
  p.drawEllipse(centre, radius, radius);
  // The clamping ring and the hole.
  p.setBrush(QColor(0xDD, 0xE3, 0xEC));
  p.drawEllipse(centre, radius * 0.34, radius * 0.34);
  p.setBrush(Qt::white);
  p.setCompositionMode(QPainter::CompositionMode_Clear);
  p.drawEllipse(centre, radius * 0.14, radius * 0.14);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(centre, radius * 0.14, radius * 0.14);
  // A red burning beam across the data area.
  if (size >= 24) {
    QPen beam(QColor(0xD0, 0x21, 0x1B), size / 14.0, Qt::SolidLine, Qt::RoundCap);
    p.setPen(beam);
    p.drawArc(QRectF(centre.x() - radius * 0.68, centre.y() - radius * 0.68, radius * 1.36, radius * 1.36), 20 * 16,
              110 * 16);
  }
  return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(DiscPicture(size));
  return icon;
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(QStringLiteral("A Propos "));
  setModal(true);

  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("ProgramIcon"));
  picture->setPixmap(DiscPicture(72));
  picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

  auto* product = new QLabel(QStringLiteral("Graveur de données ZAMO"), this);
  product->setObjectName(QStringLiteral("ProductName"));
  QFont big = product->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.3);
  product->setFont(big);
  auto* version = new QLabel(QStringLiteral("Version de fichier: ") + VersionText(), this);
  version->setObjectName(QStringLiteral("Version"));
  auto* note = new QLabel(QStringLiteral("Vous êtes priés de consulter l'aide avant d'utiliser ce logiciel, et "
                                         "particulièrement le chapitre portant sur les sessions. "),
                          this);
  note->setObjectName(QStringLiteral("Comments"));
  note->setWordWrap(true);

  auto* texts = new QVBoxLayout;
  texts->addWidget(product);
  texts->addWidget(version);
  texts->addSpacing(8);
  texts->addWidget(note);
  texts->addStretch();
  auto* head = new QHBoxLayout;
  head->addWidget(picture);
  head->addSpacing(12);
  head->addLayout(texts, 1);

  // The update group: updates come with the system's packages.
  auto* updates = new QGroupBox(QStringLiteral(" Mise à jour "), this);
  updates->setObjectName(QStringLiteral("UpdateGroup"));
  auto* check = new QPushButton(QStringLiteral("Vérifier"), updates);
  check->setObjectName(QStringLiteral("bCheckUpdate"));
  check->setEnabled(false);
  SetHint(check, QStringLiteral("Les mises à jour de ZAMO viennent avec les paquets du système : utilisez le "
                                "gestionnaire de paquets de votre distribution."));
  auto* progress = new QProgressBar(updates);
  progress->setObjectName(QStringLiteral("UpdateProgress"));
  progress->setRange(0, 100);
  progress->setValue(0);
  progress->setTextVisible(false);
  auto* explanation = new QLabel(QStringLiteral("ZAMO ne cherche pas lui-même de nouvelle version : ses mises à "
                                                "jour viennent avec les paquets du système, par son gestionnaire "
                                                "de paquets."),
                                 updates);
  explanation->setObjectName(QStringLiteral("UpdateExplanation"));
  explanation->setWordWrap(true);
  auto* web = new QLabel(QStringLiteral("<a href=\"help\">Page web de l'application</a>"), updates);
  web->setObjectName(QStringLiteral("WebLink"));
  web->setTextFormat(Qt::RichText);
  SetHint(web, QStringLiteral("Ouvre l'aide de ZAMO dans le navigateur."));
  connect(web, &QLabel::linkActivated, this, [] { OpenHelp(); });
  auto* check_row = new QHBoxLayout;
  check_row->addWidget(check);
  check_row->addWidget(progress, 1);
  auto* group_column = new QVBoxLayout(updates);
  group_column->addLayout(check_row);
  group_column->addWidget(explanation);
  group_column->addWidget(web);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->setCenterButtons(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* column = new QVBoxLayout(this);
  column->addLayout(head);
  column->addSpacing(6);
  column->addWidget(updates);
  column->addWidget(buttons);
  setFixedWidth(420);
}

}  // namespace zamo
