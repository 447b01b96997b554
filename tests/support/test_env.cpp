#include "tests/support/test_env.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("quorlith-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code error;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(path_, error);
}

std::string TempDir::Path(const std::string& relative) const {
  return path_ + "/" + relative;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> names;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).generic_string();
    if (item.is_directory()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

#ifndef _WIN32
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd) {
  TempDir capture;
  std::string outPath = capture.Path("stdout"), errPath = capture.Path("stderr");
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int wstatus = 0;
  while (waitpid(child, &wstatus, 0) < 0) {
  }
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}
#else
namespace {

// ctest reads the test list from standard output: keep it free of the CR
// that text mode would add, or every test name would end in one.
const int STDOUT_BINARY = _setmode(_fileno(stdout), _O_BINARY);

// Quotes one argument so that the C runtime's parser hands it back
// unchanged: backslashes are literal except before a double quote.
std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, '\\');
  quoted.push_back('"');
  return quoted;
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A build under Wine knows its files by their Linux paths; Wine shows the
// Linux root as drive Z:.
std::string NativePath(const std::string& path) {
  std::string native = path;
  if (!native.empty() && native[0] == '/' && RunningUnderWine()) native = "Z:" + native;
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

HANDLE OpenInheritable(const std::string& path, DWORD access, DWORD creation) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return file;
}

// The console streams of a Windows program end lines in CR LF.
std::string WithLfLineEnds(const std::string& text) {
  std::string lf;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lf.push_back(text[i]);
  }
  return lf;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd) {
  (void)STDOUT_BINARY;
  TempDir capture;
  std::string outPath = capture.Path("stdout"), errPath = capture.Path("stderr");
  HANDLE in = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = OpenInheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = OpenInheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);

  // Argument 0 as typed at a prompt: the program without ".exe".
  std::string name = program;
  const std::string exe = ".exe";
  if (name.size() > exe.size() && name.compare(name.size() - exe.size(), exe.size(), exe) == 0) {
    name.erase(name.size() - exe.size());
  }
  std::string commandLine = QuoteArgument(name);
  for (const std::string& arg : args) commandLine += " " + QuoteArgument(arg);
  std::vector<char> commandBuffer(commandLine.begin(), commandLine.end());
  commandBuffer.push_back('\0');

  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION child;
  std::string application = NativePath(program), directory = NativePath(cwd);
  BOOL started = CreateProcessA(application.c_str(), commandBuffer.data(), nullptr, nullptr, TRUE,
                                0, nullptr, directory.c_str(), &startup, &child);
  DWORD startError = GetLastError();
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) {
    throw std::runtime_error("cannot start " + application + ": error " +
                             std::to_string(startError));
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);

  RunResult result;
  // A crash ends with an NTSTATUS such as 0xC0000005: never 0 or 1.
  result.status = static_cast<int>(code);
  result.out = WithLfLineEnds(ReadFileBytes(outPath));
  result.err = WithLfLineEnds(ReadFileBytes(errPath));
  return result;
}
#endif

RunResult RunQuorlithBinary(const std::vector<std::string>& args, const std::string& cwd) {
  return RunProgram(QUORLITH_BINARY, args, cwd);
}

RunResult RunQpkBinary(const std::vector<std::string>& args, const std::string& cwd) {
  return RunProgram(QPK_BINARY, args, cwd);
}
