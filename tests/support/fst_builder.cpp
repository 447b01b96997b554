#include "tests/support/fst_builder.h"

#include <stdexcept>
#include <utility>

#include "dvdfs/dvdfs.h"
#include "base/coding.h"

namespace {

const uint32_t MAX_NAME_OFFSET = 0x00FFFFFF;

uint32_t AppendNode(FstTree* tree, uint32_t parent, FstNode node) {
  if (parent >= tree->nodes.size() || !tree->nodes[parent].isDirectory) {
    throw std::invalid_argument("fst builder: parent node is not a directory");
  }
  uint32_t index = static_cast<uint32_t>(tree->nodes.size());
  node.parent = parent;
  tree->nodes.push_back(std::move(node));
  tree->nodes[parent].children.push_back(index);
  return index;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

// Finds or creates the directory named by components [0, count).
uint32_t EnsureDirectories(FstTree* tree, const std::vector<std::string>& components,
                           size_t count) {
  uint32_t dir = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t found = 0;
    for (uint32_t child : tree->nodes[dir].children) {
      if (tree->nodes[child].name == components[i]) {
        if (!tree->nodes[child].isDirectory) {
          throw std::invalid_argument("fst builder: path goes through a file: " + components[i]);
        }
        found = child;
        break;
      }
    }
    dir = found != 0 ? found : AddFstDirectory(tree, dir, components[i]);
  }
  return dir;
}

// Depth-first, children in insertion order, without recursion.
std::vector<uint32_t> DepthFirstOrder(const FstTree& tree) {
  std::vector<uint32_t> order;
  order.reserve(tree.nodes.size());
  std::vector<uint32_t> pending{0};
  while (!pending.empty()) {
    uint32_t node = pending.back();
    pending.pop_back();
    order.push_back(node);
    const std::vector<uint32_t>& children = tree.nodes[node].children;
    for (size_t i = children.size(); i > 0; --i) pending.push_back(children[i - 1]);
  }
  return order;
}

void StoreRawAt(unsigned char* bytes, const FstRawEntry& raw) {
  StoreBE32(bytes, static_cast<uint32_t>(raw.dirFlag) << 24 | (raw.nameOffset & MAX_NAME_OFFSET));
  StoreBE32(bytes + 4, raw.secondWord);
  StoreBE32(bytes + 8, raw.thirdWord);
}

}  // namespace

uint32_t AddFstDirectory(FstTree* tree, uint32_t parent, const std::string& name) {
  return AppendNode(tree, parent, FstNode{true, name, 0, 0, 0, {}});
}

uint32_t AddFstFile(FstTree* tree, uint32_t parent, const std::string& name, uint32_t filePosition,
                    uint32_t fileLength) {
  return AppendNode(tree, parent, FstNode{false, name, 0, filePosition, fileLength, {}});
}

uint32_t AddFstDirectoryPath(FstTree* tree, const std::string& path) {
  std::vector<std::string> components = SplitPath(path);
  return EnsureDirectories(tree, components, components.size());
}

uint32_t AddFstFilePath(FstTree* tree, const std::string& path, uint32_t filePosition,
                        uint32_t fileLength) {
  std::vector<std::string> components = SplitPath(path);
  if (components.empty()) throw std::invalid_argument("fst builder: file path without a name");
  uint32_t dir = EnsureDirectories(tree, components, components.size() - 1);
  return AddFstFile(tree, dir, components.back(), filePosition, fileLength);
}

std::vector<unsigned char> BuildFstTable(const FstTree& tree, std::vector<uint32_t>* entryOfNode) {
  std::vector<uint32_t> order = DepthFirstOrder(tree);
  uint32_t count = static_cast<uint32_t>(order.size());
  std::vector<uint32_t> entry(tree.nodes.size());
  for (uint32_t i = 0; i < count; ++i) entry[order[i]] = i;
  // Children follow their parent in depth-first order, so a backward pass
  // sees every subtree complete before its parent.
  std::vector<uint32_t> subtreeSize(tree.nodes.size(), 1);
  for (uint32_t i = count; i-- > 1;)
    subtreeSize[tree.nodes[order[i]].parent] += subtreeSize[order[i]];

  std::string names;
  std::vector<FstRawEntry> raw(count);
  for (uint32_t i = 0; i < count; ++i) {
    const FstNode& node = tree.nodes[order[i]];
    FstRawEntry& out = raw[i];
    out.dirFlag = node.isDirectory ? 1 : 0;
    out.nameOffset = 0;
    if (i != 0) {
      if (names.size() > MAX_NAME_OFFSET)
        throw std::length_error("fst builder: name table too big");
      out.nameOffset = static_cast<uint32_t>(names.size());
      names += node.name;
      names += '\0';
    }
    out.secondWord = node.isDirectory ? entry[node.parent] : node.filePosition;
    out.thirdWord = node.isDirectory ? i + subtreeSize[order[i]] : node.fileLength;
  }
  if (entryOfNode != nullptr) *entryOfNode = entry;
  return EncodeFstTable(raw, names);
}

std::vector<unsigned char> EncodeFstTable(const std::vector<FstRawEntry>& entries,
                                          const std::string& nameTable) {
  std::vector<unsigned char> bytes(entries.size() * FST_ENTRY_SIZE);
  for (size_t i = 0; i < entries.size(); ++i) StoreRawAt(&bytes[i * FST_ENTRY_SIZE], entries[i]);
  bytes.insert(bytes.end(), nameTable.begin(), nameTable.end());
  return bytes;
}

FstRawEntry LoadFstRawEntry(const std::vector<unsigned char>& table, uint32_t entry) {
  const unsigned char* bytes = &table.at(static_cast<size_t>(entry) * FST_ENTRY_SIZE + 11) - 11;
  uint32_t first = LoadBE32(bytes);
  return FstRawEntry{static_cast<uint8_t>(first >> 24), first & MAX_NAME_OFFSET,
                     LoadBE32(bytes + 4), LoadBE32(bytes + 8)};
}

void StoreFstRawEntry(std::vector<unsigned char>* table, uint32_t entry, const FstRawEntry& raw) {
  unsigned char* bytes = &table->at(static_cast<size_t>(entry) * FST_ENTRY_SIZE + 11) - 11;
  StoreRawAt(bytes, raw);
}
