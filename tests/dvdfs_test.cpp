#include "dvdfs/dvdfs.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/options.h"
#include "tests/support/fst_builder.h"
#include "tests/support/fst_fixture.h"

namespace {

const char GUARD = '\x5A';

// Entries: 0 root, 1 a/, 2 a/x.bin, 3 a/b/ (empty), 4 top.txt.
FstTree ExampleTree() {
  FstTree tree;
  AddFstDirectoryPath(&tree, "/a");
  AddFstFilePath(&tree, "/a/x.bin", 0x100, 0x20);
  AddFstDirectoryPath(&tree, "a/b");
  AddFstFilePath(&tree, "top.txt", 0x200, 5);
  return tree;
}

std::vector<unsigned char> ExampleTable() {
  return BuildFstTable(ExampleTree());
}

std::vector<unsigned char> Patched(std::vector<unsigned char> table, uint32_t entry,
                                   const std::function<void(FstRawEntry*)>& change) {
  FstRawEntry raw = LoadFstRawEntry(table, entry);
  change(&raw);
  StoreFstRawEntry(&table, entry, raw);
  return table;
}

// Runs a call that must end the run and returns what it printed.
std::string FatalOutput(const std::function<void()>& call) {
  testing::internal::CaptureStderr();
  bool ended = false;
  try {
    call();
  } catch (const FatalExit&) {
    ended = true;
  }
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ended) << "no fatal exit; printed: " << printed;
  return printed;
}

std::string PrintedBy(const std::function<void()>& call) {
  testing::internal::CaptureStderr();
  call();
  return testing::internal::GetCapturedStderr();
}

// The path-building rule in its recursive form, over the raw bytes: the
// reference the iterative implementation must equal byte for byte.
uint32_t ReferenceDirPath(const std::vector<unsigned char>& table, uint32_t dir, char* buffer,
                          uint32_t maxlen) {
  if (dir == 0) return 0;
  FstRawEntry raw = LoadFstRawEntry(table, dir);
  uint32_t length = ReferenceDirPath(table, raw.secondWord, buffer, maxlen);
  if (length == maxlen) return maxlen;
  buffer[length++] = '/';
  size_t namesStart = LoadFstRawEntry(table, 0).thirdWord * FST_ENTRY_SIZE;
  const unsigned char* name = &table[namesStart + raw.nameOffset];
  uint32_t copied = 0;
  while (copied < maxlen - length && name[copied] != 0) {
    buffer[length + copied] = static_cast<char>(name[copied]);
    ++copied;
  }
  return length + copied;
}

class DvdfsTest : public FstTableTest {
 protected:
  void SetUp() override {
    FstTableTest::SetUp();
    Install(ExampleTable());
  }

  bool PointsIntoTable(const char* p) const {
    const char* begin = reinterpret_cast<const char*>(table_.data());
    return p >= begin && p < begin + table_.size();
  }
};

TEST_F(DvdfsTest, BuilderLaysOutExampleDepthFirst) {
  struct Expected {
    uint8_t dirFlag;
    const char* name;
    uint32_t secondWord;
    uint32_t thirdWord;
  };
  const Expected expected[] = {
      {1, nullptr, 0, 5}, {1, "a", 0, 4},           {0, "x.bin", 0x100, 0x20},
      {1, "b", 1, 4},     {0, "top.txt", 0x200, 5},
  };
  const char* names = reinterpret_cast<const char*>(table_.data()) + 5 * FST_ENTRY_SIZE;
  for (uint32_t e = 0; e < 5; ++e) {
    FstRawEntry raw = LoadFstRawEntry(table_, e);
    EXPECT_EQ(raw.dirFlag, expected[e].dirFlag) << e;
    EXPECT_EQ(raw.secondWord, expected[e].secondWord) << e;
    EXPECT_EQ(raw.thirdWord, expected[e].thirdWord) << e;
    if (expected[e].name != nullptr) {
      EXPECT_STREQ(names + raw.nameOffset, expected[e].name) << e;
    }
  }
  EXPECT_EQ(InstalledFst().entryCount, 5u);
}

TEST_F(DvdfsTest, EntryToPathFitsOrEndsWithExactMessage) {
  const std::string tooLong = "Path is too long\n";
  struct Case {
    int32_t entry;
    uint32_t maxlen;
    const char* path;     // on success
    std::string message;  // on a fatal end
  };
  const Case cases[] = {
      {0, 260, "/", ""},
      {1, 260, "/a/", ""},
      {2, 260, "/a/x.bin", ""},
      {3, 260, "/a/b/", ""},
      {4, 260, "/top.txt", ""},
      {0, 2, "/", ""},
      {1, 4, "/a/", ""},
      {2, 9, "/a/x.bin", ""},
      {3, 4, nullptr, tooLong},
      {3, 5, nullptr, tooLong},
      {2, 8, nullptr, tooLong},
      {4, 8, nullptr, tooLong},
      {1, 1, nullptr,
       "DVDConvertEntrynumToPath: maxlen should be more than 1 (1 is specified)" + tooLong},
      {0, 0, nullptr,
       "DVDConvertEntrynumToPath: maxlen should be more than 1 (0 is specified)" + tooLong},
      {4, 0, nullptr,
       "DVDConvertEntrynumToPath: maxlen should be more than 1 (0 is specified)" + tooLong},
      {5, 260, nullptr, "DVDConvertEntrynumToPath: specified entrynum(5) is out of range  "},
      {-1, 260, nullptr, "DVDConvertEntrynumToPath: specified entrynum(-1) is out of range  "},
      {INT_MIN, 260, nullptr,
       "DVDConvertEntrynumToPath: specified entrynum(-2147483648) is out of range  "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("entry " + std::to_string(c.entry) + " maxlen " + std::to_string(c.maxlen));
    std::vector<char> buffer(300, GUARD);
    if (c.path != nullptr) {
      EXPECT_EQ(PrintedBy([&] {
                  EXPECT_EQ(DVDConvertEntrynumToPath(c.entry, buffer.data(), c.maxlen), 1);
                }),
                "");
      EXPECT_STREQ(buffer.data(), c.path);
    } else {
      EXPECT_EQ(FatalOutput([&] { DVDConvertEntrynumToPath(c.entry, buffer.data(), c.maxlen); }),
                c.message);
    }
    for (size_t i = c.maxlen; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], GUARD) << "byte " << i;
  }
}

TEST_F(DvdfsTest, DirectoryPathEqualsRecursiveFormAtEveryLimit) {
  // A chain deeper than one gathering pass of the iterative form, with empty,
  // short and longer names, and empty sibling directories so that parent
  // links skip entries.
  const char* names[] = {"", "q", "rs", "tuvw"};
  FstTree tree;
  std::vector<uint32_t> chain{0};
  for (uint32_t level = 0; level < 1100; ++level) {
    if (level % 3 == 0) AddFstDirectory(&tree, chain.back(), "sib");
    chain.push_back(AddFstDirectory(&tree, chain.back(), names[level % 4]));
  }
  std::vector<uint32_t> entryOf;
  Install(BuildFstTable(tree, &entryOf));

  const uint32_t probes[] = {0, 1, 2, 1023, 1024, 1025, 1026, 1100};
  for (uint32_t level : probes) {
    uint32_t dir = entryOf[chain[level]];
    std::vector<char> full(4000, GUARD);
    uint32_t fullLength = ReferenceDirPath(table_, dir, full.data(), 4000);
    ASSERT_LT(fullLength, 4000u);
    for (uint32_t maxlen = 0; maxlen <= fullLength + 1; ++maxlen) {
      if (level == 1100 || maxlen < 8 || maxlen + 8 > fullLength) {
        std::vector<char> expected(fullLength + 8, GUARD);
        std::vector<char> actual(fullLength + 8, GUARD);
        uint32_t expectedLength = ReferenceDirPath(table_, dir, expected.data(), maxlen);
        ASSERT_EQ(BuildFstDirPath(static_cast<int32_t>(dir), actual.data(), maxlen), expectedLength)
            << "level " << level << " maxlen " << maxlen;
        ASSERT_EQ(actual, expected) << "level " << level << " maxlen " << maxlen;
      }
    }
  }
}

TEST_F(DvdfsTest, CopyFstNameStopsAtLimitOrNulWithoutTerminator) {
  const struct {
    uint32_t n;
    uint32_t copied;
  } cases[] = {{0, 0}, {2, 2}, {3, 3}, {7, 3}};
  for (const auto& c : cases) {
    char buffer[8];
    std::memset(buffer, GUARD, sizeof buffer);
    EXPECT_EQ(CopyFstName(buffer, "abc", c.n), c.copied) << c.n;
    EXPECT_EQ(std::string(buffer, c.copied), std::string("abc", c.copied));
    EXPECT_EQ(buffer[c.copied], GUARD) << c.n;
  }
}

TEST_F(DvdfsTest, ParentDirIsNearestDirectorySpanningTheFile) {
  EXPECT_EQ(FindFstParentDir(2), 1);
  // Directories 3 and 1 come before entry 4 but end at it.
  EXPECT_EQ(FindFstParentDir(4), 0);
}

TEST_F(DvdfsTest, ParentDirWithoutSpanningDirectoryIsUnknownError) {
  // Not a valid table (root is a file), installed without validation.
  std::vector<unsigned char> table =
      EncodeFstTable({{0, 0, 0, 2}, {0, 0, 7, 7}}, std::string("f\0", 2));
  InstallFstTable(table.data());
  EXPECT_EQ(FatalOutput([] { FindFstParentDir(1); }), "Unknown error\n");
  EXPECT_EQ(FatalOutput([] { FindFstParentDir(0); }), "Unknown error\n");
  EXPECT_EQ(FatalOutput([] { FindFstParentDir(-1); }), "Unknown error\n");
  EXPECT_EQ(FatalOutput([] { FindFstParentDir(2); }), "Unknown error\n");
}

TEST_F(DvdfsTest, PathToEntryResolvesEveryForm) {
  const struct {
    const char* path;
    int32_t entry;
  } cases[] = {
      {"", 0},          {"/", 0},          {".", 0},      {"./", 0},
      {"a", 1},         {"a/", 1},         {"/A", 1},     {"\\a", 1},
      {"a/x.bin", 2},   {"A\\X.BIN", 2},   {"a/b/..", 1}, {"a/b/../x.bin", 2},
      {"a/./b", 3},     {"a/b/", 3},       {"a/.", 1},    {"a//top.txt", 4},
      {"a//a", 1},      {"top.txt", 4},    {"x.bin", -1}, {"b", -1},
      {"a/x.bin/", -1}, {"a/x.bin/.", -1}, {"ab", -1},    {"to", -1},
      {"top.txt.", -1}, {"...", -1},       {".a", -1},    {"a/b/x.bin", -1},
      {"..", 0},        {"../a", 1},       {"a/..", 0},   {"a/../..", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DVDConvertPathToEntrynum(c.path), c.entry) << "path '" << c.path << "'";
  }
}

TEST_F(DvdfsTest, OnlyLettersAToZFoldCase) {
  FstTree tree;
  AddFstFilePath(&tree, "[x]", 1, 1);
  AddFstFilePath(&tree, "\xC4", 2, 1);
  AddFstDirectoryPath(&tree, "@");
  AddFstFilePath(&tree, "name with  spaces.and.dots", 3, 1);
  Install(BuildFstTable(tree));
  const struct {
    const char* path;
    int32_t entry;
  } cases[] = {
      {"[X]", 1},
      {"{x}", -1},
      {"\xC4", 2},
      {"\xE4", -1},
      {"@", 3},
      {"`", -1},
      {"NAME WITH  SPACES.AND.DOTS", 4},
      {"name with spaces.and.dots", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DVDConvertPathToEntrynum(c.path), c.entry) << "path '" << c.path << "'";
  }
}

TEST_F(DvdfsTest, DotDotAtRootTakesRootParentOnlyWhenItIsADirectory) {
  const struct {
    uint32_t rootParent;
    int32_t dotDot;
  } cases[] = {{0, 0}, {1, 1}, {3, 3}, {4, 0}, {5, 0}, {0xFFFFFFFF, 0}};
  for (const auto& c : cases) {
    Install(Patched(ExampleTable(), 0, [&](FstRawEntry* raw) { raw->secondWord = c.rootParent; }));
    EXPECT_EQ(DVDConvertPathToEntrynum(".."), c.dotDot) << c.rootParent;
    EXPECT_EQ(DVDConvertPathToEntrynum("../x.bin"), c.dotDot == 1 ? 2 : -1) << c.rootParent;
    EXPECT_EQ(DVDConvertPathToEntrynum("../a"), c.dotDot == 0 ? 1 : -1) << c.rootParent;
  }
}

TEST_F(DvdfsTest, NullArgumentsEndWithExactMessages) {
  FstFileInfo info{};
  FstDirCursor cursor{};
  const struct {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[] { DVDConvertPathToEntrynum(nullptr); },
       "DVDConvertPathToEntrynum(): null pointer is specified  "},
      {[&] { DVDOpen(nullptr, &info); }, "DVDOpen(): null pointer is specified to file name  "},
      {[] { DVDOpen("a/x.bin", nullptr); },
       "DVDOpen(): null pointer is specified to file info address  "},
      {[&] { DVDOpendir(nullptr, &cursor); },
       "DVDOpendir(): null pointer is specified to directory name  "},
  };
  for (const auto& c : cases) EXPECT_EQ(FatalOutput(c.call), c.message);
}

TEST_F(DvdfsTest, ZeroLengthFilesAreTakenInQueryOrder) {
  // Read from the table passed in, not the installed example.
  FstTree tree;
  AddFstFilePath(&tree, "z1", 0x40, 0);       // 1
  AddFstFilePath(&tree, "n", 0x40, 7);        // 2
  AddFstFilePath(&tree, "d/z2", 0x40, 0);     // 3 d (parentEntry 0, nextEntry 5), 4 z2
  AddFstFilePath(&tree, "z3", 0x80, 0);       // 5
  AddFstFilePath(&tree, "n-again", 0x40, 7);  // 6
  std::vector<unsigned char> other = BuildFstTable(tree);
  const struct {
    uint32_t position;
    uint32_t length;
    int32_t entry;
  } queries[] = {
      {0x40, 0, 1},  {0x40, 0, 4},   {0x40, 0, -1},  // third in a row: none left
      {0x40, 7, 2},                                  // first in entry order; restarts the count
      {0x40, 0, 1},  {0x80, 0, -1},                  // the second zero-length query, any position
      {0x40, 0, -1}, {0x40, 99, -1},                 // no match, but still restarts the count
      {0x80, 0, 5},  {0x40, 0, 4},                   // counted regardless of position
      {0, 5, -1},                                    // directory d's words are not a placement
  };
  for (const auto& q : queries) {
    EXPECT_EQ(FindFstFileByPlacement(other.data(), q.position, q.length), q.entry)
        << std::hex << q.position << " " << q.length;
  }
  EXPECT_EQ(InstalledFst().entryCount, 5u);
}

// The position trace of -v belongs to the unpack run that names entries;
// the query itself prints nothing.
TEST_F(DvdfsTest, PlacementQueryPrintsNothing) {
  EXPECT_EQ(PrintedBy([&] { EXPECT_EQ(FindFstFileByPlacement(table_.data(), 0x100, 0x20), 2); }),
            "");
  EXPECT_EQ(PrintedBy([&] { FindFstFileByPlacement(table_.data(), 0xDEADBEEF, 0); }), "");
}

TEST_F(DvdfsTest, DirectoryWalkReturnsDirectChildrenInOrder) {
  struct Item {
    uint32_t entry;
    int32_t isDirectory;
    std::string name;
  };
  const struct {
    const char* path;
    std::vector<Item> items;
  } cases[] = {
      {"", {{1, 1, "a"}, {4, 0, "top.txt"}}},
      {"A/", {{2, 0, "x.bin"}, {3, 1, "b"}}},
      {"a/b", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    FstDirCursor cursor{};
    ASSERT_EQ(DVDOpendir(c.path, &cursor), 1);
    for (const Item& expected : c.items) {
      FstDirItem item{};
      ASSERT_EQ(ReadFstDirEntry(&cursor, &item), 1);
      EXPECT_EQ(item.entryNumber, expected.entry);
      EXPECT_EQ(item.isDirectory, expected.isDirectory);
      EXPECT_EQ(item.name, expected.name);
      EXPECT_TRUE(PointsIntoTable(item.name)) << "name was copied";
    }
    FstDirCursor atEnd = cursor;
    FstDirItem item{};
    EXPECT_EQ(ReadFstDirEntry(&cursor, &item), 0);
    EXPECT_EQ(ReadFstDirEntry(&cursor, &item), 0);
    EXPECT_EQ(cursor.cursor, atEnd.cursor);
  }
}

TEST_F(DvdfsTest, DirectoryWalkRefusesCursorsOutsideTheTable) {
  FstDirItem item{};
  FstDirCursor notAfterDir{1, 1, 4};
  EXPECT_EQ(ReadFstDirEntry(&notAfterDir, &item), 0);
  FstDirCursor pastTable{0, 1, 99};
  EXPECT_EQ(ReadFstDirEntry(&pastTable, &item), 1);
  EXPECT_EQ(ReadFstDirEntry(&pastTable, &item), 1);
  EXPECT_EQ(item.entryNumber, 4u);
  EXPECT_EQ(ReadFstDirEntry(&pastTable, &item), 0);
}

TEST_F(DvdfsTest, OpendirOnNothingOrFile) {
  FstDirCursor cursor{7, 8, 9};
  EXPECT_EQ(PrintedBy([&] { EXPECT_EQ(DVDOpendir("a/nope", &cursor), 0); }), "");
  EXPECT_EQ(cursor.dirEntry, 7u);
  EXPECT_EQ(FatalOutput([&] { DVDOpendir("a/x.bin", &cursor); }),
            "DVDOpendir(): file 'a/x.bin' is specified as a directory name  ");
}

TEST_F(DvdfsTest, OpenFileFillsPlacementAndClearsTwoWords) {
  FstFileInfo info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(DVDOpen("/A/X.bin", &info), 1);
  EXPECT_EQ(info.startPosition, 0x100u);
  EXPECT_EQ(info.length, 0x20u);
  EXPECT_EQ(info.trailing, 0u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(info.leading[i], i == 3 ? 0u : 0xABABABABu) << i;
}

TEST_F(DvdfsTest, OpenOnDirectoryOrNothing) {
  FstFileInfo info{};
  EXPECT_EQ(FatalOutput([&] { DVDOpen("a", &info); }),
            "DVDOpen(): directory 'a' is specified as a filename  ");
  EXPECT_EQ(PrintedBy([&] { EXPECT_EQ(DVDOpen("a/none.bin", &info), 0); }),
            "Warning: DVDOpen(): file 'a/none.bin' was not found.\n");
}

TEST_F(DvdfsTest, UninstalledTableAnswersNothing) {
  InstallFstTable(nullptr);
  EXPECT_EQ(InstalledFst().entryCount, 0u);
  EXPECT_EQ(DVDConvertPathToEntrynum("a"), -1);
  char buffer[16];
  EXPECT_EQ(FatalOutput([&] { DVDConvertEntrynumToPath(0, buffer, sizeof buffer); }),
            "DVDConvertEntrynumToPath: specified entrynum(0) is out of range  ");
}

TEST_F(DvdfsTest, ValidationAcceptsWellFormedTables) {
  FstTree deep;
  uint32_t dir = 0;
  for (int level = 0; level < 60; ++level) dir = AddFstDirectory(&deep, dir, "level");
  AddFstFile(&deep, dir, "bottom", 9, 9);

  FstTree emptyDirs;
  AddFstDirectoryPath(&emptyDirs, "e1");
  AddFstDirectoryPath(&emptyDirs, "e2/e3");
  AddFstDirectoryPath(&emptyDirs, "e2/e4/e5");

  FstTree oddNames;
  AddFstFile(&oddNames, 0, "", 1, 1);
  AddFstFilePath(&oddNames, " ", 1, 1);
  AddFstFilePath(&oddNames, "...", 1, 1);
  AddFstDirectoryPath(&oddNames, "..x");
  AddFstFilePath(&oddNames, "..x/\x01\x7f\xff", 1, 1);
  AddFstFile(&oddNames, 0, "with/slash\\and back", 1, 1);

  std::vector<unsigned char> padded = ExampleTable();
  padded.insert(padded.end(), {0, 0, 0});
  std::vector<unsigned char> trailingGarbage = ExampleTable();
  trailingGarbage.insert(trailingGarbage.end(), {'x', 'y'});

  const struct {
    const char* label;
    std::vector<unsigned char> table;
  } cases[] = {
      {"only the root", EncodeFstTable({{1, 0, 0, 1}}, "")},
      {"root with unused name and parent",
       EncodeFstTable({{0x80, 0xFFFFFF, 0xFFFFFFFF, 2}, {0, 0, 0, 0}}, std::string("f\0", 2))},
      {"example", ExampleTable()},
      {"deep nesting", BuildFstTable(deep)},
      {"empty directories", BuildFstTable(emptyDirs)},
      {"odd names", BuildFstTable(oddNames)},
      {"any non-zero directory flag",
       Patched(ExampleTable(), 1, [](FstRawEntry* raw) { raw->dirFlag = 0xFF; })},
      {"shared name bytes",
       Patched(ExampleTable(), 4, [](FstRawEntry* raw) { raw->nameOffset = 0; })},
      {"name at the last byte",
       EncodeFstTable({{1, 0, 0, 2}, {0, 3, 0, 0}}, std::string("ab\0\0", 4))},
      {"padded to a multiple of 4", padded},
      {"bytes after the last name", trailingGarbage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(PrintedBy([&] { Install(c.table); }), "");
    // Every entry of an accepted table converts without leaving it.
    std::vector<char> buffer(2048);
    for (uint32_t e = 0; e < InstalledFst().entryCount; ++e) {
      EXPECT_EQ(DVDConvertEntrynumToPath(static_cast<int32_t>(e), buffer.data(), 2048), 1);
    }
  }
}

TEST_F(DvdfsTest, ValidationRefusesEachMalformedShape) {
  const std::string prefix = "quorlith: Invalid file-system table: ";
  auto withParent = [](uint32_t entry, uint32_t parent) {
    return Patched(ExampleTable(), entry, [=](FstRawEntry* raw) { raw->secondWord = parent; });
  };
  auto withNext = [](uint32_t entry, uint32_t next) {
    return Patched(ExampleTable(), entry, [=](FstRawEntry* raw) { raw->thirdWord = next; });
  };
  // The example's name table is 18 bytes: a, x.bin, b, top.txt.
  auto withNameOffset = [](uint32_t entry, uint32_t offset) {
    return Patched(ExampleTable(), entry, [=](FstRawEntry* raw) { raw->nameOffset = offset; });
  };
  const struct {
    const char* label;
    std::vector<unsigned char> table;
    uint64_t length;  // 0: the table's size
    std::string reason;
  } cases[] = {
      {"empty", {}, 0, "shorter than one entry"},
      {"11 bytes", std::vector<unsigned char>(11, 1), 0, "shorter than one entry"},
      {"root is a file", EncodeFstTable({{0, 0, 0, 1}}, ""), 0, "root entry is not a directory"},
      {"no entries", EncodeFstTable({{1, 0, 0, 0}}, ""), 0, "entry count is 0"},
      {"count beyond the bytes", EncodeFstTable({{1, 0, 0, 2}}, std::string(11, '\0')), 0,
       "2 entries do not fit in the bytes read"},
      {"count whose size wraps 32 bits",
       EncodeFstTable({{1, 0, 0, 0x15555556}}, std::string(12, '\0')), 0,
       "357913942 entries do not fit in the bytes read"},
      // Refused before any byte past the root is read.
      {"count beyond entry numbers", EncodeFstTable({{1, 0, 0, 0x80000000}}, ""), 1ull << 40,
       "entry count 2147483648 is too large"},
      {"name offset past the names", withNameOffset(2, 18), 0,
       "name offset of entry 2 is outside the name table"},
      {"name offset far past the names", withNameOffset(4, 0xFFFFFF), 0,
       "name offset of entry 4 is outside the name table"},
      {"name without NUL", EncodeFstTable({{1, 0, 0, 2}, {0, 0, 0, 0}}, "ab"), 0,
       "name of entry 1 has no terminating NUL"},
      {"last name without NUL",
       EncodeFstTable({{1, 0, 0, 3}, {0, 0, 0, 0}, {0, 2, 0, 0}}, std::string("a\0bc", 4)), 0,
       "name of entry 2 has no terminating NUL"},
      {"directory is its own parent", withParent(1, 1), 0,
       "parent 1 of directory 1 is not a directory before it"},
      {"parent after the directory", withParent(1, 3), 0,
       "parent 3 of directory 1 is not a directory before it"},
      {"parent outside the table", withParent(3, 0xFFFFFFFF), 0,
       "parent 4294967295 of directory 3 is not a directory before it"},
      {"parent is a file", withParent(3, 2), 0,
       "parent 2 of directory 3 is not a directory before it"},
      {"next entry is the directory itself", withNext(3, 3), 0,
       "next entry 3 of directory 3 is not above it"},
      {"next entry before the directory", withNext(3, 0), 0,
       "next entry 0 of directory 3 is not above it"},
      {"next entry past the parent's", withNext(3, 5), 0,
       "next entry 5 of directory 3 reaches past its parent's"},
      {"next entry past the root's", withNext(1, 6), 0,
       "next entry 6 of directory 1 reaches past its parent's"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    uint64_t length = c.length != 0 ? c.length : c.table.size();
    EXPECT_EQ(FatalOutput([&] { ValidateFstTable(c.table.data(), length); }),
              prefix + c.reason + "\n");
  }
}

TEST_F(DvdfsTest, RefusedTableEndsWithStatus1) {
  std::vector<unsigned char> table = EncodeFstTable({{0, 0, 0, 1}}, "");
  EXPECT_EXIT(
      {
        SetFatalThrows(false);
        ValidateFstTable(table.data(), table.size());
      },
      testing::ExitedWithCode(1), "Invalid file-system table: root entry is not a directory");
}

TEST_F(DvdfsTest, VeryDeepChainIsWalkedWithoutRecursion) {
  // Deep enough to overflow the stack of a recursive path builder.
  const uint32_t depth = 250000;
  FstTree tree;
  uint32_t dir = 0;
  for (uint32_t level = 0; level < depth; ++level) dir = AddFstDirectory(&tree, dir, "d");
  AddFstFile(&tree, dir, "f", 1, 1);
  Install(BuildFstTable(tree));
  const int32_t file = static_cast<int32_t>(depth + 1);

  std::string expected;
  for (uint32_t level = 0; level < depth; ++level) expected += "/d";
  expected += "/f";
  std::vector<char> buffer(expected.size() + 1 + 8, GUARD);
  ASSERT_EQ(
      DVDConvertEntrynumToPath(file, buffer.data(), static_cast<uint32_t>(expected.size() + 1)), 1);
  EXPECT_EQ(std::string(buffer.data()), expected);
  EXPECT_EQ(buffer[expected.size() + 1], GUARD);

  EXPECT_EQ(FatalOutput([&] { DVDConvertEntrynumToPath(file, buffer.data(), 1017); }),
            "Path is too long\n");
  EXPECT_EQ(FindFstParentDir(file), static_cast<int32_t>(depth));
  EXPECT_EQ(DVDConvertPathToEntrynum(expected.c_str()), file);
}

}  // namespace
