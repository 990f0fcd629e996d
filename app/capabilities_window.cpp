#include "app/capabilities_window.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include "burner/drive/scsi_device.h"

namespace zamo {
namespace {

struct TCapabilityBox {
  const char* name;
  const char* caption;
  uint32_t bit;
};

// Rows of the panel: what the drive reads on the left, what it writes on the
// right. The DVD+R DL and method-2 bits are not shown.
constexpr TCapabilityBox kRows[][2] = {
    {{"cReadCdR", "Lecture CDR", capReadCdR}, {"cWriteCdR", "Écriture CDR", capWriteCdR}},
    {{"cReadCdRw", "Lecture CDRW", capReadCdRw}, {"cWriteCdRw", "Écriture CDRW", capWriteCdRw}},
    {{"cReadDvdR", "Lecture DVD-R", capReadDvdR}, {"cWriteDvdR", "Écriture DVD-R", capWriteDvdR}},
    {{"cReadDvdRw", "Lecture DVD-RW", capReadDvdRw}, {"cWriteDvdRw", "Écriture DVD-RW", capWriteDvdRw}},
    {{"cReadDvdRam", "Lecture DVD-RAM", capReadDvdRam}, {"cWriteDvdRam", "Écriture DVD-RAM", capWriteDvdRam}},
    {{"cReadDvdPlusR", "Lecture DVD+R", capReadDvdPlusR}, {"cWriteDvdPlusR", "Écriture DVD+R", capWriteDvdPlusR}},
    {{"cReadDvdPlusRw", "Lecture DVD+RW", capReadDvdPlusRw},
     {"cWriteDvdPlusRw", "Écriture DVD+RW", capWriteDvdPlusRw}},
    {{"cReadDvd", "Lecture DVD", capReadDvdRom}, {"cTestWrite", "Écriture Test", capTestWrite}},
};
constexpr TCapabilityBox kUnderrun = {"cUnderrun", "Protection Underrun ", capUnderrunProtection};

// A check box that shows a state and ignores clicks and keys.
class TReadOnlyBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  void nextCheckState() override {}
};

// A box that shows a bit, its caption on the left.
QCheckBox* MakeBox(const TCapabilityBox& box, uint32_t media, QWidget* parent) {
  auto* check = new TReadOnlyBox(QString::fromUtf8(box.caption), parent);
  check->setObjectName(QString::fromLatin1(box.name));
  check->setChecked((media & box.bit) != 0);
  check->setLayoutDirection(Qt::RightToLeft);
  check->setFocusPolicy(Qt::NoFocus);
  return check;
}

QLabel* MakeSpeedLine(const char* name, const char* caption, int kbs, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(caption) + QString::number(kbs) + QStringLiteral(" KB/s"), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

}  // namespace

TForm2::TForm2(const TSCSIDevice& device, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("     Caractéristiques du graveur"));
  setModal(true);
  QPalette grey = palette();
  grey.setColor(QPalette::Window, QColor(239, 239, 239));
  setPalette(grey);
  setAutoFillBackground(true);
  Build(device);
}

void TForm2::Build(const TSCSIDevice& device) {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  outer->setSpacing(8);
  // Fixed to what the controls need: a dialog border that cannot be resized.
  outer->setSizeConstraint(QLayout::SetFixedSize);

  auto* title = new QLabel(QStringLiteral("  ") + QString::fromStdString(device.DeviceString), this);
  title->setObjectName(QStringLiteral("lDevice"));
  title->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  title->setAutoFillBackground(true);
  QPalette white = title->palette();
  white.setColor(QPalette::Window, Qt::white);
  title->setPalette(white);
  title->setFrameShape(QFrame::StyledPanel);
  title->setMinimumHeight(title->sizeHint().height() + 8);
  outer->addWidget(title);

  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::StyledPanel);
  auto* grid = new QGridLayout(panel);
  grid->setHorizontalSpacing(32);
  grid->setVerticalSpacing(6);
  const uint32_t media = device.DriveCapabilities().Media;
  int row = 0;
  for (const auto& pair : kRows) {
    grid->addWidget(MakeBox(pair[0], media, panel), row, 0);
    grid->addWidget(MakeBox(pair[1], media, panel), row, 1);
    ++row;
  }
  grid->addWidget(MakeBox(kUnderrun, media, panel), row++, 0, 1, 2);
  grid->setRowMinimumHeight(row++, 6);
  grid->addWidget(MakeSpeedLine("lMaxWrite", "Vitesse Max Écriture : ", device.DeviceMaxWriteSpeed, panel), row, 0);
  grid->addWidget(MakeSpeedLine("lMaxRead", "Vitesse Max Lecture  : ", device.DeviceMaxReadSpeed, panel), row, 1);
  outer->addWidget(panel);
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* where = screen()) move(where->availableGeometry().center() - rect().center());
}

}  // namespace zamo
