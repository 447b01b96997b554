// The base of every fixture that calls the library in-process: fatal errors
// throw FatalExit instead of ending the test program, and the process-wide
// state (program name, options, installed table, copy buffer) is at its
// start-up state before and after every test.
#ifndef QUORLITH_TESTS_SUPPORT_LIBRARY_TEST_H_
#define QUORLITH_TESTS_SUPPORT_LIBRARY_TEST_H_

#include <gtest/gtest.h>

#include "app/options.h"
#include "base/base.h"
#include "dvdfs/dvdfs.h"
#include "fileio/fileio.h"

class LibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    SetFatalThrows(true);
    ASSERT_TRUE(AllocateCopyBuffer());
  }

  void TearDown() override {
    ReleaseCopyBuffer();
    SetFatalThrows(false);
    ResetProcessState();
  }

 private:
  static void ResetProcessState() {
    ResetOptions();
    ResetFstState();
  }
};

#endif  // QUORLITH_TESTS_SUPPORT_LIBRARY_TEST_H_
