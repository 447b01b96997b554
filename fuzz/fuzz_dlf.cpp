// The dlf reader on arbitrary file contents. A file that it accepts must
// also come back unchanged through the dlf writer: every entry's offset and
// name, and the configuration name. The dlf check (without opening the
// listed files) must find an error exactly where the reader refuses, and
// its line-numbered reading must give the reader's entries.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dlf/dlf.h"
#include "fuzz/fuzz_support.h"
#include "inspect/dlf_check.h"

namespace {

struct ParsedEntry {
  uint64_t discOffset;
  std::string name;
};

struct ParsedDlf {
  std::string configName;
  std::vector<ParsedEntry> entries;
};

std::string DlfPath() {
  return ScratchDir() + "/input.dlf";
}

// Parses the file and copies the result out of the list, which is freed on
// every way out. False when the reader refused the file.
bool Parse(const std::string& path, bool verbose, ParsedDlf* parsed) {
  DlfList* list = nullptr;
  try {
    list = ParseDlf(path.c_str(), nullptr, verbose);
  } catch (const FatalExit&) {
    return false;
  }
  parsed->configName = list->configName;
  int chained = 0;
  for (const DlfEntry* entry = list->first; entry != nullptr; entry = entry->next, ++chained) {
    // strlen runs on into the next entry, or off the block (and ASan
    // stops it), if the name is not terminated.
    if (std::strlen(entry->name) >= DLF_LINE_CAPACITY) {
      FuzzFailure("entry %d's name is longer than a line", chained);
    }
    parsed->entries.push_back({entry->discOffset, entry->name});
  }
  int count = list->count;
  FreeDlfList(list);
  if (count != chained) FuzzFailure("count %d but %d entries in the chain", count, chained);
  return true;
}

// Writes the list through the dlf writer. A name the reader gives holds no
// '"' and no line end, so the writer can write every one.
void WriteThroughWriter(const std::string& path, const ParsedDlf& parsed) {
  FILE* dlf = std::fopen(path.c_str(), "wb");
  if (dlf == nullptr) FuzzFailure("cannot create %s", path.c_str());
  WriteDlfVersionLine(dlf);
  WriteDlfConfigLine(dlf, parsed.configName.c_str());
  for (const ParsedEntry& entry : parsed.entries) {
    WriteDlfEntryLine(dlf, entry.discOffset, entry.name.c_str());
  }
  if (std::fclose(dlf) != 0) FuzzFailure("cannot write %s", path.c_str());
}

// Written lines carry an offset of DISC_OFFSET_TEXT_SIZE - 1 characters; a
// name read from a line with a shorter offset field may make its written
// line longer than a line may be.
bool FitsWrittenLines(const ParsedDlf& parsed) {
  for (const ParsedEntry& entry : parsed.entries) {
    if (DISC_OFFSET_TEXT_SIZE - 1 + 2 + entry.name.size() + 1 > DLF_LINE_CAPACITY - 1) {
      return false;
    }
  }
  return true;
}

// The configuration name and entries of the line-numbered reading, or
// false when it finds a fault on some line.
bool ReadNumbered(const std::string& path, ParsedDlf* read) {
  bool faultless = true;
  ReadDlfLines(path.c_str(), [&](const DlfLine& line) {
    if (line.fault != DLF_FAULT_NONE) {
      faultless = false;
    } else if (line.kind == DLF_CONFIG_LINE) {
      read->configName.assign(line.fields.name, line.fields.nameLength);
    } else if (line.kind == DLF_ENTRY_LINE) {
      read->entries.push_back(
          {line.discOffset, std::string(line.fields.name, line.fields.nameLength)});
    }
    return true;
  });
  return faultless;
}

void CompareWithCheck(const std::string& path, bool accepted, const ParsedDlf& parsed) {
  std::vector<DlfFinding> findings;
  DlfCheckOptions options;
  options.checkFiles = false;
  if (!CheckDlfWith(path.c_str(), options, &findings))
    FuzzFailure("the check cannot read the file");
  bool error = false;
  for (const DlfFinding& finding : findings) error = error || finding.severity == DLF_ERROR;
  if (error == accepted)
    FuzzFailure("the check %s an error where the reader %s the file", error ? "finds" : "finds no",
                accepted ? "accepts" : "refuses");
  ParsedDlf read;
  if (ReadNumbered(path, &read) != accepted) FuzzFailure("the numbered reading disagrees");
  if (!accepted) return;
  if (read.configName != parsed.configName) FuzzFailure("numbered reading: configuration name");
  if (read.entries.size() != parsed.entries.size()) FuzzFailure("numbered reading: entry count");
  for (size_t i = 0; i < read.entries.size(); ++i) {
    if (read.entries[i].discOffset != parsed.entries[i].discOffset ||
        read.entries[i].name != parsed.entries[i].name) {
      FuzzFailure("numbered reading: entry %zu differs", i);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzTarget();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginFuzzInput();
  bool verbose = AsksForTraces(data, size);
  const std::string path = DlfPath();
  WriteBytes(path, data, size);
  ParsedDlf parsed;
  bool accepted = Parse(path, verbose, &parsed);
  CompareWithCheck(path, accepted, parsed);
  if (accepted && FitsWrittenLines(parsed)) {
    WriteThroughWriter(path, parsed);
    ParsedDlf again;
    if (!Parse(path, verbose, &again))
      FuzzFailure("the written form of an accepted file is refused");
    if (again.configName != parsed.configName) FuzzFailure("configuration name changed");
    if (again.entries.size() != parsed.entries.size()) FuzzFailure("entry count changed");
    for (size_t i = 0; i < parsed.entries.size(); ++i) {
      if (again.entries[i].discOffset != parsed.entries[i].discOffset ||
          again.entries[i].name != parsed.entries[i].name) {
        FuzzFailure("entry %zu changed through the written form", i);
      }
    }
  }
  EndFuzzInput();
  return 0;
}
