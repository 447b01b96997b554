// The chunked copy, the 64-bit size query and the change to a path's folder.
#include "fileio/fileio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/library_test.h"
#include "tests/support/test_env.h"

namespace {

class FileIoTest : public LibraryTest {
 protected:
  // Copies `length` bytes of a file holding `content` into a new file at
  // destination offset 3 and returns the destination's bytes and the trace.
  std::string CopyAndTrace(const std::string& content, uint64_t length, std::string* trace) {
    WriteFileBytes(dir.Path("src"), content);
    FileGuard src(OpenInputFile(dir.Path("src").c_str()));
    FileGuard dst(CreateOutputFile(dir.Path("dst").c_str()));
    testing::internal::CaptureStderr();
    CopyRange(src.file, 0, dst.file, 3, length, verbose_);
    *trace = testing::internal::GetCapturedStderr();
    dst.Close();
    return ReadFileBytes(dir.Path("dst"));
  }

  TempDir dir;
  bool verbose_ = false;
};

TEST_F(FileIoTest, CopyOfNothingTracesOnlyTheStart) {
  verbose_ = true;
  std::string trace;
  EXPECT_EQ(CopyAndTrace("abc", 0, &trace), "");
  EXPECT_EQ(trace, "start src seek off 0\nstart dst seek off 3\n");
}

TEST_F(FileIoTest, CopyMovesWholeChunksOf32MiB) {
  verbose_ = true;
  struct {
    uint64_t length;
    const char* trace;
  } cases[] = {
      {0x2000000,
       "start src seek off 0\nstart dst seek off 3\ncopySize : 33554432\n0x64636261\n"
       "current src seek off 33554432\ncurrent dst seek off 33554435\n"},
      {0x2000001,
       "start src seek off 0\nstart dst seek off 3\ncopySize : 33554432\n0x64636261\n"
       "current src seek off 33554432\ncurrent dst seek off 33554435\n"
       "copySize : 1\n0x64636221\n"
       "current src seek off 33554433\ncurrent dst seek off 33554436\n"},
  };
  for (const auto& c : cases) {
    std::string content(c.length, 'x');
    content.replace(0, 4, "abcd");
    content.back() = '!';
    std::string trace;
    std::string copied = CopyAndTrace(content, c.length, &trace);
    EXPECT_EQ(trace, c.trace) << c.length;
    EXPECT_TRUE(copied == std::string(3, '\0') + content) << c.length;
  }
}

TEST_F(FileIoTest, ShortSourceIsAnErrorNotZeros) {
  std::string trace;
  testing::internal::CaptureStderr();
  EXPECT_THROW(
      {
        WriteFileBytes(dir.Path("src"), "12345");
        FileGuard src(OpenInputFile(dir.Path("src").c_str()));
        FileGuard dst(CreateOutputFile(dir.Path("dst").c_str()));
        CopyRange(src.file, 2, dst.file, 0, 10);
      },
      FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorlith: Error occurred when reading file.\n"
            "quorlith: The file ended after 3 of 10 bytes\n");
  EXPECT_EQ(ReadFileBytes(dir.Path("dst")), "");
}

TEST_F(FileIoTest, SizeOfASparseFileAbove4GiB) {
  WriteFileBytes(dir.Path("sparse"), "");
  std::filesystem::resize_file(dir.Path("sparse"), 0x140000003ull);
  FileGuard file(OpenInputFile(dir.Path("sparse").c_str()));
  EXPECT_EQ(GetFileSize64(file.file), 0x140000003ull);
}

TEST_F(FileIoTest, OpenFailuresNameTheFile) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(OpenInputFile(dir.Path("missing").c_str()), FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorlith: Cannot open file " + dir.Path("missing") + "!\n");
  testing::internal::CaptureStderr();
  EXPECT_THROW(OpenStreamForWriting(dir.Path("no/such/dlf").c_str()), FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "quorlith: Error occurred when opening file " +
                                                        dir.Path("no/such/dlf") +
                                                        "\nfopen: No such file or directory\n");
}

TEST_F(FileIoTest, ChangeToFolderOfSplitsAtTheRightSeparator) {
  const std::string start = std::filesystem::current_path().string();
  std::filesystem::create_directories(dir.Path("sub\\dir"));
  std::filesystem::create_directories(dir.Path("a/b"));
  struct {
    std::string path;
    std::string expected;
  } cases[] = {
    {"plain.dlf", dir.path()},                 // no separator: unchanged
    {"sub\\dir/x.dlf", dir.Path("sub\\dir")},  // the last separator is a '/'
#if defined(_WIN32)
    // Either kind of separator, whichever comes last.
    {"a/b\\c.dlf", dir.Path("a/b")},
    {"a\\b\\c.dlf", dir.Path("a/b")},
    {"a\\x.dlf", dir.Path("a")},
#else
    {"a/b\\c.dlf", dir.Path("a")},  // '\' is an ordinary character after a '/'
#endif
    {dir.Path("a/x.dlf"), dir.Path("a")},  // absolute
  };
  for (const auto& c : cases) {
    std::filesystem::current_path(dir.path());
    ChangeToFolderOf(c.path.c_str());
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(c.expected)) << c.path;
  }
  std::filesystem::current_path(dir.path());
  testing::internal::CaptureStderr();
  EXPECT_THROW(ChangeToFolderOf("missing/x.dlf"), FatalExit);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("quorlith: Cannot change directory to missing\nquorlith: Error code is ", 0),
            0u)
      << err;
  std::filesystem::current_path(start);
}

}  // namespace
