// zamo_app_jobs: one job of the desktop program's main window, started and
// answered as a user does it, over the emulated recorder of
// ZAMO_EMULATED_DRIVES:
//
//   zamo_app_jobs [--time-only] burn FILE...            Gravure > Graver, "Oui" to the confirmation
//   zamo_app_jobs [--time-only] save IMAGE.iso FILE...  Gravure > Créer une image ISO, IMAGE.iso in the
//                                                       save dialog
//   zamo_app_jobs idle MS FILE...                       no job: the responsiveness measures for MS ms
//                                                       (the machine's own noise)
//
// The files go to the list as the command line's files do (AddPaths), the
// job's menu entry is triggered, each box and dialog is answered once its
// own event loop runs, and the job is timed from the user's last answer
// (the click on "Oui", or on the save dialog's button) to the line
// ">>> ÉCRITURE TERMINÉE: - SUCCÈS" in the log pane: the time the user waits
// for the job (ms); from the menu entry (menu_ms) it includes the dialog's
// opening and, for a burn, building the compilation. Meanwhile the GUI
// thread's responsiveness is measured in the same process, from the menu
// entry to the end: a 10 ms timer gives the longest time the event loop went
// without running its timers (max_tick_gap_ms), and the log pane is asked to
// repaint every 40 ms, which gives the longest wait from such a request to
// its paint (max_paint_wait_ms) and the longest time between two paints
// (max_paint_gap_ms). The GUI thread's scheduler figures
// (/proc/thread-self/schedstat) split each gap of the event loop into the
// time the thread waited for a core, runnable, and the rest (running, or
// blocked): max_own_gap_ms is the largest such rest, the part of a gap the
// program itself makes whatever the machine's load; core_wait_ms is the wait
// for a core within the largest gap. Prints one line:
//
//   job=burn ms=N menu_ms=N max_tick_gap_ms=N core_wait_ms=N max_own_gap_ms=N max_paint_wait_ms=N
//   max_paint_gap_ms=N paints=N ticks=N
//
// With --time-only the job runs without those measures, whose timers and
// repaints take a little of the GUI thread (a few percent of a save of
// 600 MiB from the page cache), and only job, ms and menu_ms are printed.
//
// With ZAMO_BENCH_TRACE=1, every gap of the event loop over 40 ms and every
// log line are written to stderr with their time, to see what stalls.
// Exit status 1 (and the log on stderr) when the job does not succeed
// within 10 minutes. Run it on a display (xvfb-run) so that painting is real.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main_window.h"

namespace {

constexpr int kTickMs = 10;
constexpr int kPaintRequestMs = 40;
constexpr int kJobLimitMs = 600000;
constexpr int kTracedGapMs = 40;

// Asks a widget to repaint every kPaintRequestMs and notes how long each
// request waited for its paint, and the gaps between paints.
class PaintProbe : public QObject {
 public:
  PaintProbe(QWidget* widget, QElapsedTimer& clock) : widget_(widget), clock_(clock) {
    widget_->installEventFilter(this);
    connect(&request_, &QTimer::timeout, this, [this] {
      if (asked_ < 0) asked_ = clock_.elapsed();
      widget_->update();
    });
  }
  void Start() {
    last_paint_ = clock_.elapsed();
    request_.start(kPaintRequestMs);
  }
  // Ends the measure: a request still waiting counts with its wait so far.
  void Stop() {
    request_.stop();
    const qint64 now = clock_.elapsed();
    if (asked_ >= 0) max_wait = std::max(max_wait, now - asked_);
    max_gap = std::max(max_gap, now - last_paint_);
  }
  int paints = 0;
  qint64 max_wait = 0, max_gap = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && request_.isActive()) {
      const qint64 now = clock_.elapsed();
      if (asked_ >= 0) max_wait = std::max(max_wait, now - asked_);
      max_gap = std::max(max_gap, now - last_paint_);
      asked_ = -1;
      last_paint_ = now;
      ++paints;
    }
    return false;
  }

 private:
  QWidget* widget_;
  QElapsedTimer& clock_;
  QTimer request_;
  qint64 asked_ = -1, last_paint_ = 0;
};

// The calling thread's time spent waiting for a core while runnable (ns),
// from the scheduler; 0 where the kernel does not give it.
class CoreWait {
 public:
  CoreWait() : fd_(open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}
  ~CoreWait() {
    if (fd_ >= 0) close(fd_);
  }
  long long Ns() const {
    char text[128];
    const ssize_t got = fd_ < 0 ? -1 : pread(fd_, text, sizeof text - 1, 0);
    if (got <= 0) return 0;
    text[got] = '\0';
    long long run = 0, wait = 0;
    return std::sscanf(text, "%lld %lld", &run, &wait) == 2 ? wait : 0;
  }

 private:
  int fd_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const bool time_only = argc >= 2 && std::strcmp(argv[1], "--time-only") == 0;
  if (time_only) {
    --argc;
    ++argv;
  }
  const char* mode = argc >= 3 ? argv[1] : "";
  const bool burn = std::strcmp(mode, "burn") == 0;
  const bool save = argc >= 4 && std::strcmp(mode, "save") == 0;
  const bool idle = !time_only && argc >= 4 && std::strcmp(mode, "idle") == 0;
  if (!burn && !save && !idle) {
    std::fprintf(stderr,
                 "usage: zamo_app_jobs [--time-only] burn FILE...\n"
                 "       zamo_app_jobs [--time-only] save IMAGE.iso FILE...\n"
                 "       zamo_app_jobs idle MS FILE...\n");
    return 2;
  }
  const QString image = save ? QString::fromLocal8Bit(argv[2]) : QString();
  const int idle_ms = idle ? std::atoi(argv[2]) : 0;
  QStringList files;
  for (int i = burn ? 2 : 3; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
  const bool trace = std::getenv("ZAMO_BENCH_TRACE") != nullptr && *std::getenv("ZAMO_BENCH_TRACE") == '1';

  zamo::TForm1 form;
  form.show();
  auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
  QAction* entry = form.menuBar()->findChild<QAction*>(burn ? QStringLiteral("mBurnList") : QStringLiteral("mSaveIso"));
  if (memo == nullptr || entry == nullptr) return 1;
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 300) QApplication::processEvents();
  if (!form.TransportReady()) {
    std::fprintf(stderr, "zamo_app_jobs: no recorder (ZAMO_EMULATED_DRIVES)\n");
    return 1;
  }
  form.AddPaths(files);
  QApplication::processEvents();

  QElapsedTimer clock;
  QEventLoop loop;
  bool succeeded = false;
  QString failure;
  qint64 done_ms = -1, answered_ms = -1;

  // The user's answers: "Oui" to the confirmation, the image file in the
  // save dialog; any other box is a failure of the run.
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible() || QThread::currentThread()->loopLevel() < 2) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      if (box->objectName() == QStringLiteral("burnConfirmBox")) {
        answered_ms = clock.elapsed();
        box->button(QMessageBox::Yes)->click();
      } else {
        failure = box->objectName() + QStringLiteral(": ") + box->text() + QLatin1Char(' ') + box->informativeText();
        box->reject();
        loop.quit();
      }
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
      // Typed in the name box, as a user does (selectFile of a file not
      // there yet may leave the name out while the dialog lists its folder).
      if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        name->setText(image);
      } else {
        dialog->selectFile(image);
      }
      answered_ms = clock.elapsed();
      static_cast<QDialog*>(dialog)->accept();  // the dialog's own checks run
      if (dialog->isVisible()) {
        failure = QStringLiteral("the save dialog refused ") + image;
        dialog->reject();
        loop.quit();
      }
    }
  });

  // The job's end, as the log pane shows it.
  int next_block = memo->document()->blockCount();
  QObject::connect(memo, &QPlainTextEdit::textChanged, [&] {
    const QTextDocument* document = memo->document();
    for (; next_block < document->blockCount(); ++next_block) {
      const QString line = document->findBlockByNumber(next_block).text();
      if (trace) std::fprintf(stderr, "%6lld log %s\n", static_cast<long long>(clock.elapsed()), qPrintable(line));
      if (line == QStringLiteral(">>> ÉCRITURE TERMINÉE: - SUCCÈS")) {
        succeeded = true;
      } else if (line.contains(QStringLiteral("ÉCHEC")) || line.contains(QStringLiteral("ABANDON"))) {
        failure = line;
      } else {
        continue;
      }
      done_ms = clock.elapsed();
      loop.quit();
      return;
    }
  });

  qint64 last_tick = 0, max_tick_gap = 0, core_wait_in_max = 0, max_own_gap = 0;
  int ticks = 0;
  const CoreWait core_wait;
  long long last_wait_ns = core_wait.Ns();
  // One gap of the event loop ending now: the largest, and the largest part
  // not spent waiting for a core.
  const auto gap_ends = [&](qint64 now) {
    const long long wait_ns = core_wait.Ns();
    const qint64 gap = now - last_tick;
    const qint64 waited = (wait_ns - last_wait_ns) / 1000000;
    if (gap > max_tick_gap) {
      max_tick_gap = gap;
      core_wait_in_max = waited;
    }
    max_own_gap = std::max(max_own_gap, gap - waited);
    last_wait_ns = wait_ns;
    last_tick = now;
    return std::pair{gap, waited};
  };
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    const auto [gap, waited] = gap_ends(now);
    if (trace && gap > kTracedGapMs)
      std::fprintf(stderr, "%6lld event loop gap of %lld ms, %lld of them waiting for a core\n",
                   static_cast<long long>(now), static_cast<long long>(gap), static_cast<long long>(waited));
    ++ticks;
  });
  PaintProbe probe(memo->viewport(), clock);
  QTimer::singleShot(idle ? idle_ms : kJobLimitMs, &loop, [&] {
    if (idle) {
      succeeded = true;
      done_ms = answered_ms = clock.elapsed();
    } else {
      failure = QStringLiteral("no end within 10 minutes");
    }
    loop.quit();
  });

  clock.start();
  last_wait_ns = core_wait.Ns();
  if (!time_only) {
    tick.start(kTickMs);
    probe.Start();
  }
  if (!idle) {
    answer.start(5);
    // The menu entry, from the running loop as a click on it would come.
    QTimer::singleShot(0, entry, &QAction::trigger);
  }
  loop.exec();
  gap_ends(clock.elapsed());
  probe.Stop();
  tick.stop();
  answer.stop();

  if (succeeded && answered_ms < 0) {
    failure = QStringLiteral("the job ended without a question");
    succeeded = false;
  }
  if (!succeeded) {
    std::fprintf(stderr, "zamo_app_jobs: %s\n%s\n", qPrintable(failure), qPrintable(memo->toPlainText()));
    return 1;
  }
  if (time_only) {
    std::printf("job=%s ms=%lld menu_ms=%lld\n", mode, static_cast<long long>(done_ms - answered_ms),
                static_cast<long long>(done_ms));
    form.close();
    return 0;
  }
  std::printf(
      "job=%s ms=%lld menu_ms=%lld max_tick_gap_ms=%lld core_wait_ms=%lld max_own_gap_ms=%lld max_paint_wait_ms=%lld "
      "max_paint_gap_ms=%lld paints=%d ticks=%d\n",
      mode, static_cast<long long>(done_ms - answered_ms), static_cast<long long>(done_ms),
      static_cast<long long>(max_tick_gap), static_cast<long long>(core_wait_in_max),
      static_cast<long long>(max_own_gap), static_cast<long long>(probe.max_wait),
      static_cast<long long>(probe.max_gap), probe.paints, ticks);
  // The window closes as the user leaves it: the job has ended.
  form.close();
  return 0;
}
