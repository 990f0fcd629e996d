// drop_receiver_test.cpp: TExDragDrop takes the local paths of a
// text/uri-list dropped on its control, in the source's order, and nothing
// else; binding and unbinding leave the control as it was.
#include <gtest/gtest.h>

#include <QFile>
#include <QListWidget>
#include <QMimeData>
#include <QUrl>

#include <memory>

#include "app/drop_receiver.h"
#include "tests/app/drop_events.h"

namespace zamo {
namespace {

using test::DropUriList;

struct DropLog {
  int calls = 0;
  int last_count = -1;
};

std::unique_ptr<TExDragDrop> BoundReceiver(QWidget* control, DropLog& log) {
  auto receiver = std::make_unique<TExDragDrop>();
  receiver->SetControl(control);
  receiver->OnDropped = [&log](TExDragDrop*, int count) {
    ++log.calls;
    log.last_count = count;
  };
  return receiver;
}

TEST(DropReceiver, TakesTheLocalPathsInOrderAndPassesOverTheRest) {
  QListWidget list;
  DropLog log;
  auto receiver = BoundReceiver(&list, log);
  const QByteArray uri_list =
      "# a comment line of RFC 2483\r\n"
      "file:///home/u/b%20c.txt\r\n"
      "https://example.org/page.html\r\n"
      "file://localhost/home/u/a/\r\n"
      "file://otherhost/share/x.txt\r\n"
      "\r\n"
      "file:///home/u/%C3%A9t%C3%A9.png\n"
      "file:///home/u/raw%FFname\r\n";
  const test::DropOutcome outcome = DropUriList(list.viewport(), uri_list);
  EXPECT_TRUE(outcome.entered);
  EXPECT_TRUE(outcome.dropped);
  EXPECT_EQ(outcome.action, Qt::CopyAction) << "a drop never asks the source to move (delete) its files";
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.last_count, 4);
  EXPECT_EQ(receiver->Items(), (QStringList{"/home/u/b c.txt", "/home/u/a/", "/home/u/été.png",
                                            QFile::decodeName("/home/u/raw\xFFname")}));
  const std::vector<std::string> expected_native{"/home/u/b c.txt", "/home/u/a/", "/home/u/\xC3\xA9t\xC3\xA9.png",
                                                 "/home/u/raw\xFFname"};
  EXPECT_EQ(receiver->NativeItems(), expected_native) << "a name that is not UTF-8 keeps its bytes";

  // The next drop replaces the items.
  ASSERT_TRUE(DropUriList(list.viewport(), "file:///x\r\n").dropped);
  EXPECT_EQ(receiver->Items(), QStringList{"/x"});
  EXPECT_EQ(log.calls, 2);
  EXPECT_EQ(log.last_count, 1);
}

TEST(DropReceiver, ADragWithoutALocalFileIsRefused) {
  QListWidget list;
  DropLog log;
  auto receiver = BoundReceiver(&list, log);
  ASSERT_TRUE(DropUriList(list.viewport(), "file:///kept\r\n").dropped);

  EXPECT_FALSE(DropUriList(list.viewport(), "https://example.org/a.txt\r\nftp://h/b\r\n").entered);
  QMimeData text_only;
  text_only.setText(QStringLiteral("/home/u/a.txt"));
  EXPECT_FALSE(test::DragAndDrop(list.viewport(), text_only).entered);
  // A source that skips the drag-enter (or whose enter was refused) and
  // drops anyway changes nothing.
  QMimeData web;
  web.setData(QStringLiteral("text/uri-list"), "https://example.org/a.txt\r\n");
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list.viewport(), &drop);
  EXPECT_FALSE(drop.isAccepted());
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(receiver->Items(), QStringList{"/kept"});
}

TEST(DropReceiver, BindingTheSameControlTwiceStillGivesOneEventADrop) {
  QListWidget list;
  DropLog log;
  auto receiver = BoundReceiver(&list, log);
  receiver->SetControl(&list);
  ASSERT_TRUE(DropUriList(list.viewport(), "file:///a\r\n").dropped);
  EXPECT_EQ(log.calls, 1);
}

TEST(DropReceiver, UnbindingAndDestroyingGiveTheControlBackAsItWas) {
  QListWidget list;
  list.setAcceptDrops(false);
  list.viewport()->setAcceptDrops(false);
  DropLog log;
  auto receiver = BoundReceiver(&list, log);
  EXPECT_EQ(receiver->Control(), &list);
  EXPECT_TRUE(list.viewport()->acceptDrops());

  receiver->SetControl(nullptr);
  EXPECT_EQ(receiver->Control(), nullptr);
  EXPECT_FALSE(list.acceptDrops());
  EXPECT_FALSE(list.viewport()->acceptDrops());
  DropUriList(list.viewport(), "file:///a\r\n");
  EXPECT_EQ(log.calls, 0) << "an unbound receiver hears nothing";

  receiver->SetControl(&list);
  ASSERT_TRUE(DropUriList(list.viewport(), "file:///a\r\n").dropped);
  receiver.reset();
  EXPECT_FALSE(list.viewport()->acceptDrops());
  DropUriList(list.viewport(), "file:///b\r\n");
  EXPECT_EQ(log.calls, 1);

  // A control destroyed first leaves the receiver nothing to restore.
  auto other = std::make_unique<QListWidget>();
  auto survivor = BoundReceiver(other.get(), log);
  other.reset();
  EXPECT_EQ(survivor->Control(), nullptr);
  survivor.reset();
}

}  // namespace
}  // namespace zamo
