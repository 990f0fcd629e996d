// drop_events.h: what a file manager does to a widget when the user drops
// files on it: a drag-enter event, then a drop event, both carrying a
// text/uri-list, sent through QApplication as the platform delivers them.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <string>
#include <vector>

namespace zamo::test {

// The text/uri-list of local paths, one file: URL a line, CR LF ended.
inline QByteArray UriList(const std::vector<std::string>& paths) {
  QByteArray list;
  for (const std::string& path : paths) {
    list += "file://" + QByteArray::fromStdString(path).toPercentEncoding("/") + "\r\n";
  }
  return list;
}

struct DropOutcome {
  bool entered = false;  // the drag-enter was accepted
  bool dropped = false;  // the drop was accepted
  Qt::DropAction action = Qt::IgnoreAction;
};

// Drags `mime` over the middle of `target` and drops it there; the source
// offers a copy or a move, as file managers do.
inline DropOutcome DragAndDrop(QWidget* target, const QMimeData& mime) {
  DropOutcome outcome;
  const QPoint at = target->rect().center();
  const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
  QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  outcome.entered = enter.isAccepted();
  if (!outcome.entered) return outcome;
  QDropEvent drop(QPointF(at), offered, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  outcome.dropped = drop.isAccepted();
  outcome.action = drop.dropAction();
  return outcome;
}

inline DropOutcome DropUriList(QWidget* target, const QByteArray& uri_list) {
  QMimeData mime;
  mime.setData(QStringLiteral("text/uri-list"), uri_list);
  return DragAndDrop(target, mime);
}

}  // namespace zamo::test
