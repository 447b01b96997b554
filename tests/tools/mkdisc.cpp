// Writes a disc tree of a named shape into a new directory, ready for
// `quorlith -d <dir>/layout.dlf`.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/disc_builder.h"

namespace {

// A small disc that shows every naming rule of unpacking.
DiscBuilder ExampleDisc() {
  DiscBuilder disc;
  disc.SetConfig("region=any\nlayer=single\n");
  disc.AddSystemFile("apploader.img", 0x2440, "loader code\n");
  disc.AddFile("/readme.txt", 0x10000, "An example disc.\n");
  disc.AddFile("/data/levels/level1.dat", 0x10800, std::string(3000, 'L'));
  disc.AddFile("/data/levels/level2.dat", 0x11400, std::string(1500, 'M'));
  disc.AddFile("/data/empty.bin", 0x11C00, "");
  disc.AddPlaceholder(0x12000);
  disc.AddFile("/movies/intro.vid", 0x100000000ull, "frames above 4 GiB\n");
  disc.AddEmptyDirectory("/saves/slot1");
  return disc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "example") != 0) {
    std::fprintf(stderr, "usage: %s example <new directory>\n", argv[0]);
    return 2;
  }
  std::filesystem::create_directories(argv[2]);
  ExampleDisc().Write(argv[2], "layout.dlf");
  return 0;
}
