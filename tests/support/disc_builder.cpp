#include "tests/support/disc_builder.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "base/coding.h"
#include "tests/support/qpk_bytes.h"

namespace fs = std::filesystem;

namespace {

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteGeneratedFile(const std::string& path, uint64_t size, uint32_t seed) {
  fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(seed);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  for (uint64_t done = 0; done < size;) {
    for (uint64_t& word : block) word = random();
    uint64_t chunk = std::min<uint64_t>(size - done, block.size() * sizeof(uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
    done += chunk;
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string DlfLine(uint64_t discOffset, const std::string& name) {
  char offset[32];
  std::snprintf(offset, sizeof offset, "0x%016llx", static_cast<unsigned long long>(discOffset));
  return std::string(offset) + ",\"" + name + "\"\n";
}

uint32_t Position(uint64_t discOffset) {
  return static_cast<uint32_t>(discOffset / 4);
}

}  // namespace

std::string DiscFileName(const std::string& tablePath) {
  return "files" + (tablePath.empty() || tablePath[0] != '/' ? "/" + tablePath : tablePath);
}

DiscBuilder::DiscBuilder(uint64_t tableOffset) : tableOffset_(tableOffset) {}

void DiscBuilder::SetConfig(const std::string& content) {
  hasConfig_ = true;
  config_ = content;
}

void DiscBuilder::AddEmptyDirectory(const std::string& tablePath) {
  AddFstDirectoryPath(&tree_, tablePath);
}

void DiscBuilder::AddFile(const std::string& tablePath, uint64_t discOffset,
                          const std::string& content) {
  AddFstFilePath(&tree_, tablePath, Position(discOffset), static_cast<uint32_t>(content.size()));
  lines_.push_back({Line::FILE, DiscFileName(tablePath), discOffset, content, 0, 0});
}

void DiscBuilder::AddGeneratedFile(const std::string& tablePath, uint64_t discOffset, uint64_t size,
                                   uint32_t seed) {
  AddFstFilePath(&tree_, tablePath, Position(discOffset), static_cast<uint32_t>(size));
  lines_.push_back({Line::GENERATED, DiscFileName(tablePath), discOffset, "", size, seed});
}

void DiscBuilder::AddSystemFile(const std::string& name, uint64_t discOffset,
                                const std::string& content) {
  lines_.push_back({Line::SYSTEM, name, discOffset, content, 0, 0});
}

void DiscBuilder::AddTableOnlyFile(const std::string& tablePath, uint32_t filePosition,
                                   uint32_t fileLength) {
  AddFstFilePath(&tree_, tablePath, filePosition, fileLength);
}

void DiscBuilder::AddPlaceholder(uint64_t discOffset) {
  lines_.push_back({Line::PLACEHOLDER, "", discOffset, "", 0, 0});
}

void DiscBuilder::OverrideTable(const std::vector<unsigned char>& table) {
  tableOverridden_ = true;
  table_ = table;
}

std::vector<unsigned char> DiscBuilder::TableBytes() const {
  return tableOverridden_ ? table_ : BuildFstTable(tree_);
}

std::string DiscBuilder::BootBlock() const {
  std::string boot(DISC_BOOT_SIZE, '\0');
  boot.replace(0, 8, "QRLTDISC");
  unsigned char words[8];
  StoreBE32(words, Position(tableOffset_));
  StoreBE32(words + 4, static_cast<uint32_t>((TableBytes().size() + 3) / 4));
  boot.replace(1060, 8, reinterpret_cast<const char*>(words), 8);
  return boot;
}

std::string DiscBuilder::QpkWithoutConfig(
    const std::vector<std::pair<uint64_t, std::string>>& files) const {
  std::vector<unsigned char> table = TableBytes();
  std::string data = BootBlock();
  data.resize(tableOffset_, '\0');
  data.append(table.begin(), table.end());
  data.resize((data.size() + 3) / 4 * 4, '\0');

  std::vector<QpkEntry> entries = {{0, 0, static_cast<uint32_t>(data.size()), 0}};
  for (const auto& file : files) {
    entries.push_back({file.first, data.size(), static_cast<uint32_t>(file.second.size()), 0});
    data += file.second;
  }
  return MakeQpkBytes(entries, data);
}

void DiscBuilder::Write(const std::string& dir, const std::string& dlfName) const {
  std::vector<unsigned char> table = TableBytes();
  std::string tableBytes(table.begin(), table.end());
  tableBytes.resize((tableBytes.size() + 3) / 4 * 4, '\0');  // the size is stored in words

  std::string dlf = "v2.00\n";
  dlf += std::string("QTX_CONFIG_FILE,\"") + (hasConfig_ ? "config.bin" : "") + "\"\n";
  if (hasConfig_) WriteWholeFile(dir + "/config.bin", config_);
  dlf += DlfLine(0, "boot.bin");
  WriteWholeFile(dir + "/boot.bin", BootBlock());
  dlf += DlfLine(tableOffset_, "fst.bin");
  WriteWholeFile(dir + "/fst.bin", tableBytes);
  for (const Line& line : lines_) {
    dlf += DlfLine(line.discOffset, line.name);
    if (line.kind == Line::GENERATED) {
      WriteGeneratedFile(dir + "/" + line.name, line.size, line.seed);
    } else if (line.kind != Line::PLACEHOLDER) {
      WriteWholeFile(dir + "/" + line.name, line.content);
    }
  }
  WriteWholeFile(dir + "/" + dlfName, dlf);
}

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
