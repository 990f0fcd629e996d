// main.cpp: the desktop program `zamo`. Starts the application and its main
// window; files and folders named as arguments go to the file list as if
// they had been dropped on it.
#include <signal.h>

#include <QApplication>
#include <QStringList>

#include "app/main_window.h"

int main(int argc, char** argv) {
  // An image saved into a pipe whose reader has gone, or past the file size
  // limit, fails its job with EPIPE or EFBIG, which the job reports; the
  // signals' default action would end the program without a word.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("zamo"));
  QApplication::setApplicationVersion(zamo::VersionText());
  zamo::TForm1 form;
  form.show();
  // Arguments are files and folders for the list ("Open with" from a file
  // manager): they arrive as a drop would, after the start-up.
  form.AddPaths(QApplication::arguments().mid(1));
  return QApplication::exec();
}
