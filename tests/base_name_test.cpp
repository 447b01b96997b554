// The base name of a path, which names the dlf file that Unpack mode writes:
// Windows splits at the last separator of either kind, POSIX at the last
// '/' (at a '\' only in a path without any '/').
#include <gtest/gtest.h>

#include <string>

#include "app/command_line.h"
#include "app/options.h"

namespace {

TEST(BaseNameTest, SplitsAtTheHostsLastSeparator) {
  struct {
    const char* path;
    const char* expected;
  } cases[] = {
    {"game", "game"},
    {"a/b/game", "game"},
    {"a\\game", "game"},
#if defined(_WIN32)
    {"a/b\\game", "game"},
    {"a\\b/game", "game"},
    {"C:\\disc\\game", "game"},
#else
    {"a/b\\game", "b\\game"},
    {"a\\b/game", "game"},
#endif
  };
  for (const auto& c : cases) {
    char base[PATH_CAPACITY];
    BaseName(c.path, base);
    EXPECT_STREQ(base, c.expected) << c.path;
  }
}

}  // namespace
