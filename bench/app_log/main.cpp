// zamo_app_log: the main window's log pane taking 100,000 lines, the way the
// component's threads send them (OnDebugMessage on a worker thread, each
// line handed to the GUI thread), then 100,000 more from the GUI thread
// itself, and prints what it cost:
//
//   thread_ms=N thread_lines_per_s=N paints=N max_paint_gap_ms=N max_tick_gap_ms=N
//   gui_ms=N lines=N scroll_ms=N rss_before_kb=N rss_after_kb=N
//
// While the worker logs, a 20 ms timer measures how long the GUI thread
// goes without running its events (max_tick_gap_ms) and the log pane's
// repaints are counted (paints, max_paint_gap_ms: the longest time without
// one). scroll_ms is a jump to the first line and back to the last, each
// repainted. Run it on a display (xvfb-run) so that painting is real; the
// emulated recorders of ZAMO_EMULATED_DRIVES give the window its drives.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/main_window.h"

namespace {

constexpr int kLines = 100000;

long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::string(key).size(), nullptr, 10);
  return -1;
}

// Counts the log pane's repaints and the longest time between two.
class PaintWatch : public QObject {
 public:
  explicit PaintWatch(QElapsedTimer& clock) : clock_(clock) {}
  int paints = 0;
  qint64 last = -1, max_gap = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      const qint64 now = clock_.elapsed();
      if (last >= 0) max_gap = std::max(max_gap, now - last);
      last = now;
      ++paints;
    }
    return false;
  }

 private:
  QElapsedTimer& clock_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  zamo::TForm1 form;
  form.show();
  auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
  if (memo == nullptr) return 1;
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 300) QApplication::processEvents();
  const long rss_before = StatusKb("VmRSS:");

  QElapsedTimer clock;
  PaintWatch watch(clock);
  memo->viewport()->installEventFilter(&watch);
  qint64 last_tick = 0, max_tick_gap = 0;
  QTimer tick;
  tick.setInterval(20);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    max_tick_gap = std::max(max_tick_gap, now - last_tick);
    last_tick = now;
  });

  // Lines from a worker thread, as a writing job's log arrives.
  std::atomic<bool> done{false};
  clock.start();
  tick.start();
  std::thread worker([&] {
    for (int i = 0; i < kLines; ++i) {
      form.Log(">>> ligne " + std::to_string(i) + " : écriture du bloc, tampon du graveur à 97 %");
    }
    done = true;
  });
  // The GUI thread runs its event loop as the program does, until the worker ends.
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done) loop.quit();
  });
  poll.start(10);
  loop.exec();
  worker.join();
  QApplication::processEvents();
  const qint64 thread_ms = clock.elapsed();
  tick.stop();
  const int thread_paints = watch.paints;
  const qint64 paint_gap = watch.max_gap;

  // Lines from the GUI thread itself (a job running there).
  QElapsedTimer gui;
  gui.start();
  for (int i = 0; i < kLines; ++i) form.Log("ligne du fil principal " + std::to_string(i));
  QApplication::processEvents();
  const qint64 gui_ms = gui.elapsed();

  QElapsedTimer scroll;
  scroll.start();
  memo->verticalScrollBar()->setValue(0);
  memo->viewport()->repaint();
  memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
  memo->viewport()->repaint();
  const qint64 scroll_ms = scroll.elapsed();

  std::printf(
      "thread_ms=%lld thread_lines_per_s=%lld paints=%d max_paint_gap_ms=%lld max_tick_gap_ms=%lld gui_ms=%lld "
      "lines=%d scroll_ms=%lld rss_before_kb=%ld rss_after_kb=%ld\n",
      static_cast<long long>(thread_ms), static_cast<long long>(kLines * 1000LL / std::max<qint64>(thread_ms, 1)),
      thread_paints, static_cast<long long>(paint_gap), static_cast<long long>(max_tick_gap),
      static_cast<long long>(gui_ms), memo->blockCount(), static_cast<long long>(scroll_ms), rss_before,
      StatusKb("VmRSS:"));
  return 0;
}
