#include "burner/platform/stream_ex.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::TempDir;

TEST(StreamExTest, SizeBeyondFourGigabytesKeepsThePosition) {
  TempDir dir;
  const std::string path = dir / "big.img";
  {
    TFileStreamEx out(path, fmCreate);
    ASSERT_GE(out.Handle, 0);
    ASSERT_TRUE(out.SetSize(5'000'000'000LL));  // sparse
  }
  TFileStreamEx in(path, fmOpenRead | fmShareDenyNone);
  ASSERT_GE(in.Handle, 0);
  EXPECT_EQ(in.Seek(4'500'000'000LL, soFromBeginning), 4'500'000'000LL);
  EXPECT_EQ(in.GetSize(), 5'000'000'000LL);
  EXPECT_EQ(in.Seek(0, soFromCurrent), 4'500'000'000LL);
  char buffer[16] = {1};
  EXPECT_EQ(in.Read(buffer, 16), 16);
  EXPECT_EQ(buffer[0], 0);
}

TEST(StreamExTest, FailuresAreResults) {
  TempDir dir;
  TFileStreamEx missing(dir / "missing", fmOpenRead | fmShareDenyNone);
  EXPECT_LT(missing.Handle, 0);
  char buffer[4];
  EXPECT_EQ(missing.Read(buffer, 4), 0);
  EXPECT_EQ(missing.Write(buffer, 4), 0);
  EXPECT_EQ(missing.Seek(0, soFromEnd), -1);
  test::WriteFile(dir / "file", "abc");
  TFileStreamEx bad_access(dir / "file", 0x0003);  // access 3 opens nothing
  EXPECT_LT(bad_access.Handle, 0);
  TFileStreamEx bad_sharing(dir / "file", 0x0050);  // sharing 5 opens nothing
  EXPECT_LT(bad_sharing.Handle, 0);
  TFileStreamEx read_only(dir / "file", fmOpenRead | fmShareDenyNone);
  ASSERT_GE(read_only.Handle, 0);
  EXPECT_EQ(read_only.Write("x", 1), 0);  // opened for reading only
  TFileStreamEx into_folder(dir.path(), fmCreate);
  EXPECT_LT(into_folder.Handle, 0);
}

TEST(StreamExTest, CreateReplacesAndReadsBack) {
  TempDir dir;
  test::WriteFile(dir / "f", std::string(100, 'z'));
  {
    TFileStreamEx out(dir / "f", fmCreate);
    EXPECT_EQ(out.Write("hello", 5), 5);
    EXPECT_TRUE(out.Close());
    EXPECT_LT(out.Handle, 0);
  }
  EXPECT_EQ(test::ReadFile(dir / "f"), "hello");
}

TEST(StreamExTest, MemoryStream) {
  TMemoryStreamEx m;
  EXPECT_EQ(m.Write("abcdef", 6), 6);
  EXPECT_EQ(m.Seek(2, soFromBeginning), 2);
  char buffer[8] = {};
  EXPECT_EQ(m.Read(buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), "cdef");
  EXPECT_EQ(m.GetSize(), 6);
  m.AppendZeros(2);
  EXPECT_EQ(m.Size(), 8);
  EXPECT_EQ(m.Seek(-1, soFromEnd), 7);
  EXPECT_EQ(m.Seek(-100, soFromCurrent), -1);
  m.Clear();
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Read(buffer, 1), 0);
}

}  // namespace
}  // namespace zamo
