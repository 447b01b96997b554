// Unpack mode through the real executable: naming, the regenerated dlf file,
// the round trip back to the same qpk bytes, every reachable failure, and
// hostile files that must be refused without writing outside the extraction
// directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "base/coding.h"
#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"
#include "tests/support/qpk_bytes.h"
#include "tests/support/test_env.h"

namespace {

// A boot block whose table words point at `tableOffset` / `tableSize`.
std::string BootBlock(uint32_t tableOffset, uint32_t tableSize) {
  std::string boot(DISC_BOOT_SIZE, '\0');
  unsigned char words[8];
  StoreBE32(words, tableOffset / 4);
  StoreBE32(words + 4, tableSize / 4);
  boot.replace(1060, 8, reinterpret_cast<char*>(words), 8);
  return boot;
}

std::string TableString(const std::vector<unsigned char>& table) {
  std::string s(table.begin(), table.end());
  s.resize((s.size() + 3) / 4 * 4, '\0');
  return s;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class UnpackTest : public testing::Test {
 protected:
  // Packs the disc tree with the real executable into `in.qpk`.
  std::string Pack(const DiscBuilder& disc) {
    disc.Write(dir.Path("disc"), "layout.dlf");
    RunResult packed = RunQuorlithBinary({"-d", "disc/layout.dlf", "in.qpk"}, dir.path());
    EXPECT_EQ(packed.status, 0) << packed.err;
    return ReadFileBytes(dir.Path("in.qpk"));
  }

  RunResult Unpack(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-u"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("-e");
    args.push_back("out");
    args.push_back("in.qpk");
    return RunQuorlithBinary(args, dir.path());
  }

  // Everything below the temporary directory outside "out" and the inputs.
  std::vector<std::string> Strays() {
    std::vector<std::string> strays;
    for (const std::string& name : ListTree(dir.path())) {
      if (name.rfind("out/", 0) == 0 || name.rfind("disc/", 0) == 0 || name == "in.qpk") continue;
      strays.push_back(name);
    }
    return strays;
  }

  TempDir dir;
};

TEST_F(UnpackTest, RoundTripReproducesTheQpkByteForByte) {
  DiscBuilder disc(0x1000);
  disc.SetConfig("");  // an empty configuration file
  disc.AddSystemFile("apploader", 0x2440, "loader");
  disc.AddFile("/top.bin", 0x10000, "top");
  disc.AddFile("/a/b/deep.bin", 0x10004, "deep");
  disc.AddFile("/a/zero1", 0x10008, "");  // two zero-length files at one position
  disc.AddFile("/a/zero2", 0x10008, "");
  disc.AddPlaceholder(0x10010);
  disc.AddSystemFile("extra.bin", 0x10020, "not in the table");
  disc.AddFile("/high/above4g.bin", 0x123456780ull, "high");
  disc.AddEmptyDirectory("/empty/inner");
  disc.AddEmptyDirectory("/lonely");
  disc.AddTableOnlyFile("/ghost/never.bin", 0x9000, 5);  // its folder is never made
  std::string original = Pack(disc);

  RunResult unpacked = Unpack();
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  EXPECT_EQ(unpacked.out, "");
  EXPECT_EQ(unpacked.err, "");
  EXPECT_EQ(ReadFileBytes(dir.Path("out/in.dlf")),
            "v2.00\n"
            "QTX_CONFIG_FILE,\"config0\"\n"
            "0x0000000000000000,\"system0\"\n"
            "0x0000000000001000,\"system1\"\n"
            "0x0000000000002440,\"system2\"\n"
            "0x0000000000010000,\"dvdroot/top.bin\"\n"
            "0x0000000000010004,\"dvdroot/a/b/deep.bin\"\n"
            "0x0000000000010008,\"dvdroot/a/zero1\"\n"
            "0x0000000000010008,\"dvdroot/a/zero2\"\n"
            "0x0000000000010010,\"\"\n"
            "0x0000000000010020,\"system3\"\n"
            "0x0000000123456780,\"dvdroot/high/above4g.bin\"\n");
  EXPECT_EQ(ListTree(dir.Path("out")),
            (std::vector<std::string>{
                "config0", "dvdroot/", "dvdroot/a/", "dvdroot/a/b/", "dvdroot/a/b/deep.bin",
                "dvdroot/a/zero1", "dvdroot/a/zero2", "dvdroot/empty/", "dvdroot/empty/inner/",
                "dvdroot/high/", "dvdroot/high/above4g.bin", "dvdroot/lonely/", "dvdroot/top.bin",
                "in.dlf", "system0", "system1", "system2", "system3"}));
  EXPECT_EQ(ReadFileBytes(dir.Path("out/dvdroot/a/b/deep.bin")), "deep");
  EXPECT_EQ(ReadFileBytes(dir.Path("out/config0")), "");

  RunResult repacked = RunQuorlithBinary({"-d", "out/in.dlf", "again.qpk"}, dir.path());
  ASSERT_EQ(repacked.status, 0) << repacked.err;
  EXPECT_TRUE(ReadFileBytes(dir.Path("again.qpk")) == original);
}

TEST_F(UnpackTest, OffsetIsRoundedDownToTheTablePosition) {
  DiscBuilder disc(0x1000);
  FstTree tree;
  AddFstFilePath(&tree, "/odd.bin", 0x10000 / 4, 3);
  disc.OverrideTable(BuildFstTable(tree));
  disc.AddSystemFile("odd", 0x10003, "odd");  // 3 bytes past the table's position
  std::string original = Pack(disc);
  ASSERT_EQ(Unpack().status, 0);
  EXPECT_EQ(ReadFileBytes(dir.Path("out/dvdroot/odd.bin")), "odd");
  std::string dlf = ReadFileBytes(dir.Path("out/in.dlf"));
  EXPECT_NE(dlf.find("0x0000000000010003,\"dvdroot/odd.bin\"\n"), std::string::npos) << dlf;
}

TEST_F(UnpackTest, TableWithOnlyItsRootMakesDvdroot) {
  DiscBuilder disc(0x1000);
  Pack(disc);
  ASSERT_EQ(Unpack().status, 0);
  EXPECT_EQ(ListTree(dir.Path("out")),
            (std::vector<std::string>{"config0", "dvdroot/", "in.dlf", "system0", "system1"}));
}

TEST_F(UnpackTest, VerboseTraceOrder) {
  DiscBuilder disc(0x1000);
  disc.SetConfig("C");
  disc.AddFile("/d/f", 0x2000, "F");
  disc.AddEmptyDirectory("/e");
  Pack(disc);
  RunResult result = Unpack({"-v"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Settled names, the configuration blob, then per entry: lookup position,
  // result, folders, copy.
  // The settled names, the configuration blob, then per entry the lookup
  // position, its result, the folders and the copy; the empty folders last.
  EXPECT_EQ(result.err,
            "dlf         : \n"
            "out         : in.qpk\n"
            "suffix: in\n"
            "out/\n"
            "start src seek off 104\nstart dst seek off 0\ncopySize : 1\n0x00000043\n"
            "current src seek off 105\ncurrent dst seek off 1\n"
            "0x00000000\n-1\nout/\n"
            "start src seek off 105\nstart dst seek off 0\ncopySize : 1088\n0x544c5251\n"
            "current src seek off 1193\ncurrent dst seek off 1088\n"
            "0x00000400\n-1\nout/\n"
            "start src seek off 1193\nstart dst seek off 0\ncopySize : 56\n0x00000001\n"
            "current src seek off 1249\ncurrent dst seek off 56\n"
            "0x00000800\n2\nout/\nout/dvdroot/\nout/dvdroot/d/\n"
            "start src seek off 1249\nstart dst seek off 0\ncopySize : 1\n0x00000046\n"
            "current src seek off 1250\ncurrent dst seek off 1\n"
            "out/\nout/dvdroot/\nout/dvdroot/e/\n");
}

TEST_F(UnpackTest, WarningsForDlfNameGoToStandardOutput) {
  Pack(DiscBuilder(0x1000));
  RunResult result = RunQuorlithBinary({"-u", "-d", "x.dlf", "in.qpk"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "quorlith: Warning: You cannot specify dlf file name when unpacking\n"
            "quorlith: Warning: Ignored\n");
  EXPECT_TRUE(FileExists(dir.Path("in/in.dlf")));
  EXPECT_FALSE(FileExists(dir.Path("x.dlf")));
}

TEST_F(UnpackTest, ExistingExtractionDirectoryIsRefusedBeforeTheQpkIsOpened) {
  std::filesystem::create_directory(dir.Path("out"));
  RunResult result = Unpack();  // in.qpk does not even exist
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorlith: Directory out already exists. Can't extract.\n");
  EXPECT_EQ(ListTree(dir.path()), std::vector<std::string>{"out/"});
}

TEST_F(UnpackTest, MissingParentOfExtractionDirectory) {
  RunResult result = RunQuorlithBinary({"-u", "-e", "no/such", "in.qpk"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("quorlith: Failed to create directory no/such\nlast error: ", 0), 0u)
      << result.err;
  EXPECT_TRUE(ListTree(dir.path()).empty());
}

TEST_F(UnpackTest, MissingQpkLeavesTheEmptyExtractionDirectory) {
  RunResult result = Unpack();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorlith: Cannot open file in.qpk!\n");
  EXPECT_EQ(ListTree(dir.path()), std::vector<std::string>{"out/"});
}

// A qpk path that is no regular file is refused at its open, which never
// waits: a FIFO without a writer would otherwise block the run for ever.
TEST_F(UnpackTest, QpkPathThatIsNoRegularFileIsRefusedWithoutWaiting) {
  std::filesystem::create_directory(dir.Path("folder.qpk"));
  RunResult result = RunQuorlithBinary({"-u", "-e", "out", "folder.qpk"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorlith: Cannot open file folder.qpk!\n");
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo(dir.Path("fifo.qpk").c_str(), 0600), 0);
  result = RunQuorlithBinary({"-u", "-e", "out2", "fifo.qpk"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorlith: fifo.qpk is not a regular file\n");
#endif
}

TEST_F(UnpackTest, TwoEntriesWithOneNameFailOnTheSecond) {
  DiscBuilder disc(0x1000);
  disc.AddFile("/same.bin", 0x2000, "same");
  disc.AddSystemFile("copy", 0x2000, "same");  // same position and length
  Pack(disc);
  RunResult result = Unpack();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorlith: Cannot open file out/dvdroot/same.bin!\n");
  std::string dlf = ReadFileBytes(dir.Path("out/in.dlf"));
  EXPECT_TRUE(EndsWith(dlf, "0x0000000000002000,\"dvdroot/same.bin\"\n")) << dlf;
}

// One hostile input: how the qpk file is made, and the exact refusal.
struct HostileCase {
  const char* name;
  std::function<std::string()> qpk;
  std::string err;
};

void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.name;
}

std::string ValidDisc(const std::vector<unsigned char>& table) {
  std::string boot = BootBlock(0x1000, static_cast<uint32_t>(TableString(table).size()));
  std::string padding(0x1000 - DISC_BOOT_SIZE, '\0');
  return boot + padding + TableString(table);
}

// A well-formed disc whose single table file is named `name` in the root.
std::string DiscWithName(const std::string& name) {
  FstTree tree;
  AddFstFile(&tree, 0, name, 0x2000 / 4, 1);
  std::vector<unsigned char> table = BuildFstTable(tree);
  std::string disc = ValidDisc(table);
  uint32_t size = static_cast<uint32_t>(disc.size());
  return MakeQpkBytes({{0, 0, size, 0}, {0x2000, size, 1, 0}}, disc + "x");
}

std::vector<HostileCase> HostileCases() {
  FstTree one;
  AddFstFile(&one, 0, "f", 0x2000 / 4, 1);
  const std::vector<unsigned char> table = BuildFstTable(one);
  const std::string disc = ValidDisc(table);
  const uint32_t size = static_cast<uint32_t>(disc.size());
  return {
      {"NotAQpkFile", [] { return std::string("PK\3\4 not a qpk file at all........"); },
       "quorlith: Specified file is not a qpk file\n"},
      {"NoEntries", [] { return MakeQpkBytes({}, ""); }, "quorlith: The qpk file has no entries\n"},
      {"EntryTablePastTheEnd",
       [] {
         return MakeQpkBytes(PackedQpkHeader(1000), {{0, 0, 0, 0}}, "");
       },
       "quorlith: The qpk file's entry table (1000 entries) reaches past the end of the file\n"},
      {"EntryCountOverflowsTheDataStart",
       [] {
         return MakeQpkBytes(PackedQpkHeader(0x5555555), {{0, 0, 0, 0}}, "");
       },
       "quorlith: The qpk file's entry count 89478485 is too large\n"},
      {"HeaderBlockBeforeTheFirstEntry",
       [=] {
         return MakeQpkBytes({{0x1000, 0, size, 0}}, disc);
       },
       "quorlith: Disc offset 0x0000000000000420 lies before the first entry of the qpk file\n"},
      {"HeaderBlockNotStored",
       [] {
         return MakeQpkBytes({{0, 0, 100, 0}}, std::string(100, 'b'));
       },
       "quorlith: Disc range 0x0000000000000420 (32 bytes) is not stored in the qpk file\n"},
      {"TableNotStoredWhole",
       [=] {
         return MakeQpkBytes({{0, 0, size, 0}}, disc.substr(0, disc.size() - 4));
       },
       "quorlith: Disc range 0x0000000000001000 (" + std::to_string(TableString(table).size()) +
           " bytes) is not stored in the qpk file\n"},
      {"TableWordsWrapAt4GiB",
       [=] {
         std::string d = disc;
         d[1060] = '\x40';
         return MakeQpkBytes({{0, 0, size, 0}}, d);
       },
       "quorlith: The disc header block points outside the first 4 GiB of the disc\n"},
      {"TableRefusedByValidation",
       [=] {
         std::string d = disc;
         d[0x1000] = 0;  // the root is no longer a directory
         return MakeQpkBytes({{0, 0, size, 0}}, d);
       },
       "quorlith: Invalid file-system table: root entry is not a directory\n"},
      {"ConfigurationBlobPastTheEnd",
       [=] {
         // A leading placeholder at the same offset carries the blob's length.
         return MakeQpkBytes({{0, 1000000, 0, 1}, {0, 0, size, 0}}, disc);
       },
       "quorlith: The configuration data runs past the end of the qpk file\n"},
      {"EntryPastTheEnd",
       [=] {
         return MakeQpkBytes({{0, 0, size, 0}, {0x2000, size, 2, 0}}, disc + "x");
       },
       "quorlith: Entry 1's data runs past the end of the qpk file\n"},
      {"EntriesNamingOneRangeAgainAndAgain",
       [=] {
         std::vector<QpkEntry> entries = {{0, 0, size, 0}};
         for (int i = 0; i < 50; ++i) entries.push_back({0x1000, 0x1000, size - 0x1000, 0});
         return MakeQpkBytes(entries, disc);
       },
       "quorlith: The entries would write more bytes than the qpk file holds (" +
           std::to_string(size) + ")\n"},
      {"DotDotComponent", [] { return DiscWithName(".."); },
       "quorlith: Refusing to extract dvdroot/..: empty, \".\" or \"..\" path component\n"},
      {"DotComponent", [] { return DiscWithName("."); },
       "quorlith: Refusing to extract dvdroot/.: empty, \".\" or \"..\" path component\n"},
      {"EmptyName", [] { return DiscWithName(""); },
       "quorlith: Refusing to extract dvdroot/: empty, \".\" or \"..\" path component\n"},
      {"BackslashDotDot", [] { return DiscWithName("..\\..\\escape"); },
       "quorlith: Refusing to extract dvdroot/..\\\\..\\\\escape: empty, \".\" or \"..\" path "
       "component\n"},
      {"SlashInName", [] { return DiscWithName("a/../../escape"); },
       "quorlith: Refusing to extract dvdroot/a/../../escape: empty, \".\" or \"..\" path "
       "component\n"},
      {"QuoteInName", [] { return DiscWithName("say\"hi"); },
       "quorlith: Refusing to extract dvdroot/say\"hi: the name holds a double quote or a line "
       "end\n"},
      {"LineEndInName", [] { return DiscWithName("two\nlines"); },
       "quorlith: Refusing to extract dvdroot/two\\x0Alines: the name holds a double quote or a "
       "line end\n"},
      // Sets the terminal's title and clears the screen if printed raw.
      {"TerminalControlsInName", [] { return DiscWithName("..\\\x1b]2;owned\a\x1b[2J\x7f"); },
       "quorlith: Refusing to extract dvdroot/..\\\\\\x1B]2;owned\\x07\\x1B[2J\\x7F: empty, "
       "\".\" or \"..\" path component\n"},
      {"HostPathTooLong", [] { return DiscWithName(std::string(300, 'n')); },
       "quorlith: Path is longer than 259 characters: out/dvdroot/" + std::string(300, 'n') + "\n"},
      {"TablePathTooLongForTheEntryName", [] { return DiscWithName(std::string(1100, 'n')); },
       "Path is too long\n"},
  };
}

class HostileQpkTest : public UnpackTest, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostileQpkTest, IsRefusedWithoutWritingOutsideTheExtractionDirectory) {
  WriteFileBytes(dir.Path("in.qpk"), GetParam().qpk());
  RunResult result = Unpack();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, GetParam().err);
  EXPECT_EQ(Strays(), std::vector<std::string>{});
  // Nothing that a refused name would have produced exists.
  for (const std::string& name : ListTree(dir.Path("out"))) {
    EXPECT_TRUE(name == "in.dlf" || name == "config0" || name.rfind("system", 0) == 0) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileQpkTest, testing::ValuesIn(HostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
