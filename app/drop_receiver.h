// drop_receiver.h: TExDragDrop, which takes the files and folders dropped on
// one widget (its Control) from the desktop's file manager, the shell
// browser or any drag source that offers file names as text/uri-list.
//
// Binding a control makes it (and, for a scroll area such as a list, its
// viewport) accept drops and routes its drag and drop events through the
// receiver first; every other event goes on to the control unchanged. A drag
// that offers no local file is refused (the cursor says so). On a drop,
// Items is cleared and filled with each local path, in the order the source
// gave them, then OnDropped fires with the number of paths. Non-file URLs
// (http:, a file: URL of another host) are passed over. Paths are kept
// whole, as the file system's bytes (NativeItems) and as text (Items).
//
// Thread safety: GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QMimeData;

namespace zamo {

class TExDragDrop : public QObject {
  Q_OBJECT

 public:
  // Sender, ItemsCount.
  using TDroppedEvent = std::function<void(TExDragDrop* Sender, int ItemsCount)>;

  explicit TExDragDrop(QObject* parent = nullptr);
  // Gives the control back its own drop handling.
  ~TExDragDrop() override;

  QWidget* Control() const { return control_; }
  // Binds the receiver to `control` (null: unbinds and restores the former
  // one). Binding the control already bound does nothing.
  void SetControl(QWidget* control);

  // The paths of the last drop, in the source's order.
  const QStringList& Items() const { return items_; }
  // The same paths as the file system's bytes (what opens the file even
  // when its name is not valid UTF-8).
  const std::vector<std::string>& NativeItems() const { return native_items_; }

  TDroppedEvent OnDropped;

  // The local paths a drag offers (its text/uri-list), as bytes, in order.
  static std::vector<std::string> LocalPaths(const QMimeData* mime);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The widgets that receive the control's drag events, and whether each
  // accepted drops before it was bound.
  struct Target {
    QPointer<QWidget> widget;
    bool accepted_drops = false;
  };
  void Bind(QWidget* control);
  void Unbind();

  QPointer<QWidget> control_;
  std::vector<Target> targets_;
  QStringList items_;
  std::vector<std::string> native_items_;
};

}  // namespace zamo
