// qpk files as bytes, for tests and fuzz targets: built from a header,
// entries and a data region, and split back into them. Every field is coded
// here on its own, not through the product's record coding, so that the
// tests still check that coding.
//
//   std::string file = MakeQpkBytes({{0x0, 0, 4, 0}, {0x1000, 4, 0, 1}}, "BOOT");
//   QpkParts parts = SplitQpkBytes(file);  // parts.entries[1].flags == 1
#ifndef QUORLITH_TESTS_SUPPORT_QPK_BYTES_H_
#define QUORLITH_TESTS_SUPPORT_QPK_BYTES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "package/qpk.h"

// The header that Pack mode writes for `entryCount` entries.
QpkHeader PackedQpkHeader(uint32_t entryCount);

// `header`, then `entries` from file offset 32, then `data`. Nothing is
// checked, so the header may count other entries than are given.
std::string MakeQpkBytes(const QpkHeader& header, const std::vector<QpkEntry>& entries,
                         const std::string& data);
// The same under the header that Pack mode writes for these entries.
std::string MakeQpkBytes(const std::vector<QpkEntry>& entries, const std::string& data);

struct QpkParts {
  // The first 32 bytes; those a short file lacks read as zero.
  QpkHeader header;
  // Whether the file holds the whole table the header counts; only then
  // are `entries` and `data` filled.
  bool tableWhole;
  std::vector<QpkEntry> entries;
  // Everything after the table.
  std::string data;
};

QpkParts SplitQpkBytes(const std::string& bytes);

#endif  // QUORLITH_TESTS_SUPPORT_QPK_BYTES_H_
