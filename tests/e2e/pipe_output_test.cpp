// pipe_output_test.cpp: `zamo-cli mkiso` writing its image into a pipe
// (-o -, -o /dev/stdout, a named pipe), threaded and quick: the bytes that
// come through are those of the image written to a file, zeros a file would
// leave as a hole included; a reader that goes early fails the job with a
// French message (the program is not killed by SIGPIPE), and no file is
// left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/background.h"
#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

enum class Save { kThreaded, kQuick };

std::string Name(Save save) { return save == Save::kQuick ? "Quick" : "Threaded"; }
void PrintTo(Save save, std::ostream* out) { *out << Name(save); }

// zamo-cli mkiso with fixed dates, so that two runs give the same bytes.
std::vector<std::string> Mkiso(Save save, const std::string& output, const std::string& source) {
  std::vector<std::string> argv = {"env", "SOURCE_DATE_EPOCH=1700000000", ZamoCli(), "mkiso", "-o", output};
  if (save == Save::kQuick) argv.push_back("--quick");
  argv.push_back(source);
  return argv;
}

// The names in `folder`.
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

// Everything a writer puts into the named pipe `path` until it closes it
// (polled, at most `timeout_ms` in all); `ok` false when it never ended.
struct Drained {
  std::string bytes;
  bool ok = false;
};
Drained DrainFifo(const std::string& path, int timeout_ms) {
  Drained drained;
  // Opened without waiting for a writer; polls wait for its bytes and its end.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return drained;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool writer_seen = false;
  std::vector<char> chunk(1 << 16);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got > 0) {
      writer_seen = true;
      drained.bytes.append(chunk.data(), static_cast<size_t>(got));
    } else if (got == 0 && (writer_seen || (p.revents & POLLHUP) != 0)) {
      drained.ok = true;  // the writer closed its end
      break;
    }
  }
  close(fd);
  return drained;
}

class PipeOutputTest : public ::testing::TestWithParam<Save> {
 protected:
  void SetUp() override {
    // Small files, a file of zeros larger than a cache block and than the
    // quick save's buffer (a hole in an image file), and data after it.
    MakeTree(dir / "src", {{"a.txt", "premier"},
                           {"zeros.bin", std::string(3 << 20, '\0')},
                           {"sub/b.bin", RandomBytes(700000, 3)},
                           {"sub/c.txt", "dernier"}});
    const RunResult to_file = test::Run(Mkiso(GetParam(), dir / "file.iso", dir / "src"));
    ASSERT_EQ(to_file.status, 0) << Describe(to_file);
    reference = ReadFile(dir / "file.iso");
    ASSERT_GT(reference.size(), size_t{3} << 20);
  }

  TempDir dir;
  std::string reference;  // the image written to a file
};

// -o - and -o /dev/stdout into the pipe Run reads: every byte of the image
// and nothing else on stdout (the summary goes to stderr).
TEST_P(PipeOutputTest, StandardOutputGetsTheFileBytes) {
  for (const std::string output : {"-", "/dev/stdout"}) {
    SCOPED_TRACE(output);
    const RunResult r = test::Run(Mkiso(GetParam(), output, dir / "src"), 120, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), reference.size());
    EXPECT_TRUE(r.out == reference) << "the bytes through the pipe differ from the image file";
    EXPECT_NE(r.err.find(">>> ÉCRITURE TERMINÉE: - SUCCÈS"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Image ISO 9660 + Joliet"), std::string::npos) << "summary on stderr: " << r.err;
  }
  EXPECT_EQ(Listing(dir.path()).size(), 2u) << "nothing but src and file.iso";
}

// A named pipe given as the image is written as it is: its reader gets the
// image's bytes, and it stays a pipe.
TEST_P(PipeOutputTest, NamedPipeGetsTheFileBytes) {
  const std::string fifo = dir / "tube";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Background mkiso(Mkiso(GetParam(), fifo, dir / "src"), dir / "run");
  ASSERT_TRUE(mkiso.started());
  const Drained drained = DrainFifo(fifo, 60000);
  ASSERT_TRUE(mkiso.Wait(30000)) << mkiso.Describe();
  EXPECT_EQ(mkiso.exit_status(), 0) << mkiso.Describe();
  ASSERT_TRUE(drained.ok);
  EXPECT_EQ(drained.bytes.size(), reference.size());
  EXPECT_TRUE(drained.bytes == reference) << "the bytes through the named pipe differ from the image file";
  struct stat st {};
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the named pipe was replaced";
}

// A reader that takes the first bytes and goes: the job fails, saying why,
// with exit status 1 (not killed by SIGPIPE), and leaves no file anywhere.
TEST_P(PipeOutputTest, ReaderGoneEarlyFailsTheJob) {
  TempDir cwd;
  std::vector<std::string> argv = {"bash", "-c", "\"$@\" | head -c 4096 > /dev/null; exit ${PIPESTATUS[0]}", "bash"};
  for (const std::string& arg : Mkiso(GetParam(), "-", dir / "src")) argv.push_back(arg);
  const RunResult r = test::Run(argv, 120, cwd.path());
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_NE(r.err.find(">>> ÉCRITURE: - ÉCHEC"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("INTERROMPUE: LE PROGRAMME QUI LA LISAIT S'EST FERMÉ (TUBE ROMPU)"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("SUCCÈS"), std::string::npos) << r.err;
  EXPECT_TRUE(Listing(cwd.path()).empty());
  EXPECT_EQ(Listing(dir.path()).size(), 2u) << "nothing but src and file.iso";
  EXPECT_EQ(Listing(dir / "src").size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Saves, PipeOutputTest, ::testing::Values(Save::kThreaded, Save::kQuick),
                         [](const auto& save) { return Name(save.param); });

// A peer reads the image straight from the pipe, as a user pipes it
// (bsdtar: xorriso takes a pipe for a blank sequential medium, whoever writes
// into it).
TEST(PipeOutput, BsdtarExtractsTheImageFromThePipe) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  MakeTree(dir / "src", {{"Lettre longue.txt", "bonjour"}, {"d/e.bin", RandomBytes(300000, 4)}});
  MakeTree(dir / "lu", {{"d/", ""}});
  const RunResult r = test::Run({"bash", "-c", "set -o pipefail; \"$1\" mkiso -o - \"$2\" | bsdtar -x -f - -C \"$3\"",
                           "bash", ZamoCli(), dir / "src", dir / "lu"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(SameTree(ReadTree(dir / "lu"), ReadTree(dir / "src")));
}

// `-o -` does not write an image on a terminal.
TEST(PipeOutput, StandardOutputOnATerminalIsRefused) {
  if (!HaveProgram("script")) GTEST_SKIP() << "script is not installed";
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const RunResult r =
      test::Run({"script", "-qec", ZamoCli() + " mkiso -o - " + dir / "src" + "; echo statut=$?", "/dev/null"}, 60,
          dir.path());
  EXPECT_NE(r.out.find("sortie standard, qui est ici un terminal"), std::string::npos) << Describe(r);
  EXPECT_NE(r.out.find("statut=2"), std::string::npos) << Describe(r);
  EXPECT_EQ(Listing(dir.path()).size(), 1u) << "no file named -";
}

}  // namespace
}  // namespace zamo::test
