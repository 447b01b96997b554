// Table names that only some hosts can hold, through the real executable:
// Windows refuses drives, streams, devices and names it would trim before
// anything is created for them; POSIX extracts the same names as they are.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"
#include "tests/support/test_env.h"

namespace {

struct NameCase {
  const char* label;
  std::vector<std::string> components;  // directories, then the file
  const char* windowsReason;
};

const char DRIVE_OR_STREAM[] = "a ':' would name a drive or a stream";
const char DEVICE[] = "the name is a reserved device name";
const char TRIMMED[] = "Windows would drop the name's trailing dot or blank";
const char BAD_CHARACTER[] = "the name holds a character that Windows file names cannot hold";

const NameCase CASES[] = {
    {"DriveLetter", {"C:"}, DRIVE_OR_STREAM},
    {"DrivePrefixedDirectory", {"C:", "f"}, DRIVE_OR_STREAM},
    {"AlternateStream", {"file.bin:stream"}, DRIVE_OR_STREAM},
    {"Device", {"CON"}, DEVICE},
    {"DeviceWithExtension", {"nul.txt"}, DEVICE},
    {"DeviceAsDirectory", {"lpt1", "f"}, DEVICE},
    {"TrailingDot", {"name."}, TRIMMED},
    {"TrailingBlankDirectory", {"dir ", "f"}, TRIMMED},
    {"Wildcard", {"a*b"}, BAD_CHARACTER},
    {"Redirection", {"a>b"}, BAD_CHARACTER},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.label;
}

class UnpackHostNamesTest : public testing::TestWithParam<NameCase> {};

TEST_P(UnpackHostNamesTest, RefusedOnWindowsExtractedElsewhere) {
  const NameCase& c = GetParam();
  FstTree tree;
  uint32_t parent = 0;
  std::string tablePath;
  for (size_t i = 0; i + 1 < c.components.size(); ++i) {
    parent = AddFstDirectory(&tree, parent, c.components[i]);
    tablePath += "/" + c.components[i];
  }
  AddFstFile(&tree, parent, c.components.back(), 0x2000 / 4, 4);
  tablePath += "/" + c.components.back();

  // The dlf file stores the bytes under a plain name; the table names them.
  DiscBuilder disc(0x1000);
  disc.AddFile("/plain", 0x2000, "DATA");
  disc.OverrideTable(BuildFstTable(tree));
  TempDir dir;
  disc.Write(dir.Path("disc"), "layout.dlf");
  RunResult packed = RunQuorlithBinary({"-d", "disc/layout.dlf", "in.qpk"}, dir.path());
  ASSERT_EQ(packed.status, 0) << packed.err;

  RunResult result = RunQuorlithBinary({"-u", "-e", "out", "in.qpk"}, dir.path());
  std::vector<std::string> made = ListTree(dir.Path("out"));
#ifdef _WIN32
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "quorlith: Refusing to extract dvdroot" + tablePath + ": " + c.windowsReason + "\n");
  // Nothing was made for the name, and nothing outside the extraction directory.
  EXPECT_EQ(made, (std::vector<std::string>{"config0", "in.dlf", "system0", "system1"}));
  std::vector<std::string> top = ListTree(dir.path());
  for (const std::string& name : top) {
    EXPECT_TRUE(name == "in.qpk" || name.rfind("disc/", 0) == 0 || name.rfind("out/", 0) == 0)
        << name;
  }
#else
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFileBytes(dir.Path("out/dvdroot" + tablePath)), "DATA");
#endif
}

INSTANTIATE_TEST_SUITE_P(Names, UnpackHostNamesTest, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
