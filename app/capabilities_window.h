// capabilities_window.h: TForm2, the small modal window that shows what the
// selected recorder reads and writes, whether it protects against buffer
// underrun, and its maximum speeds. It shows what the component learnt when
// the drive was chosen (its typed capabilities, DeviceMaxWriteSpeed,
// DeviceMaxReadSpeed, DeviceString) and sends nothing to the drive.
//
// The main window opens it from "Topo" and "Propriétés du CD/DVD":
//   TForm2 window(veskb, this);
//   window.exec();
// Esc closes it.
//
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>

namespace zamo {

class TSCSIDevice;

class TForm2 : public QDialog {
  Q_OBJECT

 public:
  // Fills every control from `device`.
  explicit TForm2(const TSCSIDevice& device, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Build(const TSCSIDevice& device);
};

}  // namespace zamo
