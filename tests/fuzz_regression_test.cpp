// Inputs that once made a fuzz target fail, replayed in-process as ordinary
// tests. Each test is named for what the input showed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dvdfs/dvdfs.h"
#include "fileio/fileio.h"
#include "package/package.h"
#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"
#include "tests/support/fst_fixture.h"
#include "tests/support/library_test.h"
#include "tests/support/test_env.h"

namespace {

// Unpack mode in-process, the way the fuzz target runs it.
class UnpackInProcessTest : public LibraryTest {
 protected:
  // Unpacks `qpk` into dir/out; true when the run completed. The messages
  // go to `err`.
  bool Unpack(const std::string& qpk, std::string* err) {
    WriteFileBytes(dir.Path("in.qpk"), qpk);
    std::string qpkPath = dir.Path("in.qpk"), out = dir.Path("out"), dlf = dir.Path("out/in.dlf");
    bool completed = false;
    testing::internal::CaptureStderr();
    try {
      ::Unpack(UnpackRequest{qpkPath.c_str(), out.c_str(), dlf.c_str(), false});
      completed = true;
    } catch (const FatalExit&) {
    }
    *err = testing::internal::GetCapturedStderr();
    return completed;
  }

  TempDir dir;
};

// The table lives in the run's own memory: a run that ends on the fatal path
// must not leave the module pointing at it, or the next query reads freed
// memory.
TEST_F(UnpackInProcessTest, RunEndedByAFatalErrorUninstallsItsTable) {
  FstTree tree;
  AddFstFilePath(&tree, "/same.bin", 0x2000 / 4, 4);
  // Both entries resolve to dvdroot/same.bin: the second cannot be created.
  DiscBuilder disc;
  disc.OverrideTable(BuildFstTable(tree));
  std::string qpk = disc.QpkWithoutConfig({{0x2000, "same"}, {0x2000, "same"}});
  std::string err;
  ASSERT_FALSE(Unpack(qpk, &err));
  EXPECT_EQ(err, "quorlith: Cannot open file " + dir.Path("out/dvdroot/same.bin") + "!\n");
  ASSERT_EQ(InstalledFst().entryCount, 0u);
  EXPECT_EQ(DVDConvertPathToEntrynum("/same.bin"), -1);
}

class FstLookupRegressionTest : public FstTableTest {
 protected:
  std::string PathOf(int32_t entry) {
    char buffer[64];
    DVDConvertEntrynumToPath(entry, buffer, sizeof buffer);
    return buffer;
  }
};

// Names are compared whole against the path, so a name that holds a
// separator takes in the path's separator too: "x/" answers for the path
// "x/" ahead of its sibling "x", whose own path is "/x/". The lookup still
// reads nothing past the path's end.
TEST_F(FstLookupRegressionTest, NameHoldingASeparatorMatchesThePathAcrossIt) {
  FstTree tree;
  AddFstDirectory(&tree, 0, "x/");  // entry 1
  AddFstDirectory(&tree, 0, "x");   // entry 2
  Install(BuildFstTable(tree));
  EXPECT_EQ(PathOf(2), "/x/");
  EXPECT_EQ(DVDConvertPathToEntrynum("/x/"), 1);
  EXPECT_EQ(DVDConvertPathToEntrynum("x/"), 1);
  EXPECT_EQ(DVDConvertPathToEntrynum("x"), 2);
}

}  // namespace
