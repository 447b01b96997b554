// Builds disc file-system tables (entries plus name table, big-endian) for
// tests, fuzz seeds and benchmarks.
//
// Well-formed tables come from a tree described in code:
//
//   FstTree tree;                                   // holds the root, node 0
//   AddFstDirectoryPath(&tree, "/a/b");             // creates a, then a/b
//   AddFstFilePath(&tree, "/a/x.bin", 0x100, 32);   // position is offset / 4
//   std::vector<unsigned char> table = BuildFstTable(tree);
//
// Children keep their insertion order inside their directory; BuildFstTable
// lays the tree out depth-first and computes parentEntry, nextEntry and the
// name offsets. Nothing recurses, so chains of any depth are fine (use the
// node-index forms for them: the path forms rescan each path from the root).
//
// Malformed tables come from raw entries (EncodeFstTable) or from patching a
// built table (LoadFstRawEntry / StoreFstRawEntry).
#ifndef QUORLITH_TESTS_SUPPORT_FST_BUILDER_H_
#define QUORLITH_TESTS_SUPPORT_FST_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

struct FstNode {
  bool isDirectory;
  std::string name;
  uint32_t parent;                 // node index of the containing directory (the root: 0)
  uint32_t filePosition;           // files: disc offset / 4
  uint32_t fileLength;             // files: length in bytes
  std::vector<uint32_t> children;  // node indexes, in insertion order
};

struct FstTree {
  std::vector<FstNode> nodes{FstNode{true, "", 0, 0, 0, {}}};  // nodes[0] is the root
};

// Node-index forms: append one child to directory node `parent` and return
// the new node's index. Names are taken as they are (any bytes but NUL).
uint32_t AddFstDirectory(FstTree* tree, uint32_t parent, const std::string& name);
uint32_t AddFstFile(FstTree* tree, uint32_t parent, const std::string& name, uint32_t filePosition,
                    uint32_t fileLength);

// Path forms, '/'-separated, with or without a leading '/'. Missing
// directories on the way are created; an existing directory is reused.
// AddFstFilePath always appends a new file. Throws std::invalid_argument when
// a component on the way is a file.
uint32_t AddFstDirectoryPath(FstTree* tree, const std::string& path);
uint32_t AddFstFilePath(FstTree* tree, const std::string& path, uint32_t filePosition,
                        uint32_t fileLength);

// The table bytes: 12 bytes per entry, then the names in entry order, each
// with its NUL. Directories get dirFlag 1; the root has name offset 0 and
// parentEntry 0. When entryOfNode is given it receives the entry number of
// every node. Throws std::length_error when the names outgrow 24-bit offsets.
std::vector<unsigned char> BuildFstTable(const FstTree& tree,
                                         std::vector<uint32_t>* entryOfNode = nullptr);

// One entry as it lies on disc.
struct FstRawEntry {
  uint8_t dirFlag;      // 0 for a file, non-zero for a directory
  uint32_t nameOffset;  // 24 bits
  uint32_t secondWord;  // filePosition of a file, parentEntry of a directory
  uint32_t thirdWord;   // fileLength of a file, nextEntry of a directory
};

// Raw entries followed by the name table bytes exactly as given (a
// std::string may hold NULs, or lack a final one).
std::vector<unsigned char> EncodeFstTable(const std::vector<FstRawEntry>& entries,
                                          const std::string& nameTable);
FstRawEntry LoadFstRawEntry(const std::vector<unsigned char>& table, uint32_t entry);
void StoreFstRawEntry(std::vector<unsigned char>* table, uint32_t entry, const FstRawEntry& raw);

#endif  // QUORLITH_TESTS_SUPPORT_FST_BUILDER_H_
