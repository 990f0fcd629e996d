#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace zamo::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "zamo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions a test may have taken away, so the folder can go.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::unique_ptr<TempDir> InMemoryTempDir() {
  const char* before = std::getenv("TMPDIR");
  const std::string kept = before != nullptr ? before : "";
  if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  auto dir = std::make_unique<TempDir>();
  if (before != nullptr) {
    setenv("TMPDIR", kept.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  return dir;
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void SetModifiedTime(const std::string& path, int64_t seconds) {
  struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void MakeTree(const std::string& root, const TreeContents& contents) {
  for (const auto& [relative, content] : contents) {
    const std::string path = root + "/" + relative;
    if (!relative.empty() && relative.back() == '/') {
      fs::create_directories(path);
    } else {
      WriteFile(path, content);
    }
  }
}

std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(item.path(), root).string();
    if (item.is_directory()) {
      tree[relative + "/"] = "";
    } else {
      tree[relative] = ReadFile(item.path().string());
    }
  }
  return tree;
}

::testing::AssertionResult SameTree(const std::map<std::string, std::string>& actual,
                                    const std::map<std::string, std::string>& expected) {
  std::string problems;
  for (const auto& [path, bytes] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      problems += "  missing: " + path + "\n";
    } else if (it->second != bytes) {
      problems += "  different bytes: " + path + " (" + std::to_string(it->second.size()) + " bytes, expected " +
                  std::to_string(bytes.size()) + ")\n";
    }
  }
  for (const auto& [path, bytes] : actual) {
    if (!expected.contains(path)) problems += "  unexpected: " + path + "\n";
  }
  if (problems.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "trees differ:\n" << problems;
}

std::string Bytes(size_t count, uint32_t seed) {
  std::string out(count, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>(x >> 16);
  }
  return out;
}

std::string RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(count, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

}  // namespace zamo::test
