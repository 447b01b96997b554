#include "inspect/dlf_check.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "dlf/dlf.h"
#include "fileio/fileio.h"
#include "host/host.h"
#include "package/package.h"

namespace {

void AddFaultFindings(DlfCheck* check, const DlfLine& line) {
  std::string message;
  RunCapturedStep(
      check,
      [&line]() {
        ReportDlfFault(line.fault, line.text);
        ExitFailure();
      },
      &message);
  AddMessageFindings(check, line.number, DLF_ERROR, message);
}

// Pack's messages name the path it opened, which it opens from the dlf
// file's folder by the name as the line gives it: the path is told as the
// name.
std::string NamedAsListed(std::string message, const std::string& path, const std::string& name) {
  size_t at = message.find(path);
  if (at != std::string::npos && path != name) message.replace(at, path.size(), name);
  return message;
}

// Opens a listed or configuration file as Pack opens it, and checks that it
// can be stored. False, with Pack's refusal as a finding, when it cannot.
bool CheckListedFile(DlfCheck* check, uint64_t line, const std::string& name, HostAccess access,
                     uint64_t* size) {
  std::string path = PathBesideDlf(*check, name);
  std::string message;
  bool opened = RunCapturedStep(
      check,
      [&]() {
        HostFileStatus status{};
        FileGuard file(OpenRegularFile(path.c_str(), access, &status));
        CheckStoredFileSize(status.size, name.c_str());
        *size = status.size;
      },
      &message);
  if (!opened) AddMessageFindings(check, line, DLF_ERROR, NamedAsListed(message, path, name));
  return opened;
}

const char* ByteOrderMarkOf(const char* text) {
  if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) return "a UTF-8";
  if (std::strncmp(text, "\xFF\xFE", 2) == 0 || std::strncmp(text, "\xFE\xFF", 2) == 0) {
    return "a UTF-16";
  }
  return nullptr;
}

void CheckVersion(DlfCheck* check, const DlfLine& line) {
  if (line.fault == DLF_FAULT_NONE) return;
  AddFaultFindings(check, line);
  const char* mark = ByteOrderMarkOf(line.text);
  if (mark != nullptr) {
    AddDlfFinding(check, line.number, DLF_ERROR,
                  std::string("the file begins with ") + mark +
                      " byte-order mark, which is read as part of the version line; save the "
                      "file without it");
  }
}

// False when Pack would refuse the number of entry lines: nothing more is read.
bool CheckConfig(DlfCheck* check, const DlfLine& line) {
  if (line.fault != DLF_FAULT_NONE) {
    AddFaultFindings(check, line);
  } else if (line.fields.nameLength != 0 && check->options.checkFiles) {
    std::string name(line.fields.name, line.fields.nameLength);
    uint64_t size = 0;
    CheckListedFile(check, line.number, name, HOST_READ_WRITE, &size);
  }
  std::string message;
  uint64_t count = line.entryLines;
  if (RunCapturedStep(
          check, [count]() { CheckPackEntryCount(count); }, &message))
    return true;
  AddMessageFindings(check, 0, DLF_ERROR, message);
  return false;
}

void CheckOffsetText(DlfCheck* check, const DlfLine& line) {
  const DlfFields& fields = line.fields;
  if (IsStrictDlfOffset(fields.offsetField, fields.offsetLength)) return;
  AddDlfFinding(check, line.number, DLF_WARNING,
                "offset \"" + std::string(fields.offsetField, fields.offsetLength) +
                    "\" is not strictly hexadecimal (0x and 1 to 16 hex digits); it is read as " +
                    DiscOffsetText(line.discOffset));
}

void CheckOffsetOrder(DlfCheck* check, const DlfLine& line) {
  if (check->haveOffset && line.discOffset < check->previousOffset) {
    AddDlfFinding(check, line.number, DLF_WARNING,
                  "disc offset " + DiscOffsetText(line.discOffset) + " is below " +
                      DiscOffsetText(check->previousOffset) + " of line " +
                      std::to_string(check->previousLine));
  }
  check->haveOffset = true;
  check->previousOffset = line.discOffset;
  check->previousLine = line.number;
}

void CheckEntry(DlfCheck* check, const DlfLine& line) {
  if (line.fault != DLF_FAULT_NONE) {
    AddFaultFindings(check, line);
    return;
  }
  CheckOffsetText(check, line);
  CheckOffsetOrder(check, line);
  if (line.fields.nameLength == 0 || !check->options.checkFiles) return;
  ListedFile file{line.number, line.discOffset, 0,
                  std::string(line.fields.name, line.fields.nameLength)};
  if (CheckListedFile(check, line.number, file.name, HOST_READ_ONLY, &file.size)) {
    check->files.push_back(std::move(file));
  }
}

bool CheckLine(DlfCheck* check, const DlfLine& line) {
  switch (line.kind) {
    case DLF_VERSION_LINE:
      CheckVersion(check, line);
      return true;
    case DLF_CONFIG_LINE:
      return CheckConfig(check, line);
    case DLF_ENTRY_LINE:
      CheckEntry(check, line);
      return true;
  }
  return true;
}

std::string FolderOf(const char* path) {
  const char* separator = HostLastPathSeparator(path);
  if (separator == nullptr) return std::string();
  return std::string(path, static_cast<size_t>(separator - path) + 1);
}

bool IsAbsoluteName(const std::string& name) {
  if (!name.empty() && name[0] == '/') return true;
#if defined(_WIN32)
  if (!name.empty() && name[0] == '\\') return true;
  if (name.size() >= 2 && name[1] == ':') return true;
#endif
  return false;
}

}  // namespace

bool RunCapturedStep(DlfCheck* check, const std::function<void()>& step, std::string* message) {
  std::string& text = check->capture->text;
  size_t mark = text.size();
  bool passed = true;
  try {
    step();
  } catch (const FatalExit&) {
    passed = false;
    message->assign(text, mark, std::string::npos);
  }
  text.resize(mark);
  return passed;
}

void AddMessageFindings(DlfCheck* check, uint64_t line, DlfSeverity severity,
                        const std::string& message) {
  for (const std::string& text : MessageReasons(message)) {
    if (!text.empty()) AddDlfFinding(check, line, severity, text);
  }
}

std::string PathBesideDlf(const DlfCheck& check, const std::string& name) {
  return IsAbsoluteName(name) ? name : check.folder + name;
}

void AddDlfFinding(DlfCheck* check, uint64_t line, DlfSeverity severity,
                   const std::string& reason) {
  check->findings->push_back(DlfFinding{line, severity, Printable(reason.c_str())});
}

bool CheckDlfWith(const char* dlfPath, const DlfCheckOptions& options,
                  std::vector<DlfFinding>* findings) {
  MessageCapture capture;
  DlfCheck check;
  check.options = options;
  check.folder = FolderOf(dlfPath);
  check.capture = &capture;
  check.findings = findings;
  MessageCaptureScope scope(&capture);
  std::string message;
  bool read = RunCapturedStep(
      &check,
      [&]() {
        ReadDlfLines(dlfPath, [&check](const DlfLine& line) { return CheckLine(&check, line); });
      },
      &message);
  if (!read) {
    AddMessageFindings(&check, 0, DLF_ERROR, message);
    return false;
  }
  if (options.checkFiles) {
    CheckOverlappingRanges(&check);
    CompareWithDiscTable(&check);
  }
  std::stable_sort(findings->begin(), findings->end(),
                   [](const DlfFinding& a, const DlfFinding& b) { return a.line < b.line; });
  return true;
}

bool CheckDlf(const char* dlfPath, std::vector<DlfFinding>* findings) {
  return CheckDlfWith(dlfPath, DlfCheckOptions(), findings);
}
