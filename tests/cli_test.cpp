// Golden command-line cases: arguments and input files in; exact status,
// standard output, standard error and output files out.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace {

const char USAGE[] =
    "\n"
    "Pack/unpack dlf file and dvdroot\n"
    "Usage:  quorlith [-u] [-e dir] [-d dlf] [-hvV] [qpkfile]\n"
    "\n"
    "    -u         Unpacks the qpk file\n"
    "    -e         Specifies the directory to extract (only when unpacking)\n"
    "    -d         Specifies the dlf file to pack (only when packing)\n"
    "    qpkfile    Specifies qpk file name for output(when packing)/input(when unpacking)\n"
    "    -h         Prints this message and exit\n"
    "    -v         Turns on Verbose mode\n"
    "    -V         Shows version number\n";

const char EMPTY_DLF[] = "v2.00\nQTX_CONFIG_FILE,\"\"\n";

// The 32-byte qpk file of a dlf file without entries or configuration file.
std::string EmptyQpk() {
  return std::string(
      "\x6a\x2b\xf9\xe0\0\0\0\0\x20\0\0\0\0\0\0\0\x20\0\0\0\0\0\0\0\x20\0\0\0\0\0\0\0", 32);
}

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  std::map<std::string, std::string> inputs;
  int status;
  std::string out;
  std::string err;
  std::map<std::string, std::string> outputs;  // files expected afterwards
};

std::string LongName(size_t length) {
  return std::string(length, 'n');
}

std::vector<CliCase> Cases() {
  const std::string missingDlf = "quorlith: You need to specify dlf file name when packing\n";
  const std::string missingQpk = "quorlith: You need to specify qpk file name when unpacking\n";
  return {
      {"NoArguments", {}, {}, 1, "", missingDlf + USAGE, {}},
      {"HelpWinsOverMissingNames", {"-h"}, {}, 0, "", USAGE, {}},
      {"HelpStopsTheScan", {"-hV"}, {}, 0, "", USAGE, {}},
      {"Version", {"-V"}, {}, 0, "", "quorlith dlf/dvdroot packager ver.1.2\n", {}},
      {"VersionStopsTheScan", {"-uVh"}, {}, 0, "", "quorlith dlf/dvdroot packager ver.1.2\n", {}},
      {"LowerCaseVIsVerboseNotVersion", {"-v"}, {}, 1, "", missingDlf + USAGE, {}},
      {"UnpackWithoutQpkName", {"-u"}, {}, 1, "", missingQpk + USAGE, {}},
      {"ScanEndsAtFirstWordWithoutDash", {"a.qpk", "-u"}, {}, 1, "", missingDlf + USAGE, {}},
      {"TooManyWords", {"-d", "x.dlf", "a.qpk", "b.qpk"}, {}, 1, "", USAGE, {}},
      {"ValueLetterWithoutWord",
       {"-d"},
       {},
       1,
       "",
       "quorlith: Option -d needs a value\n" + std::string(USAGE),
       {}},
      {"ValueLetterWithoutWordInCombinedWord",
       {"-ve"},
       {},
       1,
       "",
       "quorlith: Option -e needs a value\n" + std::string(USAGE),
       {}},
      {"UnknownLetterIgnored",
       {"-x", "-d", "x.dlf"},
       {{"x.dlf", EMPTY_DLF}},
       0,
       "",
       "",
       {{"x.qpk", EmptyQpk()}}},
      {"DoubleDashIsAWordWithoutOptions",
       {"--", "-d", "x.dlf"},
       {{"x.dlf", EMPTY_DLF}},
       0,
       "",
       "",
       {{"x.qpk", EmptyQpk()}}},
      {"LoneDashPassedOver",
       {"-", "-d", "x.dlf", "out.qpk"},
       {{"x.dlf", EMPTY_DLF}},
       0,
       "",
       "",
       {{"out.qpk", EmptyQpk()}}},
      {"NameWithoutDotGetsQpkAppended",
       {"-d", "layout"},
       {{"layout", EMPTY_DLF}},
       0,
       "",
       "",
       {{"layout.qpk", EmptyQpk()}}},
      {"LastDotMayBeInAFolderName",
       {"-d", "./layout"},
       {{"layout", EMPTY_DLF}},
       0,
       "",
       "",
       {{".qpk", EmptyQpk()}}},
      {"ValueLettersTakeWordsInOrder",
       {"-de", "a.dlf", "out"},
       {{"a.dlf", EMPTY_DLF}},
       0,
       "",
       "",
       {{"a.qpk", EmptyQpk()}}},
      {"RepeatedValueLetterOverwrites",
       {"-d", "a.dlf", "-d", "b.dlf"},
       {{"b.dlf", EMPTY_DLF}},
       0,
       "",
       "",
       {{"b.qpk", EmptyQpk()}}},
      {"ExplicitQpkName",
       {"-d", "layout.dlf", "pack.qpk"},
       {{"layout.dlf", EMPTY_DLF}},
       0,
       "",
       "",
       {{"pack.qpk", EmptyQpk()}}},
      {"VerboseNamesAndTraces",
       {"-dv", "layout.dlf"},
       {{"layout.dlf", EMPTY_DLF}},
       0,
       "",
       "suffix: layout\n"
       "dlf         : layout.dlf\n"
       "out         : layout.qpk\n"
       "qcf         : \n",
       {{"layout.qpk", EmptyQpk()}}},
      {"OptionValueTooLong",
       {"-d", LongName(260)},
       {},
       1,
       "",
       "quorlith: Name is longer than 259 characters: " + LongName(260) + "\n",
       {}},
      {"DerivedQpkNameTooLong",
       {"-d", LongName(257)},
       {},
       1,
       "",
       "quorlith: Name is longer than 259 characters: " + LongName(257) + ".qpk\n",
       {}},
      // Quotes, blanks and backslashes reach the program unchanged, whatever
      // the host does to pass a command line.
      {"ArgumentsArriveByteForByte",
       {"-d", "x.dlf", "no \"such\" dir\\/q \\\\"},
       {},
       1,
       "",
       "quorlith: Cannot open file no \"such\" dir\\/q \\\\!\n",
       {}},
      {"QpkNameThatIsTheDlfFileIsRefused",
       {"-d", "same.qpk", "./same.qpk"},
       {{"same.qpk", EMPTY_DLF}},
       1,
       "",
       "quorlith: The qpk file ./same.qpk is the dlf file itself; it would be overwritten\n",
       {{"same.qpk", EMPTY_DLF}}},
  };
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CliCase& c, std::ostream* os) {
  *os << c.name;
}

class CliTest : public testing::TestWithParam<CliCase> {};

TEST_P(CliTest, MatchesGoldenOutput) {
  const CliCase& c = GetParam();
  TempDir dir;
  for (const auto& input : c.inputs) WriteFileBytes(dir.Path(input.first), input.second);
  RunResult result = RunQuorlithBinary(c.args, dir.path());
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
  for (const auto& output : c.outputs) {
    ASSERT_TRUE(FileExists(dir.Path(output.first))) << output.first;
    EXPECT_EQ(ReadFileBytes(dir.Path(output.first)), output.second) << output.first;
  }
  if (c.status != 0 && c.outputs.empty()) {
    // A refused command line leaves the directory as it was.
    EXPECT_EQ(ListTree(dir.path()).size(), c.inputs.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Golden, CliTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<CliCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
