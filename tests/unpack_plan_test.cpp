// The unpack plan: what a run would name and where it would stop, worked out
// without printing or creating anything.
#include "package/unpack_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"
#include "tests/support/library_test.h"
#include "tests/support/test_env.h"

namespace {

class UnpackPlanTest : public LibraryTest {
 protected:
  // Plans `qpk` into `extractDir` (default dir/out) and keeps what it printed.
  void Plan(const std::string& qpk, const std::string& extractDir = "") {
    WriteFileBytes(dir.Path("in.qpk"), qpk);
    std::string out = extractDir.empty() ? dir.Path("out") : extractDir;
    FileGuard file(OpenInputFile(dir.Path("in.qpk").c_str()));
    testing::internal::CaptureStderr();
    PlanUnpack(file.file, out.c_str(), &plan);
    printed = testing::internal::GetCapturedStderr();
    file.Close();
  }

  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (size_t i = 0; i < plan.planned.size(); ++i) {
      if (plan.planned[i].kind == PLANNED_PLACEHOLDER) {
        names.push_back("(placeholder)");
        continue;
      }
      char name[ENTRY_NAME_CAPACITY];
      PlannedEntryName(&plan, i, name);
      names.push_back(name);
    }
    return names;
  }

  TempDir dir;
  UnpackPlan plan;
  std::string printed;
};

TEST_F(UnpackPlanTest, NamesEveryEntryAsTheRunWouldAndTouchesNothing) {
  FstTree tree;
  AddFstFilePath(&tree, "/a/b.bin", 0x2000 / 4, 4);
  AddFstFilePath(&tree, "/zero", 0x3000 / 4, 0);
  AddFstDirectoryPath(&tree, "/empty/dir");
  DiscBuilder disc;
  disc.OverrideTable(BuildFstTable(tree));
  Plan(disc.QpkWithoutConfig({{0x2000, "abcd"}, {0x3000, ""}, {0x3000, ""}, {0x4000, "xy"}}));

  EXPECT_EQ(printed, "");
  EXPECT_EQ(plan.stop.step, STEP_NONE);
  EXPECT_EQ(Names(), (std::vector<std::string>{"system0", "dvdroot/a/b.bin", "dvdroot/zero",
                                               "system1", "system2"}));
  EXPECT_EQ(plan.planned[1].storedSize, 4u);
  EXPECT_EQ(plan.planned[1].discOffset, 0x2000u);
  ASSERT_EQ(plan.emptyDirectories.size(), 1u);
  char path[PATH_CAPACITY + 1];
  EXPECT_EQ(EmptyDirectoryPath(&plan, "out", 0, path), 4u);
  EXPECT_STREQ(path, "out/dvdroot/empty/dir/");
  EXPECT_FALSE(std::filesystem::exists(dir.Path("out")));
}

TEST_F(UnpackPlanTest, StopsWhereTheRunWouldWithItsMessage) {
  FstTree dotted;
  AddFstFile(&dotted, 0, "..", 0x2000 / 4, 4);
  DiscBuilder dottedDisc;
  dottedDisc.OverrideTable(BuildFstTable(dotted));
  const std::string longDir = dir.Path(std::string(255 - dir.Path("").size(), 'd'));
  const struct {
    const char* what;
    std::string qpk;
    std::string extractDir;
    UnpackStep step;
    size_t index;
    std::string message;
  } cases[] = {
      {"not a qpk file", std::string(64, 'x'), "", STEP_READ_FILE, 0,
       "quorlith: Specified file is not a qpk file\n"},
      {"a table name that leaves the directory",
       dottedDisc.QpkWithoutConfig({{0x2000, "abcd"}, {0x3000, "x"}}), "", STEP_ENTRY, 1,
       "quorlith: Refusing to extract dvdroot/..: empty, \".\" or \"..\" path component\n"},
      {"config0 beyond the path limit", DiscBuilder().QpkWithoutConfig({}), longDir, STEP_CONFIG, 0,
       "quorlith: Path is longer than 259 characters: " + longDir + "/config0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Plan(c.qpk, c.extractDir);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(plan.stop.step, c.step);
    EXPECT_EQ(plan.stop.index, c.index);
    EXPECT_EQ(plan.stop.message, c.message);
    if (c.step == STEP_ENTRY) {
      EXPECT_EQ(plan.planned.size(), c.index + 1);
    }
  }
}

}  // namespace
