// Pack mode never damages a file it was not asked to write: the qpk file is
// written under a temporary name and renamed into place only when complete,
// every input is checked before that, and only regular files are packed.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include "tests/support/disc_builder.h"
#include "tests/support/test_env.h"
#include "tests/support/tree_snapshot.h"

namespace fs = std::filesystem;

namespace {

const char LISTING[] = "v2.00\nQTX_CONFIG_FILE,\"c.cfg\"\n0,\"ok.bin\"\n0x10,\"two.bin\"\n";

// A folder with a dlf file, its inputs and the qpk file of a pack before.
void WriteDisc(const TempDir& dir) {
  WriteFileBytes(dir.Path("a.dlf"), LISTING);
  WriteFileBytes(dir.Path("c.cfg"), "CFG");
  WriteFileBytes(dir.Path("ok.bin"), "ok");
  WriteFileBytes(dir.Path("two.bin"), "two");
  WriteFileBytes(dir.Path("old.qpk"), "an older qpk file");
}

struct Refusal {
  const char* name;
  std::vector<std::string> args;
  std::string err;
};

void PrintTo(const Refusal& c, std::ostream* os) {
  *os << c.name;
}

class QpkPathNamesAnInputTest : public testing::TestWithParam<Refusal> {};

// The refusal comes before anything in the folder changes: every input
// stays byte for byte, and no temporary file is left.
TEST_P(QpkPathNamesAnInputTest, IsRefusedAndEveryFileStaysAsItWas) {
  TempDir dir;
  WriteDisc(dir);
  std::error_code ignored;
  fs::create_hard_link(dir.Path("ok.bin"), dir.Path("hard.bin"), ignored);
#if !defined(_WIN32)
  fs::create_symlink("ok.bin", dir.Path("soft.bin"));
#endif
  std::map<std::string, std::string> before = SnapshotTree(dir.path());
  RunResult result = RunQuorlithBinary(GetParam().args, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, GetParam().err);
  EXPECT_EQ(SnapshotTree(dir.path()), before);
}

std::vector<Refusal> QpkPathRefusals() {
  std::vector<Refusal> cases = {
      // The two names swapped: the dlf file given as the qpk path.
      {"SwappedNames",
       {"-d", "old.qpk", "a.dlf"},
       "quorlith: Error: Unsupported version of dlf (an older qpk file)\n"
       "quorlith: Error: Only v2.00 is supported\n"},
      {"ListedFile",
       {"-d", "a.dlf", "ok.bin"},
       "quorlith: File ok.bin is the qpk file being written\n"},
      {"ConfigurationFile",
       {"-d", "a.dlf", "c.cfg"},
       "quorlith: File c.cfg is the qpk file being written\n"},
      {"HardLinkToAListedFile",
       {"-d", "a.dlf", "hard.bin"},
       "quorlith: File ok.bin is the qpk file being written\n"},
  };
#if !defined(_WIN32)
  cases.push_back({"SymbolicLinkToAListedFile",
                   {"-d", "a.dlf", "soft.bin"},
                   "quorlith: File ok.bin is the qpk file being written\n"});
#endif
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, QpkPathNamesAnInputTest, testing::ValuesIn(QpkPathRefusals()),
                         [](const testing::TestParamInfo<Refusal>& info) {
                           return std::string(info.param.name);
                         });

struct BadInput {
  const char* name;
  std::string dlf;
  std::vector<std::string> args;
  std::string err;
};

void PrintTo(const BadInput& c, std::ostream* os) {
  *os << c.name;
}

class BadInputTest : public testing::TestWithParam<BadInput> {};

// Refused with its own message, without waiting on a FIFO, leaving the
// folder as it was: no qpk file where there was none, the older one kept.
TEST_P(BadInputTest, IsRefusedWithoutWaitingAndNothingChanges) {
  TempDir dir;
  WriteDisc(dir);
  WriteFileBytes(dir.Path("b.dlf"), GetParam().dlf);
  fs::create_directories(dir.Path("folder/inner"));
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
#endif
  std::map<std::string, std::string> before = SnapshotTree(dir.path());
  RunResult result = RunQuorlithBinary(GetParam().args, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, GetParam().err);
  EXPECT_EQ(SnapshotTree(dir.path()), before);
}

const char NO_CONFIG[] = "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"ok.bin\"\n";

#if defined(_WIN32)
const char DEVICE[] = "NUL";
#else
const char DEVICE[] = "/dev/zero";
#endif

std::string WithConfig(const std::string& name) {
  return "v2.00\nQTX_CONFIG_FILE,\"" + name + "\"\n0,\"ok.bin\"\n";
}

std::string WithListed(const std::string& name) {
  return std::string(NO_CONFIG) + "4,\"" + name + "\"\n";
}

std::vector<BadInput> BadInputs() {
  std::vector<BadInput> cases = {
      BadInput{"MissingListedFile",
               WithListed("gone.bin"),
               {"-d", "b.dlf", "old.qpk"},
               "quorlith: Cannot open file gone.bin!\n"},
      BadInput{"MissingListedFileNoOlderQpk",
               WithListed("gone.bin"),
               {"-d", "b.dlf", "new.qpk"},
               "quorlith: Cannot open file gone.bin!\n"},
      BadInput{"MissingConfigurationFile",
               WithConfig("gone.cfg"),
               {"-d", "b.dlf", "old.qpk"},
               "quorlith: Cannot open file gone.cfg!\n"},
      BadInput{"DirectoryAsListedFile",
               WithListed("folder"),
               {"-d", "b.dlf", "old.qpk"},
               "quorlith: Cannot open file folder!\n"},
      BadInput{"DirectoryAsConfigurationFile",
               WithConfig("folder"),
               {"-d", "b.dlf", "new.qpk"},
               "quorlith: Cannot open file folder!\n"},
      BadInput{"DirectoryAsQpkPath",
               NO_CONFIG,
               {"-d", "b.dlf", "folder"},
               "quorlith: Cannot open file folder!\n"},
      BadInput{"QpkPathEndingInASeparator",
               NO_CONFIG,
               {"-d", "b.dlf", "folder/"},
               "quorlith: Cannot open file folder/!\n"},
      BadInput{"QpkFolderMissing",
               NO_CONFIG,
               {"-d", "b.dlf", "none/x.qpk"},
               "quorlith: Cannot open file none/x.qpk!\n"},
      BadInput{"DeviceAsListedFile",
               WithListed(DEVICE),
               {"-d", "b.dlf", "old.qpk"},
               std::string("quorlith: ") + DEVICE + " is not a regular file\n"},
      BadInput{"DeviceAsConfigurationFile",
               WithConfig(DEVICE),
               {"-d", "b.dlf", "new.qpk"},
               std::string("quorlith: ") + DEVICE + " is not a regular file\n"},
  };
#if !defined(_WIN32)
  std::vector<BadInput> fifos = {
      BadInput{"FifoAsListedFile",
               WithListed("fifo"),
               {"-d", "b.dlf", "old.qpk"},
               "quorlith: fifo is not a regular file\n"},
      BadInput{"FifoAsConfigurationFile",
               WithConfig("fifo"),
               {"-d", "b.dlf", "new.qpk"},
               "quorlith: fifo is not a regular file\n"},
  };
  cases.insert(cases.end(), fifos.begin(), fifos.end());
#endif
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInputTest, testing::ValuesIn(BadInputs()),
                         [](const testing::TestParamInfo<BadInput>& info) {
                           return std::string(info.param.name);
                         });

// A repack replaces the older qpk file whole; the bytes are those a first
// pack writes.
TEST(PackOutputTest, RepackReplacesTheOlderQpkWithTheSameBytesAsAFirstPack) {
  TempDir dir;
  WriteDisc(dir);
  ASSERT_EQ(RunQuorlithBinary({"-d", "a.dlf", "new.qpk"}, dir.path()).status, 0);
  RunResult result = RunQuorlithBinary({"-d", "a.dlf", "old.qpk"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadFileBytes(dir.Path("old.qpk")), ReadFileBytes(dir.Path("new.qpk")));
  std::map<std::string, std::string> tree = SnapshotTree(dir.path());
  EXPECT_EQ(tree.size(), 6u);  // the five files of the disc and new.qpk: nothing else
}

// With the qpk path a full 259 characters and a one-letter name, the
// temporary file still fits beside it: its name is one letter too.
TEST(PackOutputTest, TemporaryNameFitsWhereTheQpkPathJustFits) {
  TempDir dir;
  WriteDisc(dir);
  std::string folder = dir.path();
  while (folder.size() + 2 < 259) folder += folder.size() % 50 == 0 ? "/" : "f";
  folder.resize(257, 'f');
  ASSERT_NE(folder.back(), '/');
  fs::create_directories(folder);
  RunResult result = RunQuorlithBinary({"-d", "a.dlf", folder + "/q"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(RunQuorlithBinary({"-d", "a.dlf", "new.qpk"}, dir.path()).status, 0);
  EXPECT_EQ(ReadFileBytes(folder + "/q"), ReadFileBytes(dir.Path("new.qpk")));
  EXPECT_EQ(ListTree(folder), std::vector<std::string>{"q"});
}

#if defined(_WIN32)

// Windows splits a path at its last separator of either kind: "a/b\c.dlf"
// lies in a/b, and the files it lists are read from there, not from a.
TEST(PackOutputTest, DlfFolderEndsAtTheLastSeparatorOfEitherKind) {
  TempDir dir;
  WriteFileBytes(dir.Path("a/b/c.dlf"), "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"f.bin\"\n");
  WriteFileBytes(dir.Path("a/b/f.bin"), "RIGHT");
  WriteFileBytes(dir.Path("a/f.bin"), "WRONG");
  RunResult result = RunQuorlithBinary({"-d", "a/b\\c.dlf", "out.qpk"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  std::string qpk = ReadFileBytes(dir.Path("out.qpk"));
  EXPECT_EQ(qpk.substr(qpk.size() - 5), "RIGHT");
}

// The device NUL as the qpk path is written in place: the pack completes
// and nothing appears in the folder.
TEST(PackOutputTest, DeviceAsQpkPathIsWrittenInPlace) {
  TempDir dir;
  WriteDisc(dir);
  std::map<std::string, std::string> before = SnapshotTree(dir.path());
  RunResult result = RunQuorlithBinary({"-d", "a.dlf", "NUL"}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(SnapshotTree(dir.path()), before);
}

#else

// A qpk path that names a FIFO or a device is written in place and stays
// what it is: renaming over it would replace the device itself. A FIFO
// takes no positioned writes, so the run fails, and the FIFO is still
// there.
TEST(PackOutputTest, FifoAsQpkPathIsWrittenInPlaceNotReplaced) {
  TempDir dir;
  WriteDisc(dir);
  ASSERT_EQ(mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  std::map<std::string, std::string> before = SnapshotTree(dir.path());
  RunResult result = RunQuorlithBinary({"-d", "a.dlf", "pipe"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("quorlith: Error occurred when writing the output file.\n", 0), 0u)
      << result.err;
  EXPECT_EQ(SnapshotTree(dir.path()), before);
}

// The new file keeps the permission bits of the one it replaces, and a
// symbolic link is replaced through: the link stays, its target is new.
TEST(PackOutputTest, ReplacementKeepsPermissionsAndSymbolicLinks) {
  TempDir dir;
  WriteDisc(dir);
  ASSERT_EQ(RunQuorlithBinary({"-d", "a.dlf", "new.qpk"}, dir.path()).status, 0);
  ASSERT_EQ(chmod(dir.Path("old.qpk").c_str(), 0640), 0);
  fs::create_directories(dir.Path("links"));
  fs::create_symlink("../old.qpk", dir.Path("links/via.qpk"));
  RunResult result = RunQuorlithBinary({"-d", "a.dlf", "links/via.qpk"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(fs::is_symlink(dir.Path("links/via.qpk")));
  EXPECT_EQ(ReadFileBytes(dir.Path("old.qpk")), ReadFileBytes(dir.Path("new.qpk")));
  struct stat st;
  ASSERT_EQ(stat(dir.Path("old.qpk").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(SnapshotTree(dir.Path("links")).size(), 1u);
}

// Killed after its first file, the run leaves the qpk path untouched and
// at most a temporary file that Unpack mode refuses.
TEST(PackOutputTest, RunKilledAfterItsFirstFileLeavesTheQpkPathUntouched) {
  TempDir dir;
  WriteDisc(dir);
  // Thousands of placeholder lines after the first file: with -v their
  // traces fill the pipe, which is no longer read once the first file is
  // copied, so the run cannot end before it is killed.
  std::string dlf = "v2.00\nQTX_CONFIG_FILE,\"\"\n0,\"ok.bin\"\n";
  for (int i = 0; i < 5000; ++i) dlf += "0x10,\"\"\n";
  WriteFileBytes(dir.Path("a.dlf"), dlf);
  std::map<std::string, std::string> before = SnapshotTree(dir.path());

  int err[2];
  ASSERT_EQ(pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string binary = QUORLITH_BINARY;
  std::string dlfPath = dir.Path("a.dlf");
  std::string qpkPath = dir.Path("old.qpk");
  std::vector<char*> argv = {
      &binary[0], const_cast<char*>("-v"), const_cast<char*>("-d"), &dlfPath[0], &qpkPath[0],
      nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);
  // The trace of the first file's copy ends with its "current dst" line.
  std::string seen;
  auto firstFileCopied = [&seen] {
    size_t traced = seen.find("name ok.bin, offset 0x0000000000000000\n");
    return traced != std::string::npos &&
           seen.find("current dst seek off", traced) != std::string::npos;
  };
  char chunk[4096];
  while (!firstFileCopied()) {
    ssize_t got = read(err[0], chunk, sizeof chunk);
    ASSERT_GT(got, 0) << seen.substr(seen.size() > 500 ? seen.size() - 500 : 0);
    seen.append(chunk, static_cast<size_t>(got));
  }
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(err[0]);
  EXPECT_TRUE(WIFSIGNALED(status));

  std::map<std::string, std::string> after = SnapshotTree(dir.path());
  std::vector<std::string> extra;
  for (const auto& item : after) {
    if (before.count(item.first) == 0) extra.push_back(item.first);
  }
  for (const auto& item : before) EXPECT_EQ(after[item.first], item.second) << item.first;
  ASSERT_LE(extra.size(), 1u);
  for (const std::string& name : extra) {
    EXPECT_EQ(after[name].substr(0, 4), std::string(4, '\0'));
    RunResult unpack = RunQuorlithBinary({"-u", "-e", "x", name}, dir.path());
    EXPECT_EQ(unpack.status, 1);
    EXPECT_EQ(unpack.err, "quorlith: Specified file is not a qpk file\n");
  }
}

#endif

}  // namespace
