// The image save through the read-ahead cache and the writer thread: the
// same bytes as the quick save, one OnWriteDone on the pumping thread, and
// every failure and abort ending the job cleanly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "burner/platform/call_queue.h"
#include "tests/compilation/burner_fixture.h"
#include "tests/support/same_bytes.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

class ThreadedSaveTest : public BurnerTest {
 protected:
  ThreadedSaveTest() {
    burner.Dispatcher = [this](std::function<void()> call) { queue.Post(std::move(call)); };
    burner.OnWriteDone = [this](TObject* sender, const std::string& error) {
      EXPECT_EQ(sender, &burner);
      EXPECT_EQ(std::this_thread::get_id(), main_thread) << "OnWriteDone comes on the pumping thread";
      ++done_calls;
      done_error = error;
    };
  }
  // Runs a threaded save to its end (bounded) and returns its error text.
  std::string Save(const std::string& image) {
    done_calls = 0;
    burner.SaveImageFile(image, false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done_calls == 0 && std::chrono::steady_clock::now() < deadline) {
      queue.RunFor(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(done_calls, 1) << "the job must end, once";
    // Nothing more may come.
    queue.RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(done_calls, 1);
    EXPECT_FALSE(burner.JobRunning());
    return done_error;
  }
  void AddSource(const std::string& name) {
    burner.AddFolderTo(burner.RootDir, dir / name, false, false, true, faAnyFile, "*.*");
  }

  TempDir dir;
  CallQueue queue;
  const std::thread::id main_thread = std::this_thread::get_id();
  int done_calls = 0;
  std::string done_error;
};

// A tree whose threaded save must give the quick save's bytes.
struct TreeCase {
  const char* name;
  TreeContents (*tree)();
  bool bootable;  // with dir/boot.img as the boot image
};

// Folders, an empty file, sizes off a sector, and forty files larger than a
// cache block.
TreeContents MixedTree() {
  TreeContents tree = {{"boot.img", Bytes(5000, 1)},
                       {"src/a.bin", Bytes(300000, 2)},
                       {"src/sub/b.bin", Bytes(2049, 3)},
                       {"src/empty", ""},
                       {"src/sub/deeper/c.txt", "c"}};
  for (int i = 0; i < 40; ++i) tree.emplace_back("src/many/f" + std::to_string(i), Bytes(70000 + i, 10 + i));
  return tree;
}

// Runs of zero blocks of every length from one to nine, between runs of
// data of every length, so that holes start and end at each place of a
// write call (first block, inside, last block, across two calls). Each run
// and its data is a file under a megabyte, passed through the cache's
// blocks (larger files go as spans of their source).
TreeContents ZeroRunsTree() {
  constexpr size_t kBlock = 64 << 10;
  TreeContents tree = {{"src/a.bin", Bytes(5000, 1)}, {"src/c.bin", Bytes(3 * kBlock + 7, 2)}};
  for (size_t zeros = 1; zeros <= 9; ++zeros) {
    tree.emplace_back("src/b" + std::to_string(zeros) + ".mix",
                      std::string(zeros * kBlock, '\0') +
                          Bytes((10 - zeros) * kBlock - 1000 * zeros, static_cast<uint32_t>(zeros)));
  }
  return tree;
}

// A file made of holes and data: `pieces` of data at their offsets, holes
// between them, `size` bytes in all.
void MakeSparseFile(const std::string& path, int64_t size, const std::vector<std::pair<int64_t, std::string>>& pieces) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  for (const auto& [at, data] : pieces) {
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
  }
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

// Files on either side of the size from which the data goes as spans of the
// source, spans of every length up to a whole one and past it, a file of
// holes with data at their edges: the threaded save copies them file to
// file and must still put every byte where the quick save does.
TreeContents SpansTree() {
  return {{"src/a.small", Bytes((1 << 20) - 1, 1)},
          {"src/b.exact", Bytes(1 << 20, 2)},
          {"src/c.odd", Bytes((1 << 20) + 2047, 3)},
          {"src/d.two", Bytes((2 << 20) + 1, 4)},
          {"src/e.tiny", "e"},
          {"src/f.big", Bytes((5 << 20) + 12345, 5)}};
}

// Small files filling the quick save's buffer several times over, and files
// on either side of the size it copies by the kernel.
TreeContents BufferFillingTree() {
  TreeContents tree;
  for (int i = 0; i < 60; ++i) tree.emplace_back("src/f" + std::to_string(100 + i), Bytes(40000 + 997 * i, 50 + i));
  tree.insert(tree.end(), {{"src/g1", Bytes((256 << 10) - 1, 4)},
                           {"src/g2", Bytes(256 << 10, 5)},
                           {"src/g3", Bytes((256 << 10) + 1, 6)},
                           {"src/g4", Bytes(3 << 20, 7)}});
  return tree;
}

class SameBytesTest : public ThreadedSaveTest, public ::testing::WithParamInterface<TreeCase> {};

// Every byte lands at its offset in both saves.
TEST_P(SameBytesTest, ThreadedSaveGivesTheQuickSavesBytes) {
  MakeTree(dir.path(), GetParam().tree());
  if (GetParam().bootable) {
    burner.Bootable = true;
    burner.BootImage = dir / "boot.img";
  }
  AddSource("src");
  ASSERT_EQ(Save(dir / "threaded.iso"), "");
  EXPECT_EQ(burner.BytesWritten(), burner.ImageSectors() * 2048);
  done_calls = 0;
  burner.SaveImageFile(dir / "quick.iso", true);
  ASSERT_EQ(done_calls, 1);
  ASSERT_EQ(done_error, "");
  EXPECT_TRUE(SameBytes(ReadFile(dir / "threaded.iso"), ReadFile(dir / "quick.iso")));
}

// Named ThreadedSave...: the cases run with the other threaded-save suites
// under ThreadSanitizer (make test-threads).
INSTANTIATE_TEST_SUITE_P(ThreadedSaveTrees, SameBytesTest,
                         ::testing::Values(TreeCase{"Mixed", MixedTree, true}, TreeCase{"ZeroRuns", ZeroRunsTree, false},
                                           TreeCase{"BufferFilling", BufferFillingTree, false},
                                           TreeCase{"Spans", SpansTree, true}),
                         [](const auto& tree) { return std::string(tree.param.name); });

// An image on another file system than its sources: the kernel refuses to
// copy between them, and the spans (the quick save's large files too) go by
// read and write. Both must give the bytes of a quick save whose image sits
// beside its sources, copied by the kernel.
TEST_F(ThreadedSaveTest, ImageOnAnotherFileSystemGetsTheSameBytes) {
  const std::unique_ptr<TempDir> other = InMemoryTempDir();
  struct stat here {}, there {};
  if (stat(dir.path().c_str(), &here) != 0 || stat(other->path().c_str(), &there) != 0 || here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system to write to";
  MakeTree(dir.path(), SpansTree());
  AddSource("src");
  burner.SaveImageFile(dir / "beside.iso", true);
  ASSERT_EQ(done_calls, 1);
  ASSERT_EQ(done_error, "");
  const std::string expected = ReadFile(dir / "beside.iso");
  ASSERT_EQ(Save(*other / "threaded.iso"), "");
  EXPECT_TRUE(SameBytes(ReadFile(*other / "threaded.iso"), expected));
  done_calls = 0;
  burner.SaveImageFile(*other / "quick.iso", true);
  ASSERT_EQ(done_calls, 1);
  ASSERT_EQ(done_error, "");
  EXPECT_TRUE(SameBytes(ReadFile(*other / "quick.iso"), expected));
}

TEST_F(ThreadedSaveTest, SmallImageIsPaddedTo300Sectors) {
  MakeTree(dir.path(), {{"src/a.txt", "abc"}});
  AddSource("src");
  ASSERT_EQ(Save(dir / "small.iso"), "");
  const std::string threaded = ReadFile(dir / "small.iso");
  ASSERT_EQ(threaded.size(), 614400u);
  EXPECT_EQ(burner.BytesWritten(), 614400);
  burner.SaveImageFile(dir / "quick.iso", true);
  const std::string quick = ReadFile(dir / "quick.iso");
  ASSERT_EQ(quick.size(), 151u * 2048);
  EXPECT_TRUE(SameBytes(threaded, quick + std::string(614400 - quick.size(), '\0')));
}

// Zeros in the data (a file of zeros, the holes of a large sparse file, the
// padding at the end) are holes in a new image file: the same bytes as the
// quick save, less room on the disk, the whole length.
TEST_F(ThreadedSaveTest, ZerosAreHolesInANewFile) {
  MakeTree(dir.path(), {{"src/a.bin", Bytes(300000, 2)},
                        {"src/b.zero", std::string(900 << 10, '\0')},
                        {"src/c.bin", Bytes(70000, 3)}});
  // 8 MiB of holes with data at their edges, and a file that is one hole.
  MakeSparseFile(dir / "src/d.sparse", (8 << 20) + 100,
                 {{0, Bytes(3000, 4)}, {(3 << 20) + 5, Bytes(70000, 5)}, {8 << 20, Bytes(100, 6)}});
  MakeSparseFile(dir / "src/e.hole", 3 << 20, {});
  AddSource("src");
  burner.SaveImageFile(dir / "quick.iso", true);
  ASSERT_EQ(done_error, "");
  const std::string quick = ReadFile(dir / "quick.iso");

  WriteFile(dir / "old.iso", Bytes(1 << 20, 9));  // an older image is replaced whole
  ASSERT_EQ(Save(dir / "old.iso"), "");
  EXPECT_TRUE(SameBytes(ReadFile(dir / "old.iso"), quick));
  struct stat image {};
  ASSERT_EQ(stat((dir / "old.iso").c_str(), &image), 0);
  EXPECT_EQ(image.st_size, static_cast<off_t>(quick.size()));
  EXPECT_LT(image.st_blocks * 512, image.st_size - (10 << 20)) << "the zeros take no room";
}

// Reads `fd` until its writer closes it (polled, 60 s at most).
std::string ReadToEnd(int fd) {
  std::string got;
  char chunk[1 << 16];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

// An image named /dev/fd/N of a socket (which cannot be opened by name) goes
// into that socket in order, threaded and quick: its reader gets the image
// file's bytes, zeros included. A reader that has gone fails the save, with
// the message that says so.
TEST_F(ThreadedSaveTest, SocketTakesTheImageInOrder) {
  MakeTree(dir.path(), {{"src/a.bin", Bytes(300000, 2)}, {"src/b.zero", std::string(3 << 20, '\0')}, {"src/c", "c"}});
  AddSource("src");
  ASSERT_EQ(Save(dir / "file.iso"), "");
  const std::string file = ReadFile(dir / "file.iso");
  const auto old_handler = signal(SIGPIPE, SIG_IGN);  // as zamo-cli has it: EPIPE, not the signal
  for (const bool quick : {false, true}) {
    for (const bool reader_gone : {false, true}) {
      SCOPED_TRACE(std::string(quick ? "quick" : "threaded") + (reader_gone ? ", reader gone" : ""));
      int ends[2];
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
      if (reader_gone) close(ends[1]);
      std::string got;
      std::thread reader([&] {
        if (!reader_gone) got = ReadToEnd(ends[1]);
      });
      const std::string name = "/dev/fd/" + std::to_string(ends[0]);
      done_calls = 0;
      done_error.clear();
      if (quick) {
        burner.SaveImageFile(name, true);
        EXPECT_EQ(done_calls, 1);
      }
      const std::string error = quick ? done_error : Save(name);
      close(ends[0]);
      reader.join();
      if (!reader_gone) close(ends[1]);
      if (reader_gone) {
        EXPECT_NE(error.find("LE PROGRAMME QUI LA LISAIT S'EST FERMÉ (TUBE ROMPU)"), std::string::npos) << error;
      } else {
        EXPECT_EQ(error, "");
        EXPECT_EQ(got.size(), file.size());
        EXPECT_TRUE(SameBytes(got, file));
      }
    }
  }
  signal(SIGPIPE, old_handler);
}

TEST_F(ThreadedSaveTest, VanishedSourceFailsNamingIt) {
  MakeTree(dir.path(), {{"src/keep.bin", Bytes(100000, 1)}, {"src/gone.bin", Bytes(100000, 2)}});
  AddSource("src");
  unlink((dir / "src/gone.bin").c_str());
  const std::string error = Save(dir / "out.iso");
  EXPECT_NE(error.find("gone.bin"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(dir / "out.iso")) << "no partial image is left";
}

TEST_F(ThreadedSaveTest, ShrunkSourceAfterPrimingFailsNamingIt) {
  // The file comes after more data than the cache holds, so it is read once
  // the writer runs.
  burner.SetCacheSize(2 << 20);
  MakeTree(dir.path(), {{"src/a.bin", Bytes(6 << 20, 1)}, {"src/z.bin", Bytes(300000, 2)}});
  AddSource("src");
  WriteFile(dir / "src/z.bin", Bytes(1000, 2));
  const std::string error = Save(dir / "out.iso");
  EXPECT_NE(error.find("z.bin"), std::string::npos) << error;
  EXPECT_NE(error.find("RÉTRÉCI"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(dir / "out.iso"));
}

// A large file goes as spans that the writer copies from the source: one
// that lost bytes since it was added fails the job there, whether it ends
// before the spans, inside one, or in a hole.
TEST_F(ThreadedSaveTest, ShrunkLargeSourceFailsNamingIt) {
  struct Shrink {
    const char* how;
    std::function<void(const std::string&)> apply;
  };
  const std::vector<Shrink> shrinks = {
      {"to 1000 bytes", [](const std::string& path) { WriteFile(path, Bytes(1000, 2)); }},
      {"inside the third span", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), (2 << 20) + 4096), 0); }},
      {"to holes", [](const std::string& path) { MakeSparseFile(path, 2 << 20, {}); }}};
  for (const Shrink& shrink : shrinks) {
    SCOPED_TRACE(shrink.how);
    burner.ResetCompilation();
    MakeTree(dir.path(), {{"src/a.bin", Bytes(300000, 1)}, {"src/z.bin", Bytes(3 << 20, 2)}});
    AddSource("src");
    shrink.apply(dir / "src/z.bin");
    const std::string error = Save(dir / "out.iso");
    EXPECT_NE(error.find("z.bin"), std::string::npos) << error;
    EXPECT_NE(error.find("RÉTRÉCI"), std::string::npos) << error;
    EXPECT_FALSE(PathExists(dir / "out.iso"));
  }
}

// A cache of 512 blocks holds spans of 240 files of 1 MiB, each
// with its source open: few enough are kept open at once for the opening of
// the next files to find descriptors under a tight limit.
TEST_F(ThreadedSaveTest, SpansLeaveDescriptorsForTheNextFiles) {
  constexpr int kFiles = 240;
  std::string data = Bytes(1 << 20, 20);
  for (int i = 0; i < kFiles; ++i) {
    std::memcpy(data.data(), &i, sizeof i);  // each file its own bytes
    WriteFile(dir / ("src/f" + std::to_string(1000 + i)), data);
  }
  WriteFile(dir / "src/z.last", "z");
  AddSource("src");
  burner.SetCacheSize(32 << 20);  // 512 blocks: room for every span
  int open_now = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++open_now;
  }
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
  struct rlimit limit = old_limit;
  // Room for the spans' sources, the files opened ahead and those given
  // back but not closed yet (a batch or two of 16), not for 240 sources.
  limit.rlim_cur = static_cast<rlim_t>(open_now + 160);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  const std::string error = Save(dir / "threaded.iso");
  setrlimit(RLIMIT_NOFILE, &old_limit);
  ASSERT_EQ(error, "");
  burner.SaveImageFile(dir / "quick.iso", true);
  ASSERT_EQ(done_error, "");
  // Compared a megabyte at a time: two images of 240 MiB in strings cost
  // seconds of page faults.
  std::ifstream threaded(dir / "threaded.iso", std::ios::binary), quick(dir / "quick.iso", std::ios::binary);
  std::string a(1 << 20, '\0'), b(1 << 20, '\0');
  int64_t compared = 0;
  while (threaded && quick) {
    threaded.read(a.data(), static_cast<std::streamsize>(a.size()));
    quick.read(b.data(), static_cast<std::streamsize>(b.size()));
    ASSERT_EQ(threaded.gcount(), quick.gcount()) << "sizes differ after " << compared << " bytes";
    ASSERT_TRUE(std::memcmp(a.data(), b.data(), static_cast<size_t>(threaded.gcount())) == 0)
        << "the images differ in the megabyte from byte " << compared;
    compared += threaded.gcount();
  }
  EXPECT_GT(compared, int64_t{kFiles} << 20);
}

TEST_F(ThreadedSaveTest, FullDiskFailsAndRemovesThePartialImage) {
  MakeTree(dir.path(), {{"src/big.bin", Bytes(3 << 20, 4)}});
  AddSource("src");
  struct rlimit old_limit {};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 1 << 20;  // stands for a disk that fills up after 1 MiB
  setrlimit(RLIMIT_FSIZE, &limit);
  const std::string error = Save(dir / "out.iso");
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_NE(error.find("ERREUR D'ÉCRITURE"), std::string::npos) << error;
  EXPECT_NE(error.find("out.iso"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(dir / "out.iso"));
}

TEST_F(ThreadedSaveTest, ImageThatCannotBeCreated) {
  MakeTree(dir.path(), {{"src/a.txt", "a"}});
  AddSource("src");
  const std::string error = Save(dir / "no/such/folder/out.iso");
  EXPECT_NE(error.find("IMPOSSIBLE DE CRÉER LE FICHIER"), std::string::npos) << error;
}

TEST_F(ThreadedSaveTest, AbortAtSeveralMomentsEndsTheJobOnce) {
  MakeTree(dir.path(), {{"src/a.bin", Bytes(24 << 20, 5)}, {"src/b.bin", Bytes(24 << 20, 6)}});
  AddSource("src");
  // Before the cache is primed (a large cache takes long to fill), in the
  // middle of the data, and near its end.
  for (int64_t abort_after : {int64_t{-1}, int64_t{8 << 20}, int64_t{40 << 20}}) {
    SCOPED_TRACE(abort_after);
    burner.SetCacheSize(abort_after < 0 ? 256 << 20 : 2 << 20);
    std::atomic<bool> stop{false};
    std::thread aborter([&] {
      if (abort_after < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } else {
        while (!stop && burner.BytesWritten() < abort_after) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      burner.AbortWriting();
    });
    const std::string error = Save(dir / "out.iso");
    stop = true;
    aborter.join();
    // An abort that came after the last block leaves a finished image.
    if (!error.empty()) {
      EXPECT_EQ(error, "OPÉRATION TERMINÉE PAR L'USAGER");
      EXPECT_FALSE(PathExists(dir / "out.iso"));
    }
    EXPECT_EQ(burner.CacheThread, nullptr) << "the cache is freed";
  }
}

// While a large cache fills, the start hands the caller's thread over between
// its polls (a window repaints there), and a stop asked from there ends the
// start as a stop asked from anywhere else.
TEST_F(ThreadedSaveTest, StartHandsTheCallersThreadOverWhileTheCacheFills) {
  MakeTree(dir.path(), {{"src/a.bin", Bytes(24 << 20, 5)}, {"src/b.bin", Bytes(24 << 20, 6)}});
  AddSource("src");
  burner.SetCacheSize(256 << 20);  // primed only once all 48 MiB are read
  int calls = 0;
  bool elsewhere = false;
  burner.WhileStarting = [&] {
    ++calls;
    elsewhere |= std::this_thread::get_id() != main_thread;
  };
  EXPECT_EQ(Save(dir / "out.iso"), "");
  EXPECT_GT(calls, 0);
  EXPECT_FALSE(elsewhere);

  burner.WhileStarting = [this] { burner.AbortWriting(); };
  EXPECT_EQ(Save(dir / "stopped.iso"), "OPÉRATION TERMINÉE PAR L'USAGER");
  EXPECT_FALSE(PathExists(dir / "stopped.iso"));
  EXPECT_EQ(burner.CacheThread, nullptr);
}

TEST_F(ThreadedSaveTest, DestroyingTheComponentDuringAJobDoesNotHang) {
  auto local = std::make_unique<TVeskBurner>(nullptr);
  MakeTree(dir.path(), {{"src/a.bin", Bytes(32 << 20, 7)}});
  local->AddFolderTo(local->RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  CallQueue own_queue;
  local->Dispatcher = [&own_queue](std::function<void()> call) { own_queue.Post(std::move(call)); };
  local->OnWriteDone = [](TObject*, const std::string&) {};
  local->SaveImageFile(dir / "out.iso", false);
  local.reset();  // aborts the job and waits for its threads
  own_queue.RunFor(std::chrono::milliseconds(10));  // the late report finds the component gone
}

}  // namespace
}  // namespace zamo::test
