// The dlf check: each finding with its line, and for every error the real
// Pack refusing the same file for the same reason, so that the two cannot
// drift apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/base.h"
#include "inspect/inspect.h"
#include "tests/support/disc_builder.h"
#include "tests/support/library_test.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;

const std::string HEADER = "v2.00\nQTX_CONFIG_FILE,\"cfg\"\n";

// Findings as "LINE E|W REASON", to compare whole lists at once.
std::vector<std::string> Describe(const std::vector<DlfFinding>& findings) {
  std::vector<std::string> lines;
  for (const DlfFinding& finding : findings) {
    lines.push_back(std::to_string(finding.line) + (finding.severity == DLF_ERROR ? " E " : " W ") +
                    finding.reason);
  }
  return lines;
}

// What a case needs beside the plain files.
enum Extra { NO_EXTRA, FIFO, LARGE_FILE, READ_ONLY_CONFIG };

struct DlfCase {
  const char* label;
  std::string dlf;  // written to disc/layout.dlf; "-" for no dlf file at all
  std::vector<std::string> findings;
  Extra extra = NO_EXTRA;
};

std::ostream& operator<<(std::ostream& out, const DlfCase& c) {
  return out << c.label;
}

const std::string LONG_NAME(1030, 'n');
const std::string LONG_CONFIG(PATH_CAPACITY, 'c');

const DlfCase CASES[] = {
    {"Accepted",
     HEADER + "0x0000000000000000,\"a.bin\"\n0x0000000000000010,\"b.bin\",x\n0x20,\"\"\n"
              "0x0000000000000020,\"sub/c.bin\"\n",
     {}},
    {"LineEndsAndBlankLinesCount",
     "v2.00\r\n\r\nQTX_CONFIG_FILE,\"cfg\"\r\r0x0000000000000000,\"a.bin\"\n\n\r\nnocomma\n\r"
     "0x10,a.bin\r\n",
     {"8 E Wrong dlf file format, offset is wrong",
      "10 E Wrong dlf file format, filename is wrong"}},
    {"ByteOrderMark",
     "\xEF\xBB\xBF" + HEADER,
     {"1 E Error: Unsupported version of dlf (\xEF\xBB\xBFv2.00)",
      "1 E Error: Only v2.00 is supported",
      "1 E the file begins with a UTF-8 byte-order mark, which is read as part of the version "
      "line; save the file without it"}},
    {"EmptyFile",
     "",
     {"1 E Error: Unsupported version of dlf ()", "1 E Error: Only v2.00 is supported",
      "2 E Wrong dlf file format, qcf difinition is wrong"}},
    {"WrongVersionWithControlByte",
     "v2.00\t\nQTX_CONFIG_FILE,\"\"\n",
     {"1 E Error: Unsupported version of dlf (v2.00\\x09)", "1 E Error: Only v2.00 is supported"}},
    {"ConfigKeyword",
     "v2.00\n\nQTX_CONFIG,\"cfg\"\n",
     {"3 E Wrong dlf file format, qcf difinition is wrong"}},
    {"ConfigNameUnquoted",
     "v2.00\nQTX_CONFIG_FILE,cfg\n",
     {"2 E Wrong dlf file format, filename is wrong"}},
    {"ConfigNameTooLong",
     "v2.00\nQTX_CONFIG_FILE,\"" + LONG_CONFIG + "\"\n",
     {"2 E Wrong dlf file format, configuration file name is longer than 259 characters"}},
    {"EntryNameUnclosed",
     HEADER + "0x0000000000000000,\"a.bin\n",
     {"3 E Wrong dlf file format, filename is wrong"}},
    {"LineTooLong",
     HEADER + "0x0000000000000000,\"" + LONG_NAME + "\"\n0x10,\"b.bin\"\n",
     {"3 E Wrong dlf file format, line is longer than 1023 characters"}},
    {"MissingFiles",
     "v2.00\nQTX_CONFIG_FILE,\"nocfg\"\n0x0000000000000000,\"no\x01.bin\"\n",
     {"2 E Cannot open file nocfg!", "3 E Cannot open file no\\x01.bin!"}},
    {"DirectoryListed", HEADER + "0x0000000000000000,\"sub\"\n", {"3 E Cannot open file sub!"}},
    {"MissingDlfFile", "-", {"0 E open: No such file or directory"}},
    {"LooseOffsets",
     HEADER + "0xZZ,\"\"\n0x1g00,\"\"\n 0x10,\"\"\n10,\"\"\n0x000000000000000020,\"\"\n",
     {"3 W offset \"0xZZ\" is not strictly hexadecimal (0x and 1 to 16 hex digits); it is read "
      "as 0x0000000000000000",
      "4 W offset \"0x1g00\" is not strictly hexadecimal (0x and 1 to 16 hex digits); it is "
      "read as 0x0000000000000001",
      "5 W offset \" 0x10\" is not strictly hexadecimal (0x and 1 to 16 hex digits); it is read "
      "as 0x0000000000000010",
      "6 W offset \"10\" is not strictly hexadecimal (0x and 1 to 16 hex digits); it is read as "
      "0x0000000000000010",
      "7 W offset \"0x000000000000000020\" is not strictly hexadecimal (0x and 1 to 16 hex "
      "digits); it is read as 0x0000000000000020"}},
    {"FallingAndOverlapping",
     HEADER + "0x0000000000000020,\"a.bin\"\n0x0000000000000010,\"b.bin\"\n"
              "0x0000000000000014,\"a.bin\"\n0x0000000000000016,\"\"\n"
              "0x0000000000000018,\"sub/c.bin\"\n",
     {"4 W disc offset 0x0000000000000010 is below 0x0000000000000020 of line 3",
      "5 W disc range [0x0000000000000014, 0x0000000000000018) of a.bin overlaps "
      "[0x0000000000000010, 0x0000000000000018) of b.bin (line 4)"}},
#if !defined(_WIN32)
    {"Fifo", HEADER + "0x0000000000000000,\"fifo\"\n", {"3 E fifo is not a regular file"}, FIFO},
    {"FileOf4GiB",
     HEADER + "0x0000000000000000,\"big.bin\"\n",
     {"3 E File big.bin is 4 GiB or larger (4294967296 bytes) and cannot be stored"},
     LARGE_FILE},
    {"ReadOnlyConfig", HEADER, {"2 E Cannot open file cfg!"}, READ_ONLY_CONFIG},
#endif
};

class DlfCheckTest : public LibraryTest, public testing::WithParamInterface<DlfCase> {
 protected:
  // The case's files in disc/, beside its dlf file. False: the case cannot
  // be made here (and is skipped).
  bool MakeCase(const DlfCase& c) {
    if (c.dlf != "-") WriteFileBytes(dir_.Path("disc/layout.dlf"), c.dlf);
    WriteFileBytes(dir_.Path("disc/cfg"), "config");
    WriteFileBytes(dir_.Path("disc/a.bin"), "abcd");
    WriteFileBytes(dir_.Path("disc/b.bin"), "12345678");
    WriteFileBytes(dir_.Path("disc/sub/c.bin"), "");
#if !defined(_WIN32)
    std::string path;
    switch (c.extra) {
      case NO_EXTRA:
        break;
      case FIFO:
        return mkfifo(dir_.Path("disc/fifo").c_str(), 0600) == 0;
      case LARGE_FILE:
        path = dir_.Path("disc/big.bin");
        WriteFileBytes(path, "");
        return truncate(path.c_str(), 0x100000000) == 0;
      case READ_ONLY_CONFIG:
        path = dir_.Path("disc/cfg");
        // Whoever may write anyway (root) cannot see this refusal.
        return chmod(path.c_str(), 0444) == 0 && access(path.c_str(), W_OK) != 0;
    }
#endif
    return true;
  }

  TempDir dir_;
};

TEST_P(DlfCheckTest, FindsWhatPackRefusesAndWarnsOfTheRest) {
  const DlfCase& c = GetParam();
  if (!MakeCase(c)) GTEST_SKIP() << "cannot make this case here";
  std::vector<DlfFinding> findings;
  bool read = CheckDlf(dir_.Path("disc/layout.dlf").c_str(), &findings);
  EXPECT_EQ(read, c.dlf != "-");
  EXPECT_EQ(Describe(findings), c.findings);

  // Pack mode agrees: it refuses a file with an error, for the first error's
  // reason (as escaped in the finding), and packs a file without one.
  RunResult pack = RunQuorlithBinary({"-d", "disc/layout.dlf", "out.qpk"}, dir_.path());
  const DlfFinding* firstError = nullptr;
  for (const DlfFinding& finding : findings) {
    if (finding.severity == DLF_ERROR && firstError == nullptr) firstError = &finding;
  }
  if (firstError == nullptr) {
    EXPECT_EQ(pack.status, 0) << pack.err;
  } else {
    EXPECT_EQ(pack.status, 1);
    EXPECT_NE(Printable(pack.err.c_str()).find(firstError->reason), std::string::npos) << pack.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DlfCheckTest, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<DlfCase>& info) {
                           return std::string(info.param.label);
                         });

class DlfTableCheckTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ExampleDisc().Write(dir_.Path("disc"), "layout.dlf");
  }
  std::vector<std::string> Check() {
    std::vector<DlfFinding> findings;
    EXPECT_TRUE(CheckDlf(dir_.Path("disc/layout.dlf").c_str(), &findings));
    return Describe(findings);
  }
  TempDir dir_;
};

// A file of an unpacked tree edited to another length: the table the disc
// carries still records the old one.
TEST_F(DlfTableCheckTest, WarnsOfAFileWhoseSizeTheTableRecordsOtherwise) {
  EXPECT_EQ(Check(), std::vector<std::string>{});
  std::string readme = dir_.Path("disc/" + DiscFileName("/readme.txt"));
  size_t length = ReadFileBytes(readme).size();
  WriteFileBytes(readme, ReadFileBytes(readme) + "more");
  std::string recorded = std::to_string(length);
  EXPECT_EQ(Check(), std::vector<std::string>{
                         "6 W size " + std::to_string(length + 4) + " of " +
                         DiscFileName("/readme.txt") + " differs from the " + recorded +
                         " bytes the disc's table records for /readme.txt at 0x0000000000010000: "
                         "the packed disc would still read " +
                         recorded + " bytes there, and Unpack would no longer find the name"});
  EXPECT_EQ(RunQuorlithBinary({"-d", "disc/layout.dlf", "out.qpk"}, dir_.path()).status, 0);
}

TEST_F(DlfTableCheckTest, WarnsOnceOfATableThatCannotBeRead) {
  std::string table = dir_.Path("disc/fst.bin");
  WriteFileBytes(table, std::string(ReadFileBytes(table).size(), '\xFF'));
  std::vector<std::string> findings = Check();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rfind("4 W the disc's table at 0x0000000000001000 (", 0), 0u)
      << findings[0];
}

}  // namespace
