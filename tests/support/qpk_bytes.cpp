#include "tests/support/qpk_bytes.h"

#include "base/coding.h"

namespace {

const size_t HEADER_SIZE = 32;
const size_t ENTRY_SIZE = 24;

void Append32(std::string* out, uint32_t value) {
  unsigned char bytes[4];
  StoreLE32(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void Append64(std::string* out, uint64_t value) {
  unsigned char bytes[8];
  StoreLE64(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

QpkHeader LoadHeader(const unsigned char* in) {
  return {LoadLE32(in),      LoadLE32(in + 4),  LoadLE32(in + 8),  LoadLE32(in + 12),
          LoadLE32(in + 16), LoadLE32(in + 20), LoadLE32(in + 24), LoadLE32(in + 28)};
}

QpkEntry LoadEntry(const unsigned char* in) {
  return {LoadLE64(in), LoadLE64(in + 8), LoadLE32(in + 16), LoadLE32(in + 20)};
}

}  // namespace

QpkHeader PackedQpkHeader(uint32_t entryCount) {
  return {0xE0F92B6A, 0, 32, 0, 32, entryCount, 32 + 24 * entryCount, 0};
}

std::string MakeQpkBytes(const QpkHeader& header, const std::vector<QpkEntry>& entries,
                         const std::string& data) {
  std::string out;
  for (uint32_t word :
       {header.magic, header.reserved0, header.extraOffset, header.extraSize,
        header.entryTableOffset, header.entryCount, header.dataRegionOffset, header.reserved1}) {
    Append32(&out, word);
  }
  for (const QpkEntry& entry : entries) {
    Append64(&out, entry.discOffset);
    Append64(&out, entry.dataOffset);
    Append32(&out, entry.dataSize);
    Append32(&out, entry.flags);
  }
  return out + data;
}

std::string MakeQpkBytes(const std::vector<QpkEntry>& entries, const std::string& data) {
  return MakeQpkBytes(PackedQpkHeader(static_cast<uint32_t>(entries.size())), entries, data);
}

QpkParts SplitQpkBytes(const std::string& bytes) {
  std::string head = bytes.substr(0, HEADER_SIZE);
  head.resize(HEADER_SIZE, '\0');
  QpkParts parts = {LoadHeader(reinterpret_cast<const unsigned char*>(head.data())), false, {}, {}};
  uint64_t tableEnd = HEADER_SIZE + ENTRY_SIZE * static_cast<uint64_t>(parts.header.entryCount);
  if (tableEnd > bytes.size()) return parts;
  parts.tableWhole = true;
  const unsigned char* table = reinterpret_cast<const unsigned char*>(bytes.data()) + HEADER_SIZE;
  for (uint32_t i = 0; i < parts.header.entryCount; ++i) {
    parts.entries.push_back(LoadEntry(table + ENTRY_SIZE * i));
  }
  parts.data = bytes.substr(tableEnd);
  return parts;
}
