// zamo_app_drop: drops one folder on the desktop program's file list, the
// way a file manager does (a drag-enter and a drop carrying a text/uri-list,
// delivered through QApplication), and prints what it cost:
//
//   drop_ms=N entries=N bytes=N rss_before_kb=N rss_peak_kb=N
//
// drop_ms is the wall time of the drop, from the drag-enter to the list
// holding its entry with the folder's size; rss_before_kb is the peak
// resident size with the window shown and empty, rss_peak_kb the peak after
// the drop. Runs on the offscreen platform: no display is needed.
#include <QApplication>
#include <QByteArray>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/file_list.h"

namespace {

long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: zamo_app_drop FOLDER\n");
    return 2;
  }
  zamo::TVeskBurner burner(nullptr);
  zamo::TFileList list(burner, {});
  list.resize(640, 400);
  list.show();
  QApplication::processEvents();

  QMimeData mime;
  mime.setData(QStringLiteral("text/uri-list"), "file://" + QByteArray(argv[1]).toPercentEncoding("/") + "\r\n");
  QWidget* target = list.Box()->viewport();
  const QPoint at = target->rect().center();
  const long rss_before = PeakRssKb();

  const auto start = std::chrono::steady_clock::now();
  QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  QApplication::processEvents();

  if (!enter.isAccepted() || !drop.isAccepted() || list.Count() != 1) {
    std::fprintf(stderr, "zamo_app_drop: the list did not take the drop\n");
    return 1;
  }
  std::printf("drop_ms=%.1f entries=%d bytes=%lld rss_before_kb=%ld rss_peak_kb=%ld\n", ms, list.Count(),
              static_cast<long long>(list.TotalBytes()), rss_before, PeakRssKb());
  return 0;
}
