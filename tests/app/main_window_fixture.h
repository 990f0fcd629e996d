// main_window_fixture.h: the main window shown over emulated recorders for a
// window test, and what such tests share: running events until something
// holds, a child found by its object name, the log pane's lines, a click on
// a toolbar button. Everything is left as it was found at the test's end.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QToolButton>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "burner/drive/transport.h"
#include "tests/app/emulated_recorders.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {

// Runs events until `done` or the time is up.
inline bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class MainWindowFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    form_.reset();
    transport::AspiUnload();
    transport::SetPassThroughFactory(nullptr);
    unsetenv("ZAMO_EMULATED_DRIVES");
  }

  // The window shown over the emulated recorders of `drives`: "KIND[,options]"
  // on a disc of the test's folder (disc<i>.img), or "KIND:IMAGE[,options]".
  void ShowWindow(const std::vector<std::string>& drives) {
    UseEmulatedRecorders(dir_.path(), drives);
    form_ = std::make_unique<TForm1>();
    form_->show();
  }

  template <typename T>
  T* Child(const char* name) {
    T* child = form_->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  void Click(const char* tool) { QTest::mouseClick(Child<QToolButton>(tool), Qt::LeftButton); }
  // The pane's lines once it has shown what was logged (it appends every 20 ms).
  QStringList LogLines() {
    QTest::qWait(60);
    return Child<QPlainTextEdit>("Memo1")->toPlainText().split(QLatin1Char('\n'));
  }

  TempDir dir_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace zamo::test
