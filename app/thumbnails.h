// thumbnails.h: the shell browser's image previews, made on demand.
//
// TThumbnailLoader decodes images to a bounded size on worker threads of its
// own, newest request first, and keeps the results in a bounded cache; the
// view asks only for the items it paints (TThumbnailDelegate), so a folder
// of thousands of photos costs what the screen shows, and the GUI thread
// never decodes. Requests of a folder left behind are dropped (Forget).
//
// Thread safety: both classes live on the GUI thread; the workers share only
// the request queue (behind a mutex) and post each image back to the loader's
// thread. A loader going away stops its workers' posts at once; a decode in
// progress finishes on its own and is thrown away.
#pragma once

#include <QCache>
#include <QObject>
#include <QPixmap>
#include <QSet>
#include <QString>
#include <QStyledItemDelegate>

#include <memory>

class QAbstractItemView;
class QImage;

namespace zamo {

class TThumbnailLoader : public QObject {
  Q_OBJECT

 public:
  // Thumbnails fit in `edge` × `edge` pixels.
  explicit TThumbnailLoader(int edge, QObject* parent = nullptr);
  ~TThumbnailLoader() override;

  int Edge() const { return edge_; }
  // The thumbnail of `path` when it is made; otherwise null, and it is asked
  // for (once) unless the file could not be read as an image.
  const QPixmap* Thumbnail(const QString& path);
  // Drops the requests not started yet (the view shows another folder).
  void Forget();
  // Thumbnails made so far.
  int Made() const { return made_; }
  // Whether a file's name says it is an image Qt can read.
  static bool IsImageName(const QString& path);

 signals:
  // `path`'s thumbnail is ready (or could not be made).
  void ready(const QString& path);

 private:
  struct Shared;
  void Take(const QString& path, const QImage& image);

  int edge_;
  std::shared_ptr<Shared> shared_;
  QCache<QString, QPixmap> cache_;
  QSet<QString> asked_;   // requested and not yet made
  QSet<QString> failed_;  // not readable as an image
  int made_ = 0;
};

// Paints image files with their thumbnail once it is made (others, and
// images not made yet, keep their icon), while Enabled. Only painting asks
// for thumbnails: a view measuring its items (sizeHint, for every item of
// the folder) asks for none.
class TThumbnailDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  TThumbnailDelegate(TThumbnailLoader& loader, QObject* parent);
  void SetEnabled(bool on) { enabled_ = on; }
  bool Enabled() const { return enabled_; }
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

 private:
  TThumbnailLoader& loader_;
  bool enabled_ = false;
  mutable bool painting_ = false;
};

}  // namespace zamo
