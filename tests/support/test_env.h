// Helpers for tests: a fresh temporary directory, whole-file reads and writes,
// and running the real quorlith executable with its streams captured.
#ifndef QUORLITH_TESTS_SUPPORT_TEST_ENV_H_
#define QUORLITH_TESTS_SUPPORT_TEST_ENV_H_

#include <string>
#include <vector>

// A new empty directory, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string Path(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes `bytes` to `path`, creating missing parent directories.
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
// Every file and directory below `root`, as sorted relative paths with '/'
// separators; directories end in '/'.
std::vector<std::string> ListTree(const std::string& root);

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

// Runs `program` with `args` in the working directory `cwd`, with no
// standard input, and captures both output streams.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd);
// The quorlith executable under test.
RunResult RunQuorlithBinary(const std::vector<std::string>& args, const std::string& cwd);
// The qpk executable under test.
RunResult RunQpkBinary(const std::vector<std::string>& args, const std::string& cwd);

#endif  // QUORLITH_TESTS_SUPPORT_TEST_ENV_H_
