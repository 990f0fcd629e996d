// bench/write_sizes.cpp: writes the files named on its standard input
// (separated by NUL bytes, as find -print0 gives them), one after the other, into one output file the way the threaded image save
// does: a reading thread fills 64 KiB blocks (each file's last one may be
// short) into a cache of 4 MiB, and the writing thread takes the blocks that
// are ready, up to a given number, and hands them to one pwritev. With "c"
// before the size, the files are copied by the kernel instead
// (copy_file_range, so many KiB a call), as the quick save copies large
// files; with "g", the files are gathered whole into a buffer of that size,
// written in one call each time the next file does not fit, as the quick
// save gathers small files (for a corpus of small files). It times nothing
// itself; bench/write_sizes.sh times it for each
// call size against `cat` of the same files. A benchmark, never run by the
// tests.
//
//   write_sizes [c|g]KIB_PER_CALL OUT < NAMES
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBlock = 64 * 1024;  // the read-ahead cache's block
constexpr size_t kCacheBlocks = 64;   // its default size, 4 MiB

struct Block {
  std::vector<char> data = std::vector<char>(kBlock);
  size_t count = 0;
};

// The blocks between the two threads: ready ones in order, spare ones.
struct Cache {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::unique_ptr<Block>> ready, spare;
  bool done = false;
  bool failed = false;
};

int Fail(const char* what, const char* name) {
  std::perror(what);
  std::fprintf(stderr, "write_sizes: %s\n", name);
  return 1;
}

void Read(Cache& cache, int count, char** names) {
  for (int i = 0; i < count; ++i) {
    const int in = open(names[i], O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0;
    off_t at = 0;
    while (ok) {
      std::unique_ptr<Block> block;
      {
        std::unique_lock<std::mutex> hold(cache.lock);
        cache.changed.wait(hold, [&] { return !cache.spare.empty() || cache.failed; });
        if (cache.failed) break;
        block = std::move(cache.spare.front());
        cache.spare.pop_front();
      }
      const ssize_t got = pread(in, block->data.data(), kBlock, at);
      if (got <= 0) {
        ok = got == 0;
        std::lock_guard<std::mutex> hold(cache.lock);
        cache.spare.push_back(std::move(block));
        break;
      }
      at += got;
      block->count = static_cast<size_t>(got);
      std::lock_guard<std::mutex> hold(cache.lock);
      cache.ready.push_back(std::move(block));
      cache.changed.notify_all();
    }
    if (in >= 0) close(in);
    if (!ok) {
      Fail("read", names[i]);
      std::lock_guard<std::mutex> hold(cache.lock);
      cache.failed = true;
      break;
    }
  }
  std::lock_guard<std::mutex> hold(cache.lock);
  cache.done = true;
  cache.changed.notify_all();
}

int Write(int out, size_t per_call, int count, char** names) {
  Cache cache;
  for (size_t i = 0; i < kCacheBlocks; ++i) cache.spare.push_back(std::make_unique<Block>());
  std::thread reader(Read, std::ref(cache), count, names);
  std::vector<std::unique_ptr<Block>> taken;
  std::vector<iovec> parts;
  off_t offset = 0;
  bool ok = true;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(cache.lock);
      cache.changed.wait(hold, [&] { return !cache.ready.empty() || cache.done; });
      while (taken.size() < per_call && !cache.ready.empty()) {
        taken.push_back(std::move(cache.ready.front()));
        cache.ready.pop_front();
      }
    }
    if (taken.empty()) break;
    for (auto& block : taken) parts.push_back({block->data.data(), block->count});
    size_t first = 0;
    while (ok && first < parts.size()) {
      const ssize_t put = pwritev(out, &parts[first], static_cast<int>(parts.size() - first), offset);
      if (put <= 0) {
        ok = false;
        break;
      }
      offset += put;
      auto left = static_cast<size_t>(put);
      while (first < parts.size() && left >= parts[first].iov_len) left -= parts[first++].iov_len;
      if (first < parts.size()) {
        parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
        parts[first].iov_len -= left;
      }
    }
    parts.clear();
    std::lock_guard<std::mutex> hold(cache.lock);
    for (auto& block : taken) cache.spare.push_back(std::move(block));
    taken.clear();
    if (!ok) cache.failed = true;
    cache.changed.notify_all();
    if (!ok) break;
  }
  reader.join();
  if (!ok) return Fail("pwritev", "output");
  return cache.failed ? 1 : 0;
}

int Copy(int out, size_t chunk, int count, char** names) {
  loff_t out_offset = 0;
  for (int i = 0; i < count; ++i) {
    const int in = open(names[i], O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail("open", names[i]);
    loff_t in_offset = 0;
    for (;;) {
      const ssize_t n = copy_file_range(in, &in_offset, out, &out_offset, chunk, 0);
      if (n < 0) return Fail("copy_file_range", names[i]);
      if (n == 0) break;
    }
    close(in);
  }
  return 0;
}

int Gather(int out, size_t capacity, int count, char** names) {
  std::vector<char> buffer(capacity);
  size_t size = 0;
  off_t offset = 0;
  auto flush = [&]() -> bool {
    for (size_t done = 0; done < size;) {
      const ssize_t put = pwrite(out, buffer.data() + done, size - done, offset);
      if (put <= 0) return false;
      done += static_cast<size_t>(put);
      offset += put;
    }
    size = 0;
    return true;
  };
  for (int i = 0; i < count; ++i) {
    const int in = open(names[i], O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail("open", names[i]);
    const off_t length = lseek(in, 0, SEEK_END);
    if (length < 0 || static_cast<size_t>(length) > capacity) return Fail("larger than the buffer", names[i]);
    if (static_cast<size_t>(length) > capacity - size && !flush()) return Fail("pwrite", "output");
    for (off_t at = 0; at < length;) {
      const ssize_t got = pread(in, buffer.data() + size, static_cast<size_t>(length - at), at);
      if (got <= 0) return Fail("pread", names[i]);
      at += got;
      size += static_cast<size_t>(got);
    }
    close(in);
  }
  return flush() ? 0 : Fail("pwrite", "output");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: write_sizes [c|g]KIB_PER_CALL OUT < NAMES\n");
    return 2;
  }
  std::vector<std::string> names;
  for (std::string name; std::getline(std::cin, name, '\0');) names.push_back(name);
  std::vector<char*> files;
  for (auto& name : names) files.push_back(name.data());
  const int count = static_cast<int>(files.size());
  const char way = argv[1][0] == 'c' || argv[1][0] == 'g' ? argv[1][0] : 'w';
  const long kib = std::strtol(argv[1] + (way != 'w' ? 1 : 0), nullptr, 10);
  if (kib < 64 || kib % 64 != 0) {
    std::fprintf(stderr, "write_sizes: KIB_PER_CALL must be a multiple of 64\n");
    return 2;
  }
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return Fail("open", argv[2]);
  const size_t bytes = static_cast<size_t>(kib) << 10;
  const int result = way == 'c'   ? Copy(out, bytes, count, files.data())
                     : way == 'g' ? Gather(out, bytes, count, files.data())
                                  : Write(out, static_cast<size_t>(kib) / 64, count, files.data());
  if (close(out) != 0) return Fail("close", argv[2]);
  return result;
}
