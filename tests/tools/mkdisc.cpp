// Writes a disc tree of a named shape into a new directory, ready for
// `quorlith -d <dir>/layout.dlf`.
//
//   quorlith_mkdisc example <dir>
//   quorlith_mkdisc L|M|S <dir> [--seed=N] [--files=N] [--size=BYTES]
//
// The shapes L, M and S are the benchmark corpora (bench/run): a few large
// files, many mid-sized ones, and very many small ones with empty directories
// and zero-length files. The same seed always gives the same tree, byte for
// byte. --files scales the file count and, for L, --size each file's size.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"

namespace {

// Where the shaped corpora put their first file: above any table they make.
const uint64_t FIRST_FILE_OFFSET = 0x1000000;
const uint64_t TABLE_OFFSET = 0x1000;
// Files start on 32-byte boundaries of the disc, as mastering tools place them.
const uint64_t FILE_ALIGNMENT = 32;

struct ShapeOptions {
  uint64_t seed = 1;
  uint64_t files = 0;  // 0: the shape's own count
  uint64_t size = 0;   // 0: the shape's own size (L only)
};

// splitmix64: fast, and the same sequence on every platform.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform enough in [low, high] for sizes.
  uint64_t Between(uint64_t low, uint64_t high) { return low + Next() % (high - low + 1); }
};

std::string RandomBytes(Random* random, uint64_t size) {
  std::string bytes(size, '\0');
  for (uint64_t i = 0; i < size; i += 8) {
    uint64_t word = random->Next();
    for (uint64_t b = 0; b < 8 && i + b < size; ++b)
      bytes[i + b] = static_cast<char>(word >> 8 * b);
  }
  return bytes;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

std::string Numbered(const char* format, uint64_t number) {
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(number));
  return text;
}

// L: large files, 5 of 1 GiB by default, so the data region passes 4 GiB.
// Their bytes are generated while the tree is written.
DiscBuilder LargeDisc(const ShapeOptions& shape) {
  uint64_t files = shape.files != 0 ? shape.files : 5;
  uint64_t size = shape.size != 0 ? shape.size : 1ull << 30;
  DiscBuilder disc(TABLE_OFFSET);
  disc.SetConfig("shape=L\n");
  uint64_t offset = FIRST_FILE_OFFSET;
  for (uint64_t i = 0; i < files; ++i) {
    disc.AddGeneratedFile(Numbered("/movies/reel%llu.vid", i), offset, size,
                          static_cast<uint32_t>(shape.seed * 1000 + i));
    offset = AlignUp(offset + size, 0x8000);
  }
  return disc;
}

// Many files in flat directories, written in table order. The table is
// built with node indexes (path forms would rescan every path) and handed
// over whole; the files are listed as plain lines under the names the
// builder gives table files, so unpacking names them all through the table.
struct SmallFilesShape {
  const char* config;
  const char* dirFormat;
  uint64_t files;
  uint64_t dirs;
  uint64_t minSize;
  uint64_t maxSize;
  uint64_t zeroLengthEvery;  // 0: none; else about one file in this many is empty
  uint64_t emptyDirEvery;    // 0: none; else every n-th directory gets an empty child
};

// `emptyDirs` receives the table paths of the empty directories, which the
// disc tree holds too, so that every tool compared sees the same tree.
DiscBuilder SmallFilesDisc(const SmallFilesShape& s, const ShapeOptions& shape,
                           std::vector<std::string>* emptyDirs) {
  uint64_t files = shape.files != 0 ? shape.files : s.files;
  uint64_t dirs = s.dirs < files ? s.dirs : (files != 0 ? files : 1);
  Random random{shape.seed};
  struct Pending {
    std::string tablePath;
    uint64_t discOffset;
    std::string content;
  };
  std::vector<Pending> pending;
  pending.reserve(files);
  FstTree tree;
  uint32_t top = AddFstDirectory(&tree, 0, "data");
  uint64_t offset = FIRST_FILE_OFFSET;
  uint64_t next = 0;
  for (uint64_t d = 0; d < dirs; ++d) {
    std::string dirName = Numbered(s.dirFormat, d);
    uint32_t dir = AddFstDirectory(&tree, top, dirName);
    if (s.emptyDirEvery != 0 && d % s.emptyDirEvery == 0) {
      // Before the files, and nested once, so empty directories sit between
      // zero-length files and their neighbours in the table.
      uint32_t empty = AddFstDirectory(&tree, dir, "empty");
      std::string emptyPath = "/data/" + dirName + "/empty";
      if (d % (2 * s.emptyDirEvery) == 0) {
        AddFstDirectory(&tree, empty, "deeper");
        emptyPath += "/deeper";
      }
      emptyDirs->push_back(emptyPath);
    }
    uint64_t end = files * (d + 1) / dirs;
    for (; next < end; ++next) {
      bool zero = s.zeroLengthEvery != 0 && random.Next() % s.zeroLengthEvery == 0;
      uint64_t size = zero ? 0 : random.Between(s.minSize, s.maxSize);
      std::string name = Numbered("f%06llu.bin", next);
      AddFstFile(&tree, dir, name, static_cast<uint32_t>(offset / 4), static_cast<uint32_t>(size));
      pending.push_back({"/data/" + dirName + "/" + name, offset, RandomBytes(&random, size)});
      // A zero-length file shares its place with whatever follows it.
      offset = AlignUp(offset + size, FILE_ALIGNMENT);
    }
  }
  std::vector<unsigned char> table = BuildFstTable(tree);
  if (TABLE_OFFSET + table.size() > FIRST_FILE_OFFSET) {
    throw std::length_error("mkdisc: the table reaches the first file");
  }
  DiscBuilder disc(TABLE_OFFSET);
  disc.SetConfig(s.config);
  disc.OverrideTable(table);
  for (Pending& p : pending) {
    disc.AddSystemFile(DiscFileName(p.tablePath), p.discOffset, p.content);
    std::string().swap(p.content);
  }
  return disc;
}

// M: 10,000 files of 1 to 64 KiB in 100 directories.
DiscBuilder MediumDisc(const ShapeOptions& shape, std::vector<std::string>* emptyDirs) {
  return SmallFilesDisc({"shape=M\n", "d%03llu", 10000, 100, 1024, 65536, 0, 0}, shape, emptyDirs);
}

// S: 100,000 files of 0 to 4 KiB in 1,000 directories, with empty
// directories and zero-length files (some of them in a row).
DiscBuilder SmallDisc(const ShapeOptions& shape, std::vector<std::string>* emptyDirs) {
  return SmallFilesDisc({"shape=S\n", "d%04llu", 100000, 1000, 0, 4096, 40, 20}, shape, emptyDirs);
}

bool ParseNumberOption(const char* arg, const char* prefix, uint64_t* value) {
  size_t length = std::strlen(prefix);
  if (std::strncmp(arg, prefix, length) != 0) return false;
  char* end = nullptr;
  *value = std::strtoull(arg + length, &end, 0);
  if (end == arg + length || *end != '\0') throw std::invalid_argument(arg);
  return true;
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s example <new directory>\n"
               "       %s L|M|S <new directory> [--seed=N] [--files=N] [--size=BYTES]\n",
               program, program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage(argv[0]);
  std::string kind = argv[1];
  try {
    ShapeOptions shape;
    for (int i = 3; i < argc; ++i) {
      if (!ParseNumberOption(argv[i], "--seed=", &shape.seed) &&
          !ParseNumberOption(argv[i], "--files=", &shape.files) &&
          !ParseNumberOption(argv[i], "--size=", &shape.size)) {
        return Usage(argv[0]);
      }
    }
    if (kind == "example" && argc == 3) {
      std::filesystem::create_directories(argv[2]);
      ExampleDisc().Write(argv[2], "layout.dlf");
    } else if (kind == "L" || kind == "M" || kind == "S") {
      std::filesystem::create_directories(argv[2]);
      std::vector<std::string> emptyDirs;
      DiscBuilder disc = kind == "L"   ? LargeDisc(shape)
                         : kind == "M" ? MediumDisc(shape, &emptyDirs)
                                       : SmallDisc(shape, &emptyDirs);
      disc.Write(argv[2], "layout.dlf");
      for (const std::string& dir : emptyDirs) {
        std::filesystem::create_directories(std::string(argv[2]) + "/" + DiscFileName(dir));
      }
    } else {
      return Usage(argv[0]);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
