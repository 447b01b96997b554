// A whole Pack run on a dlf file and listed files made from the input.
//
// The input is split at its 0x01 bytes: the first part is the dlf file, the
// next ones (up to four) the contents of the files f0 to f3 beside it. The
// folder also holds a configuration file "cfg", a directory "d" with a file
// "d/x" in it and a FIFO "p". The last byte of the input steers the run:
// bit 0 turns the traces on, bit 1 puts an older qpk file at the qpk path,
// bit 2 makes the qpk path f0 itself, bit 3 puts the qpk path in a
// subfolder.
//
// Whether the run completes or is refused, nothing but the qpk path may
// change: every other file stays byte for byte, and no file is left behind
// (a temporary one included). A refused run leaves the qpk path as it was,
// absent or the older file. A completed run's qpk file must read back to
// the listed bytes: the configuration blob, then every entry line's file at
// its entry, and placeholders where the lines name no file.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/coding.h"
#include "dlf/dlf.h"
#include "fileio/fileio.h"
#include "fuzz/fuzz_support.h"
#include "package/package.h"
#include "package/qpk.h"
#include "tests/support/qpk_bytes.h"
#include "tests/support/tree_snapshot.h"

namespace fs = std::filesystem;

namespace {

const char CONFIG_BYTES[] = "configuration";
const char OLDER_QPK[] = "an older qpk file";

std::vector<std::string> SplitInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0x01 && parts.size() < 5) {
      parts.emplace_back();
    } else {
      parts.back() += static_cast<char>(data[i]);
    }
  }
  return parts;
}

// Names that leave the folder could reach any file of the machine (a slow
// or endless one among them): such inputs are not run.
bool StaysInFolder(const std::string& dlf) {
  return dlf.find("..") == std::string::npos && dlf.find("\"/") == std::string::npos;
}

// The bytes a listed name stands for, read after the run; false for a file
// that cannot be packed, which a completed run must not have listed.
bool ListedBytes(const std::string& folder, const std::string& name, std::string* bytes) {
  struct stat st;
  std::string path = folder + "/" + name;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *bytes = ReadBytes(path);
  return true;
}

// A completed run: the qpk file against the dlf file, read again here.
void CheckQpk(const std::string& folder, const std::string& qpkBytes) {
  DlfList* list = nullptr;
  try {
    list = ParseDlf((folder + "/in.dlf").c_str());
  } catch (const FatalExit&) {
    FuzzFailure("a dlf file that packed is refused when read again");
  }
  std::string expected;
  if (list->configName[0] != '\0' && !ListedBytes(folder, list->configName, &expected)) {
    FuzzFailure("packed a configuration file that cannot be packed");
  }
  QpkParts qpk = SplitQpkBytes(qpkBytes);
  uint64_t count = static_cast<uint64_t>(list->count);
  if (!qpk.tableWhole || qpk.header.magic != QPK_MAGIC || qpk.header.entryCount != count) {
    FuzzFailure("the qpk file's header does not describe its %llu entries",
                static_cast<unsigned long long>(count));
  }
  uint64_t i = 0;
  for (const DlfEntry* entry = list->first; entry != nullptr; entry = entry->next, ++i) {
    const QpkEntry& stored = qpk.entries[i];
    std::string file;
    bool placeholder = entry->name[0] == '\0';
    if (!placeholder && !ListedBytes(folder, entry->name, &file)) {
      FuzzFailure("packed %s, which cannot be packed", entry->name);
    }
    if (stored.discOffset != entry->discOffset || stored.flags != (placeholder ? 1u : 0u) ||
        stored.dataSize != file.size() || stored.dataOffset != expected.size()) {
      FuzzFailure("entry %llu does not describe %s", static_cast<unsigned long long>(i),
                  entry->name);
    }
    expected += file;
  }
  FreeDlfList(list);
  if (qpk.data != expected) {
    FuzzFailure("the data region does not hold the listed bytes");
  }
}

// The folder of one input.
void MakeDisc(const std::string& folder, const std::vector<std::string>& parts, uint8_t steer) {
  fs::create_directories(folder + "/d");
  fs::create_directories(folder + "/sub");
  WriteBytes(folder + "/in.dlf", reinterpret_cast<const uint8_t*>(parts[0].data()),
             parts[0].size());
  for (size_t i = 1; i < parts.size(); ++i) {
    WriteBytes(folder + "/f" + std::to_string(i - 1),
               reinterpret_cast<const uint8_t*>(parts[i].data()), parts[i].size());
  }
  WriteBytes(folder + "/cfg", reinterpret_cast<const uint8_t*>(CONFIG_BYTES),
             sizeof CONFIG_BYTES - 1);
  WriteBytes(folder + "/d/x", reinterpret_cast<const uint8_t*>("x"), 1);
  if (mkfifo((folder + "/p").c_str(), 0600) != 0) FuzzFailure("cannot make the FIFO");
  if ((steer & 2) != 0 && (steer & 4) == 0) {
    std::string older = folder + ((steer & 8) != 0 ? "/sub/out.qpk" : "/out.qpk");
    WriteBytes(older, reinterpret_cast<const uint8_t*>(OLDER_QPK), sizeof OLDER_QPK - 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzTarget();
  if (!AllocateCopyBuffer()) FuzzFailure("cannot allocate the copy buffer");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = SplitInput(data, size);
  if (!StaysInFolder(parts[0])) return 0;
  BeginFuzzInput();
  uint8_t steer = size > 0 ? data[size - 1] : 0;
  const std::string folder = ScratchDir() + "/disc";
  RemoveTree(folder);
  MakeDisc(folder, parts, steer);
  std::string qpkName = (steer & 4) != 0 ? "f0" : (steer & 8) != 0 ? "sub/out.qpk" : "out.qpk";
  std::map<std::string, std::string> before = SnapshotTree(folder);

  std::string dlfPath = folder + "/in.dlf";
  std::string qpkPath = folder + "/" + qpkName;
  if (qpkPath.size() >= PATH_CAPACITY) FuzzFailure("scratch path too long: %s", qpkPath.c_str());
  const fs::path startDir = fs::current_path();
  bool packed = true;
  try {
    Pack(PackRequest{dlfPath.c_str(), qpkPath.c_str(), AsksForTraces(data, size)});
  } catch (const FatalExit&) {
    packed = false;
  }
  fs::current_path(startDir);

  std::map<std::string, std::string> after = SnapshotTree(folder);
  std::string qpkBytes = after.count(qpkName) != 0 ? after[qpkName] : "";
  if (packed) {
    if (after.count(qpkName) == 0) FuzzFailure("a completed run wrote no qpk file");
    before.erase(qpkName);
    after.erase(qpkName);
  }
  if (after != before) {
    for (const auto& item : after) {
      if (before.count(item.first) == 0 || before[item.first] != item.second) {
        FuzzFailure("%s appeared or changed (the run %s)", item.first.c_str(),
                    packed ? "completed" : "was refused");
      }
    }
    FuzzFailure("a file disappeared (the run %s)", packed ? "completed" : "was refused");
  }
  if (packed) CheckQpk(folder, qpkBytes);
  RemoveTree(folder);
  EndFuzzInput();
  return 0;
}
