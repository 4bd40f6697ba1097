// The bounded UTF-16 operations at their limits.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wide_text.h"

namespace {

TEST(WideCopy, FitsUpToOneUnitLessThanCapacity) {
  wchar out[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(wide_copy(out, 4, u"abc", 3), 0);
  EXPECT_EQ(std::u16string(out), u"abc");

  EXPECT_EQ(wide_copy(out, 4, u"abcd", 4), wide_erange);
  EXPECT_EQ(out[0], 0);  // failure leaves it empty

  EXPECT_EQ(wide_copy(out, 4, u"abcdef", 2), 0);  // count, not the source, limits
  EXPECT_EQ(std::u16string(out), u"ab");
}

TEST(WideCopy, StopsAtTerminatorAndRejectsNulls) {
  wchar out[8];
  const wchar with_nul[] = {u'a', 0, u'b', u'c'};
  EXPECT_EQ(wide_copy(out, 8, with_nul, 4), 0);
  EXPECT_EQ(std::u16string(out), u"a");

  EXPECT_EQ(wide_copy(out, 8, u"", 0), 0);
  EXPECT_EQ(out[0], 0);

  out[0] = u'z';
  EXPECT_EQ(wide_copy(out, 8, nullptr, 1), wide_einval);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(wide_copy(nullptr, 8, u"a", 1), wide_einval);
  EXPECT_EQ(wide_copy(out, 0, u"a", 1), wide_einval);
}

TEST(WideCopy, ReadsSourcesAtOddAddresses) {
  unsigned char bytes[1 + 3 * sizeof(wchar)];
  const wchar units[] = {u'p', 0x00E9, 0xD83D};
  std::memcpy(bytes + 1, units, sizeof units);
  wchar out[8];
  EXPECT_EQ(wide_copy(out, 8, bytes + 1, 3), 0);
  EXPECT_EQ(std::u16string(out), std::u16string(units, 3));
}

TEST(WideAppend, Limits) {
  wchar out[5] = u"ab";
  EXPECT_EQ(wide_append(out, 5, u"cd"), 0);
  EXPECT_EQ(std::u16string(out), u"abcd");

  EXPECT_EQ(wide_append(out, 5, u""), 0);
  EXPECT_EQ(wide_append(out, 5, u"e"), wide_erange);
  EXPECT_EQ(out[0], 0);

  wchar unterminated[3] = {u'a', u'b', u'c'};
  EXPECT_EQ(wide_append(unterminated, 3, u""), wide_einval);
  EXPECT_EQ(unterminated[0], 0);

  wchar some[4] = u"a";
  EXPECT_EQ(wide_append(some, 4, nullptr), wide_einval);
  EXPECT_EQ(some[0], 0);
}

TEST(WideJoin, SeparatorOrNoneAndTheTruncationLimit) {
  wchar out[8];
  EXPECT_EQ(wide_join(out, 8, u"/a", u'/', u"b"), 4);
  EXPECT_EQ(std::u16string(out), u"/a/b");
  EXPECT_EQ(wide_join(out, 8, u"/a/", 0, u"b"), 4);
  EXPECT_EQ(std::u16string(out), u"/a/b");

  EXPECT_EQ(wide_join(out, 8, u"abc", u'/', u"def"), 7);  // exactly full
  EXPECT_EQ(std::u16string(out), u"abc/def");
  EXPECT_EQ(wide_join(out, 8, u"abc", u'/', u"defg"), -1);  // one over
  EXPECT_EQ(std::u16string(out), u"abc/def");               // cut, terminated
  EXPECT_EQ(wide_join(out, 8, u"abcdefgh", u'/', u"x"), -1);
  EXPECT_EQ(std::u16string(out), u"abcdefg");
}

TEST(WideCutAtLast, CutsOnlyAtTheLastSeparator) {
  wchar path[] = u"/a/b/c";
  EXPECT_TRUE(wide_cut_at_last(path, u'/'));
  EXPECT_EQ(std::u16string(path), u"/a/b");
  wchar bare[] = u"name";
  EXPECT_FALSE(wide_cut_at_last(bare, u'/'));
  EXPECT_EQ(std::u16string(bare), u"name");
  wchar root[] = u"/x";
  EXPECT_TRUE(wide_cut_at_last(root, u'/'));
  EXPECT_EQ(std::u16string(root), u"");
}

TEST(WidePrefixCompare, FoldsAsciiLettersOnly) {
  EXPECT_EQ(wide_prefix_compare(u"/Data/Skip", u"/data/SKIP", 10), 0);
  EXPECT_EQ(wide_prefix_compare(u"/data/skipper", u"/data/skip", 10), 0);  // plain prefix
  EXPECT_NE(wide_prefix_compare(u"/data/\u00C4", u"/data/\u00E4", 7), 0);  // not ASCII
  EXPECT_NE(wide_prefix_compare(u"[", u"{", 1), 0);                        // '[' is not a folded 'Z'+1
  EXPECT_LT(wide_prefix_compare(u"/dat", u"/data", 5), 0);                 // shorter text
  EXPECT_GT(wide_prefix_compare(u"/datb", u"/data", 5), 0);
  EXPECT_EQ(wide_prefix_compare(u"ab", u"ab", 10), 0);  // both end early
  EXPECT_EQ(wide_prefix_compare(u"abc", u"xyz", 0), 0);
}

TEST(WideToInt, ReadsLikeWtoi) {
  EXPECT_EQ(wide_to_int(u"1234"), 1234);
  EXPECT_EQ(wide_to_int(u" \t\n+42x"), 42);
  EXPECT_EQ(wide_to_int(u"-17"), -17);
  EXPECT_EQ(wide_to_int(u"abc"), 0);
  EXPECT_EQ(wide_to_int(u""), 0);
  EXPECT_EQ(wide_to_int(u"- 5"), 0);
  EXPECT_EQ(wide_to_int(u"2147483647"), INT_MAX);
  EXPECT_EQ(wide_to_int(u"2147483648"), INT_MAX);
  EXPECT_EQ(wide_to_int(u"-2147483648"), INT_MIN);
  EXPECT_EQ(wide_to_int(u"-99999999999999999999999"), INT_MIN);
}

std::u16string formatted(void (*fill)(WideWriter&), size_t capacity = 64) {
  std::vector<wchar> out(capacity);
  WideWriter writer = wide_writer(out.data(), capacity);
  fill(writer);
  return out.data();
}

TEST(WideWriter, DecimalAndHexPadding) {
  EXPECT_EQ(formatted([](WideWriter& w) { put_decimal(w, 1, 8); }), u"00000001");
  EXPECT_EQ(formatted([](WideWriter& w) { put_decimal(w, 123456789, 8); }), u"123456789");
  EXPECT_EQ(formatted([](WideWriter& w) { put_decimal(w, INT32_MIN, 0); }), u"-2147483648");
  EXPECT_EQ(formatted([](WideWriter& w) { put_decimal(w, -5, 8); }), u"-0000005");
  EXPECT_EQ(formatted([](WideWriter& w) { put_decimal(w, 0, 0); }), u"0");
  EXPECT_EQ(formatted([](WideWriter& w) { put_hex(w, 87, 4); }), u"0057");
  EXPECT_EQ(formatted([](WideWriter& w) { put_hex(w, 0xABCDE, 4); }), u"ABCDE");
  EXPECT_EQ(formatted([](WideWriter& w) { put_hex(w, 0xFFFFFFFF, 4); }), u"FFFFFFFF");
}

TEST(WideWriter, CutsAndRemembers) {
  wchar out[4];
  WideWriter writer = wide_writer(out, 4);
  put_text(writer, u"abc");
  EXPECT_FALSE(writer.truncated);
  put_char(writer, u'd');
  EXPECT_TRUE(writer.truncated);
  EXPECT_EQ(std::u16string(out), u"abc");
  EXPECT_EQ(writer.length, 3u);
}

}  // namespace
