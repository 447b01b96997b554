#include "dlf/dlf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"
#include "tests/support/library_test.h"

namespace {

namespace fs = std::filesystem;

using Entries = std::vector<std::pair<uint64_t, std::string>>;

const std::string HEADER = "v2.00\nQTX_CONFIG_FILE,\"cfg.bin\"\n";

class DlfTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    std::random_device seed;
    do {
      dir_ = fs::temp_directory_path() / ("quorlith_dlf_" + std::to_string(seed()));
    } while (!fs::create_directory(dir_));
  }

  void TearDown() override {
    fs::remove_all(dir_);
    LibraryTest::TearDown();
  }

  std::string WriteDlf(const std::string& text) {
    std::string path = (dir_ / "layout.dlf").string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  Entries Parse(const std::string& text) {
    DlfList* list = ParseDlf(WriteDlf(text).c_str(), nullptr, verbose_);
    configName_ = list->configName;
    Entries entries;
    for (DlfEntry* entry = list->first; entry != nullptr; entry = entry->next) {
      entries.emplace_back(entry->discOffset, entry->name);
    }
    EXPECT_EQ(list->count, static_cast<int>(entries.size()));
    FreeDlfList(list);
    return entries;
  }

  // The bytes the writer produces for a list with these entries.
  std::string WrittenBy(const char* configName, const Entries& entries) {
    std::string path = (dir_ / "written.dlf").string();
    FILE* dlf = std::fopen(path.c_str(), "wb");
    EXPECT_NE(dlf, nullptr);
    if (dlf == nullptr) return "";
    WriteDlfVersionLine(dlf);
    WriteDlfConfigLine(dlf, configName);
    for (const auto& entry : entries) WriteDlfEntryLine(dlf, entry.first, entry.second.c_str());
    EXPECT_EQ(std::fclose(dlf), 0);
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The messages of a run that must fail; the guards must release everything.
  std::string FailureOf(const std::string& text) {
    std::string path = WriteDlf(text);
    testing::internal::CaptureStderr();
    EXPECT_THROW(ParseDlf(path.c_str()), FatalExit);
    return testing::internal::GetCapturedStderr();
  }

  fs::path dir_;
  bool verbose_ = false;
  std::string configName_;
};

TEST_F(DlfTest, EveryLineEndFormGivesTheSameList) {
  const std::string cases[] = {
      "v2.00\nQTX_CONFIG_FILE,\"cfg.bin\"\n0x10,\"a.bin\"\n0x20,\"b c.bin\"\n",
      "v2.00\r\nQTX_CONFIG_FILE,\"cfg.bin\"\r\n0x10,\"a.bin\"\r\n0x20,\"b c.bin\"\r\n",
      "v2.00\rQTX_CONFIG_FILE,\"cfg.bin\"\r0x10,\"a.bin\"\r0x20,\"b c.bin\"\r",
      "v2.00\nQTX_CONFIG_FILE,\"cfg.bin\"\n0x10,\"a.bin\"\n0x20,\"b c.bin\"",
      "\n\r\n\r"
      "v2.00\n\n\r\r"
      "QTX_CONFIG_FILE,\"cfg.bin\"\r\n\r\n"
      "0x10,\"a.bin\"\n\r"
      "0x20,\"b c.bin\"\n\n\r",
      // A NUL byte ends the text.
      "v2.00\nQTX_CONFIG_FILE,\"cfg.bin\"\n0x10,\"a.bin\"\n0x20,\"b c.bin\"\n" +
          std::string(1, '\0') + "0x30,\"junk\"\n",
  };
  const Entries expected = {{0x10, "a.bin"}, {0x20, "b c.bin"}};
  for (const std::string& text : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    configName_.clear();
    EXPECT_EQ(Parse(text), expected);
    EXPECT_EQ(configName_, "cfg.bin");
  }
}

TEST_F(DlfTest, OffsetFieldReadsLikeTheUnsigned64BitHexConversion) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"0x10", 0x10},
      {"10", 0x10},
      {"0X10", 0x10},
      {"   0x10", 0x10},
      {"\t+0x10", 0x10},
      {"0x10 ", 0x10},
      {"", 0},
      {"zz", 0},
      {"0x", 0},
      {"0x1g", 1},
      {"123456789", 0x123456789},
      {"0xfedcba9876543210", 0xfedcba9876543210},
      {"FFFFFFFFFFFFFFFF", UINT64_MAX},
  };
  std::string text = HEADER;
  Entries expected;
  for (const auto& c : cases) {
    text += std::string(c.first) + ",\"" + c.first + "\"\n";
    expected.emplace_back(c.second, c.first);
  }
  EXPECT_EQ(Parse(text), expected);
}

TEST_F(DlfTest, NamesAreTheTextBetweenTheQuotes) {
  std::string longestLine = "1,\"" + std::string(DLF_LINE_CAPACITY - 1 - 4, 'n') + "\"";
  std::string longestConfig(PATH_CAPACITY - 1, 'c');
  std::string text = "v2.00\nQTX_CONFIG_FILE,\"" + longestConfig + "\" ignored, \"x\"\n" +
                     "1,\"a,b\"\n"
                     "2,\"dir/c.bin\" trailing \"text\", 3\n"
                     "3,\"\"\n" +
                     longestLine + "\n";
  Entries expected = {
      {1, "a,b"}, {2, "dir/c.bin"}, {3, ""}, {1, longestLine.substr(3, longestLine.size() - 4)}};
  EXPECT_EQ(Parse(text), expected);
  EXPECT_EQ(configName_, longestConfig);
}

TEST_F(DlfTest, HeaderOnlyGivesAnEmptyListAndAnEmptyConfigName) {
  DlfList* list = ParseDlf(WriteDlf("v2.00\nQTX_CONFIG_FILE,\"\"\n").c_str());
  EXPECT_EQ(list->first, nullptr);
  EXPECT_EQ(list->count, 0);
  EXPECT_STREQ(list->configName, "");
  FreeDlfList(list);
}

TEST_F(DlfTest, WrittenFormReadsBackToTheSameOffsetAndName) {
  const Entries written = {
      {0, "config0"},          {0xffffffff, "dvdroot/a,b.bin"}, {0x100000000, ""},
      {UINT64_MAX, "system0"}, {0xfedcba9876543210, "x y"},
  };
  std::string text = WrittenBy("config0", written);
  EXPECT_EQ(Parse(text), written);
}

TEST_F(DlfTest, WriterGivesTheExactWrittenForm) {
  EXPECT_EQ(WrittenBy("cfg.bin", {{0, "config0"},
                                  {0xffffffff, "dvdroot/a b.bin"},
                                  {0x100000000, ""},
                                  {UINT64_MAX, "system0"}}),
            "v2.00\n"
            "QTX_CONFIG_FILE,\"cfg.bin\"\n"
            "0x0000000000000000,\"config0\"\n"
            "0x00000000ffffffff,\"dvdroot/a b.bin\"\n"
            "0x0000000100000000,\"\"\n"
            "0xffffffffffffffff,\"system0\"\n");
}

TEST_F(DlfTest, VerboseModeTracesConfigNameAndEveryEntry) {
  verbose_ = true;
  testing::internal::CaptureStderr();
  Parse("v2.00\nQTX_CONFIG_FILE,\"cfg.bin\"\n10,\"a.bin\"\n1ffffffff,\"\"\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qcf         : cfg.bin\n"
            "name: a.bin, offset: 0x0000000000000010\n"
            "name: , offset: 0x00000001ffffffff\n");
}

TEST_F(DlfTest, EachFaultStopsWithItsMessage) {
  const std::string version =
      "quorlith: Error: Unsupported version of dlf (%s)\nquorlith: Error: Only v2.00 is "
      "supported\n";
  auto versionOf = [&](const std::string& line) {
    return version.substr(0, version.find("%s")) + line + version.substr(version.find("%s") + 2);
  };
  const std::string qcf = "quorlith: Wrong dlf file format, qcf difinition is wrong\n";
  const std::string fileName = "quorlith: Wrong dlf file format, filename is wrong\n";
  const std::string offset = "quorlith: Wrong dlf file format, offset is wrong\n";
  const std::string tooLong = std::string(DLF_LINE_CAPACITY, '1');
  const std::pair<std::string, std::string> cases[] = {
      {"", versionOf("")},
      {"\r\n\n", versionOf("")},
      {"v2.00 \n", versionOf("v2.00 ")},
      {"V2.00\n", versionOf("V2.00")},
      {"v2.00", qcf},
      {"v2.00\nQTX_CONFIG_FILE\"cfg\"\n", qcf},
      {"v2.00\nQTX_CONFIG_FILEX,\"cfg\"\n", qcf},
      {"v2.00\n QTX_CONFIG_FILE,\"cfg\"\n", qcf},
      {"v2.00\nQTX_CONFIG_FILE,cfg\"\n", fileName},
      {"v2.00\nQTX_CONFIG_FILE, \"cfg\"\n", fileName},
      {"v2.00\nQTX_CONFIG_FILE,\"cfg\n", fileName},
      {HEADER + "0x10\"a\"\n", offset},
      {HEADER + "0x10,a\n", fileName},
      {HEADER + "0x10,\"a\n", fileName},
      {HEADER + "0x10,\"a\"\n0x20,\"b\"\n0x30;\"c\"\n", offset},
      {HEADER + "0x10,\"a\"\n" + tooLong + "\n",
       "quorlith: Wrong dlf file format, line is longer than 1023 characters\n"},
      {"v2.00\nQTX_CONFIG_FILE,\"" + std::string(PATH_CAPACITY, 'c') + "\"\n",
       "quorlith: Wrong dlf file format, configuration file name is longer than 259 "
       "characters\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.first));
    EXPECT_EQ(FailureOf(c.first), c.second);
  }
}

TEST_F(DlfTest, FaultsEndTheProcessWithStatusOne) {
  SetFatalThrows(false);
  std::string missing = (dir_ / "missing.dlf").string();
  EXPECT_EXIT(ParseDlf(missing.c_str()), testing::ExitedWithCode(1),
              "^open: No such file or directory\n$");
  std::string path = WriteDlf(HEADER + "0x10\n");
  EXPECT_EXIT(ParseDlf(path.c_str()), testing::ExitedWithCode(1),
              "^quorlith: Wrong dlf file format, offset is wrong\n$");
}

// The lowest free descriptor number; it changes when a failed read leaves one open.
int NextFreeDescriptor(const std::string& path) {
  int fd = HostCrtOpenRead(path.c_str());
  HostCrtClose(fd);
  return fd;
}

TEST_F(DlfTest, FileOf2GiBIsRefusedWithoutReadingItAndClosed) {
  std::string path = WriteDlf("");
  fs::resize_file(path, uint64_t(1) << 31);  // sparse: nothing is written
  testing::internal::CaptureStderr();        // holds descriptors of its own until released
  int freeBefore = NextFreeDescriptor(path);
  EXPECT_THROW(ReadWholeFile(path.c_str()), FatalExit);
  int freeAfter = NextFreeDescriptor(path);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorlith: dlf file " + path + " is too large, it must be smaller than 2 GiB\n");
  EXPECT_EQ(freeAfter, freeBefore);
}

TEST_F(DlfTest, ReadWholeFileKeepsEveryByteAndAddsANul) {
  const std::string bytes("a\0b\r\n\xff", 6);
  char* text = ReadWholeFile(WriteDlf(bytes).c_str());
  EXPECT_EQ(std::string(text, bytes.size() + 1), bytes + '\0');
  std::free(text);
}

TEST_F(DlfTest, ReadLineAtTheEndLeavesTheBufferAsItWas) {
  char line[DLF_LINE_CAPACITY];
  BeginLines("one\r\r\ntwo\n\r");
  ASSERT_TRUE(ReadLine(line));
  EXPECT_STREQ(line, "one");
  ASSERT_TRUE(ReadLine(line));
  EXPECT_STREQ(line, "two");
  EXPECT_FALSE(ReadLine(line));
  EXPECT_STREQ(line, "two");
  BeginLines("\r\n\n\r");
  EXPECT_FALSE(ReadLine(line));
  EXPECT_STREQ(line, "two");
}

// The file is read in chunks of 64 KiB: lines, line ends and the NUL that
// ends the text fall on every side of a chunk's edge, and the entries are
// those of the lines written.
TEST_F(DlfTest, LinesAcrossChunkEdgesParseAsWritten) {
  std::mt19937 random(7);
  const char* const ends[] = {"\n", "\r\n", "\r", "\n\n", "\r\n\r\n"};
  std::string text = "v2.00\r\nQTX_CONFIG_FILE,\"cfg.bin\"\n";
  Entries expected;
  for (uint64_t i = 0; text.size() < 300 * 1024; ++i) {
    // Names of up to a full line: "0x" and 16 digits, ',', quotes, name.
    std::string name(random() % (DLF_LINE_CAPACITY - 22), 'a' + static_cast<char>(i % 26));
    char offset[32];
    std::snprintf(offset, sizeof offset, "0x%016llx", static_cast<unsigned long long>(i));
    text += std::string(offset) + ",\"" + name + "\"" + ends[random() % 5];
    expected.emplace_back(i, name);
  }
  EXPECT_EQ(Parse(text), expected);
  // A NUL past the first chunk ends the text there.
  size_t cut = text.find('\n', 100 * 1024) + 1;
  Entries before = Parse(text.substr(0, cut));
  EXPECT_EQ(Parse(text.substr(0, cut) + '\0' + text.substr(cut)), before);
  // A line too long is refused wherever it lies.
  std::string tooLong = text.substr(0, cut - 1) + std::string(DLF_LINE_CAPACITY, 'x') + "\n";
  EXPECT_EQ(FailureOf(tooLong),
            "quorlith: Wrong dlf file format, line is longer than 1023 characters\n");
}

uint64_t countSeen = 0;
void RecordCount(uint64_t count) {
  countSeen = count;
}
void RefuseCount(uint64_t count) {
  Fail("refused %llu\n", static_cast<unsigned long long>(count));
}

// The caller hears the number of entry lines (blank ones not counted)
// before any entry is read: a refusal comes before a faulty line.
TEST_F(DlfTest, EntryCountComesBeforeAnyEntryIsRead) {
  std::string path = WriteDlf(HEADER + "1,\"a\"\n\n\r\n2,\"\"\r3,\"c\"\n");
  DlfList* list = ParseDlf(path.c_str(), RecordCount);
  EXPECT_EQ(countSeen, 3u);
  EXPECT_EQ(list->count, 3);
  FreeDlfList(list);
  path = WriteDlf(HEADER + "1,\"a\"\nno comma\n");
  testing::internal::CaptureStderr();
  EXPECT_THROW(ParseDlf(path.c_str(), RefuseCount), FatalExit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "refused 2\n");
}

}  // namespace
