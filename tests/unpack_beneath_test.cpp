// Unpack mode stays beneath its extraction directory whatever another
// process does there meanwhile, and reports every folder it cannot make:
// a folder swapped for a link during the run, a link where the dlf file
// goes, an empty directory that cannot be made, and the names and paths
// whose handling the host decides.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "app/options.h"
#include "fileio/fileio.h"
#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"
#include "tests/support/test_env.h"

namespace {

// Packs `disc` with the real executable into dir/in.qpk.
void PackInto(const TempDir& dir, const DiscBuilder& disc) {
  disc.Write(dir.Path("disc"), "layout.dlf");
  RunResult packed = RunQuorlithBinary({"-d", "disc/layout.dlf", "in.qpk"}, dir.path());
  ASSERT_EQ(packed.status, 0) << packed.err;
}

RunResult UnpackInto(const TempDir& dir, const std::string& out, bool verbose = false) {
  std::vector<std::string> args = {"-u"};
  if (verbose) args.push_back("-v");
  args.insert(args.end(), {"-e", out, "in.qpk"});
  return RunQuorlithBinary(args, dir.path());
}

// A disc whose table is `tree`, with two stored 4-byte files, at 0x2000
// and then at 0x2004, that the table may name.
DiscBuilder DiscWithTable(const FstTree& tree) {
  DiscBuilder disc(0x1000);
  disc.AddFile("/first", 0x2000, "DATA");
  disc.AddFile("/second", 0x2004, "ATAD");
  disc.OverrideTable(BuildFstTable(tree));
  return disc;
}

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

#if !defined(_WIN32)

const int RACE_FOLDERS = 3;
const int RACE_FILES_PER_FOLDER = 250;
const int RACE_TRIES = 4;

// Replaces `target` by a link to `outside` in one step where the kernel
// can (no moment without either), keeping the real folder inside the
// extraction directory as `aside`.
void SwapForLink(const std::string& target, const std::string& aside, const std::string& outside) {
  if (symlink(outside.c_str(), aside.c_str()) != 0) return;
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  if (renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) return;
#endif
  unlink(aside.c_str());
  if (rename(target.c_str(), aside.c_str()) == 0) symlink(outside.c_str(), target.c_str());
}

// Swaps each folder it finds for a link to `outside`, as a local user with
// write access to the tree could. Runs until killed.
[[noreturn]] void SwapFoldersForLinks(const std::string& out, const std::string& outside,
                                      int attempt) {
  usleep(static_cast<useconds_t>(attempt * 3000));
  std::vector<std::string> targets;
  if (attempt % 2 == 1) targets.push_back(out + "/dvdroot");
  for (int f = 0; f < RACE_FOLDERS; ++f) targets.push_back(out + "/dvdroot/d" + std::to_string(f));
  for (unsigned swap = 0;; ++swap) {
    for (const std::string& target : targets) {
      struct stat st;
      if (lstat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      SwapForLink(target, target + ".moved" + std::to_string(swap), outside);
    }
    usleep(20);  // leave the run a processor of its own on small machines
  }
}

TEST(UnpackBeneathTest, FolderSwappedForALinkDuringTheRunRedirectsNothing) {
  TempDir dir;
  DiscBuilder disc(0x1000);
  uint64_t offset = 0x10000;
  for (int f = 0; f < RACE_FOLDERS; ++f) {
    for (int i = 0; i < RACE_FILES_PER_FOLDER; ++i, offset += 16) {
      disc.AddFile("/d" + std::to_string(f) + "/f" + std::to_string(i), offset, "x");
    }
  }
  PackInto(dir, disc);
  std::filesystem::create_directory(dir.Path("elsewhere"));

  int swapped = 0;
  for (int attempt = 0; attempt < RACE_TRIES; ++attempt) {
    std::string out = "out" + std::to_string(attempt);
    pid_t attacker = fork();
    ASSERT_GE(attacker, 0);
    if (attacker == 0) SwapFoldersForLinks(dir.Path(out), dir.Path("elsewhere"), attempt);
    RunResult result = UnpackInto(dir, out);
    kill(attacker, SIGKILL);
    waitpid(attacker, nullptr, 0);
    if (result.status != 0) {
      EXPECT_NE(result.err.find(" is a symbolic link: nothing is created through it\n"),
                std::string::npos)
          << result.err;
    }
    for (const std::string& name : ListTree(dir.Path(out))) {
      if (name.find(".moved") != std::string::npos) {
        ++swapped;
        break;
      }
    }
  }
  // The whole temporary directory: the inputs, the extraction directories
  // (real folders moved aside and links included) and an empty folder
  // elsewhere.
  std::vector<std::string> strays;
  for (const std::string& name : ListTree(dir.path())) {
    bool expected = name == "in.qpk" || name == "elsewhere/" || StartsWith(name, "disc/") ||
                    StartsWith(name, "out");
    if (!expected) strays.push_back(name);
  }
  EXPECT_EQ(strays, std::vector<std::string>{});
  EXPECT_GT(swapped, 0) << "no try swapped a folder while the run went on";
}

// A link planted where the dlf file goes is neither followed nor replaced.
TEST(UnpackBeneathTest, LinkWhereTheDlfFileGoesIsRefusedAndLeftAlone) {
  TempDir dir;
  WriteFileBytes(dir.Path("victim"), "keep");
  std::filesystem::create_directory(dir.Path("out"));
  ASSERT_EQ(symlink(dir.Path("victim").c_str(), dir.Path("out/in.dlf").c_str()), 0);
  HostFolder folder = HOST_INVALID_FOLDER;
  ASSERT_EQ(HostOpenFolder(dir.Path("out").c_str(), &folder), HOST_FOLDER_OPENED);
  std::string path = dir.Path("out/in.dlf");

  ResetOptions();
  SetFatalThrows(true);
  testing::internal::CaptureStderr();
  bool ended = false;
  try {
    CreateNewStreamIn(folder, path.c_str(), "in.dlf");
  } catch (const FatalExit&) {
    ended = true;
  }
  std::string printed = testing::internal::GetCapturedStderr();
  SetFatalThrows(false);
  HostCloseFolder(folder);

  EXPECT_TRUE(ended);
  EXPECT_EQ(printed, "quorlith: Error occurred when opening file " + path +
                         "\nfopen: " + std::strerror(EEXIST) + "\n");
  EXPECT_EQ(ReadFileBytes(dir.Path("victim")), "keep");
}

// On a file system out of inodes the empty-directory pass stops at the
// first directory it cannot make. A mount namespace of its own gives the
// run a tiny file system; where it cannot be made the test is skipped.
TEST(UnpackBeneathTest, EmptyDirectoryOnAFileSystemOutOfInodesEndsTheRun) {
  TempDir dir;
  DiscBuilder disc(0x1000);
  for (int i = 0; i <= 100; ++i) disc.AddEmptyDirectory("/e" + std::to_string(i));
  PackInto(dir, disc);
  std::filesystem::create_directory(dir.Path("small"));
  std::string script =
      "mount -t tmpfs -o nr_inodes=64,size=1m none small || exit 77; cd small; "
      "exec " QUORLITH_BINARY " -u -e out ../in.qpk";
  RunResult result = RunProgram("/usr/bin/unshare", {"-m", "sh", "-c", script}, dir.path());
  if (result.status == 77 || (result.status != 0 && StartsWith(result.err, "unshare"))) {
    GTEST_SKIP() << "no mount namespace with a small file system here: " << result.err;
  }
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(StartsWith(result.err, "quorlith: Failed to create directory out/dvdroot/e"))
      << result.err;
  EXPECT_TRUE(result.err.size() > 16 &&
              result.err.compare(result.err.size() - 16, 16, "\nlast error: 28\n") == 0)
      << result.err;
}

// Only as long an extraction directory as leaves the empty-directory pass
// 1 byte: its own warning, then the conversion's refusal.
TEST(UnpackBeneathTest, TightExtractionDirectoryGetsTheTableModulesWarning) {
  TempDir dir;
  DiscBuilder disc(0x1000);
  disc.AddEmptyDirectory("/e");
  PackInto(dir, disc);
  std::string parent(200, 'p');
  std::filesystem::create_directory(dir.Path(parent));
  std::string out = parent + "/" + std::string(259 - 8 - 201, 'o');  // base: 259 characters
  RunResult result = UnpackInto(dir, out);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "DVDConvertEntrynumToPath: maxlen should be more than 1 (1 is specified)"
            "Path is too long\n");
}

#endif  // !_WIN32

struct FolderFailureCase {
  const char* label;
  std::function<FstTree()> tree;
  std::string err;  // the start of the message
};

void PrintTo(const FolderFailureCase& c, std::ostream* os) {
  *os << c.label;
}

// What stands in a folder's or a file's way ends the run naming it.
const FolderFailureCase FOLDER_FAILURES[] = {
    {"ExtractedFileWhereAnEmptyDirectoryGoes",
     [] {
       FstTree tree;
       AddFstFile(&tree, 0, "x", 0x2000 / 4, 4);
       AddFstDirectory(&tree, 0, "x");
       return tree;
     },
     "quorlith: Failed to create directory out/dvdroot/x\nlast error: "},
    {"ExtractedFileWhereAFolderGoes",
     [] {
       FstTree tree;
       AddFstFile(&tree, 0, "x", 0x2000 / 4, 4);
       uint32_t x = AddFstDirectory(&tree, 0, "x");
       AddFstFile(&tree, x, "f", 0x2004 / 4, 4);
       return tree;
     },
     "quorlith: Cannot open file out/dvdroot/x/f!\n"},
    {"ExtractedFileWhoseNameIsAFolder",
     [] {
       FstTree tree;
       uint32_t x = AddFstDirectory(&tree, 0, "x");
       AddFstFile(&tree, x, "f", 0x2000 / 4, 4);
       AddFstFile(&tree, 0, "x", 0x2004 / 4, 4);
       return tree;
     },
     "quorlith: Cannot open file out/dvdroot/x!\n"},
};

class UnpackFolderFailureTest : public testing::TestWithParam<FolderFailureCase> {};

TEST_P(UnpackFolderFailureTest, EndsTheRunNamingThePath) {
  TempDir dir;
  PackInto(dir, DiscWithTable(GetParam().tree()));
  RunResult result = UnpackInto(dir, "out");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(StartsWith(result.err, GetParam().err)) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Cases, UnpackFolderFailureTest, testing::ValuesIn(FOLDER_FAILURES),
                         [](const testing::TestParamInfo<FolderFailureCase>& info) {
                           return std::string(info.param.label);
                         });

// No dlf line names a directory, so only the host limits its name.
TEST(UnpackBeneathTest, EmptyDirectoryWithADoubleQuoteIsMadeWhereTheHostHoldsIt) {
  TempDir dir;
  DiscBuilder disc(0x1000);
  disc.AddEmptyDirectory("/say\"hi");
  PackInto(dir, disc);
  RunResult result = UnpackInto(dir, "out");
#if defined(_WIN32)
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "quorlith: Refusing to extract dvdroot/say\"hi/: the name holds a character that "
            "Windows file names cannot hold\n");
#else
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path("out/dvdroot/say\"hi")));
#endif
}

// A backslash separates on Win32: its folders are made and traced as for
// '/'. Elsewhere it is part of the name.
TEST(UnpackBeneathTest, BackslashInATableNameMakesFoldersOnlyWhereItSeparates) {
  FstTree tree;
  AddFstFile(&tree, 0, "dir\\sub.bin", 0x2000 / 4, 4);
  TempDir dir;
  PackInto(dir, DiscWithTable(tree));
  RunResult result = UnpackInto(dir, "out", true);
  ASSERT_EQ(result.status, 0) << result.err;
#if defined(_WIN32)
  EXPECT_EQ(ReadFileBytes(dir.Path("out/dvdroot/dir/sub.bin")), "DATA");
  EXPECT_NE(result.err.find("\n1\nout/\nout/dvdroot/\nout/dvdroot/dir\\\n"), std::string::npos)
      << result.err;
#else
  EXPECT_EQ(ReadFileBytes(dir.Path("out/dvdroot/dir\\sub.bin")), "DATA");
#endif
}

#if defined(_WIN32)
// The same table name is one file where 0x83 leads a double-byte character
// (code page 932) and a folder and a file where it does not (1252): the
// folders made and traced follow the host's own reading of the name.
TEST(UnpackBeneathTest, TrailByteBackslashSeparatesOnlyInASingleByteCodePage) {
  FstTree tree;
  AddFstFile(&tree, 0, "\x83\x5C.bin", 0x2000 / 4, 4);
  TempDir dir;
  PackInto(dir, DiscWithTable(tree));
  RunResult result = UnpackInto(dir, "out", true);
  ASSERT_EQ(result.status, 0) << result.err;
  bool folderTraced = result.err.find("\nout/dvdroot/\x83\\\n") != std::string::npos;
  EXPECT_EQ(folderTraced, !IsDBCSLeadByte(0x83)) << "code page " << GetACP() << "\n" << result.err;
  EXPECT_EQ(ReadFileBytes(dir.Path("out/dvdroot/\x83\x5C.bin")), "DATA");
}

// A trail byte 0x5C of a double-byte character is no separator; in a
// single-byte code page it is one.
TEST(UnpackBeneathTest, SeparatorWalkKeepsDoubleByteCharactersWhole) {
  const struct {
    const char* text;
    unsigned codePage;
    size_t separatorAt;  // the text's length when it has none
  } cases[] = {
      {"\x83\x5C.bin", 932, 6}, {"\x83\x5C.bin", 1252, 1}, {"\x83\x5C/x", 932, 2},
      {"a\\\x83\x5C", 932, 1},  {"\x83", 932, 1},          {"ab/c", 932, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HostNextSeparatorInCodePage(c.text, c.codePage) - c.text,
              static_cast<ptrdiff_t>(c.separatorAt))
        << c.codePage << " " << c.text;
  }
}
#endif

}  // namespace
