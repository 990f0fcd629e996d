// The read-ahead cache: the stream it produces, block by block, and how it
// stops on a failure or an abort.
#include "burner/writing/cache_thread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "burner/platform/file_attributes.h"
#include "burner/writing/image_writer.h"
#include "burner/writing/open_ahead.h"
#include "tests/support/same_bytes.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::Bytes;
using test::SameBytes;
using test::TempDir;

constexpr auto kPatience = std::chrono::seconds(20);

// Takes every block until the end; fails the test rather than hanging.
struct Drained {
  std::string bytes;
  std::vector<int> counts;
};
Drained Drain(TCacheThread& cache) {
  Drained out;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::vector<uint8_t> buffer(kCacheBlockBytes);
  for (;;) {
    const int n = cache.TakeBlock(buffer.data());
    if (n == 0) break;
    if (n < 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the cache delivers nothing";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    out.counts.push_back(n);
    out.bytes.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
  }
  cache.WaitFor();
  return out;
}

// Descriptors this process has open: a job leaves none behind.
int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::string Padded(const std::string& data) {
  return data + std::string((2048 - data.size() % 2048) % 2048, '\0');
}

class CacheThreadTest : public ::testing::Test {
 protected:
  TFEntry* File(const std::string& name, const std::string& content) {
    test::WriteFile(dir / name, content);
    TFEntry& e = entries_.emplace_back();
    e.SourceFolder = &paths_.emplace_back(dir / name);
    e.SourceKind = TSourceName::kWholePath;
    e.LongName = name;
    e.IsoSize = e.JolietSize = static_cast<int64_t>(content.size());
    return &e;
  }
  CacheJob Job(const std::string& head, std::vector<const TFEntry*> entries, int64_t total) {
    head_.Clear();
    head_.Append({reinterpret_cast<const uint8_t*>(head.data()), head.size()});
    CacheJob job;
    job.cache_size = 2 << 20;
    job.head = &head_;
    job.total_bytes = total;
    job.entries = std::move(entries);
    return job;
  }

  TempDir dir;
  TSCSIDevice lock{nullptr};
  TMemoryStreamEx head_;
  std::deque<TFEntry> entries_;
  std::deque<std::string> paths_;  // the entries' source paths
};

TEST_F(CacheThreadTest, StreamsHeadThenFilesPaddedToSectors) {
  const std::string head = Bytes(3 * 2048 + 1000, 1).substr(0, 3 * 2048);  // not a multiple of the block size
  const TFEntry* a = File("a.bin", Bytes(100000, 2));
  TFEntry* dir_entry = &entries_.emplace_back();
  dir_entry->Attr = faDirectory;
  const TFEntry* empty = File("empty", "");
  TFEntry* imported = &entries_.emplace_back();
  imported->Imported = true;
  imported->IsoSize = 5000;  // already on the disc: no source
  const TFEntry* b = File("b.bin", Bytes(2049, 3));
  const std::string expected = head + Padded(Bytes(100000, 2)) + Padded(Bytes(2049, 3));
  CacheJob job = Job(head, {a, dir_entry, empty, imported, b}, static_cast<int64_t>(expected.size()));
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  EXPECT_EQ(cache.ErrorText(), "");
  ASSERT_EQ(got.bytes.size(), expected.size());
  EXPECT_TRUE(SameBytes(got.bytes, expected));
  // Blocks are whole 32-sector blocks but the last: the head's partial block
  // is completed with the first file's data.
  for (size_t i = 0; i + 1 < got.counts.size(); ++i) EXPECT_EQ(got.counts[i], 65536);
  EXPECT_EQ(cache.RemainingBytes(), 0);
  EXPECT_EQ(cache.BufferedBytes(), 0);
  EXPECT_EQ(head_.Size(), 0) << "the head is released once queued";
}

TEST_F(CacheThreadTest, BlocksOf27SectorsForCds) {
  const TFEntry* a = File("a.bin", Bytes(1'000'000, 4));
  const int64_t total = 2048 * 200 + SectorsFor(1'000'000) * 2048;
  CacheJob job = Job(std::string(2048 * 200, 'h'), {a}, total);
  job.block_size = 55296;
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  EXPECT_EQ(static_cast<int64_t>(got.bytes.size()), total);
  EXPECT_EQ(got.counts.size(), static_cast<size_t>((total + 55295) / 55296));
  for (size_t i = 0; i + 1 < got.counts.size(); ++i) EXPECT_EQ(got.counts[i], 55296);
}

TEST_F(CacheThreadTest, SmallStreamIsPaddedTo300Sectors) {
  // 204,800 bytes of data, then 409,600 zero bytes: 614,400 in all.
  const std::string head(100 * 2048, 'h');
  CacheJob job = Job(head, {}, 100 * 2048);
  job.pad_to_minimum = true;
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  ASSERT_EQ(got.bytes.size(), 614400u);
  EXPECT_TRUE(SameBytes(got.bytes, head + std::string(409600, '\0')));
  EXPECT_EQ(cache.RemainingBytes(), 0);
}

TEST_F(CacheThreadTest, TakeBlockSaysNotYetThenEnd) {
  // A cache whose head alone exceeds its capacity stops after Capacity - 1
  // blocks, primed, and goes on as blocks are taken.
  const std::string head(6 << 20, 'h');
  CacheJob job = Job(head, {}, static_cast<int64_t>(head.size()));
  TCacheThread cache(std::move(job), lock);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!cache.Primed() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(cache.Primed());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LE(cache.BufferedBytes(), int64_t{cache.Capacity()} * 65536);
  const Drained got = Drain(cache);
  EXPECT_EQ(got.bytes.size(), head.size());
  std::vector<uint8_t> buffer(kCacheBlockBytes);
  EXPECT_EQ(cache.TakeBlock(buffer.data()), 0) << "after the end, 0 again";
}

TEST_F(CacheThreadTest, EmptyQueueBeforeTheEndIsNotReady) {
  // Nothing can be queued before the thread runs: the first answer may be -1
  // but never 0 while data is due.
  const TFEntry* a = File("a.bin", Bytes(500000, 5));
  CacheJob job = Job("", {a}, SectorsFor(500000) * 2048);
  TCacheThread cache(std::move(job), lock);
  std::vector<uint8_t> buffer(kCacheBlockBytes);
  const int first = cache.TakeBlock(buffer.data());
  EXPECT_NE(first, 0);
  Drain(cache);
}

TEST_F(CacheThreadTest, MissingFileFailsBeforePriming) {
  const TFEntry* a = File("a.bin", "x");
  unlink(a->SourcePath().c_str());
  CacheJob job = Job(std::string(2048, 'h'), {a}, 2 * 2048);
  TCacheThread cache(std::move(job), lock);
  Drain(cache);
  EXPECT_TRUE(cache.Done());
  EXPECT_NE(cache.ErrorText().find("IMPOSSIBLE D'OUVRIR LE FICHIER"), std::string::npos) << cache.ErrorText();
  EXPECT_NE(cache.ErrorText().find("a.bin"), std::string::npos);
  EXPECT_EQ(cache.CurrentFile(), a->SourcePath());
}

// Many small files, in folders and mixed with entries without a source (the
// opener changes folder often): each one's bytes come in its own place, and a
// file gone before its turn fails the job under its own name.
TEST_F(CacheThreadTest, ManySmallFilesKeepTheirOrder) {
  for (const bool one_vanishes : {false, true}) {
    std::vector<const TFEntry*> entries;
    std::string expected;
    const TFEntry* gone = nullptr;
    for (int i = 0; i < 300; ++i) {
      const std::string name = std::string(one_vanishes ? "v" : "k") + std::to_string(i % 7) + "/f" + std::to_string(i);
      std::filesystem::create_directories(dir / name.substr(0, name.find('/')));
      const TFEntry* e = File(name, Bytes(static_cast<size_t>(i % 5 == 0 ? 0 : 1 + i * 13 % 3000), i + 1));
      entries.push_back(e);
      expected += Padded(test::ReadFile(e->SourcePath()));
      if (i % 50 == 0) {
        TFEntry* imported = &entries_.emplace_back();
        imported->Imported = true;
        imported->IsoSize = 4096;
        entries.push_back(imported);
      }
      if (one_vanishes && i == 251) gone = e;
    }
    if (gone != nullptr) unlink(gone->SourcePath().c_str());
    const int descriptors = OpenDescriptors();
    CacheJob job = Job("", entries, static_cast<int64_t>(expected.size()));
    std::optional<TCacheThread> cache_holder(std::in_place, std::move(job), lock);
    TCacheThread& cache = *cache_holder;
    const Drained got = Drain(cache);
    const std::string error = cache.ErrorText();
    const std::string current = cache.CurrentFile();
    cache_holder.reset();
    // The files opened ahead of the failure are closed with the job.
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (!one_vanishes) {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(SameBytes(got.bytes, expected));
      continue;
    }
    EXPECT_NE(error.find("IMPOSSIBLE D'OUVRIR LE FICHIER"), std::string::npos) << error;
    EXPECT_NE(error.find(gone->SourcePath()), std::string::npos) << error;
    EXPECT_EQ(current, gone->SourcePath());
  }
}

// Files of several MiB between small ones: each file after a large one is
// further from the previous one's start than files are opened ahead, and
// comes all the same, in its place.
TEST_F(CacheThreadTest, LargeFilesBetweenSmallOnesComeInTheirPlace) {
  std::vector<const TFEntry*> entries;
  std::string expected;
  const std::vector<size_t> sizes{3 << 20, 10, (2 << 20) + 1, 5000, 7, 1 << 20, (1 << 20) + 2048, 1};
  for (size_t i = 0; i < sizes.size(); ++i) {
    entries.push_back(File("m" + std::to_string(i), Bytes(sizes[i], static_cast<int>(i) + 40)));
    expected += Padded(Bytes(sizes[i], static_cast<int>(i) + 40));
  }
  CacheJob job = Job("", entries, static_cast<int64_t>(expected.size()));
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  EXPECT_EQ(cache.ErrorText(), "");
  EXPECT_TRUE(SameBytes(got.bytes, expected));
}

// Files are opened ahead of the one read only when near it: one far after
// it that vanishes before its turn is found gone (the job then fails naming
// it), also when the cache asked for the first file before anything was
// opened.
TEST_F(CacheThreadTest, OpenAheadOnlyOpensFilesNearTheOneRead) {
  TFEntry* big = File("big", "b");
  big->IsoSize = 2 << 20;  // only its place in the stream matters here
  const TFEntry* far = File("far", "f");
  std::vector<const TFEntry*> entries{big, far};
  for (int round = 0; round < 20; ++round) {
    test::WriteFile(far->SourcePath(), "f");
    SourceOpenAhead ahead(entries, 64, 1 << 20);
    const int first = ahead.Take(0);
    EXPECT_GE(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    unlink(far->SourcePath().c_str());
    EXPECT_EQ(ahead.Take(1), -1) << "round " << round << ": opened before the cache came near it";
    ahead.Release(first);
  }
}

// A read that says "try again" on a source opened without blocking sets it
// to block and is tried again, once: a second EAGAIN is a failure, not an
// endless loop.
TEST_F(CacheThreadTest, ReadAgainSetsANonBlockingSourceToBlockOnce) {
  const TFEntry* a = File("a", "a");
  SourceOpener opener;
  const int fd = opener.OpenFd(a->SourcePath());
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_TRUE(ReadAgain(fd, EINTR));
  EXPECT_FALSE(ReadAgain(fd, EIO));
  EXPECT_TRUE(ReadAgain(fd, EAGAIN));
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_FALSE(ReadAgain(fd, EAGAIN));
  close(fd);
}

// A source replaced by a named pipe after it was added: opening it must not
// wait for a writer that never comes; its read fails the job under its name.
TEST_F(CacheThreadTest, SourceTurnedIntoANamedPipeFailsInsteadOfWaiting) {
  std::vector<const TFEntry*> entries;
  std::string before;
  for (int i = 0; i < 100; ++i) {
    entries.push_back(File("f" + std::to_string(i), Bytes(700, i)));
    before += Padded(Bytes(700, i));
  }
  const TFEntry* pipe = File("pipe", Bytes(700, 1));
  entries.push_back(pipe);
  entries.push_back(File("after", Bytes(700, 2)));
  unlink(pipe->SourcePath().c_str());
  ASSERT_EQ(mkfifo(pipe->SourcePath().c_str(), 0644), 0);
  const int descriptors = OpenDescriptors();
  {
    CacheJob job = Job("", entries, static_cast<int64_t>(before.size() + 2 * 2048));
    TCacheThread cache(std::move(job), lock);
    const Drained got = Drain(cache);
    EXPECT_TRUE(cache.Done());
    EXPECT_NE(cache.ErrorText().find("ERREUR DE LECTURE DU FICHIER"), std::string::npos) << cache.ErrorText();
    EXPECT_NE(cache.ErrorText().find(pipe->SourcePath()), std::string::npos) << cache.ErrorText();
    // The files before it were all delivered.
    EXPECT_TRUE(SameBytes(got.bytes.substr(0, std::min(got.bytes.size(), before.size())), before.substr(0, got.bytes.size())));
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(CacheThreadTest, ShrunkFileFailsGrownFileGivesItsRecordedSize) {
  TFEntry* shrunk = File("shrunk.bin", Bytes(10000, 6));
  test::WriteFile(shrunk->SourcePath(), Bytes(9000, 6));
  {
    CacheJob job = Job("", {shrunk}, SectorsFor(10000) * 2048);
    TCacheThread cache(std::move(job), lock);
    Drain(cache);
    EXPECT_NE(cache.ErrorText().find("shrunk.bin"), std::string::npos) << cache.ErrorText();
    EXPECT_NE(cache.ErrorText().find("9000"), std::string::npos) << cache.ErrorText();
  }
  TFEntry* grown = File("grown.bin", Bytes(3000, 7));
  test::WriteFile(grown->SourcePath(), Bytes(3000, 7) + "more");
  CacheJob job = Job("", {grown}, SectorsFor(3000) * 2048);
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  EXPECT_EQ(cache.ErrorText(), "");
  EXPECT_TRUE(SameBytes(got.bytes, Padded(Bytes(3000, 7))));
}

TEST_F(CacheThreadTest, AbortEmptiesTheQueueAndEnds) {
  const TFEntry* a = File("a.bin", Bytes(8 << 20, 8));
  // Small files after it, opened ahead while the big one is read.
  std::vector<const TFEntry*> entries{a};
  for (int i = 0; i < 200; ++i) entries.push_back(File("s" + std::to_string(i), Bytes(10, i)));
  const int descriptors = OpenDescriptors();
  CacheJob job = Job("", entries, (8 << 20) + 200 * 2048);
  std::optional<TCacheThread> cache_holder(std::in_place, std::move(job), lock);
  TCacheThread& cache = *cache_holder;
  std::vector<uint8_t> buffer(kCacheBlockBytes);
  int taken = 0;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (taken < 3 && std::chrono::steady_clock::now() < deadline) {
    if (cache.TakeBlock(buffer.data()) > 0) ++taken;
  }
  cache.Abort();
  const Drained rest = Drain(cache);
  EXPECT_LT(rest.bytes.size(), size_t{8 << 20});
  EXPECT_TRUE(cache.Done());
  EXPECT_EQ(cache.ErrorText(), "OPÉRATION TERMINÉE PAR L'USAGER");
  cache_holder.reset();
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(CacheThreadTest, ImageFileIsStreamedAloneToWholeSectors) {
  test::WriteFile(dir / "image.iso", Bytes(1'000'001, 9));
  CacheJob job = Job("ignored head", {}, 489 * 2048);
  job.image_file_name = dir / "image.iso";
  job.pad_to_minimum = true;  // never for an image file
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  ASSERT_EQ(got.bytes.size(), 1'001'472u);
  EXPECT_TRUE(SameBytes(got.bytes, Bytes(1'000'001, 9) + std::string(1471, '\0')));
}

TEST_F(CacheThreadTest, BootImageThenItsPaddingThenFiles) {
  test::WriteFile(dir / "boot.img", Bytes(3000, 10));
  const TFEntry* a = File("a.bin", Bytes(10, 11));
  const std::string head(26 * 2048, 'h');
  CacheJob job = Job(head, {a}, (26 + 2 + 5) * 2048 + 2048);
  job.boot_image_name = dir / "boot.img";
  job.boot_sectors = 2;
  job.pad_after_boot = 5;
  TCacheThread cache(std::move(job), lock);
  const Drained got = Drain(cache);
  EXPECT_EQ(cache.ErrorText(), "");
  EXPECT_TRUE(SameBytes(got.bytes, head + Padded(Bytes(3000, 10)) + std::string(5 * 2048, '\0') + Padded(Bytes(10, 11))));
}

TEST_F(CacheThreadTest, StreamOfAnotherLengthThanPromisedIsAnError) {
  const TFEntry* a = File("a.bin", Bytes(5000, 12));
  CacheJob job = Job("", {a}, 2 * 2048);  // the file needs three sectors
  TCacheThread cache(std::move(job), lock);
  Drain(cache);
  EXPECT_EQ(cache.ErrorText(), "ERREUR INTERNE 0005");
}

// The writer's way of taking the stream: TakeBlocks of up to a hand-over
// batch, WaitForData between. Every batch comes whole but the last, each
// wake-up comes (a lost one would cost a wait of 20 s), and the bytes come in
// order whatever the batch and the cache's capacity.
struct HandOverCase {
  size_t batch;
  int cache_size;
  int files;
  bool spin = false;  // asks again at once instead of waiting: takes any block the moment it is queued
};

class CacheHandOverTest : public CacheThreadTest, public ::testing::WithParamInterface<HandOverCase> {};

TEST_P(CacheHandOverTest, BatchesComeWholeButTheLast) {
  const HandOverCase c = GetParam();
  std::vector<const TFEntry*> entries;
  std::string expected = std::string(2048, 'h');
  for (int i = 0; i < c.files; ++i) {
    const std::string content = Bytes(static_cast<size_t>(i * 7919 % 30000), i + 1);
    entries.push_back(File("f" + std::to_string(i), content));
    expected += Padded(content);
  }
  CacheJob job = Job(std::string(2048, 'h'), entries, static_cast<int64_t>(expected.size()));
  job.cache_size = c.cache_size;
  TCacheThread cache(std::move(job), lock);
  cache.SetHandOver(c.batch);
  const size_t whole = std::min(c.batch, static_cast<size_t>(cache.Capacity() - 1));
  const auto start = std::chrono::steady_clock::now();
  std::string got;
  int short_takes = 0;
  std::vector<std::unique_ptr<TCacheBlock>> blocks;
  for (;;) {
    const int64_t n = cache.TakeBlocks(blocks, c.batch);
    if (n == 0) break;
    if (n < 0) {
      ASSERT_LT(std::chrono::steady_clock::now() - start, kPatience) << "the cache delivers nothing";
      if (c.spin) {
        std::this_thread::yield();
      } else {
        cache.WaitForData(20'000);
      }
      continue;
    }
    if (blocks.size() < whole) ++short_takes;
    for (auto& block : blocks) {
      got.append(reinterpret_cast<const char*>(block->Data.data()), static_cast<size_t>(block->Count));
      cache.Recycle(std::move(block));
    }
    blocks.clear();
  }
  const auto took = std::chrono::steady_clock::now() - start;
  cache.WaitFor();
  EXPECT_EQ(cache.ErrorText(), "");
  EXPECT_TRUE(SameBytes(got, expected));
  EXPECT_LE(short_takes, 1) << "the writer was handed blocks before a whole batch was ready";
  EXPECT_LT(took, std::chrono::seconds(10)) << "a wake-up was lost";
  // The last file is named after the job even once its entry has changed.
  TFEntry& last = entries_.back();
  const std::string last_path = last.SourcePath();
  last.LongName = "renamed";
  paths_.back() = "/elsewhere";
  EXPECT_EQ(cache.CurrentFile(), last_path);
}

INSTANTIATE_TEST_SUITE_P(CacheThreadHandOver, CacheHandOverTest,
                         ::testing::Values(HandOverCase{8, 4 << 20, 150},    // batches of 8 blocks (512 KiB)
                                           HandOverCase{8, 256 << 10, 150},  // a queue of 3 blocks: batches of 3
                                           HandOverCase{1, 2 << 20, 60},     // a recorder, one block a command
                                           HandOverCase{64, 2 << 20, 150},   // past the capacity: 31
                                           HandOverCase{8, 4 << 20, 3},      // fewer bytes than one batch
                                           HandOverCase{8, 4 << 20, 150, true},
                                           HandOverCase{8, 256 << 10, 150, true}));

}  // namespace
}  // namespace zamo
