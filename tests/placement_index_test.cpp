// The placement index answers exactly as the scan of the whole table does,
// the zero-length count included, on random tables full of shared
// placements, and never answers from a table that is no longer installed.
// Records used side by side keep their indexes and counters apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "app/options.h"
#include "base/coding.h"
#include "dvdfs/dvdfs.h"
#include "tests/support/fst_builder.h"
#include "tests/support/fst_fixture.h"

namespace {

struct Query {
  uint32_t position;
  uint32_t length;
};

using PlacementIndexTest = FstTableTest;

// Few positions and lengths, so that many files share a placement, and
// about a third of the files have length 0.
const uint32_t POSITIONS[] = {0, 1, 0x400, 0x401, 0x10000, 0xFFFFFFFF};
const uint32_t LENGTHS[] = {0, 0, 0, 1, 32, 0x7FFFFFFF, 0xFFFFFFFF};

template <typename T, size_t N>
T Pick(std::mt19937* random, const T (&values)[N]) {
  return values[(*random)() % N];
}

// Directories nest at random; files land in any directory made so far.
std::vector<unsigned char> RandomTable(std::mt19937* random) {
  FstTree tree;
  std::vector<uint32_t> dirs = {0};
  uint32_t nodes = 1 + (*random)() % 120;
  for (uint32_t i = 0; i < nodes; ++i) {
    uint32_t parent = dirs[(*random)() % dirs.size()];
    std::string name = "n" + std::to_string(i);
    if ((*random)() % 5 == 0) {
      dirs.push_back(AddFstDirectory(&tree, parent, name));
    } else {
      AddFstFile(&tree, parent, name, Pick(random, POSITIONS), Pick(random, LENGTHS));
    }
  }
  return BuildFstTable(tree);
}

// Runs of zero-length queries at one position or at mixed positions,
// broken by non-zero queries that match or miss; positions that no file
// has are asked too.
std::vector<Query> RandomQueries(std::mt19937* random) {
  const uint32_t MISSES[] = {2, 0x402, 0x7FFFFFFF};
  std::vector<Query> queries;
  while (queries.size() < 300) {
    uint32_t run = (*random)() % 8;
    uint32_t position = Pick(random, POSITIONS);
    bool mixed = (*random)() % 3 == 0;
    for (uint32_t i = 0; i < run; ++i) {
      queries.push_back({mixed ? Pick(random, POSITIONS) : position, 0});
    }
    uint32_t length = Pick(random, LENGTHS);
    if (length == 0) length = 1;
    queries.push_back(
        {(*random)() % 4 == 0 ? Pick(random, MISSES) : Pick(random, POSITIONS), length});
  }
  return queries;
}

std::vector<int32_t> Answers(int32_t (*find)(const unsigned char*, uint32_t, uint32_t),
                             const std::vector<unsigned char>& table,
                             const std::vector<Query>& queries) {
  ResetFstState();
  InstallFstTable(table.data());
  std::vector<int32_t> answers;
  for (const Query& q : queries) answers.push_back(find(table.data(), q.position, q.length));
  return answers;
}

TEST_F(PlacementIndexTest, AgreesWithTheScanQueryByQueryOnRandomTables) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 300; ++round) {
    std::vector<unsigned char> table = RandomTable(&random);
    ValidateFstTable(table.data(), table.size());
    std::vector<Query> queries = RandomQueries(&random);
    std::vector<int32_t> scanned = Answers(FindFstFileByPlacementLinear, table, queries);
    std::vector<int32_t> indexed = Answers(FindFstFileByPlacement, table, queries);
    for (size_t i = 0; i < queries.size(); ++i) {
      ASSERT_EQ(indexed[i], scanned[i])
          << "round " << round << ", query " << i << ": position 0x" << std::hex
          << queries[i].position << ", length 0x" << queries[i].length;
    }
  }
}

// The parent of every file, asked in an order that grows the index both
// step by step and in jumps, on random tables and on tables installed
// without validation whose ranges overlap at random.
TEST_F(PlacementIndexTest, ParentIndexAgreesWithTheScanInAnyQueryOrder) {
  std::mt19937 random(20240602);
  for (int round = 0; round < 300; ++round) {
    std::vector<unsigned char> table = RandomTable(&random);
    if (round % 2 == 1) {
      uint32_t count = LoadBE32(&table[8]);
      for (uint32_t e = 1; e < count; ++e) {
        if (random() % 3 != 0) continue;
        table[e * FST_ENTRY_SIZE] = 1;
        StoreBE32(&table[e * FST_ENTRY_SIZE + 8], e + 1 + random() % (count + 1 - e));
      }
    }
    ResetFstState();
    InstallFstTable(table.data());
    uint32_t count = InstalledFst().entryCount;
    std::vector<uint32_t> order;
    for (uint32_t e = 1; e < count; ++e) order.push_back(e);
    std::shuffle(order.begin(), order.end(), random);
    for (uint32_t e : order) {
      if (FstIsDirectory(e)) continue;
      int32_t scanned = FindFstParentDirLinear(static_cast<int32_t>(e));
      ASSERT_EQ(FindFstParentDir(static_cast<int32_t>(e)), scanned)
          << "round " << round << ", entry " << e;
    }
  }
}

// A table that names few of its entries, placed before the stored files,
// costs one pass: the count of entries visited grows with the table, not
// with its square.
TEST_F(PlacementIndexTest, NamingEveryFileVisitsEachEntryAFewTimesAtMost) {
  for (uint32_t unnamed : {1000u, 8000u}) {
    FstTree tree;
    uint32_t ghosts = AddFstDirectory(&tree, 0, "ghosts");
    for (uint32_t i = 0; i < unnamed; ++i) AddFstFile(&tree, ghosts, "g" + std::to_string(i), 0, 1);
    uint32_t stored = AddFstDirectory(&tree, 0, "stored");
    for (uint32_t i = 0; i < unnamed; ++i) {
      AddFstFile(&tree, stored, "s" + std::to_string(i), 0x1000 + i, 4);
    }
    Install(BuildFstTable(tree));
    uint64_t before = FstEntriesVisited();
    char path[1024];
    for (uint32_t i = 0; i < unnamed; ++i) {
      int32_t entry = FindFstFileByPlacement(table_.data(), 0x1000 + i, 4);
      DVDConvertEntrynumToPath(entry, path, sizeof path);
    }
    uint64_t visited = FstEntriesVisited() - before;
    EXPECT_LE(visited, 4u * InstalledFst().entryCount) << unnamed << " unnamed entries";
  }
}

TEST_F(PlacementIndexTest, ZeroLengthRunTakesTheFilesOfItsPositionInEntryOrder) {
  FstTree tree;
  uint32_t d = AddFstDirectory(&tree, 0, "d");
  AddFstFile(&tree, d, "z1", 0x40, 0);
  AddFstFile(&tree, 0, "n", 0x40, 7);
  AddFstFile(&tree, d, "z2", 0x40, 0);  // added after n, but lies before it
  AddFstFile(&tree, 0, "z3", 0x40, 0);
  AddFstFile(&tree, 0, "far", 0x80, 0);
  std::vector<unsigned char> table = BuildFstTable(tree);
  // Depth-first: d 1, z1 2, z2 3, n 4, z3 5, far 6.
  const struct {
    Query query;
    int32_t entry;
  } cases[] = {
      {{0x40, 0}, 2},  {{0x40, 0}, 3}, {{0x80, 0}, -1},  // the third zero query: only one at 0x80
      {{0x40, 0}, -1},                                   // the fourth: none left at 0x40
      {{0x40, 7}, 4},                                    // restarts the count
      {{0x80, 0}, 6},  {{0x40, 0}, 3},                   // first at 0x80, second at 0x40
      {{0x40, 0}, 5},
  };
  std::vector<Query> queries;
  for (const auto& c : cases) queries.push_back(c.query);
  std::vector<int32_t> answers = Answers(FindFstFileByPlacement, table, queries);
  for (size_t i = 0; i < queries.size(); ++i) EXPECT_EQ(answers[i], cases[i].entry) << i;
  EXPECT_EQ(Answers(FindFstFileByPlacementLinear, table, queries), answers);
}

TEST_F(PlacementIndexTest, ReinstallingRebuildsTheIndexEvenAtTheSameAddress) {
  FstTree first, second;
  AddFstFile(&first, 0, "a", 0x100, 5);
  AddFstFile(&second, 0, "x", 0x200, 9);
  AddFstFile(&second, 0, "b", 0x100, 5);
  std::vector<unsigned char> a = BuildFstTable(first), b = BuildFstTable(second);
  std::vector<unsigned char> memory(a.size() + b.size());
  std::copy(a.begin(), a.end(), memory.begin());
  InstallFstTable(memory.data());
  EXPECT_EQ(FindFstFileByPlacement(memory.data(), 0x100, 5), 1);
  std::copy(b.begin(), b.end(), memory.begin());
  InstallFstTable(memory.data());
  EXPECT_EQ(FindFstFileByPlacement(memory.data(), 0x100, 5), 2);
  EXPECT_EQ(FindFstFileByPlacement(memory.data(), 0x200, 9), 1);
}

TEST_F(PlacementIndexTest, TableOtherThanTheInstalledOneIsAnsweredFromItsOwnBytes) {
  FstTree installed, other;
  AddFstFile(&installed, 0, "a", 0x100, 5);
  AddFstFile(&other, 0, "x", 0x200, 9);
  AddFstFile(&other, 0, "b", 0x100, 5);
  std::vector<unsigned char> a = BuildFstTable(installed), b = BuildFstTable(other);
  InstallFstTable(a.data());
  EXPECT_EQ(FindFstFileByPlacement(a.data(), 0x100, 5), 1);
  EXPECT_EQ(FindFstFileByPlacement(b.data(), 0x100, 5), 2);
  EXPECT_EQ(FindFstFileByPlacement(b.data(), 0x200, 9), 1);
  EXPECT_EQ(FindFstFileByPlacement(a.data(), 0x200, 9), -1);
}

// Two zero-length files at 0x40, then the file n (0x40, 7) in the root.
std::vector<unsigned char> ZeroPairTable(const char* first, const char* second) {
  FstTree tree;
  AddFstFilePath(&tree, first, 0x40, 0);
  AddFstFilePath(&tree, second, 0x40, 0);
  AddFstFilePath(&tree, "n", 0x40, 7);
  return BuildFstTable(tree);
}

std::string PathIn(FstTable* table, int32_t entry) {
  char buffer[64];
  FstEntryPath(table, entry, buffer, sizeof buffer);
  return buffer;
}

// Two records and the installed table (over the second record's bytes),
// queried in turn: each answers as if it were alone, so no index, counter
// or count of visits is shared.
TEST_F(PlacementIndexTest, RecordsSideBySideKeepIndexesAndCountersApart) {
  // Entries: 0 root, 1 z1, 2 z2, 3 n; and 0 root, 1 d/, 2 d/z, 3 e/, 4 e/z, 5 n.
  std::vector<unsigned char> flat = ZeroPairTable("z1", "z2");
  std::vector<unsigned char> nested = ZeroPairTable("d/z", "e/z");
  FstTable a, b;
  OpenFstTable(&a, flat.data());
  OpenFstTable(&b, nested.data());
  Install(nested);
  FstZeroLengthCounter countA = {0}, countB = {0};
  const struct {
    char table;  // 'a', 'b' or 'i' for the installed one
    uint32_t length;
    int32_t entry;
  } queries[] = {
      {'a', 0, 1}, {'b', 0, 2}, {'i', 0, 2},  {'a', 0, 2}, {'b', 0, 4},
      {'a', 7, 3}, {'i', 0, 4}, {'b', 0, -1}, {'a', 0, 1}, {'i', 0, -1},
  };
  for (const auto& q : queries) {
    int32_t found = q.table == 'a'   ? FindFstFileIn(&a, &countA, 0x40, q.length)
                    : q.table == 'b' ? FindFstFileIn(&b, &countB, 0x40, q.length)
                                     : FindFstFileByPlacement(table_.data(), 0x40, q.length);
    EXPECT_EQ(found, q.entry) << q.table << " length " << q.length;
  }
  // A's parent index covers entries 0 to 3 before B's is asked for.
  EXPECT_EQ(PathIn(&a, 3), "/n");
  EXPECT_EQ(PathIn(&b, 4), "/e/z");
  EXPECT_EQ(PathIn(&b, 2), "/d/z");
  EXPECT_EQ(FstPathToEntry(a, "n"), 3);
  EXPECT_EQ(FstPathToEntry(b, "n"), 5);
  EXPECT_EQ(FstPathToEntry(a, "d/z"), -1);
  EXPECT_EQ(DVDConvertPathToEntrynum("d/z"), 2);

  uint64_t visitedA = FstEntriesVisitedIn(a), installed = FstEntriesVisited();
  EXPECT_EQ(FindFstFileIn(&b, &countB, 0x40, 7), 5);
  EXPECT_EQ(PathIn(&b, 5), "/n");
  EXPECT_EQ(FstEntriesVisitedIn(a), visitedA);
  EXPECT_EQ(FstEntriesVisited(), installed);
  // Re-opened over other bytes, a record forgets its index but keeps its
  // count of visits.
  OpenFstTable(&a, nested.data());
  EXPECT_EQ(FstEntriesVisitedIn(a), visitedA);
  EXPECT_EQ(FindFstFileIn(&a, &countA, 0x40, 7), 5);
  EXPECT_EQ(PathIn(&a, 2), "/d/z");
}

// An empty record, and a null table given to the installed queries, find
// nothing; a query still counts.
TEST_F(PlacementIndexTest, EmptyRecordAndNullTableFindNothing) {
  FstTable empty;
  OpenFstTable(&empty, ZeroPairTable("z1", "z2").data());
  OpenFstTable(&empty, nullptr);
  EXPECT_EQ(empty.entryCount, 0u);
  FstZeroLengthCounter counter = {0};
  EXPECT_EQ(FindFstFileIn(&empty, &counter, 0x40, 0), -1);
  EXPECT_EQ(counter.count, 1u);
  EXPECT_EQ(FstPathToEntry(empty, "n"), -1);
  FstDirCursor cursor = {0, 1, 4};
  FstDirItem item{};
  EXPECT_EQ(FstReadDirEntryIn(empty, &cursor, &item), 0);
  EXPECT_EQ(FindFstFileByPlacement(nullptr, 0x40, 0), -1);
  EXPECT_EQ(FindFstFileByPlacementLinear(nullptr, 0x40, 7), -1);
}

}  // namespace
