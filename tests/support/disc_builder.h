// Builds a complete disc tree for tests, fuzz seeds, benchmarks and the demo:
// the listed files, the disc's boot block and file-system table as files of
// their own, an optional configuration file, and the dlf file that lists
// them all.
//
//   DiscBuilder disc;
//   disc.SetConfig("cfg");
//   disc.AddEmptyDirectory("/empty/dir");
//   disc.AddFile("/a/b.bin", 0x10000, "bytes");     // named by the table
//   disc.AddSystemFile("apploader", 0x20000, "x");  // not in the table
//   disc.AddPlaceholder(0x30000);
//   disc.Write(dir, "layout.dlf");
//
// The boot block (0x440 bytes at disc offset 0, with the table's place in
// its words at 1060 and 1064) and the table come first in the dlf file, then
// the lines in the order they were added. Unpacking names them system0 and
// system1. Lines should be added with rising disc offsets above the table.
#ifndef QUORLITH_TESTS_SUPPORT_DISC_BUILDER_H_
#define QUORLITH_TESTS_SUPPORT_DISC_BUILDER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fst_builder.h"

const uint64_t DISC_BOOT_SIZE = 0x440;

class DiscBuilder {
 public:
  // `tableOffset` is where the table file lies on the disc (a multiple of 4).
  explicit DiscBuilder(uint64_t tableOffset = 0x1000);

  void SetConfig(const std::string& content);
  void AddEmptyDirectory(const std::string& tablePath);
  // A file the table names at `discOffset` / 4 with the content's length.
  void AddFile(const std::string& tablePath, uint64_t discOffset, const std::string& content);
  // The same with `size` pseudo-random bytes made from `seed` while writing,
  // so large files need no memory.
  void AddGeneratedFile(const std::string& tablePath, uint64_t discOffset, uint64_t size,
                        uint32_t seed);
  // A file listed in the dlf file that the table does not name.
  void AddSystemFile(const std::string& name, uint64_t discOffset, const std::string& content);
  // A table file that the dlf file does not list.
  void AddTableOnlyFile(const std::string& tablePath, uint32_t filePosition, uint32_t fileLength);
  void AddPlaceholder(uint64_t discOffset);

  // Writes `table` instead of the one built from the added files (for tables
  // with names or shapes the path forms cannot make).
  void OverrideTable(const std::vector<unsigned char>& table);

  // The table as it will be written.
  std::vector<unsigned char> TableBytes() const;
  // The boot block with the table's place and size.
  std::string BootBlock() const;
  // A qpk file as Pack mode writes it for this disc without a configuration
  // file: entry 0 holds the disc from offset 0 to the table's end, then
  // one entry per (disc offset, bytes) of `files`, stored in that order.
  std::string QpkWithoutConfig(const std::vector<std::pair<uint64_t, std::string>>& files) const;

  // Writes every file below `dir` and the dlf file `dir`/`dlfName`.
  void Write(const std::string& dir, const std::string& dlfName) const;

 private:
  struct Line {
    enum Kind { FILE, GENERATED, SYSTEM, PLACEHOLDER } kind;
    std::string name;  // dlf name, relative to the dlf file
    uint64_t discOffset;
    std::string content;
    uint64_t size;
    uint32_t seed;
  };
  uint64_t tableOffset_;
  bool hasConfig_ = false;
  std::string config_;
  FstTree tree_;
  bool tableOverridden_ = false;
  std::vector<unsigned char> table_;
  std::vector<Line> lines_;
};

// The dlf name under which DiscBuilder stores a table file.
std::string DiscFileName(const std::string& tablePath);

// A small disc that shows every naming rule of unpacking: a configuration
// file, a system file, nested and empty directories, a zero-length file, a
// placeholder and a file above 4 GiB.
DiscBuilder ExampleDisc();

#endif  // QUORLITH_TESTS_SUPPORT_DISC_BUILDER_H_
