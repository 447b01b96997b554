// Writes the seed corpora of the fuzz targets, all made by the disc fixture
// builders: valid discs of several shapes, packed in-process into qpk files
// (fuzz_unpack), their dlf files and variants of them (fuzz_dlf), their
// file-system tables plus tables of shapes no disc here needs (fuzz_fst),
// and dlf files with the contents of the files they list (fuzz_pack).
//
//   quorlith_fuzz_seeds <dir>    # makes <dir>/dlf, <dir>/fst, <dir>/unpack, <dir>/pack
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "package/package.h"
#include "tests/support/disc_builder.h"
#include "tests/support/fst_builder.h"

namespace fs = std::filesystem;

namespace {

// The -max_len of each target (fuzz/run_campaign.sh): longer seeds would be
// cut.
const size_t MAX_DLF_SEED = 8192;
const size_t MAX_FST_SEED = 16384;
const size_t MAX_UNPACK_SEED = 32768;
const size_t MAX_PACK_SEED = 8192;

struct DiscShape {
  const char* name;
  std::function<DiscBuilder()> build;
};

std::vector<DiscShape> DiscShapes() {
  return {
      {"root_only", [] { return DiscBuilder(0x1000); }},
      {"example", ExampleDisc},
      {"zero_length_files",
       [] {
         // The k-th zero-length lookup in a row takes the k-th such file at
         // the position; the fourth and fifth find none and become system
         // files.
         DiscBuilder disc(0x800);
         disc.SetConfig("");
         disc.AddFile("/one", 0x4000, "1");
         disc.AddFile("/z/a", 0x4000, "");
         disc.AddFile("/z/b", 0x4000, "");
         disc.AddFile("/z/c", 0x4000, "");
         disc.AddSystemFile("zero", 0x4000, "");
         disc.AddFile("/z/d", 0x4004, "");
         return disc;
       }},
      {"nested_and_empty_dirs",
       [] {
         DiscBuilder disc(0x1000);
         disc.AddEmptyDirectory("/e1");
         disc.AddEmptyDirectory("/e2/e3/e4");
         disc.AddFile("/a/b/c/d/e/f/g/h/deep.bin", 0x8000, "deep");
         disc.AddEmptyDirectory("/a/b/c/empty");
         disc.AddFile("/a/b/side.bin", 0x8010, "side");
         disc.AddTableOnlyFile("/ghost/never.bin", 0x9000 / 4, 5);
         disc.AddEmptyDirectory("/a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p");
         return disc;
       }},
      {"many_files",
       [] {
         DiscBuilder disc(0x1000);
         disc.SetConfig("cfg");
         for (int i = 0; i < 40; ++i) {
           std::string dir = "/d" + std::to_string(i % 4);
           disc.AddFile(dir + "/f" + std::to_string(i), 0x10000 + 0x100 * i, std::to_string(i));
         }
         return disc;
       }},
      {"system_files_and_placeholders",
       [] {
         DiscBuilder disc(0x800);
         disc.SetConfig("config blob");
         disc.AddPlaceholder(0x1000);
         disc.AddSystemFile("bi2.bin", 0x1000, std::string(32, 'b'));
         disc.AddSystemFile("apploader.img", 0x2440, "apploader");
         disc.AddPlaceholder(0x3000);
         disc.AddFile("/x.bin", 0x3000, "x");
         disc.AddSystemFile("main.dol", 0x4000, "dol");
         disc.AddPlaceholder(0x5000);
         return disc;
       }},
      {"above_4gib",
       [] {
         DiscBuilder disc(0xFFFFF000ull);  // the table as high as it may lie
         disc.AddFile("/low.bin", 0xFFFFFF00ull, "low");
         disc.AddFile("/high/a.bin", 0x100000000ull, "a");
         disc.AddFile("/high/b.bin", 0x7FFFFFFF0ull, "b");
         disc.AddPlaceholder(0xFFFFFFFFFFFFFFF0ull);
         return disc;
       }},
      {"unaligned_offset",
       [] {
         DiscBuilder disc(0x1000);
         FstTree tree;
         AddFstFilePath(&tree, "/odd.bin", 0x10000 / 4, 3);
         AddFstFilePath(&tree, "/Case.BIN", 0x10100 / 4, 2);
         disc.OverrideTable(BuildFstTable(tree));
         disc.AddSystemFile("odd", 0x10003, "odd");
         disc.AddSystemFile("case", 0x10100, "cc");
         return disc;
       }},
      {"odd_names",
       [] {
         DiscBuilder disc(0x1000);
         FstTree tree;
         uint32_t dir = AddFstDirectory(&tree, 0, "sp ace.dir");
         AddFstFile(&tree, dir, "a,b", 0x2000 / 4, 1);
         AddFstFile(&tree, dir, "...", 0x2004 / 4, 1);
         AddFstFile(&tree, 0, "back\\slash", 0x2008 / 4, 1);
         AddFstFile(&tree, 0, "UPPER.txt", 0x200C / 4, 1);
         AddFstFile(&tree, 0, "high\xff", 0x2010 / 4, 1);
         disc.OverrideTable(BuildFstTable(tree));
         for (uint64_t offset = 0x2000; offset <= 0x2010; offset += 4) {
           disc.AddSystemFile("f" + std::to_string(offset), offset, "n");
         }
         return disc;
       }},
      {"long_path",
       [] {
         DiscBuilder disc(0x1000);
         std::string path;
         // Long, yet short enough for the fuzz target's extraction directory.
         for (int i = 0; i < 10; ++i) path += "/" + std::string(18, static_cast<char>('a' + i));
         disc.AddFile(path + "/end.bin", 0x8000, "end");
         disc.AddEmptyDirectory(path + "/empty");
         return disc;
       }},
      {"dot_dot_name",
       [] {
         DiscBuilder disc(0x1000);
         FstTree tree;
         AddFstFile(&tree, AddFstDirectory(&tree, 0, "d"), "..", 0x2000 / 4, 1);
         disc.OverrideTable(BuildFstTable(tree));
         disc.AddSystemFile("f", 0x2000, "n");
         return disc;
       }},
      {"duplicate_placement",
       [] {
         DiscBuilder disc(0x1000);
         disc.AddFile("/same.bin", 0x2000, "same");
         disc.AddSystemFile("copy", 0x2000, "same");
         return disc;
       }},
  };
}

// A file large enough for the kernel to copy, whose bytes lie in the tail
// that fuzz_unpack appends to inputs whose last byte has bit 1 set: the seed
// itself stays small.
const uint32_t LARGE_FILE_SIZE = 0x48000;  // 288 KiB, less than the tail

std::string LargeFileQpk() {
  DiscBuilder disc(0x1000);
  disc.AddTableOnlyFile("/big.bin", 0x100000 / 4, LARGE_FILE_SIZE);
  std::string qpk = disc.QpkWithoutConfig({{0x100000, std::string(LARGE_FILE_SIZE, '\0')}});
  // The file's bytes come from the tail instead.
  qpk.resize(qpk.size() - LARGE_FILE_SIZE);
  return qpk + "\x02";  // not traced, with the tail
}

// A table whose one unnamed file, in a folder before the stored files, the
// unpack target repeats 60,000 times (bit 2 of the last byte; entry 2,
// after the root and the folder): every stored file's folder then lies
// behind all the copies.
std::string GrownTableQpk() {
  DiscBuilder disc(0x1000);
  disc.AddTableOnlyFile("/ghosts/g", 0, 1);
  std::vector<std::pair<uint64_t, std::string>> files;
  for (int i = 0; i < 64; ++i) {
    disc.AddTableOnlyFile("/s" + std::to_string(i), (0x10000 + 4 * i) / 4, 4);
    files.push_back({0x10000 + 4 * i, "data"});
  }
  const unsigned char grow[] = {2, 0, 0x60, 0xEA, 0x04};  // entry 2, 60,000 more, bit 2
  return disc.QpkWithoutConfig(files) + std::string(reinterpret_cast<const char*>(grow), 5);
}

// Tables that only the fst target gets: shapes at the edges of the queries.
std::vector<std::pair<std::string, std::vector<unsigned char>>> ExtraTables() {
  std::vector<std::pair<std::string, std::vector<unsigned char>>> tables;
  FstTree chain;
  uint32_t dir = 0;
  for (int i = 0; i < 200; ++i) dir = AddFstDirectory(&chain, dir, "d" + std::to_string(i % 10));
  AddFstFile(&chain, dir, "leaf", 0x100, 4);
  tables.push_back({"deep_chain", BuildFstTable(chain)});

  // Paths are built from batches of 1024 directories: one more than that.
  FstTree deeper;
  dir = 0;
  for (int i = 0; i < 1025; ++i) dir = AddFstDirectory(&deeper, dir, "d");
  AddFstFile(&deeper, dir, "f", 0x100, 1);
  tables.push_back({"deeper_than_a_path_batch", BuildFstTable(deeper)});

  FstTree wide;
  for (int i = 0; i < 150; ++i) {
    AddFstFile(&wide, 0, "w" + std::to_string(i), 0x100 + static_cast<uint32_t>(i % 3), i % 2);
  }
  tables.push_back({"wide_root", BuildFstTable(wide)});

  FstTree folded;
  AddFstDirectoryPath(&folded, "/A/b");
  AddFstFilePath(&folded, "/a/B", 0x10, 1);
  AddFstFilePath(&folded, "/a/b/.x", 0x20, 0);
  AddFstFilePath(&folded, "/a/b/..x", 0x20, 0);
  tables.push_back({"case_folded_names", BuildFstTable(folded)});

  // Raw: a directory whose parent link is not the directory around it.
  tables.push_back({"crossed_parent_links",
                    EncodeFstTable({{1, 0, 0, 4}, {1, 0, 0, 3}, {1, 2, 0, 3}, {0, 4, 5, 6}},
                                   std::string("a\0b\0f\0", 6))});
  return tables;
}

// Variants of a dlf text that the reader must take the same way, and some
// it must refuse.
const char NUL_IN_TEXT[] =
    "v2.00\nQTX_CONFIG_FILE,\"\"\n0x0,\"a\"\n\0"
    "0x4,\"b\"\n";

std::vector<std::pair<std::string, std::string>> DlfVariants(const std::string& dlf) {
  auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
      text.replace(at, from.size(), to);
    }
    return text;
  };
  return {
      {"crlf", replaced(dlf, "\n", "\r\n")},
      {"cr", replaced(dlf, "\n", "\r")},
      {"blank_lines", "\n\r\n" + replaced(dlf, "\n", "\n\n") + "\n\n"},
      {"no_final_line_end", dlf.substr(0, dlf.size() - 1)},
      {"offset_forms",
       "v2.00\nQTX_CONFIG_FILE,\"\"\n10,\"a\"\n0X10,\"b\"\n   0x10,\"c\"\n,\"d\"\nzz,\"e\"\n"
       "0x1g,\"f\"\n-1,\"g\"\n+0x20,\"h\"\nffffffffffffffffff,\"i\"\n"},
      {"names", "v2.00\nQTX_CONFIG_FILE,\"c.cfg\"\n0x0,\"a,b\"\n0x4,\"\"\n0x8,\"x\" trailing\n"},
      {"header_only", "v2.00\nQTX_CONFIG_FILE,\"\"\n"},
      {"nul_ends_text", std::string(NUL_IN_TEXT, sizeof NUL_IN_TEXT - 1)},
      {"long_config_name", "v2.00\nQTX_CONFIG_FILE,\"" + std::string(300, 'c') + "\"\n"},
      {"long_line", "v2.00\nQTX_CONFIG_FILE,\"\"\n0x0,\"" + std::string(1100, 'n') + "\"\n"},
      {"bad_version", "V2.00\n"},
      {"bad_config", "v2.00\nQTX_CONFIG_FILE \"x\"\n"},
      {"bad_entry", "v2.00\nQTX_CONFIG_FILE,\"\"\n0x10 \"x\"\n0x20,x\n"},
  };
}

void WriteSeed(const fs::path& path, const std::string& bytes, size_t limit) {
  if (bytes.size() > limit) {
    std::fprintf(stderr, "seed %s is %zu bytes, more than %zu\n", path.c_str(), bytes.size(),
                 limit);
    std::exit(1);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Packs `dlf` into `qpk` in-process. Pack mode moves to the dlf file's
// folder, so the paths are absolute and the working directory is restored.
void Pack(const fs::path& dlf, const fs::path& qpk) {
  fs::path startDir = fs::current_path();
  std::string dlfPath = fs::absolute(dlf).string();
  std::string qpkPath = fs::absolute(qpk).string();
  try {
    ::Pack(PackRequest{dlfPath.c_str(), qpkPath.c_str(), false});
  } catch (const FatalExit&) {
    std::fprintf(stderr, "packing %s failed\n", dlf.c_str());
    std::exit(1);
  }
  fs::current_path(startDir);
}

// fuzz_pack's inputs: a dlf file, then after each 0x01 byte the contents of
// f0, f1, ...; the last byte steers the run (see fuzz/fuzz_pack.cpp).
std::vector<std::pair<std::string, std::string>> PackSeeds() {
  const std::string header = "v2.00\nQTX_CONFIG_FILE,\"cfg\"\n";
  const std::string none = "v2.00\nQTX_CONFIG_FILE,\"\"\n";
  const std::string files =
      "\x01" + std::string("boot") + "\x01" + std::string(300, 'b') + "\x01\x01" + "last";
  return {
      {"every_kind", header +
                         "0,\"f0\"\n0x100,\"\"\n0x200,\"f1\"\n0x300,\"f2\"\n"
                         "0x100000000,\"f0\"\n0x400,\"d/x\"\n" +
                         files + "\x00"},
      {"no_config_traced", none + "0x10,\"\"\n0x20,\"f3\"\n" + files + "\x01"},
      {"older_qpk_kept", header + "0,\"f0\"\n4,\"gone\"\n" + files + "\x02"},
      {"older_qpk_listed", none + "0,\"out.qpk\"\n" + files + "\x02"},
      {"qpk_is_an_input", header + "0,\"f1\"\n4,\"f0\"\n" + files + "\x04"},
      {"qpk_in_subfolder", header + "0,\"f1\"\n" + files + "\x0a"},
      {"fifo_listed", none + "0,\"f0\"\n4,\"p\"\n" + files + "\x02"},
      {"directory_listed", none + "0,\"d\"\n" + files + "\x00"},
      {"dlf_listed", header + "0,\"in.dlf\"\r\n" + files + "\x00"},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  SetFatalThrows(true);
  if (!AllocateCopyBuffer()) {
    std::fprintf(stderr, "cannot allocate the copy buffer\n");
    return 1;
  }
  const fs::path root = fs::absolute(argv[1]);
  const fs::path work = root / "discs";
  fs::remove_all(work);
  for (const char* target : {"dlf", "fst", "unpack", "pack"}) fs::create_directories(root / target);

  for (const DiscShape& shape : DiscShapes()) {
    DiscBuilder disc = shape.build();
    fs::path dir = work / shape.name;
    disc.Write(dir.string(), "layout.dlf");
    Pack(dir / "layout.dlf", dir / "layout.qpk");
    WriteSeed(root / "unpack" / (std::string(shape.name) + ".qpk"), ReadFile(dir / "layout.qpk"),
              MAX_UNPACK_SEED);
    WriteSeed(root / "dlf" / (std::string(shape.name) + ".dlf"), ReadFile(dir / "layout.dlf"),
              MAX_DLF_SEED);
    std::vector<unsigned char> table = disc.TableBytes();
    WriteSeed(root / "fst" / (std::string(shape.name) + ".fst"),
              std::string(table.begin(), table.end()), MAX_FST_SEED);
  }
  WriteSeed(root / "unpack" / "large_file_in_the_tail.qpk", LargeFileQpk(), MAX_UNPACK_SEED);
  WriteSeed(root / "unpack" / "grown_table.qpk", GrownTableQpk(), MAX_UNPACK_SEED);
  for (const auto& table : ExtraTables()) {
    WriteSeed(root / "fst" / (table.first + ".fst"),
              std::string(table.second.begin(), table.second.end()), MAX_FST_SEED);
  }
  for (const auto& variant : DlfVariants(ReadFile(work / "example" / "layout.dlf"))) {
    WriteSeed(root / "dlf" / (variant.first + ".dlf"), variant.second, MAX_DLF_SEED);
  }
  for (const auto& seed : PackSeeds()) {
    WriteSeed(root / "pack" / (seed.first + ".in"), seed.second, MAX_PACK_SEED);
  }
  fs::remove_all(work);
  ReleaseCopyBuffer();
  return 0;
}
