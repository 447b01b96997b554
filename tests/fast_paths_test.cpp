// The shortcuts taken when nothing is traced: the kernel-side copy of large
// ranges and unpacking's memory of folders it has made. Each must leave the
// same bytes and end in the same failures as the plain paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "host/host.h"
#include "tests/support/disc_builder.h"
#include "tests/support/library_test.h"
#include "tests/support/test_env.h"

namespace {

// Bytes that differ at every position, so a shifted or repeated block shows.
std::string Pattern(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

class KernelCopyTest : public LibraryTest {
 protected:
  TempDir dir;
};

TEST_F(KernelCopyTest, LargeRangesLandExactlyWhereTheBufferLoopPutsThem) {
  // Around the size where the kernel takes over, and past one buffer chunk.
  const uint64_t lengths[] = {256 * 1024 - 1, 256 * 1024, (1 << 20) + 3, 0x2000000 + 5};
  for (uint64_t length : lengths) {
    std::string source = Pattern(length + 11, static_cast<uint32_t>(length));
    std::string before = Pattern(length + 40, 7);
    WriteFileBytes(dir.Path("src"), source);
    WriteFileBytes(dir.Path("dst"), before);
    {
      FileGuard src(OpenInputFile(dir.Path("src").c_str()));
      FileGuard dst(OpenExistingReadWrite(dir.Path("dst").c_str()));
      CopyRange(src.file, 9, dst.file, 13, length);
      dst.Close();
    }
    std::string expected = before;
    expected.replace(13, length, source, 9, length);
    EXPECT_TRUE(ReadFileBytes(dir.Path("dst")) == expected) << length;
  }
}

TEST_F(KernelCopyTest, OverlappingRangeInOneFileIsCopiedAsTheBufferLoopDoes) {
  // The kernel refuses overlapping ranges of one file; the buffer loop reads
  // the whole chunk before writing it, so the source bytes move unchanged.
  const uint64_t length = 300 * 1024;
  std::string content = Pattern(length + 100, 3);
  WriteFileBytes(dir.Path("f"), content);
  {
    FileGuard f(OpenExistingReadWrite(dir.Path("f").c_str()));
    CopyRange(f.file, 0, f.file, 7, length);
    f.Close();
  }
  std::string expected = content;
  expected.replace(7, length, content, 0, length);
  EXPECT_TRUE(ReadFileBytes(dir.Path("f")) == expected);
}

TEST_F(KernelCopyTest, SourceShorterThanALargeRangeFailsBeforeWritingIt) {
  WriteFileBytes(dir.Path("src"), Pattern(300 * 1024, 5));
  testing::internal::CaptureStderr();
  EXPECT_THROW(
      {
        FileGuard src(OpenInputFile(dir.Path("src").c_str()));
        FileGuard dst(CreateOutputFile(dir.Path("dst").c_str()));
        CopyRange(src.file, 0, dst.file, 0, 400 * 1024);
      },
      FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorlith: Error occurred when reading file.\n"
            "quorlith: The file ended after 307200 of 409600 bytes\n");
  EXPECT_EQ(ReadFileBytes(dir.Path("dst")), "");
}

TEST_F(KernelCopyTest, SmallRangesWrittenTogetherLandWhereEachBelongs) {
  // Back to back, a gap, one large range in between, and ranges that fill
  // more than one gathering window.
  std::string source = Pattern(3 << 20, 11);
  WriteFileBytes(dir.Path("src"), source);
  std::string expected(5 << 20, '\0');
  {
    FileGuard src(OpenInputFile(dir.Path("src").c_str()));
    FileGuard dst(CreateOutputFile(dir.Path("dst").c_str()));
    uint64_t at = 0;
    auto copy = [&](uint64_t from, uint64_t to, uint64_t length) {
      CopyRange(src.file, from, dst.file, to, length);
      expected.replace(to, length, source, from, length);
      at = to + length;
    };
    copy(5, 0, 10);
    copy(100, at, 0);
    copy(200, at, 4000);
    copy(0, at + 3, 70000);  // not where the last one ended
    copy(17, at, 300000);    // large: goes its own way
    for (int i = 0; i < 40; ++i) copy(1000 * i, at, 60000 + i);
    EXPECT_EQ(GetFileSize64(dst.file), at);  // counts the bytes not yet written
    dst.Close();
    expected.resize(at);
  }
  EXPECT_TRUE(ReadFileBytes(dir.Path("dst")) == expected);
}

TEST_F(KernelCopyTest, CopyOutOfAFileSeesWhatWasJustCopiedIntoIt) {
  WriteFileBytes(dir.Path("src"), "abcdef");
  {
    FileGuard src(OpenInputFile(dir.Path("src").c_str()));
    FileGuard f(CreateOutputFile(dir.Path("f").c_str()));
    CopyRange(src.file, 0, f.file, 0, 6);
    CopyRange(f.file, 1, f.file, 6, 4);
    f.Close();
  }
  EXPECT_EQ(ReadFileBytes(dir.Path("f")), "abcdefbcde");
}

TEST_F(KernelCopyTest, BytesHeldInTheCopyBufferNeverStandInForNewerOnes) {
  // src[0, 2) goes to f at once and reads src ahead; src[2, 4) continues it
  // and is gathered. A copy that starts elsewhere then reads ahead: out of
  // f, it must find the gathered bytes; and once the buffer is replaced (a
  // caller running twice in one process), nothing read ahead or gathered in
  // the old buffer may come out of the new one.
  struct {
    bool replaceBuffer;
    bool outOfF;
    std::string out;
  } cases[] = {{false, true, "abcd456"}, {true, false, "abcdef"}};
  for (const auto& c : cases) {
    WriteFileBytes(dir.Path("src"), "abcdef");
    WriteFileBytes(dir.Path("f"), "0123456789");
    {
      FileGuard src(OpenInputFile(dir.Path("src").c_str()));
      FileGuard f(OpenExistingReadWrite(dir.Path("f").c_str()));
      FileGuard out(CreateOutputFile(dir.Path("out").c_str()));
      CopyRange(src.file, 0, f.file, 0, 2);
      CopyRange(src.file, 2, f.file, 2, 2);
      if (c.replaceBuffer) {
        ReleaseCopyBuffer();
        ASSERT_TRUE(AllocateCopyBuffer());
      }
      CopyRange(c.outOfF ? f.file : src.file, 0, out.file, 0, c.out.size());
      out.Close();
      f.Close();
    }
    EXPECT_EQ(ReadFileBytes(dir.Path("out")), c.out) << c.replaceBuffer;
    EXPECT_EQ(ReadFileBytes(dir.Path("f")), "abcd456789") << c.replaceBuffer;
  }
}

TEST_F(KernelCopyTest, ShortSourceAfterSmallCopiesKeepsTheirBytesAndTheMessage) {
  WriteFileBytes(dir.Path("a"), "first");
  WriteFileBytes(dir.Path("b"), "12345");
  testing::internal::CaptureStderr();
  EXPECT_THROW(
      {
        FileGuard a(OpenInputFile(dir.Path("a").c_str()));
        FileGuard b(OpenInputFile(dir.Path("b").c_str()));
        FileGuard dst(CreateOutputFile(dir.Path("dst").c_str()));
        CopyRange(a.file, 0, dst.file, 0, 5);
        CopyRange(b.file, 2, dst.file, 5, 10);
      },
      FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorlith: Error occurred when reading file.\n"
            "quorlith: The file ended after 3 of 10 bytes\n");
  EXPECT_EQ(ReadFileBytes(dir.Path("dst")), "first");
}

TEST_F(KernelCopyTest, RangesReadAheadFollowWritesToTheirFile) {
  WriteFileBytes(dir.Path("f"), "0123456789abcdefghij");
  WriteFileBytes(dir.Path("new"), "XYZ");
  std::vector<std::string> copies;
  {
    FileGuard f(OpenExistingReadWrite(dir.Path("f").c_str()));
    FileGuard fresh(OpenInputFile(dir.Path("new").c_str()));
    auto copyOut = [&](uint64_t from, uint64_t length) {
      std::string name = "out" + std::to_string(copies.size());
      FileGuard out(CreateNewFile(dir.Path(name).c_str()));
      CopyRange(f.file, from, out.file, 0, length);
      out.Close();
      copies.push_back(ReadFileBytes(dir.Path(name)));
    };
    copyOut(0, 4);
    CopyRange(fresh.file, 0, f.file, 2, 3);  // written into the file read ahead
    copyOut(1, 5);
    FlushCopiedBytes(f.file);  // before writing it by other means
    ASSERT_TRUE(HostWriteAt(f.file, "!", 1, 6));
    copyOut(4, 4);
    copyOut(18, 2);
    f.Close();
  }
  EXPECT_EQ(copies, (std::vector<std::string>{"0123", "1XYZ5", "Z5!7", "ij"}));
  testing::internal::CaptureStderr();
  EXPECT_THROW(
      {
        FileGuard f(OpenInputFile(dir.Path("f").c_str()));
        FileGuard out(CreateNewFile(dir.Path("short").c_str()));
        CopyRange(f.file, 0, out.file, 0, 3);
        CopyRange(f.file, 15, out.file, 100, 9);  // past the end of what was read ahead
      },
      FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorlith: Error occurred when reading file.\n"
            "quorlith: The file ended after 5 of 9 bytes\n");
  EXPECT_EQ(ReadFileBytes(dir.Path("short")), "01X");
}

// Bytes still gathered for the qpk file when the run fails go nowhere: the
// temporary file is removed, and no qpk file appears.
TEST(PackFastPathsTest, RunEndingOnAnErrorWithBytesGatheredLeavesNoQpkFile) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.dlf"),
                 "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"one.bin\"\n4,\"two.bin\"\n8,\"gone.bin\"\n");
  WriteFileBytes(dir.Path("one.bin"), "one");
  WriteFileBytes(dir.Path("two.bin"), "two");
  RunResult result = RunQuorlithBinary({"-d", "a.dlf"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorlith: Cannot open file gone.bin!\n");
  EXPECT_EQ(ListTree(dir.path()), (std::vector<std::string>{"a.dlf", "one.bin", "two.bin"}));
}

TEST(UnpackFoldersTest, FoldersThatComeBackOrShareAPrefixAreAllMade) {
  TempDir dir;
  DiscBuilder disc(0x1000);
  // Folder names that are prefixes of one another, folders left and
  // entered again, deeper and shallower in turn.
  const char* paths[] = {"/a/x", "/ab/y", "/a/b/z", "/b/w", "/a/v", "/a/b/c/d", "/ab/y2", "/top"};
  uint64_t offset = 0x10000;
  for (const char* path : paths) {
    disc.AddFile(path, offset, path);
    offset += 0x100;
  }
  disc.AddEmptyDirectory("/a/b/e");
  disc.Write(dir.Path("disc"), "layout.dlf");
  ASSERT_EQ(RunQuorlithBinary({"-d", "disc/layout.dlf", "in.qpk"}, dir.path()).status, 0);
  RunResult result = RunQuorlithBinary({"-u", "-e", "out", "in.qpk"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char* path : paths) {
    EXPECT_EQ(ReadFileBytes(dir.Path(std::string("out/dvdroot") + path)), path);
  }
  std::vector<std::string> tree = ListTree(dir.Path("out/dvdroot"));
  EXPECT_EQ(tree,
            (std::vector<std::string>{"a/", "a/b/", "a/b/c/", "a/b/c/d", "a/b/e/", "a/b/z", "a/v",
                                      "a/x", "ab/", "ab/y", "ab/y2", "b/", "b/w", "top"}));
}

}  // namespace
