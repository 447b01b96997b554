// A test fixture for the file-system table module: fatal errors throw, and
// the module's process-wide state is reset before and after every test.
#ifndef QUORLITH_TESTS_SUPPORT_FST_FIXTURE_H_
#define QUORLITH_TESTS_SUPPORT_FST_FIXTURE_H_

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/options.h"
#include "dvdfs/dvdfs.h"

class FstTableTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetOptions();
    ResetFstState();
    SetFatalThrows(true);
  }

  void TearDown() override {
    SetFatalThrows(false);
    ResetFstState();
    ResetOptions();
  }

  // Validates the table, then installs it; the fixture keeps it alive.
  void Install(std::vector<unsigned char> table) {
    table_ = std::move(table);
    ValidateFstTable(table_.data(), table_.size());
    InstallFstTable(table_.data());
  }

  std::vector<unsigned char> table_;
};

#endif  // QUORLITH_TESTS_SUPPORT_FST_FIXTURE_H_
