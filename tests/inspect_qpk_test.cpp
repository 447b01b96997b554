// The inspection of a qpk file against what the real unpack does with it:
// the verdict, the names and the counts must be the run's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fileio/fileio.h"
#include "inspect/inspect.h"
#include "tests/support/disc_builder.h"
#include "tests/support/test_env.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

std::vector<QpkItem> ItemsOf(QpkInspection* inspection) {
  std::vector<QpkItem> items;
  ForEachQpkItem(inspection, [&](const QpkItem& item) { items.push_back(item); });
  return items;
}

// A disc whose table is built from `paths` (files with their disc offsets,
// and empty directories ending in '/'), stored as `stored` entries.
std::string QpkOf(const std::vector<std::pair<std::string, uint32_t>>& tableFiles,
                  const std::vector<std::string>& emptyDirectories,
                  const std::vector<std::pair<uint64_t, std::string>>& stored) {
  DiscBuilder disc;
  for (const std::string& directory : emptyDirectories) disc.AddEmptyDirectory(directory);
  for (const auto& file : tableFiles) disc.AddTableOnlyFile(file.first, file.second / 4, 4);
  return disc.QpkWithoutConfig(stored);
}

struct VerdictCase {
  const char* label;
  std::string qpk;
  UnpackStep step;
};

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

// The verdict is what the real run prints and where it stops.
TEST_P(VerdictTest, EqualsTheRealUnpack) {
  TempDir dir;
  std::string qpkPath = dir.Path("in.qpk");
  WriteFileBytes(qpkPath, GetParam().qpk);
  QpkInspection inspection;
  InspectQpk(qpkPath.c_str(), nullptr, &inspection);
  RunResult run = RunQuorlithBinary({"-u", qpkPath}, dir.path());

  EXPECT_EQ(inspection.verdict.step, GetParam().step);
  EXPECT_EQ(run.status == 0, inspection.verdict.step == STEP_NONE);
  EXPECT_EQ(run.err, inspection.verdict.message);
  // Every name listed is one the run created before it stopped.
  std::vector<std::string> tree = ListTree(dir.Path("in"));
  for (const QpkItem& item : ItemsOf(&inspection)) {
    if (item.kind == ITEM_PLACEHOLDER) continue;
    EXPECT_NE(std::find(tree.begin(), tree.end(), item.name), tree.end()) << item.name;
  }
}

const uint32_t AT = 0x2000;  // above the boot block and the table
INSTANTIATE_TEST_SUITE_P(
    Cases, VerdictTest,
    ::testing::Values(
        VerdictCase{"Finishes", QpkOf({{"/a/b.bin", AT}}, {"/e/f"}, {{AT, "abcd"}}), STEP_NONE},
        // Two siblings of one name.
        VerdictCase{
            "FileOverFile",
            QpkOf({{"/a.bin", AT}, {"/a.bin", AT + 8}}, {}, {{AT, "abcd"}, {AT + 8, "efgh"}}),
            STEP_ENTRY},
        // The same place and length twice: one table file, one name.
        VerdictCase{"SameEntryTwice", QpkOf({{"/a.bin", AT}}, {}, {{AT, "abcd"}, {AT, "abcd"}}),
                    STEP_ENTRY},
        // A directory "d" holding x, then a file "d".
        VerdictCase{"FileOverFolder",
                    QpkOf({{"/d/x", AT}, {"/d", AT + 8}}, {}, {{AT, "abcd"}, {AT + 8, "efgh"}}),
                    STEP_ENTRY},
        VerdictCase{"FolderOverFile",
                    QpkOf({{"/d/x", AT}, {"/d", AT + 8}}, {}, {{AT + 8, "efgh"}, {AT, "abcd"}}),
                    STEP_ENTRY},
        VerdictCase{"EmptyDirectoryOverFile", QpkOf({{"/e", AT}}, {"/e"}, {{AT, "abcd"}}),
                    STEP_EMPTY_DIRECTORY},
        VerdictCase{"EmptyDirectoryBelowFile", QpkOf({{"/e", AT}}, {"/e/f"}, {{AT, "abcd"}}),
                    STEP_EMPTY_DIRECTORY},
        // Plan stops: a truncated file, a stored range past its end.
        VerdictCase{"TruncatedHeader", std::string(10, 'q'), STEP_READ_FILE},
        VerdictCase{"StoredRangePastTheEnd",
                    QpkOf({{"/a.bin", AT}}, {}, {{AT, "abcd"}}).substr(0, 200), STEP_READ_FILE}),
    [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.label; });

TEST(InspectQpkTest, SettlingAndOpenFailuresAreTheVerdict) {
  TempDir dir;
  std::string missing = dir.Path("missing.qpk");
  QpkInspection inspection;
  InspectQpk(missing.c_str(), nullptr, &inspection);
  RunResult run = RunQuorlithBinary({"-u", missing}, dir.path());
  EXPECT_EQ(inspection.verdict.step, STEP_READ_FILE);
  EXPECT_FALSE(inspection.planned);
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.err, inspection.verdict.message);
  EXPECT_EQ(inspection.foldersMade, 0u);
}

// The example disc, packed by the real program, then unpacked by it.
class ExampleDiscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ExampleDisc().Write(dir_.Path(""), "layout.dlf");
    ASSERT_EQ(RunQuorlithBinary({"-d", "layout.dlf", "in.qpk"}, dir_.path()).status, 0);
    qpkPath_ = dir_.Path("in.qpk");
    InspectQpk(qpkPath_.c_str(), nullptr, &inspection_);
    ASSERT_TRUE(AllocateCopyBuffer());
  }
  void TearDown() override { ReleaseCopyBuffer(); }
  TempDir dir_;
  std::string qpkPath_;
  QpkInspection inspection_;
};

TEST_F(ExampleDiscTest, ItemsComeInTheRunsOrderWithTheirFacts) {
  struct Expected {
    QpkItemKind kind;
    std::string name;
    uint64_t discOffset, size;
    bool inTable;
  };
  std::vector<Expected> expected = {
      {ITEM_CONFIG, "config0", 0, 24, false},
      {ITEM_SYSTEM, "system0", 0, DISC_BOOT_SIZE, false},
      {ITEM_SYSTEM, "system1", 0x1000, 0, false},  // the table, whose size is checked below
      {ITEM_SYSTEM, "system2", 0x2440, 12, false},
      {ITEM_FILE, "dvdroot/readme.txt", 0x10000, 17, true},
      {ITEM_FILE, "dvdroot/data/levels/level1.dat", 0x10800, 3000, true},
      {ITEM_FILE, "dvdroot/data/levels/level2.dat", 0x11400, 1500, true},
      {ITEM_FILE, "dvdroot/data/empty.bin", 0x11C00, 0, true},
      {ITEM_PLACEHOLDER, "", 0x12000, 0, false},
      {ITEM_FILE, "dvdroot/movies/intro.vid", 0x100000000ull, 19, true},
      {ITEM_DIRECTORY, "dvdroot/saves/slot1/", 0, 0, true},
  };
  std::vector<QpkItem> items = ItemsOf(&inspection_);
  ASSERT_EQ(inspection_.verdict.step, STEP_NONE);
  ASSERT_EQ(items.size(), expected.size());
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(items[i].name);
    EXPECT_EQ(items[i].kind, expected[i].kind);
    EXPECT_EQ(items[i].discOffset, expected[i].discOffset);
    EXPECT_EQ(items[i].fstEntry >= 0, expected[i].inTable);
    if (items[i].kind == ITEM_DIRECTORY) continue;
    EXPECT_EQ(items[i].name, expected[i].name);
    if (i != 2) {
      EXPECT_EQ(items[i].size, expected[i].size);
    }
  }
}

// Names, counts and bytes against the tree the real run writes.
TEST_F(ExampleDiscTest, CountsMatchWhatTheRunWrote) {
  ASSERT_EQ(RunQuorlithBinary({"-u", qpkPath_}, dir_.path()).status, 0);
  std::vector<std::string> tree = ListTree(dir_.Path("in"));
  uint64_t files = 0, folders = 1, bytes = 0;
  for (const std::string& name : tree) {
    if (name.back() == '/') {
      ++folders;
      continue;
    }
    ++files;
    bytes += ReadFileBytes(dir_.Path("in/" + name)).size();
  }
  EXPECT_EQ(inspection_.filesWritten, files);
  EXPECT_EQ(inspection_.foldersMade, folders);
  EXPECT_EQ(inspection_.bytesWritten, bytes);
  for (const QpkItem& item : ItemsOf(&inspection_)) {
    if (item.kind == ITEM_PLACEHOLDER) continue;
    EXPECT_NE(std::find(tree.begin(), tree.end(), item.name), tree.end()) << item.name;
  }
}

TEST_F(ExampleDiscTest, SummaryCountsTheTableAndTheEntries) {
  QpkSummary summary;
  SummarizeQpk(&inspection_, &summary);
  ASSERT_TRUE(summary.entriesKnown);
  ASSERT_TRUE(summary.tableKnown);
  EXPECT_EQ(summary.entries, 9u);
  EXPECT_EQ(summary.placeholders, 1u);
  EXPECT_EQ(summary.storedEntries, 8u);
  EXPECT_EQ(summary.configSize, 24u);
  EXPECT_EQ(summary.discExtent, 0x100000000ull + 19);
  EXPECT_EQ(summary.fileSize, ReadFileBytes(qpkPath_).size());
  EXPECT_EQ(summary.dataRegionSize, summary.fileSize - (32 + 24 * 9));
  EXPECT_EQ(summary.tableFiles, 5u);
  // The root, data, data/levels, movies, saves, saves/slot1.
  EXPECT_EQ(summary.tableDirectories, 6u);
  EXPECT_EQ(summary.emptyDirectories, 1u);
}

TEST_F(ExampleDiscTest, LookupsFindWhatTheListingNames) {
  struct Lookup {
    const char* name;
    QpkLookup result;
    const char* found;
  };
  const Lookup lookups[] = {
      {"dvdroot/readme.txt", LOOKUP_FOUND, "dvdroot/readme.txt"},
      {"/DATA/Levels/level1.DAT", LOOKUP_FOUND, "dvdroot/data/levels/level1.dat"},
      {"/data/./levels/../empty.bin", LOOKUP_FOUND, "dvdroot/data/empty.bin"},
      {"system2", LOOKUP_FOUND, "system2"},
      {"config0", LOOKUP_FOUND, "config0"},
      {"dvdroot/data", LOOKUP_DIRECTORY, nullptr},
      {"dvdroot/saves/slot1/", LOOKUP_DIRECTORY, nullptr},
      {"/data", LOOKUP_DIRECTORY, nullptr},
      {"dvdroot/nothing", LOOKUP_NOTHING, nullptr},
      {"/nothing", LOOKUP_NOTHING, nullptr},
      {"", LOOKUP_NOTHING, nullptr},
  };
  for (const Lookup& lookup : lookups) {
    SCOPED_TRACE(lookup.name);
    QpkItem item{};
    EXPECT_EQ(FindQpkItem(&inspection_, lookup.name, &item), lookup.result);
    if (lookup.found != nullptr) {
      EXPECT_EQ(item.name, lookup.found);
    }
  }
}

#if !defined(_WIN32)
TEST_F(ExampleDiscTest, CopiesOneFileToAPipe) {
  QpkItem item{};
  ASSERT_EQ(FindQpkItem(&inspection_, "dvdroot/data/levels/level2.dat", &item), LOOKUP_FOUND);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  CopyQpkItem(inspection_, item, ends[1]);
  close(ends[1]);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
  close(ends[0]);
  EXPECT_EQ(got, std::string(1500, 'M'));
}
#endif

// Escaped names, on a table that holds a control byte and a backslash.
TEST(InspectQpkLookupTest, EscapedNamesAreReadBack) {
  DiscBuilder disc;
  disc.AddTableOnlyFile("/tab\tname\\x.bin", AT / 4, 4);
  disc.AddTableOnlyFile("/held.bin", (AT + 8) / 4, 4);
  std::string qpk = disc.QpkWithoutConfig({{AT, "abcd"}, {AT + 8, "efgh"}});
  TempDir dir;
  std::string qpkPath = dir.Path("in.qpk");
  WriteFileBytes(qpkPath, qpk);
  QpkInspection inspection;
  InspectQpk(qpkPath.c_str(), nullptr, &inspection);
  QpkItem item{};
  EXPECT_EQ(FindQpkItem(&inspection, "dvdroot/tab\\x09name\\\\x.bin", &item), LOOKUP_FOUND);
  EXPECT_EQ(item.name, "dvdroot/tab\tname\\x.bin");
}

}  // namespace
