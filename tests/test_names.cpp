// Names: filler clean-up, the name length of a window, Latin and letter-coded
// Chinese names, the coding test, and the re-reading of a name window with
// scripted recognisers.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "enname.h"
#include "name_convert.h"
#include "test_mrz_reader_fixtures.h"

namespace {

using mrzfx::captured;
using mrzfx::Read;

std::string fillers(std::size_t n) { return std::string(n, '<'); }

// ---- trim_name and the window length ------------------------------------------------------

struct TrimCase {
  std::string in, out;
};
class Trim : public testing::TestWithParam<TrimCase> {};
TEST_P(Trim, Table) {
  std::string s = GetParam().in;
  trim_name(&s[0]);
  EXPECT_STREQ(s.c_str(), GetParam().out.c_str());
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Trim,
    testing::Values(TrimCase{"ABCDE<<FGHI<<<<<<X<<<<<<", "ABCDE<<FGHI"},      // a lone mark goes
                    TrimCase{"ABCDE<<FGHI<<<<<<XY<<<<", "ABCDE<<FGHI<<<<<<XY"},  // two stay
                    TrimCase{"AB<C<D<<<<", "AB<C<D"},   // before four fillers nothing changes
                    TrimCase{"ABCD<< <<", "ABCD"},      // trailing fillers and blanks
                    TrimCase{"A<B<", "A<B"},            // four characters skip the first step
                    TrimCase{"<<<<", ""}, TrimCase{"", ""}));

TEST(NameLength, CutsAtFourFillers) {
  char text[] = "xxABCDE<<FGHI<<<<<<XY<<<<";
  EXPECT_EQ(get_name_right_pos(text, 2, 23), 11);  // "ABCDE<<FGHI"
  EXPECT_STREQ(text, "xxABCDE<<FGHI<<<<<<XY<<<<");  // the text itself is not changed
  char shortName[] = "AB<<<<<<";
  EXPECT_EQ(get_name_right_pos(shortName, 0, 8), 2);
  std::string tooLong(60, 'A');
  EXPECT_EQ(get_name_right_pos(&tooLong[0], 0, 50), -1);
}

// ---- get_name ---------------------------------------------------------------------------------

struct NameCase {
  const char* label;
  std::string field;
  int rc;
  std::string out;  // the field afterwards
};
class Names : public testing::TestWithParam<NameCase> {};
TEST_P(Names, Table) {
  char field[64] = {0};
  ASSERT_LT(GetParam().field.size(), sizeof(field));
  std::memcpy(field, GetParam().field.data(), GetParam().field.size());
  int rc = 0;
  const std::string log = captured([&] { rc = get_name(field); });
  EXPECT_EQ(rc, GetParam().rc);
  EXPECT_STREQ(field, GetParam().out.c_str());
  if (rc >= 0) {
    EXPECT_NE(log.find(rc == 1 ? "gbk:yes" : "gbk:no"), std::string::npos) << log;
  }
}
INSTANTIATE_TEST_SUITE_P(
    Fields, Names,
    testing::Values(
        NameCase{"Latin", "ERIKSSON<<ANNA<MARIA" + fillers(19), 0, "ERIKSSON  ANNA MARIA"},
        NameCase{"LatinWithGivenNames", "ABCD<<EFG<HIJ" + fillers(26), 0, "ABCD  EFG HIJ"},
        NameCase{"LatinStrayMarkAfterFillers", "ABCDE<<FGHI<<<<<<XY" + fillers(20), 0, "ABCDE  FGHI"},
        NameCase{"LatinTooShort", "ABC<<<<<<", -1, "ABC"},
        NameCase{"CodedOneCharacter", "LAKB" + fillers(32) + "XAC", 1, "\xE5\x95\x8A"},
        NameCase{"CodedTwoCharacters", "NFMFMOLA" + fillers(28) + "XAC", 1, "张伟"},
        NameCase{"CodedTwoCharacters2", "MAOOMEMI" + fillers(28) + "ZAC", 1, "李娜"},
        NameCase{"CodedThreeCharacters", "MNPFNAKBMDPH" + fillers(24) + "XAC", 1, "王小明"},
        NameCase{"CodedFourCharacters", "MFLHNBPEMEMIMEMI" + fillers(20) + "XAC", 1, "欧阳娜娜"},
        // nine letters are no multiple of four: Latin, the tail stays cut off
        NameCase{"NineLettersAreLatin", "NFMFMOLAB" + fillers(27) + "XAC", 0, "NFMFMOLAB"},
        // the 37th character is a filler: no coding tail
        NameCase{"TailNeedsAMark", "NFMFMOLA" + fillers(29) + "AC", 0, "NFMFMOLA"},
        // a coded name of other lengths than 39 is Latin
        NameCase{"CodedNeeds39", "NFMFMOLA" + fillers(27) + "XAC", 0, "NFMFMOLA"},
        // coded, but not a GBK name: the field stays as it was
        NameCase{"CodedTwentyLetters", "ABCDEFGHIJKLMNOPABCD" + fillers(16) + "XAC", -1,
                 "ABCDEFGHIJKLMNOPABCD" + fillers(16) + "XAC"},
        NameCase{"CodedDecodesToNothing", "AAAA" + fillers(32) + "XAC", -1, "AAAA" + fillers(32) + "XAC"},
        NameCase{"CodedBadGbk", "IAAA" + fillers(32) + "XAC", -1, "IAAA" + fillers(32) + "XAC"},
        // a field of 50 characters does not fit the working buffer
        NameCase{"TooLong", std::string(50, 'A'), -1, std::string(50, 'A')}),
    [](const testing::TestParamInfo<NameCase>& i) { return std::string(i.param.label); });

TEST(ChineseName, EndsAtTheFirstFiller) {
  char field[40] = "NFMFMOLA<<<<LAKB";
  EXPECT_EQ(get_chinese_name(field), 0);
  EXPECT_STREQ(field, "张伟");
  char latin[40] = "ZHANG<<WEI";
  captured([&] { EXPECT_EQ(get_chinese_name(latin), -1); });
  EXPECT_STREQ(latin, "ZHANG<<WEI");
  std::string tooLong(55, 'A');
  EXPECT_EQ(get_chinese_name(&tooLong[0]), -1);
}

// ---- coding test and conversion -----------------------------------------------------------------

TEST(GbkName, CodingTest) {
  struct {
    const char* letters;
    int rc;
    bool logged;
  } cases[] = {{"LAKB", 0, false},   {"FFFF", 0, true},  {"NFMFMOLA", 0, false}, {"ABCDEFGHIJKLMNOP", 0, true},
               {"LAK", -1, false},   {"", -1, false},    {"LAKQ", -1, false},    {"lakb", -1, false},
               {"ABCDEFGHIJKLMNOPABCD", -1, false}};
  for (const auto& c : cases) {
    std::string s = c.letters;
    int rc = 0;
    const std::string log = captured([&] { rc = is_gbk_name(&s[0]); });
    EXPECT_EQ(rc, c.rc) << c.letters;
    EXPECT_EQ(log.find("chinese encode, bcd:") != std::string::npos, c.logged) << c.letters << log;
  }
  std::string odd = "FFFF";
  const std::string log = captured([&] { is_gbk_name(&odd[0]); });
  EXPECT_NE(log.find("chinese encode, bcd:5555"), std::string::npos) << log;
}

TEST(GbkName, Convert) {
  char out[kNameBufSize] = "untouched";
  std::string letters = "LAKB";
  EXPECT_EQ(name_convert(&letters[0], out), 0);
  EXPECT_STREQ(out, "\xE5\x95\x8A");
  letters = "MNPFNAKBMDPH";
  EXPECT_EQ(name_convert(&letters[0], out), 0);
  EXPECT_STREQ(out, "王小明");
  std::strcpy(out, "untouched");
  letters = "ZHANG";
  const std::string log = captured([&] { EXPECT_EQ(name_convert(&letters[0], out), -1); });
  EXPECT_NE(log.find("not a gbk name"), std::string::npos);
  EXPECT_STREQ(out, "untouched");
}

// ---- extract_en_name ------------------------------------------------------------------------------

constexpr int kPitch = 20;

class NameWindow : public testing::Test {
 protected:
  void SetUp() override {
    line_ = cv::Mat(40, 2 * mrzfx::kMargin + 44 * kPitch, CV_8UC3, cv::Scalar::all(200));
    g_rapidRec_line_1 = line_;
    boxes_ = mrzfx::cellBoxes(kPitch, 40, 44);
    rec_.script = [this](const Read& r) -> std::optional<std::string> {
      if (!r.en) return mrz_;
      auto it = en_.find(r.first);
      return it == en_.end() ? std::string() : it->second;
    };
  }
  int extract(std::string& text, int position, int length) {
    int rc = 0;
    log_ = captured([&] { rc = extract_en_name(g_rapidRec_line_1, boxes_, position, length, &text[0]); });
    return rc;
  }
  cv::Mat line_;
  std::vector<cv::Rect> boxes_;
  mrzfx::ScriptedRecognisers rec_{kPitch};
  std::string mrz_;
  std::map<int, std::string> en_;
  std::string log_;
};

TEST_F(NameWindow, ConfirmedNameLeavesTheText) {
  std::string text = "P<UTOERIKSSON<<ANNA<MARIA" + fillers(19);
  rec_.truth[1] = text;
  mrz_ = "ERIKSSON<<ANNA<MARIA";
  EXPECT_EQ(extract(text, 5, 39), 0) << log_;
  ASSERT_EQ(rec_.reads.size(), 1u);
  EXPECT_EQ(rec_.reads[0].first, 5);
  EXPECT_EQ(rec_.reads[0].count, 20);  // the name only, not its fillers
  EXPECT_EQ(rec_.reads[0].mode, 'L');
}

struct WindowCase {
  const char* label;
  std::string mrz;                // the MRZ recogniser on the name
  std::map<int, std::string> en;  // the English recogniser per cell
  int rc;
  std::string name;               // text[5..24] afterwards
  const char* log;
};
class NameDecisions : public NameWindow, public testing::WithParamInterface<WindowCase> {};
TEST_P(NameDecisions, Table) {
  const WindowCase& c = GetParam();
  std::string text = "P<UTOERIKSSON<<ANNA<MARIA" + fillers(19);
  rec_.truth[1] = text;
  mrz_ = c.mrz;
  en_ = c.en;
  EXPECT_EQ(extract(text, 5, 39), c.rc);
  EXPECT_EQ(text.substr(5, 20), c.name);
  EXPECT_NE(log_.find(c.log), std::string::npos) << log_;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, NameDecisions,
    testing::Values(
        WindowCase{"BothAgree", "ERIKSSON<<ANNA<MARJA", {{23, "J"}}, 0, "ERIKSSON<<ANNA<MARJA", "I -> J"},
        WindowCase{"EnglishConfirmsText", "ERIKSSON<<ANNA<MARJA", {{23, "I"}}, 0, "ERIKSSON<<ANNA<MARIA", ""},
        WindowCase{"AllDiffer", "ERIKSSON<<ANNA<MARJA", {{23, "L"}}, -1, "ERIKSSON<<ANNA<MARIA", "I J L"},
        WindowCase{"NoEnglishFillerWins", "ERIKSSON<<ANNA<MAR<A", {}, 0, "ERIKSSON<<ANNA<MAR<A", "I -> <"},
        WindowCase{"NoEnglishUnsettled", "ERIKSSON<<ANNA<MARJA", {}, -1, "ERIKSSON<<ANNA<MARIA", "I J O/<"},
        // no O/0 rule in names: a 0 read for an O asks the second recogniser
        WindowCase{"NoOZeroRule", "ERIKSS0N<<ANNA<MARIA", {{11, "O"}}, 0, "ERIKSSON<<ANNA<MARIA", ""},
        // earlier repairs stay when a later position stops the walk
        WindowCase{"StopsAfterRepair", "ERIKSSQN<<ANNA<MARJA", {{11, "Q"}, {23, "L"}}, -1,
                   "ERIKSSQN<<ANNA<MARIA", "O -> Q"},
        WindowCase{"ReadingTooShort", "ERIKSSON<<ANNA<MARI", {}, -1, "ERIKSSON<<ANNA<MARIA",
                   "scan_num=19 <> ocr_num=20"},
        WindowCase{"NoReading", "", {}, -1, "ERIKSSON<<ANNA<MARIA", "scan_num=0 <> ocr_num=20"}),
    [](const testing::TestParamInfo<WindowCase>& i) { return std::string(i.param.label); });

TEST_F(NameWindow, TooFewBoxes) {
  boxes_.resize(40);
  std::string text = "P<UTOERIKSSON<<ANNA<MARIA" + fillers(19);
  EXPECT_EQ(extract(text, 5, 39), -1);
  EXPECT_NE(log_.find("posRect=40, pos=5, len=39"), std::string::npos) << log_;
  EXPECT_TRUE(rec_.reads.empty());
}

// An empty window has no name to cut: refused without a crop.
TEST_F(NameWindow, EmptyWindowIsRefused) {
  std::string text = fillers(44);
  EXPECT_EQ(extract(text, 0, 30), -1);
  EXPECT_TRUE(rec_.reads.empty());
  std::string longWindow(60, 'A');
  boxes_ = mrzfx::cellBoxes(kPitch, 40, 60);
  EXPECT_EQ(extract(longWindow, 0, 55), -1);
  EXPECT_TRUE(rec_.reads.empty());
}

// A stray mark among line 1's fillers becomes a filler; the clean-up never
// reaches into line 2, which was verified before the name is read.
TEST_F(NameWindow, CleanUpStaysInTheWindow) {
  const std::string l1 = "P<UTOERIKSSON<<ANNA<MARIA<<<<X<<<<<<<<<<<<<<";
  const std::string l2 = "L898902C36UTO7408122F1204159<K<<<<<<<<<<<<04";
  std::string text = l1 + l2;
  rec_.truth[1] = l1;
  mrz_ = "ERIKSSON<<ANNA<MARIA";
  EXPECT_EQ(extract(text, 5, 39), 0) << log_;
  EXPECT_EQ(text.substr(0, 44), "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<");
  EXPECT_EQ(text.substr(44), l2);
}

// Card lines: a window covering the whole text.
TEST_F(NameWindow, WindowFromTheStart) {
  std::string text = "ERIKSSON<<ANNA<MARIA<<<<<<<<<<";
  rec_.truth[1] = text;
  boxes_.resize(30);
  mrz_ = "ERIKSSON<<ANNA<MARIA";
  EXPECT_EQ(extract(text, 0, 30), 0) << log_;
  EXPECT_EQ(rec_.reads[0].first, 0);
}

}  // namespace
