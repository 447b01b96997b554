// Pack mode end to end through the real executable: the qpk bytes against
// offsets computed by hand, the failures that must not destroy input, and
// the verbose trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/qpk_bytes.h"
#include "tests/support/test_env.h"

namespace {

TEST(PackTest, EveryByteOfTheQpkMatchesHandComputedOffsets) {
  TempDir dir;
  // The dlf lies in a subfolder: the listed names resolve against it, the qpk
  // name against the starting directory.
  WriteFileBytes(dir.Path("work/list.dlf"),
                 "v2.00\r\n"
                 "QTX_CONFIG_FILE,\"conf.bin\"\r\n"
                 "0x0000000000000000,\"boot.bin\"\r\n"
                 "0x0000000000001000,\"\"\r\n"
                 "0x0000000000002000,\"sub/empty.bin\"\r\n"
                 "0x0000000123456789,\"sub/high.bin\"\r\n"
                 "0x0000000200000000,\"boot.bin\"\r\n");
  WriteFileBytes(dir.Path("work/conf.bin"), "CONF!");
  WriteFileBytes(dir.Path("work/boot.bin"), "BOOT");
  WriteFileBytes(dir.Path("work/sub/empty.bin"), "");
  WriteFileBytes(dir.Path("work/sub/high.bin"), "HIGH-DATA");

  RunResult result = RunQuorlithBinary({"-d", "work/list.dlf", "out.qpk"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");

  // Data region at 32 + 24 * 5 = 152: conf (5), boot (4), empty (0), high (9), boot (4).
  std::string expected =
      MakeQpkBytes({{0x0, 5, 4, 0},            // boot.bin after the 5-byte blob
                    {0x1000, 9, 0, 1},         // placeholder: no bytes
                    {0x2000, 9, 0, 0},         // zero-length file, not a placeholder
                    {0x123456789, 9, 9, 0},    // offset above 2^32
                    {0x200000000, 18, 4, 0}},  // the same file again, copied again
                   std::string("CONF!") + "BOOT" + "HIGH-DATA" + "BOOT");
  EXPECT_EQ(ReadFileBytes(dir.Path("out.qpk")), expected);
  EXPECT_FALSE(FileExists(dir.Path("work/out.qpk")));
}

TEST(PackTest, ConfigurationOnlyGivesHeaderAndBlob) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.dlf"), "v2.00\nQTX_CONFIG_FILE,\"c\"\n");
  WriteFileBytes(dir.Path("c"), std::string(100, 'c'));
  RunResult result = RunQuorlithBinary({"-d", "a.dlf"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFileBytes(dir.Path("a.qpk")), MakeQpkBytes({}, std::string(100, 'c')));
}

TEST(PackTest, PlaceholderFirstWithoutConfigurationHasOffsetZero) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.dlf"), "v2.00\nQTX_CONFIG_FILE,\"\"\n0x10,\"\"\n0x20,\"f\"\n");
  WriteFileBytes(dir.Path("f"), "xyz");
  ASSERT_EQ(RunQuorlithBinary({"-d", "a.dlf"}, dir.path()).status, 0);
  EXPECT_EQ(ReadFileBytes(dir.Path("a.qpk")),
            MakeQpkBytes({{0x10, 0, 0, 1}, {0x20, 0, 3, 0}}, "xyz"));
}

TEST(PackTest, VerboseTraceOrder) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.dlf"),
                 "v2.00\nQTX_CONFIG_FILE,\"c\"\n0x123456789,\"a.bin\"\n0,\"\"\n");
  WriteFileBytes(dir.Path("c"), "AB");
  WriteFileBytes(dir.Path("a.bin"), "\x01\x02\x03\x04\x05");
  RunResult result = RunQuorlithBinary({"-v", "-d", "a.dlf"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "suffix: a\n"
            "dlf         : a.dlf\n"
            "out         : a.qpk\n"
            "qcf         : c\n"
            "name: a.bin, offset: 0x0000000123456789\n"
            "name: , offset: 0x0000000000000000\n"
            "start src seek off 0\n"
            "start dst seek off 80\n"
            "copySize : 2\n"
            "0x00004241\n"
            "current src seek off 2\n"
            "current dst seek off 82\n"
            "name a.bin, offset 0x0000000123456789\n"
            "start src seek off 0\n"
            "start dst seek off 82\n"
            "copySize : 5\n"
            "0x04030201\n"
            "current src seek off 5\n"
            "current dst seek off 87\n"
            "name , offset 0x0000000000000000\n");
}

struct PackFailure {
  const char* name;
  std::string dlf;
  std::string err;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const PackFailure& c, std::ostream* os) {
  *os << c.name;
}

class PackFailureTest : public testing::TestWithParam<PackFailure> {};

// Each failure stops with status 1 and leaves no qpk file behind, nor any
// temporary file: the folder holds what it held before.
TEST_P(PackFailureTest, StopsWithMessageAndLeavesNoQpkFile) {
  TempDir dir;
  WriteFileBytes(dir.Path("ok.bin"), "ok");
  WriteFileBytes(dir.Path("ro.cfg"), "ro");
  WriteFileBytes(dir.Path("folder/inner"), "");
  WriteFileBytes(dir.Path("a.dlf"), GetParam().dlf);
  std::vector<std::string> before = ListTree(dir.path());
  RunResult result = RunQuorlithBinary({"-d", "a.dlf"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, GetParam().err);
  EXPECT_EQ(ListTree(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackFailureTest,
    testing::Values(PackFailure{"MissingListedFile",
                                "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"ok.bin\"\n4,\"gone.bin\"\n",
                                "quorlith: Cannot open file gone.bin!\n"},
                    PackFailure{"MissingConfigFile", "v2.00\nQTX_CONFIG_FILE,\"gone.cfg\"\n",
                                "quorlith: Cannot open file gone.cfg!\n"},
                    PackFailure{"ListedNameIsADirectory",
                                "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"folder\"\n",
                                "quorlith: Cannot open file folder!\n"},
                    // Written under another name, the qpk file does not exist yet.
                    PackFailure{"ListedFileIsTheQpkPath",
                                "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"./a.qpk\"\n",
                                "quorlith: Cannot open file ./a.qpk!\n"},
                    PackFailure{"BadVersion", "v2.01\n",
                                "quorlith: Error: Unsupported version of dlf (v2.01)\n"
                                "quorlith: Error: Only v2.00 is supported\n"}),
    [](const testing::TestParamInfo<PackFailure>& info) { return std::string(info.param.name); });

TEST(PackTest, FileOf4GiBIsRefusedBeforeAnyByteIsCopied) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.dlf"), "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"ok.bin\"\n8,\"huge.bin\"\n");
  WriteFileBytes(dir.Path("ok.bin"), "ok");
  WriteFileBytes(dir.Path("huge.bin"), "");
  std::filesystem::resize_file(dir.Path("huge.bin"), 0x100000000ull);  // sparse
  RunResult result = RunQuorlithBinary({"-d", "a.dlf"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "quorlith: File huge.bin is 4 GiB or larger (4294967296 bytes) and cannot be stored\n");
  EXPECT_FALSE(FileExists(dir.Path("a.qpk")));
}

}  // namespace
