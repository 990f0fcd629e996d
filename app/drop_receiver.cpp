#include "app/drop_receiver.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>

namespace zamo {
namespace {

const QString kUriList = QStringLiteral("text/uri-list");

// The file system path of a file: URL of this computer, as bytes; empty for
// any other URL. The path is taken percent-decoded from the URL's text, so
// that a name that is not valid UTF-8 keeps its bytes.
std::string LocalPathOf(const QUrl& url) {
  if (!url.isValid() || url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0) return {};
  const QString host = url.host();
  if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0) return {};
  const QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
  return path.toStdString();
}

}  // namespace

TExDragDrop::TExDragDrop(QObject* parent) : QObject(parent) {}

TExDragDrop::~TExDragDrop() { Unbind(); }

void TExDragDrop::SetControl(QWidget* control) {
  if (control == control_) return;
  Unbind();
  if (control != nullptr) Bind(control);
}

void TExDragDrop::Bind(QWidget* control) {
  control_ = control;
  // A list or any scroll area receives drags on its viewport.
  std::vector<QWidget*> widgets{control};
  if (auto* area = qobject_cast<QAbstractScrollArea*>(control)) widgets.push_back(area->viewport());
  for (QWidget* widget : widgets) targets_.push_back({widget, widget->acceptDrops()});
  for (QWidget* widget : widgets) {
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
  }
}

void TExDragDrop::Unbind() {
  for (const Target& target : targets_) {
    if (target.widget == nullptr) continue;  // destroyed with its control
    target.widget->removeEventFilter(this);
    target.widget->setAcceptDrops(target.accepted_drops);
  }
  targets_.clear();
  control_ = nullptr;
}

std::vector<std::string> TExDragDrop::LocalPaths(const QMimeData* mime) {
  std::vector<std::string> paths;
  if (mime == nullptr) return paths;
  QList<QUrl> urls;
  if (mime->hasFormat(kUriList)) {
    // RFC 2483: one URL a line, lines beginning with "#" are comments.
    for (const QByteArray& raw : mime->data(kUriList).split('\n')) {
      const QByteArray line = raw.trimmed();
      if (line.isEmpty() || line.startsWith('#')) continue;
      urls.push_back(QUrl::fromEncoded(line));
    }
  } else {
    urls = mime->urls();
  }
  for (const QUrl& url : urls) {
    std::string path = LocalPathOf(url);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

bool TExDragDrop::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      if (LocalPaths(drag->mimeData()).empty()) {
        drag->ignore();
      } else {
        // Copy only: a source that would take a move as leave to delete its
        // files never gets one.
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
      }
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      std::vector<std::string> paths = LocalPaths(drop->mimeData());
      if (paths.empty()) {
        drop->ignore();
        return true;
      }
      drop->setDropAction(Qt::CopyAction);
      drop->accept();
      native_items_ = std::move(paths);
      items_.clear();
      for (const std::string& path : native_items_)
        items_.push_back(QFile::decodeName(QByteArray::fromStdString(path)));
      if (OnDropped) OnDropped(this, static_cast<int>(items_.size()));
      return true;
    }
    default:
      return QObject::eventFilter(watched, event);
  }
}

}  // namespace zamo
