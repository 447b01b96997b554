#include "tests/support/tree_snapshot.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = item.path().lexically_relative(root).generic_string();
    fs::file_status status = item.symlink_status();
    if (fs::is_symlink(status)) {
      tree[name] = "link to " + fs::read_symlink(item.path()).generic_string();
    } else if (fs::is_regular_file(status)) {
      tree[name] = FileBytes(item.path());
    } else {
      tree[name] = fs::is_directory(status) ? "directory" : "special";
    }
  }
  return tree;
}
