// modal.h: answering a modal dialog from a widget test, as a user would
// answer it, once the dialog's own event loop runs.
#pragma once

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace zamo::test {

// Answers the next modal dialog of class T once its own event loop runs
// (tried every 10 ms for up to 10 s). An answer given while the dialog is
// still being shown, before exec() enters its loop, would leave that loop
// waiting for ever.
template <typename T>
void WhenModal(const std::function<void(T*)>& answer, int tries = 1000,
               int level = QThread::currentThread()->loopLevel() + 1) {
  QTimer::singleShot(10, [answer, tries, level] {
    auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
    if (modal != nullptr && modal->isVisible() && QThread::currentThread()->loopLevel() >= level) {
      answer(modal);
    } else if (tries > 0) {
      WhenModal<T>(answer, tries - 1, level);
    }
  });
}

}  // namespace zamo::test
