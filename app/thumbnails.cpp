#include "app/thumbnails.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <QImage>
#include <QImageReader>
#include <QThreadPool>

#include <deque>
#include <mutex>

namespace zamo {
namespace {

constexpr int kWorkers = 2;
// Requests kept waiting at most; the oldest (items scrolled past) go first.
constexpr size_t kMaxPending = 256;
// The cache holds up to 64 MiB of thumbnails (costs in KiB).
constexpr int kCacheKiB = 64 * 1024;

QImage Decode(const QString& path, int edge) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  QSize size = reader.size();
  if (size.isValid() && (size.width() > edge || size.height() > edge)) {
    size.scale(edge, edge, Qt::KeepAspectRatio);
    reader.setScaledSize(size.expandedTo(QSize(1, 1)));
  }
  QImage image = reader.read();
  if (!image.isNull() && (image.width() > edge || image.height() > edge))
    image = image.scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

}  // namespace

struct TThumbnailLoader::Shared {
  std::mutex mutex;
  std::deque<QString> pending;          // newest first
  int workers = 0;                      // running
  TThumbnailLoader* receiver = nullptr;  // null once the loader is gone
};

TThumbnailLoader::TThumbnailLoader(int edge, QObject* parent)
    : QObject(parent), edge_(edge), shared_(std::make_shared<Shared>()), cache_(kCacheKiB) {
  shared_->receiver = this;
}

TThumbnailLoader::~TThumbnailLoader() {
  const std::lock_guard lock(shared_->mutex);
  shared_->receiver = nullptr;
  shared_->pending.clear();
}

bool TThumbnailLoader::IsImageName(const QString& path) {
  static const QSet<QString> suffixes = [] {
    QSet<QString> set;
    for (const QByteArray& format : QImageReader::supportedImageFormats())
      set.insert(QString::fromLatin1(format).toLower());
    return set;
  }();
  return suffixes.contains(QFileInfo(path).suffix().toLower());
}

const QPixmap* TThumbnailLoader::Thumbnail(const QString& path) {
  if (const QPixmap* made = cache_.object(path)) return made;
  if (asked_.contains(path) || failed_.contains(path)) return nullptr;
  asked_.insert(path);
  const std::lock_guard lock(shared_->mutex);
  shared_->pending.push_front(path);
  if (shared_->pending.size() > kMaxPending) {
    asked_.remove(shared_->pending.back());  // asked again when it is painted again
    shared_->pending.pop_back();
  }
  if (shared_->workers >= kWorkers) return nullptr;
  ++shared_->workers;
  QThreadPool::globalInstance()->start([shared = shared_, edge = edge_] {
    for (;;) {
      QString next;
      {
        const std::lock_guard worker_lock(shared->mutex);
        if (shared->pending.empty() || shared->receiver == nullptr) {
          --shared->workers;
          return;
        }
        next = shared->pending.front();
        shared->pending.pop_front();
      }
      const QImage image = Decode(next, edge);
      const std::lock_guard worker_lock(shared->mutex);
      // Posted while the loader exists; a loader destroyed before the call
      // runs takes its posted calls with it.
      if (TThumbnailLoader* loader = shared->receiver)
        QMetaObject::invokeMethod(loader, [loader, next, image] { loader->Take(next, image); }, Qt::QueuedConnection);
    }
  });
  return nullptr;
}

void TThumbnailLoader::Take(const QString& path, const QImage& image) {
  asked_.remove(path);
  if (image.isNull()) {
    failed_.insert(path);
  } else {
    auto* pixmap = new QPixmap(QPixmap::fromImage(image));
    cache_.insert(path, pixmap, std::max(1, int(image.sizeInBytes() / 1024)));
    ++made_;
  }
  emit ready(path);
}

void TThumbnailLoader::Forget() {
  const std::lock_guard lock(shared_->mutex);
  for (const QString& path : shared_->pending) asked_.remove(path);
  shared_->pending.clear();
}

TThumbnailDelegate::TThumbnailDelegate(TThumbnailLoader& loader, QObject* parent)
    : QStyledItemDelegate(parent), loader_(loader) {}

void TThumbnailDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  painting_ = true;
  QStyledItemDelegate::paint(painter, option, index);
  painting_ = false;
}

void TThumbnailDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  if (!enabled_ || !painting_) return;
  const QString path = index.data(QFileSystemModel::FilePathRole).toString();
  if (path.isEmpty() || !TThumbnailLoader::IsImageName(path)) return;
  if (const QPixmap* thumbnail = loader_.Thumbnail(path)) {
    option->icon = QIcon(*thumbnail);
    option->features |= QStyleOptionViewItem::HasDecoration;
  }
}

}  // namespace zamo
