// qpk records as they lie on disk, the readers' checks, and the rule by which
// a disc offset finds the entry that covers it.
#include "package/qpk.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "tests/support/library_test.h"
#include "tests/support/qpk_bytes.h"
#include "tests/support/test_env.h"

namespace {

std::string Bytes(const unsigned char* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

TEST(QpkRecordTest, HeaderAndEntryBytes) {
  QpkHeader header;
  FillQpkHeader(&header, 0, 3);
  unsigned char bytes[32];
  EncodeQpkHeader(header, bytes);
  EXPECT_EQ(Bytes(bytes, 32), std::string("\x6a\x2b\xf9\xe0\0\0\0\0\x20\0\0\0\0\0\0\0"
                                          "\x20\0\0\0\x03\0\0\0\x68\0\0\0\0\0\0\0",
                                          32));
  QpkHeader back = DecodeQpkHeader(bytes);
  EXPECT_EQ(back.dataRegionOffset, 104u);
  EXPECT_EQ(back.entryCount, 3u);

  QpkEntry entry;
  FillQpkEntry(&entry, 0x0102030405060708ull, 0x1112131415161718ull, 0x21222324, 1);
  unsigned char e[24];
  EncodeQpkEntry(entry, e);
  EXPECT_EQ(Bytes(e, 24), std::string("\x08\x07\x06\x05\x04\x03\x02\x01"
                                      "\x18\x17\x16\x15\x14\x13\x12\x11"
                                      "\x24\x23\x22\x21\x01\0\0\0",
                                      24));
  QpkEntry decoded = DecodeQpkEntry(e);
  EXPECT_EQ(decoded.discOffset, entry.discOffset);
  EXPECT_EQ(decoded.dataOffset, entry.dataOffset);
  EXPECT_EQ(decoded.dataSize, entry.dataSize);
  EXPECT_EQ(decoded.flags, entry.flags);
}

TEST(QpkRecordTest, CoveringEntryRule) {
  // Offsets 0, 4096 (placeholder), 4096 (file), 8192.
  std::vector<QpkEntry> table = {
      {0, 0, 4096, 0}, {4096, 4096, 0, 1}, {4096, 4096, 4096, 0}, {8192, 8192, 10, 0}};
  struct {
    uint64_t offset;
    int64_t covering;
  } cases[] = {
      {0, 0},    {4095, 0}, {4096, 2},        // the later of two equal offsets
      {5000, 2}, {8192, 3}, {1ull << 40, 3},  // past the last offset: the last entry
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindCoveringEntry(table.data(), 4, c.offset), c.covering) << c.offset;
  }
  // Out of order: the walk stops at the first greater offset in table order.
  std::vector<QpkEntry> unordered = {{0, 0, 0, 0}, {500, 0, 0, 0}, {200, 0, 0, 0}};
  EXPECT_EQ(FindCoveringEntry(unordered.data(), 3, 300), 0);
  EXPECT_EQ(FindCoveringEntry(unordered.data(), 3, 600), 2);
  std::vector<QpkEntry> late = {{16, 0, 0, 0}};
  EXPECT_EQ(FindCoveringEntry(late.data(), 1, 15), -1);
}

class QpkFileTest : public LibraryTest {
 protected:
  // Writes a qpk file and opens it for reading.
  HostHandle Open(const std::string& bytes) {
    guard.reset();  // Windows cannot rewrite a file that is still open
    WriteFileBytes(dir.Path("f.qpk"), bytes);
    guard.reset(new FileGuard(OpenInputFile(dir.Path("f.qpk").c_str())));
    return guard->file;
  }

  // Expects `action` to end the run with exactly `message`.
  template <typename Action>
  void ExpectFailure(Action action, const std::string& message) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(action(), FatalExit);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }

  TempDir dir;
  std::unique_ptr<FileGuard> guard;
};

TEST_F(QpkFileTest, HeaderWithoutMagicIsRefused) {
  for (std::string start :
       {std::string(32, '\0'), std::string("\x6a\x2b\xf9"), std::string("qpk?")}) {
    HostHandle f = Open(start);
    ExpectFailure([&] { ReadQpkHeader(f); }, "quorlith: Specified file is not a qpk file\n");
  }
}

TEST_F(QpkFileTest, TableIsReadAtOffset32WhateverTheExtraFieldsSay) {
  QpkHeader h;
  FillQpkHeader(&h, 64, 1);  // a non-zero extra area is not supported by readers
  HostHandle f = Open(MakeQpkBytes(h, {{7, 8, 9, 0}}, ""));
  QpkHeader read = ReadQpkHeader(f);
  std::vector<QpkEntry> entries = ReadQpkEntryTable(f, read);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].discOffset, 7u);
  EXPECT_EQ(entries[0].dataSize, 9u);
}

TEST_F(QpkFileTest, EntryTableMustBeNonEmptyAndInsideTheFile) {
  QpkHeader h;
  FillQpkHeader(&h, 0, 0);
  HostHandle f = Open(MakeQpkBytes(h, {}, ""));
  ExpectFailure([&] { ReadQpkEntryTable(f, h); }, "quorlith: The qpk file has no entries\n");

  FillQpkHeader(&h, 0, 2);
  f = Open(MakeQpkBytes(h, {{0, 0, 0, 0}}, std::string(23, '\0')));
  ExpectFailure(
      [&] { ReadQpkEntryTable(f, h); },
      "quorlith: The qpk file's entry table (2 entries) reaches past the end of the file\n");

  h.entryCount = 89478484;  // 32 + 24 * n >= 2^31
  ExpectFailure([&] { ReadQpkEntryTable(f, h); },
                "quorlith: The qpk file's entry count 89478484 is too large\n");
}

TEST_F(QpkFileTest, ReadDiscRangeReadsThroughTheCoveringEntry) {
  std::vector<QpkEntry> entries = {{0x1000, 2, 4, 0}, {0x2000, 6, 4, 0}};
  HostHandle f = Open(MakeQpkBytes(entries, "cfABCDWXYZ"));
  auto read = [&](uint64_t offset, uint32_t count) {
    HeapBytes b = ReadDiscRange(f, entries.data(), 2, 80, offset, count);
    return std::string(reinterpret_cast<const char*>(b.get()), count);
  };
  auto refuse = [&](uint64_t offset, uint32_t count) {
    ReadDiscRange(f, entries.data(), 2, 80, offset, count);
  };
  EXPECT_EQ(read(0x1000, 4), "ABCD");
  EXPECT_EQ(read(0x1002, 4), "CDWX");  // reads on past the entry's own bytes
  EXPECT_EQ(read(0x2000, 4), "WXYZ");
  EXPECT_EQ(read(0x2003, 1), "Z");
  ExpectFailure([&] { refuse(0xFFF, 1); },
                "quorlith: Disc offset 0x0000000000000fff lies before the first entry of the qpk "
                "file\n");
  ExpectFailure(
      [&] { refuse(0x2002, 3); },
      "quorlith: Disc range 0x0000000000002002 (3 bytes) is not stored in the qpk file\n");
  ExpectFailure([&] { refuse(0x2000, 0xFFFFFFFF); },
                "quorlith: Disc range 0x0000000000002000 (4294967295 bytes) is not stored in the "
                "qpk file\n");
}

}  // namespace
