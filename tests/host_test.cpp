// The platform layer on the host it was built for: positioned transfers past
// 4 GiB, the creation and sharing modes, file identity, directory creation,
// the C runtime reads, and the names the host cannot hold.
#include "host/host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;

// Closes a handle at the end of a test, whatever the outcome.
struct HandleCloser {
  HostHandle file;
  ~HandleCloser() {
    if (file != HOST_INVALID_HANDLE) HostCloseFile(file);
  }
};

std::string ReadAt(HostHandle file, uint32_t count, uint64_t offset, bool* ok) {
  std::string bytes(count, '?');
  uint32_t done = 0xFFFFFFFF;
  *ok = HostReadAt(file, &bytes[0], count, offset, &done);
  bytes.resize(*ok ? done : 0);
  return bytes;
}

TEST(HostTest, PositionedTransfersReachPast4GiB) {
  TempDir dir;
  const std::string path = dir.Path("big");
  HandleCloser f{HostOpenFile(path.c_str(), HOST_READ_WRITE, HOST_CREATE_NEW)};
  ASSERT_NE(f.file, HOST_INVALID_HANDLE);
  const uint64_t high = 0x100000001ull;  // the high word matters, the low one too
  ASSERT_TRUE(HostWriteAt(f.file, "head", 4, 0));
  ASSERT_TRUE(HostWriteAt(f.file, "tail", 4, high));
  uint64_t size = 0;
  ASSERT_TRUE(HostFileSize(f.file, &size));
  EXPECT_EQ(size, high + 4);

  bool ok = false;
  EXPECT_EQ(ReadAt(f.file, 4, high, &ok), "tail");
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadAt(f.file, 4, 0, &ok), "head");  // not where the last call left off
  // Short at the end, and nothing at or past it: not an error.
  EXPECT_EQ(ReadAt(f.file, 10, high + 2, &ok), "il");
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadAt(f.file, 10, high + 4, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadAt(f.file, 10, 0x7FFFFFFFFFull, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadAt(f.file, 3, high - 2, &ok), std::string("\0\0t", 3));
}

TEST(HostTest, CreationModes) {
  TempDir dir;
  const std::string path = dir.Path("f");
  EXPECT_EQ(HostOpenFile(path.c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING), HOST_INVALID_HANDLE);
  WriteFileBytes(path, "old contents");
  EXPECT_EQ(HostOpenFile(path.c_str(), HOST_READ_WRITE, HOST_CREATE_NEW), HOST_INVALID_HANDLE);
  EXPECT_EQ(ReadFileBytes(path), "old contents");
  {
    HandleCloser f{HostOpenFile(path.c_str(), HOST_READ_WRITE, HOST_CREATE_ALWAYS)};
    ASSERT_NE(f.file, HOST_INVALID_HANDLE);
    uint64_t size = 1;
    ASSERT_TRUE(HostFileSize(f.file, &size));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(HostWriteAt(f.file, "new", 3, 0));
  }
  HandleCloser r{HostOpenFile(path.c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
  ASSERT_NE(r.file, HOST_INVALID_HANDLE);
  EXPECT_FALSE(HostWriteAt(r.file, "x", 1, 0));
  EXPECT_EQ(ReadFileBytes(path), "new");
}

#ifdef _WIN32
// A reader shares reading only; a writer shares reading and writing.
TEST(HostTest, SharingModes) {
  TempDir dir;
  const std::string path = dir.Path("f");
  WriteFileBytes(path, "x");
  {
    HandleCloser reader{HostOpenFile(path.c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
    ASSERT_NE(reader.file, HOST_INVALID_HANDLE);
    HandleCloser second{HostOpenFile(path.c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
    EXPECT_NE(second.file, HOST_INVALID_HANDLE);
    HandleCloser writer{HostOpenFile(path.c_str(), HOST_READ_WRITE, HOST_OPEN_EXISTING)};
    int code = HostLastError();
    EXPECT_EQ(writer.file, HOST_INVALID_HANDLE);
    EXPECT_EQ(code, 32);  // ERROR_SHARING_VIOLATION
  }
  HandleCloser writer{HostOpenFile(path.c_str(), HOST_READ_WRITE, HOST_OPEN_EXISTING)};
  ASSERT_NE(writer.file, HOST_INVALID_HANDLE);
  HandleCloser second{HostOpenFile(path.c_str(), HOST_READ_WRITE, HOST_OPEN_EXISTING)};
  EXPECT_NE(second.file, HOST_INVALID_HANDLE);
  HandleCloser reader{HostOpenFile(path.c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
  EXPECT_EQ(reader.file, HOST_INVALID_HANDLE);
}
#endif

TEST(HostTest, FileIdentityWhateverTheSpelling) {
  TempDir dir;
  WriteFileBytes(dir.Path("d/a"), "same bytes");
  WriteFileBytes(dir.Path("d/b"), "same bytes");
  EXPECT_TRUE(HostPathsNameSameFile(dir.Path("d/a").c_str(), dir.Path("d/./a").c_str()));
  EXPECT_TRUE(HostPathsNameSameFile(dir.Path("d/a").c_str(), dir.Path("d/../d/a").c_str()));
  EXPECT_TRUE(HostPathsNameSameFile(dir.Path("d").c_str(), dir.Path("d/").c_str()));
  EXPECT_FALSE(HostPathsNameSameFile(dir.Path("d/a").c_str(), dir.Path("d/b").c_str()));
  EXPECT_FALSE(HostPathsNameSameFile(dir.Path("d/a").c_str(), dir.Path("d/missing").c_str()));
  EXPECT_FALSE(HostPathsNameSameFile(dir.Path("d/missing").c_str(), dir.Path("d/a").c_str()));
#ifdef _WIN32
  EXPECT_TRUE(HostPathsNameSameFile(dir.Path("d/a").c_str(), dir.Path("D\\A").c_str()));
#endif

  HandleCloser a{HostOpenFile(dir.Path("d/a").c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
  HandleCloser a2{HostOpenFile(dir.Path("d/./a").c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
  HandleCloser b{HostOpenFile(dir.Path("d/b").c_str(), HOST_READ_ONLY, HOST_OPEN_EXISTING)};
  ASSERT_NE(a.file, HOST_INVALID_HANDLE);
  ASSERT_NE(a2.file, HOST_INVALID_HANDLE);
  ASSERT_NE(b.file, HOST_INVALID_HANDLE);
  HostFileStatus sa, sa2, sb;
  ASSERT_TRUE(HostQueryFile(a.file, &sa));
  ASSERT_TRUE(HostQueryFile(a2.file, &sa2));
  ASSERT_TRUE(HostQueryFile(b.file, &sb));
  EXPECT_TRUE(HostSameFileStatus(sa, sa2));
  EXPECT_FALSE(HostSameFileStatus(sa, sb));
  EXPECT_EQ(sa.size, 10u);
  EXPECT_FALSE(sa.isDirectory);
}

TEST(HostTest, DirectoryCreation) {
  TempDir dir;
  const std::string sub = dir.Path("sub");
  EXPECT_FALSE(HostIsDirectoryPath(sub.c_str()));
  EXPECT_EQ(HostCreateDirectory(sub.c_str()), HOST_DIR_CREATED);
  EXPECT_TRUE(HostIsDirectoryPath(sub.c_str()));
  EXPECT_EQ(HostCreateDirectory(sub.c_str()), HOST_DIR_EXISTS);
  WriteFileBytes(dir.Path("file"), "");
  EXPECT_EQ(HostCreateDirectory(dir.Path("file").c_str()), HOST_DIR_EXISTS);
  EXPECT_FALSE(HostIsDirectoryPath(dir.Path("file").c_str()));

  HostDirResult missingParent = HostCreateDirectory(dir.Path("no/such").c_str());
  int code = HostLastError();
  EXPECT_EQ(missingParent, HOST_DIR_FAILED);
#ifdef _WIN32
  EXPECT_EQ(code, 3);  // ERROR_PATH_NOT_FOUND
#else
  EXPECT_EQ(code, ENOENT);
#endif
  EXPECT_FALSE(fs::exists(dir.Path("no")));
}

TEST(HostTest, RuntimeReadsEveryByteAndStatsPast4GiB) {
  TempDir dir;
  // CR LF and Ctrl-Z would be changed or end the file in text mode.
  const std::string bytes("a\r\nb\x1a\0c\n", 8);
  WriteFileBytes(dir.Path("f"), bytes);
  int fd = HostCrtOpenRead(dir.Path("f").c_str());
  ASSERT_GE(fd, 0);
  char buffer[16] = {};
  EXPECT_EQ(HostCrtRead(fd, buffer, sizeof buffer), 8);
  EXPECT_EQ(std::string(buffer, 8), bytes);
  EXPECT_EQ(HostCrtRead(fd, buffer, sizeof buffer), 0);
  EXPECT_EQ(HostCrtClose(fd), 0);

  int64_t size = -1;
  ASSERT_EQ(HostCrtStatSize(dir.Path("f").c_str(), &size), 0);
  EXPECT_EQ(size, 8);
  WriteFileBytes(dir.Path("sparse"), "");
  fs::resize_file(dir.Path("sparse"), 0x100000007ull);
  ASSERT_EQ(HostCrtStatSize(dir.Path("sparse").c_str(), &size), 0);
  EXPECT_EQ(size, 0x100000007ll);
  EXPECT_EQ(HostCrtStatSize(dir.Path("missing").c_str(), &size), -1);
  EXPECT_EQ(HostCrtOpenRead(dir.Path("missing").c_str()), -1);
}

// Names a Windows folder cannot hold as they are, or that would reach
// somewhere else: a drive or stream, a device, a name the system trims.
const char* const WINDOWS_REFUSED[] = {
    "C:",         "a:b",       "file.bin:stream",
    "CON",        "con",       "Con.txt",
    "NUL.tar.gz", "aux .x",    "PRN",
    "COM1",       "com9.log",  "LPT1",
    "lpt9",       "CONIN$",    "a<b",
    "a>b",        "a|b",       "a?b",
    "a*b",        "tab\there", "trailing.",
    "trailing ",  "...",
};
const char* const ALWAYS_ACCEPTED[] = {
    "CONSOLE", "nul_",    "COM",   "COM10",      "LPT",   "conx.txt",
    "xCON",    ".hidden", "a.b.c", "with blank", "x-y_z", "\xe9t\xe9",
};

TEST(HostTest, NameComponentsTheHostCannotHold) {
  for (const char* name : WINDOWS_REFUSED) {
    const char* reason = HostRefuseNameComponent(name, std::strlen(name));
#ifdef _WIN32
    EXPECT_NE(reason, nullptr) << name;
#else
    EXPECT_EQ(reason, nullptr) << name;  // any byte but '/' and NUL is a name here
#endif
  }
  for (const char* name : ALWAYS_ACCEPTED) {
    EXPECT_EQ(HostRefuseNameComponent(name, std::strlen(name)), nullptr) << name;
  }
  // The component ends at `length`, not at a NUL.
  EXPECT_EQ(HostRefuseNameComponent("ok/CON", 2), nullptr);
#ifdef _WIN32
  EXPECT_NE(HostRefuseNameComponent("CON/ok", 3), nullptr);
  EXPECT_STREQ(HostRefuseNameComponent("C:", 2), "a ':' would name a drive or a stream");
#endif
}

}  // namespace
