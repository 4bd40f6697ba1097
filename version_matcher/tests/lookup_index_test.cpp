#include "lookup_index.h"

#include "fail_record.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace {

// Distinct fake values: the index only stores and returns the pointers.
PyObject* fake_value(uintptr_t n) { return reinterpret_cast<PyObject*>(n * 16); }

class LookupIndexTest : public ::testing::Test {
 protected:
  void TearDown() override { index_free(&index); }

  StrongEntry* strong_list(std::initializer_list<std::pair<uint8_t, uintptr_t>> digests);
  WeakEntry* add(uint32_t sum, StrongEntry* strong, uint32_t size = 8);
  int seal() { return index_seal(&index, &caller); }
  const WeakEntry* find(uint32_t sum) { return find_weak_entry(&index, sum); }

  Caller caller;
  LookupIndex index;
};

StrongEntry* LookupIndexTest::strong_list(std::initializer_list<std::pair<uint8_t, uintptr_t>> digests) {
  StrongEntry* head = nullptr;
  StrongEntry** tail = &head;
  for (auto [fill, value] : digests) {
    StrongEntry* s = new_strong_entry(&index);
    std::memset(s->digest, fill, 16);
    s->value = fake_value(value);
    *tail = s;
    tail = &s->next;
  }
  return head;
}

WeakEntry* LookupIndexTest::add(uint32_t sum, StrongEntry* strong, uint32_t size) {
  WeakEntry* e = new_weak_entry(&index, size);
  e->sum = sum;
  e->strong = strong;
  return e;
}

TEST_F(LookupIndexTest, SumsSharingTheLowBitsAreToldApart) {
  // Same low 16 bits, three different sums; an entry without digests is
  // never found.
  WeakEntry* a = add(0x00010005, strong_list({{1, 1}}));
  WeakEntry* b = add(0x00020005, strong_list({{2, 2}}));
  WeakEntry* c = add(0x00030005, strong_list({{3, 3}}));
  add(0x00040005, nullptr);
  ASSERT_EQ(seal(), 0);
  EXPECT_EQ(find(0x00010005), a);
  EXPECT_EQ(find(0x00020005), b);
  EXPECT_EQ(find(0x00030005), c);
  EXPECT_EQ(find(0x00040005), nullptr);
  EXPECT_EQ(find(0x00010006), nullptr);
}

TEST_F(LookupIndexTest, FirstConvertedEntryOfASumWins) {
  WeakEntry* first = add(0x12345678, strong_list({{7, 1}}), 512);
  add(0x12345678, strong_list({{8, 2}}), 2048);
  ASSERT_EQ(seal(), 0);
  const WeakEntry* found = find(0x12345678);
  EXPECT_EQ(found, first);
  EXPECT_EQ(found->size, 512u);  // the size it came from, whoever looks
  uint8_t digest[16];
  std::memset(digest, 8, 16);
  EXPECT_EQ(find_strong_value(digest, found->strong), nullptr);  // the later digests are shadowed
  std::memset(digest, 7, 16);
  EXPECT_EQ(find_strong_value(digest, found->strong), fake_value(1));
}

TEST_F(LookupIndexTest, StrongLookupComparesAllSixteenBytes) {
  StrongEntry* list = strong_list({{1, 1}, {2, 2}, {2, 3}});
  uint8_t digest[16];
  std::memset(digest, 2, 16);
  EXPECT_EQ(find_strong_value(digest, list), fake_value(2));  // first in list order
  for (int i : {0, 7, 8, 15}) {
    digest[i] ^= 0x80;
    EXPECT_EQ(find_strong_value(digest, list), nullptr) << "byte " << i;
    digest[i] ^= 0x80;
  }
  EXPECT_EQ(find_strong_value(digest, nullptr), nullptr);
}

// Many sums, a few per bucket and with repeats: every indexed sum is found as
// its first entry, no other sum is found, and few misses get past the bitmap.
TEST_F(LookupIndexTest, ManySumsAllFoundAndMissesFiltered) {
  std::mt19937 rng(99);
  std::vector<uint32_t> sums;
  std::vector<WeakEntry*> first_of;
  std::set<uint32_t> present;
  for (int i = 0; i < 200000; i++) {
    // Low 16 bits from a narrow range, as text data gives, so chains are long.
    uint32_t sum = (rng() & 0xFFFF0000u) | (rng() % 3000);
    if (i % 10 == 0 && !sums.empty()) sum = sums[rng() % sums.size()];
    WeakEntry* e = add(sum, strong_list({{1, static_cast<uintptr_t>(i + 1)}}));
    if (present.insert(sum).second) {
      sums.push_back(sum);
      first_of.push_back(e);
    }
  }
  ASSERT_EQ(seal(), 0);
  size_t wrong = 0;
  for (size_t i = 0; i < sums.size(); i++) wrong += find(sums[i]) != first_of[i];
  EXPECT_EQ(wrong, 0u);

  size_t passed_filter = 0, found_absent = 0, probes = 0;
  while (probes < 200000) {
    const uint32_t sum = rng();
    if (present.count(sum)) continue;
    probes++;
    passed_filter += filter_may_hold(&index, sum);
    found_absent += find(sum) != nullptr;
  }
  EXPECT_EQ(found_absent, 0u);
  EXPECT_LT(passed_filter, probes / 10);
}

TEST_F(LookupIndexTest, EmptyIndexFindsNothing) {
  ASSERT_EQ(seal(), 0);
  EXPECT_EQ(find(1), nullptr);
  EXPECT_EQ(find(0xFFFFFFFE), nullptr);
}

TEST_F(LookupIndexTest, FreedIndexStartsAgainFromEmpty) {
  add(0x00000001, strong_list({{1, 1}}));
  add(0x0000FFFF, strong_list({{2, 2}, {3, 3}}));
  ASSERT_EQ(seal(), 0);
  index_free(&index);
  EXPECT_EQ(index.filter, nullptr);
  EXPECT_EQ(index.weak_arena.first, nullptr);
  EXPECT_EQ(index.strong_arena.first, nullptr);
  // Building again after a free finds only the new entries.
  WeakEntry* e = add(0x0000FFFF, strong_list({{4, 4}}));
  ASSERT_EQ(seal(), 0);
  EXPECT_EQ(find(0x0000FFFF), e);
  EXPECT_EQ(find(0x00000001), nullptr);
}

}  // namespace
