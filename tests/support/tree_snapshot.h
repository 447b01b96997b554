// What a folder holds, for checks that a run changed nothing it should not:
// shared by the tests and the fuzz targets, so it needs no test framework.
#ifndef QUORLITH_TESTS_SUPPORT_TREE_SNAPSHOT_H_
#define QUORLITH_TESTS_SUPPORT_TREE_SNAPSHOT_H_

#include <map>
#include <string>

// Every entry below `root` by its relative path with '/' separators: a
// regular file by its bytes, a symbolic link by its target, anything else
// by its kind, so that a FIFO is never opened.
std::map<std::string, std::string> SnapshotTree(const std::string& root);

#endif  // QUORLITH_TESTS_SUPPORT_TREE_SNAPSHOT_H_
