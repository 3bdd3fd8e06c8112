// GBK <-> UTF-8 conversion: the table's telling cells, the converters'
// failure rules and ownership, a round trip over every ideograph, and the
// allocation limits.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "gbk2utf8.h"

namespace {

struct Converted {
  int rc;
  bool allocated;
  std::string bytes;
};

Converted run(int (*f)(const void*, int, char**), const std::string& in) {
  char* out = reinterpret_cast<char*>(1);  // must be reset by the converter
  Converted c;
  c.rc = f(in.data(), static_cast<int>(in.size()), &out);
  c.allocated = out != nullptr;
  if (out != nullptr) {
    c.bytes.assign(out);
    std::free(out);
  }
  return c;
}

struct ConvCase {
  const char* name;
  bool toUtf8;  // gbk2utf8, else utf82gbk
  std::string in;
  int rc;
  std::string out;
};

class Converters : public testing::TestWithParam<ConvCase> {};

TEST_P(Converters, Table) {
  const ConvCase& c = GetParam();
  const Converted got = run(c.toUtf8 ? gbk2utf8 : utf82gbk, c.in);
  EXPECT_EQ(got.rc, c.rc);
  EXPECT_EQ(got.allocated, c.rc >= 0);  // null output on every failure
  EXPECT_EQ(got.bytes, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Converters,
    testing::Values(
        ConvCase{"Ideograph", true, "\xB0\xA1", 3, "\xE5\x95\x8A"},
        ConvCase{"MiddleDot", true, "\xA1\xA4", 2, "\xC2\xB7"},
        ConvCase{"IdeographicSpace", true, "\xA1\xA1", 3, "\xE3\x80\x80"},
        ConvCase{"Trail7FIsQuestionMark", true, "\x81\x7F", 1, "?"},
        ConvCase{"FirstCell", true, "\x81\x40", 3, "\xE4\xB8\x82"},                 // U+4E02
        ConvCase{"MixedWithAscii", true, "A\xB0\xA1" "B", 5, "A\xE5\x95\x8A" "B"},
        ConvCase{"UserAreaStart", true, "\xAA\xA1", 3, "\xEE\x80\x80"},           // U+E000
        ConvCase{"SecondUserArea", true, "\xF8\xA1", 3, "\xEE\x88\xB4"},          // U+E234
        ConvCase{"ThirdUserArea", true, "\xA1\x40", 3, "\xEE\x93\x86"},           // U+E4C6
        ConvCase{"OpenCellA2AB", true, "\xA2\xAB", 3, "\xEE\x9D\xA6"},            // U+E766
        ConvCase{"OpenCellA2E3", true, "\xA2\xE3", 3, "\xEE\x9D\xAC"},            // U+E76C
        ConvCase{"OpenCellFE50", true, "\xFE\x50", 3, "\xEE\xA0\x95"},            // U+E815
        ConvCase{"Empty", true, "", 0, ""},
        ConvCase{"LeadAtEnd", true, "\xB0", -1, ""},
        ConvCase{"Lead80", true, std::string("\x80\x40", 2), -1, ""},
        ConvCase{"LeadFF", true, "\xFF\xA1", -1, ""},
        ConvCase{"TrailBelow40", true, "\xB0\x20", -1, ""},
        ConvCase{"TrailFF", true, "\xB0\xFF", -1, ""},
        ConvCase{"BackIdeograph", false, "\xE5\x95\x8A", 2, "\xB0\xA1"},
        ConvCase{"BackUserArea", false, "\xEE\x80\x80", 2, "\xAA\xA1"},
        ConvCase{"BackSecondUserArea", false, "\xEE\x88\xB4", 2, "\xF8\xA1"},
        ConvCase{"BackAscii", false, "Zhang Wei", 9, "Zhang Wei"},
        ConvCase{"BackEmpty", false, "", 0, ""},
        ConvCase{"BackFullwidthYen", false, "\xEF\xBF\xA5", -1, ""},              // no table
        ConvCase{"BackTwoByteSequence", false, "\xC2\xB7", -1, ""},
        ConvCase{"BackBelowTable", false, "\xE4\xB8\x80", -1, ""},                // U+4E00
        ConvCase{"BackTruncated", false, "\xE5\x95", -1, ""},
        ConvCase{"BackBadContinuation", false, "\xE5\x45\x8A", -1, ""},
        ConvCase{"BackFourByteSequence", false, "\xF0\x9F\x98\x80", -1, ""}),
    [](const testing::TestParamInfo<ConvCase>& i) { return std::string(i.param.name); });

TEST(Gbk, BadArgumentsAllocateNothing) {
  char* out = nullptr;
  const char in[] = "\xB0\xA1";
  EXPECT_EQ(gbk2utf8(in, 2, nullptr), -1);
  EXPECT_EQ(gbk2utf8(nullptr, 2, &out), -1);
  EXPECT_EQ(gbk2utf8(in, -1, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(utf82gbk(in, 2, nullptr), -1);
  EXPECT_EQ(utf82gbk(nullptr, 2, &out), -1);
  EXPECT_EQ(utf82gbk(in, -1, &out), -1);
  EXPECT_EQ(out, nullptr);
}

TEST(Gbk, ReadsExactlyLengthBytes) {
  const char in[] = "\xB0\xA1\xB0\xA1";  // only the first character is handed over
  char* out = nullptr;
  ASSERT_EQ(gbk2utf8(in, 2, &out), 3);
  EXPECT_STREQ(out, "\xE5\x95\x8A");
  std::free(out);
}

// The count of written bytes must fit the int result: a length whose output
// could exceed it is refused before anything is allocated (computed in int,
// (3 * length) / 2 + 4 wrapped round to a small buffer).
TEST(Gbk, HugeLengthIsRefusedBeforeAllocating) {
  const char in[] = "A";
  char* out = nullptr;
  EXPECT_EQ(gbk2utf8(in, INT_MAX, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(gbk2utf8(in, INT_MAX / 3 * 2 + 2, &out), -1);
  EXPECT_EQ(out, nullptr);
}

// ASCII goes through one for one: a buffer of (2 * length) / 3 + 4 bytes would
// be overrun by any ASCII text longer than 12 bytes.
TEST(Gbk, LongAsciiFitsTheReverseBuffer) {
  for (int n : {12, 13, 40, 1000}) {
    const std::string text(static_cast<std::size_t>(n), 'x');
    const Converted got = run(utf82gbk, text);
    EXPECT_EQ(got.rc, n);
    EXPECT_EQ(got.bytes, text);
  }
}

TEST(Gbk, EveryCellDecodesToOneNonZeroCharacter) {
  int cells = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead)
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const std::string in{static_cast<char>(lead), static_cast<char>(trail)};
      const Converted got = run(gbk2utf8, in);
      ASSERT_GT(got.rc, 0) << std::hex << lead << trail;
      if (trail == 0x7F) {
        EXPECT_EQ(got.bytes, "?");
      }
      ++cells;
    }
  EXPECT_EQ(cells, 126 * 191);
}

// Every ideograph of the reverse table, and both user areas, survive the
// round trip UTF-8 -> GBK -> UTF-8; the whole text converts in one call.
TEST(Gbk, RoundTrip) {
  std::string utf8;
  auto put = [&](unsigned cp) {
    utf8 += static_cast<char>(0xE0 | (cp >> 12));
    utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    utf8 += static_cast<char>(0x80 | (cp & 0x3F));
  };
  for (unsigned cp = 0x4E02; cp <= 0x9FA5; ++cp) put(cp);
  for (unsigned cp = 0xE000; cp <= 0xE4C5; ++cp) put(cp);
  utf8 += "MRZ<<";
  const Converted gbk = run(utf82gbk, utf8);
  ASSERT_EQ(gbk.rc, static_cast<int>((20900 + 1222) * 2 + 5));
  const Converted back = run(gbk2utf8, gbk.bytes);
  ASSERT_EQ(back.rc, static_cast<int>(utf8.size()));
  EXPECT_TRUE(back.bytes == utf8);
}

}  // namespace
