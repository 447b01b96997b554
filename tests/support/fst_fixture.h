// A test fixture for the file-system table module: the reset of the library
// base, and a table that the fixture keeps alive while it is installed.
#ifndef QUORLITH_TESTS_SUPPORT_FST_FIXTURE_H_
#define QUORLITH_TESTS_SUPPORT_FST_FIXTURE_H_

#include <utility>
#include <vector>

#include "dvdfs/dvdfs.h"
#include "tests/support/library_test.h"

class FstTableTest : public LibraryTest {
 protected:
  // Validates the table, then installs it; the fixture keeps it alive.
  void Install(std::vector<unsigned char> table) {
    table_ = std::move(table);
    ValidateFstTable(table_.data(), table_.size());
    InstallFstTable(table_.data());
  }

  std::vector<unsigned char> table_;
};

#endif  // QUORLITH_TESTS_SUPPORT_FST_FIXTURE_H_
