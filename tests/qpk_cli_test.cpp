// Golden cases of qpk's command line: arguments and files in; exact status,
// standard output and standard error out. The qpk files are packed by the
// real quorlith, and list is held against the tree the real unpack makes.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "base/base.h"
#include "tests/support/disc_builder.h"
#include "tests/support/json_reader.h"
#include "tests/support/test_env.h"

namespace {

const char TRY_HELP[] = "Try 'qpk --help' for more information.\n";

struct QpkCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

void PrintTo(const QpkCase& c, std::ostream* os) {
  *os << c.name;
}

// Packs `disc` into dir/disc/layout.qpk with the real quorlith.
void PackDisc(const TempDir& dir, const DiscBuilder& disc) {
  disc.Write(dir.Path("disc"), "layout.dlf");
  RunResult packed = RunQuorlithBinary({"-d", "disc/layout.dlf"}, dir.path());
  ASSERT_EQ(packed.status, 0) << packed.err;
}

void ExpectRun(const QpkCase& c, const std::string& cwd) {
  RunResult result = RunQpkBinary(c.args, cwd);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
}

std::string Usage(const std::string& reason) {
  return "qpk: " + reason + "\n" + TRY_HELP;
}

// Command-line mistakes: no file is needed to find them.
std::vector<QpkCase> UsageCases() {
  return {
      {"NoCommand", {}, 2, "", Usage("missing command")},
      {"UnknownCommand", {"lst", "a.qpk"}, 2, "", Usage("unknown command 'lst'")},
      {"UnknownShortOption", {"list", "-x", "a.qpk"}, 2, "", Usage("invalid option -- 'x'")},
      {"UnknownLongOption",
       {"list", "--lung", "a.qpk"},
       2,
       "",
       Usage("unrecognized option '--lung'")},
      {"OptionWithoutValue",
       {"cat", "a.qpk", "n", "-o"},
       2,
       "",
       Usage("option requires an argument -- 'o'")},
      {"LongOptionWithoutValue",
       {"cat", "a.qpk", "n", "--output"},
       2,
       "",
       Usage("option '--output' requires an argument")},
      {"FlagGivenAValue",
       {"list", "--json=yes", "a.qpk"},
       2,
       "",
       Usage("option '--json' doesn't allow an argument")},
      {"OptionOfAnotherCommand",
       {"check", "-l", "a.qpk"},
       2,
       "",
       Usage("option '-l' is not valid for 'check'")},
      {"PrefixOfAnotherCommandsOption",
       {"info", "--str", "a.qpk"},
       2,
       "",
       Usage("option '--strict' is not valid for 'info'")},
      {"MissingFile", {"list"}, 2, "", Usage("missing file operand")},
      {"MissingName", {"cat", "a.qpk"}, 2, "", Usage("missing name operand")},
      {"ExtraOperand", {"info", "a.qpk", "b\x01.qpk"}, 2, "", Usage("extra operand 'b\\x01.qpk'")},
      {"HelpOfUnknownCommand", {"help", "zip"}, 2, "", Usage("unknown command 'zip'")},
      {"DashDashEndsOptions", {"list", "--", "-l"}, 1, "", "qpk: -l: Cannot open file -l!\n"},
  };
}

class QpkUsageTest : public testing::TestWithParam<QpkCase> {};

TEST_P(QpkUsageTest, MatchesGoldenOutput) {
  TempDir dir;
  ExpectRun(GetParam(), dir.path());
}

INSTANTIATE_TEST_SUITE_P(Golden, QpkUsageTest, testing::ValuesIn(UsageCases()),
                         [](const testing::TestParamInfo<QpkCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(QpkHelpTest, HelpAndVersionGoToStandardOutput) {
  TempDir dir;
  RunResult general = RunQpkBinary({"--help"}, dir.path());
  EXPECT_EQ(general.status, 0);
  EXPECT_EQ(general.out.rfind("Usage: qpk COMMAND [OPTIONS] FILE...\n", 0), 0u);
  EXPECT_EQ(RunQpkBinary({"help"}, dir.path()).out, general.out);
  RunResult list = RunQpkBinary({"list", "--help"}, dir.path());
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.rfind("Usage: qpk list ", 0), 0u);
  EXPECT_EQ(RunQpkBinary({"help", "list"}, dir.path()).out, list.out);
  EXPECT_EQ(RunQpkBinary({"cat", "-h"}, dir.path()).out.rfind("Usage: qpk cat ", 0), 0u);
  RunResult version = RunQpkBinary({"--vers"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "qpk (quorlith) 1.2\n");
  EXPECT_EQ(version.err, "");
}

const char EXAMPLE_LIST[] =
    "config0\n"
    "system0\n"
    "system1\n"
    "system2\n"
    "dvdroot/readme.txt\n"
    "dvdroot/data/levels/level1.dat\n"
    "dvdroot/data/levels/level2.dat\n"
    "dvdroot/data/empty.bin\n"
    "dvdroot/movies/intro.vid\n"
    "dvdroot/saves/slot1/\n";

const char EXAMPLE_LONG_LIST[] =
    "-                            24 config      config0\n"
    "0x0000000000000000         1088 system      system0\n"
    "0x0000000000001000          216 system      system1\n"
    "0x0000000000002440           12 system      system2\n"
    "0x0000000000010000           17 file        dvdroot/readme.txt\n"
    "0x0000000000010800         3000 file        dvdroot/data/levels/level1.dat\n"
    "0x0000000000011400         1500 file        dvdroot/data/levels/level2.dat\n"
    "0x0000000000011c00            0 file        dvdroot/data/empty.bin\n"
    "0x0000000000012000            0 placeholder -\n"
    "0x0000000100000000           19 file        dvdroot/movies/intro.vid\n"
    "-                             0 directory   dvdroot/saves/slot1/\n";

const char EXAMPLE_INFO[] =
    "entries: 9\n"
    "stored entries: 8\n"
    "placeholders: 1\n"
    "config size: 24\n"
    "data region size: 5876\n"
    "file size: 6124\n"
    "disc extent: 4294967315\n"
    "table offset: 0x0000000000001000\n"
    "table length: 216\n"
    "table files: 5\n"
    "table directories: 6\n"
    "empty directories: 1\n"
    "files written: 10\n"
    "folders made: 7\n"
    "bytes written: 6251\n"
    "unpack: OK\n";

std::vector<QpkCase> ExampleCases() {
  const std::string qpk = "disc/layout.qpk";
  return {
      {"List", {"list", qpk}, 0, EXAMPLE_LIST, ""},
      {"ListLongOptionsAfterTheFile", {"list", qpk, "--long"}, 0, EXAMPLE_LONG_LIST, ""},
      {"ListLongBundled", {"list", "-le", "elsewhere", qpk}, 0, EXAMPLE_LONG_LIST, ""},
      {"Info", {"info", qpk}, 0, EXAMPLE_INFO, ""},
      {"CheckBothKinds",
       {"check", qpk, "disc/layout.dlf"},
       0,
       "disc/layout.qpk: OK\ndisc/layout.dlf: OK\n",
       ""},
      {"CatConfig", {"cat", qpk, "config0"}, 0, "region=any\nlayer=single\n", ""},
      {"CatSystemFile", {"cat", qpk, "system2"}, 0, "loader code\n", ""},
      {"CatTablePathInAnotherCase",
       {"cat", qpk, "/DATA/../ReadMe.TXT"},
       0,
       "An example disc.\n",
       ""},
      {"CatListedName", {"cat", "-o-", qpk, "dvdroot/movies/intro.vid"}, 0, "", ""},
      {"CatDirectory",
       {"cat", qpk, "dvdroot/saves/slot1/"},
       1,
       "",
       "qpk: disc/layout.qpk: dvdroot/saves/slot1/: is a directory\n"},
      {"CatTableDirectory",
       {"cat", qpk, "/data"},
       1,
       "",
       "qpk: disc/layout.qpk: /data: is a directory\n"},
      {"CatMissing",
       {"cat", qpk, "dvdroot/nothing\x01"},
       1,
       "",
       "qpk: disc/layout.qpk: dvdroot/nothing\\x01: no such file in the qpk file\n"},
      {"MissingQpkFile",
       {"list", "none.qpk"},
       1,
       "",
       "qpk: none.qpk: Cannot open file none.qpk!\n"},
  };
}

class QpkExampleTest : public testing::TestWithParam<QpkCase> {};

TEST_P(QpkExampleTest, MatchesGoldenOutput) {
  TempDir dir;
  PackDisc(dir, ExampleDisc());
  ExpectRun(GetParam(), dir.path());
}

INSTANTIATE_TEST_SUITE_P(Golden, QpkExampleTest, testing::ValuesIn(ExampleCases()),
                         [](const testing::TestParamInfo<QpkCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(QpkCatTest, OutputFileIsReplacedOnlyWithForce) {
  TempDir dir;
  PackDisc(dir, ExampleDisc());
  WriteFileBytes(dir.Path("out.txt"), "keep");
  RunResult refused =
      RunQpkBinary({"cat", "-o", "out.txt", "disc/layout.qpk", "system2"}, dir.path());
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "qpk: out.txt: File exists (use -f to replace it)\n");
  EXPECT_EQ(ReadFileBytes(dir.Path("out.txt")), "keep");
  RunResult forced =
      RunQpkBinary({"cat", "-f", "--output=out.txt", "disc/layout.qpk", "system2"}, dir.path());
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(ReadFileBytes(dir.Path("out.txt")), "loader code\n");
  RunResult placeholder =
      RunQpkBinary({"cat", "-o", "new.bin", "disc/layout.qpk", "/nothing"}, dir.path());
  EXPECT_EQ(placeholder.status, 1);
  EXPECT_FALSE(FileExists(dir.Path("new.bin")));
}

// What `list` names must be what the unpack makes: every listed file, its
// folders, the empty directories, and the dlf file the unpack writes.
std::vector<std::string> TreeFromListing(const std::string& listing) {
  std::set<std::string> tree = {"layout.dlf"};
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    std::string name = listing.substr(start, end - start);
    start = end + 1;
    tree.insert(name);
    for (size_t slash = name.find('/'); slash != std::string::npos && slash + 1 < name.size();
         slash = name.find('/', slash + 1))
      tree.insert(name.substr(0, slash + 1));
  }
  return std::vector<std::string>(tree.begin(), tree.end());
}

std::vector<std::pair<const char*, DiscBuilder>> DiscShapes() {
  DiscBuilder bare;
  DiscBuilder nested;
  nested.AddFile("/a/b/c/deep.bin", 0x10000, "deep");
  nested.AddFile("/a/zero.bin", 0x10800, "");
  nested.AddEmptyDirectory("/a/b/empty");
  nested.AddEmptyDirectory("/top");
  DiscBuilder systems;
  systems.SetConfig("c");
  systems.AddSystemFile("extra.bin", 0x2440, "sys");
  systems.AddPlaceholder(0x3000);
  systems.AddFile("/f.txt", 0x10000, "f");
  return {{"Example", ExampleDisc()}, {"Bare", bare}, {"Nested", nested}, {"Systems", systems}};
}

TEST(QpkListTest, NamesWhatTheUnpackCreates) {
  for (const auto& shape : DiscShapes()) {
    SCOPED_TRACE(shape.first);
    TempDir dir;
    PackDisc(dir, shape.second);
    RunResult listed = RunQpkBinary({"list", "disc/layout.qpk"}, dir.path());
    ASSERT_EQ(listed.status, 0) << listed.err;
    RunResult unpacked = RunQuorlithBinary({"-u", "-e", "out", "disc/layout.qpk"}, dir.path());
    ASSERT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_EQ(TreeFromListing(listed.out), ListTree(dir.Path("out")));
  }
}

TEST(QpkCheckTest, DlfFindingsCarryTheirLines) {
  TempDir dir;
  WriteFileBytes(dir.Path("bad.dlf"), "v2.00\nQTX_CONFIG_FILE,\"\"\n\n0xZZ,\"nofile.bin\"\n");
  RunResult result = RunQpkBinary({"check", "bad.dlf"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "bad.dlf:4: warning: offset \"0xZZ\" is not strictly hexadecimal (0x and 1 to 16 hex "
            "digits); it is read as 0x0000000000000000\n"
            "bad.dlf:4: Cannot open file nofile.bin!\n");
}

TEST(QpkCheckTest, StrictFailsOnWarnings) {
  TempDir dir;
  WriteFileBytes(dir.Path("w.DLF"), "v2.00\nQTX_CONFIG_FILE,\"\"\n0x1,\"\"\n0x0,\"\"\n");
  RunResult lenient = RunQpkBinary({"check", "w.DLF"}, dir.path());
  EXPECT_EQ(lenient.status, 0) << lenient.err;
  EXPECT_EQ(lenient.out, "w.DLF: OK\n");
  EXPECT_NE(lenient.err.find("w.DLF:4: warning: "), std::string::npos) << lenient.err;
  RunResult strict = RunQpkBinary({"check", "--strict", "w.DLF"}, dir.path());
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.out, "");
  EXPECT_EQ(strict.err, lenient.err);
}

// A disc whose table names a file with a control byte, a backslash and a
// byte that is not UTF-8.
[[maybe_unused]] DiscBuilder HostileDisc() {
  DiscBuilder disc;
  disc.AddFile("/h\x01\\\xff.bin", 0x10000, "hostile");
  return disc;
}

// The exact bytes of an item's name: from "nameHex" when it is not UTF-8.
std::string ExactName(const JsonValue& item) {
  if (item.members.count("nameHex") == 0) return item["name"].text;
  std::string bytes, hex = item["nameHex"].text;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The -l line an item of the JSON document stands for.
std::string LongLineOf(const JsonValue& item) {
  std::string offset = item["discOffset"].type == JsonValue::NUL ? "-" : item["discOffsetHex"].text;
  std::string name = item["name"].type == JsonValue::NUL ? "-" : Printable(ExactName(item).c_str());
  char line[200];
  std::snprintf(line, sizeof line, "%-18s %12s %-11s %s\n", offset.c_str(),
                item["size"].text.c_str(), item["kind"].text.c_str(), name.c_str());
  return line;
}

// Windows cannot create the hostile name, so the unpack there refuses it.
std::vector<DiscBuilder> JsonDiscs() {
#ifdef _WIN32
  return {ExampleDisc()};
#else
  return {ExampleDisc(), HostileDisc()};
#endif
}

TEST(QpkJsonTest, ListDocumentTellsWhatTheLongListingTells) {
  for (const DiscBuilder& disc : JsonDiscs()) {
    TempDir dir;
    PackDisc(dir, disc);
    RunResult json = RunQpkBinary({"list", "--json", "disc/layout.qpk"}, dir.path());
    RunResult text = RunQpkBinary({"list", "-l", "disc/layout.qpk"}, dir.path());
    ASSERT_EQ(json.status, 0) << json.err;
    JsonValue document;
    ASSERT_TRUE(ParseJson(json.out, &document)) << json.out;
    std::string lines;
    for (const JsonValue& item : document["items"].items) lines += LongLineOf(item);
    EXPECT_EQ(lines, text.out);
    EXPECT_TRUE(document["verdict"]["ok"].boolean);
  }
}

#ifndef _WIN32
TEST(QpkJsonTest, HostileNamesAreEscapedAndToldExactly) {
  TempDir dir;
  PackDisc(dir, HostileDisc());
  RunResult text = RunQpkBinary({"list", "disc/layout.qpk"}, dir.path());
  EXPECT_EQ(text.out, "config0\nsystem0\nsystem1\ndvdroot/h\\x01\\\\\xff.bin\n");
  RunResult json = RunQpkBinary({"list", "--json", "disc/layout.qpk"}, dir.path());
  EXPECT_NE(json.out.find("\"name\": \"dvdroot/h\\u0001\\\\\xef\xbf\xbd.bin\""), std::string::npos)
      << json.out;
  JsonValue document;
  ASSERT_TRUE(ParseJson(json.out, &document));
  const JsonValue& hostile = document["items"].items.back();
  EXPECT_EQ(hostile["nameHex"].text, "647664726f6f742f68015cff2e62696e");
  RunResult cat =
      RunQpkBinary({"cat", "disc/layout.qpk", "dvdroot/h\\x01\\\\\\xFF.bin"}, dir.path());
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, "hostile");
}

#endif

TEST(QpkJsonTest, InfoDocumentCarriesTheSummaryAndAFailedVerdict) {
  TempDir dir;
  PackDisc(dir, ExampleDisc());
  std::string qpk = ReadFileBytes(dir.Path("disc/layout.qpk"));
  WriteFileBytes(dir.Path("cut.qpk"), qpk.substr(0, qpk.size() - 1));
  RunResult info = RunQpkBinary({"info", "--json", "cut.qpk"}, dir.path());
  EXPECT_EQ(info.status, 1);
  JsonValue document;
  ASSERT_TRUE(ParseJson(info.out, &document)) << info.out;
  EXPECT_EQ(document["entries"].text, "9");
  EXPECT_FALSE(document["verdict"]["ok"].boolean);
  std::string message = document["verdict"]["message"].text;
  EXPECT_EQ(info.err, "qpk: cut.qpk: " + message + "\n");
}

}  // namespace
