// Greedy CTC decoding of the line recognisers, driven by hand-made score
// matrices: no model is loaded, the dictionaries are set directly.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "nn/CrnnNet.h"

namespace {

std::vector<std::string> enLines() {  // "ocrv3_en.txt": ASCII '0'..'Z'
  std::vector<std::string> v;
  for (char c = '0'; c <= 'Z'; ++c) v.push_back(std::string(1, c));
  return v;
}

std::vector<std::string> mrzLines() {  // "ocrv3_mrz.txt": digits, '<', letters
  std::vector<std::string> v;
  for (char c = '0'; c <= '9'; ++c) v.push_back(std::string(1, c));
  v.push_back("<");
  for (char c = 'A'; c <= 'Z'; ++c) v.push_back(std::string(1, c));
  return v;
}

std::vector<std::string> cnLines() { return {"中", "国", "年", "月", "日"}; }

// A recogniser with the dictionary and restricted lists of `type`, as a load
// would leave them, but without a network.
void setUp(CrnnNet& net, int type, const std::vector<std::string>& lines) {
  net.type = type;
  net.keys = {"#"};
  net.keys.insert(net.keys.end(), lines.begin(), lines.end());
  net.keys.push_back(" ");
  if (type == CRNN_TYPE_CN || type == CRNN_TYPE_GBK) return;
  std::vector<std::string> digits, letters;
  for (char c = '0'; c <= '9'; ++c) digits.push_back(std::string(1, c));
  for (char c = 'A'; c <= 'Z'; ++c) letters.push_back(std::string(1, c));
  net.keysAlnum = {"#"};
  net.keysAlnum.insert(net.keysAlnum.end(), digits.begin(), digits.end());
  net.keysAlnum.push_back("<");
  net.keysAlnum.insert(net.keysAlnum.end(), letters.begin(), letters.end());
  net.keysAlnum.push_back(" ");
  net.keysAlpha = {"#", "<"};
  net.keysAlpha.insert(net.keysAlpha.end(), letters.begin(), letters.end());
  net.keysAlpha.push_back(" ");
  net.keysNum = {"#"};
  net.keysNum.insert(net.keysNum.end(), digits.begin(), digits.end());
  net.keysNum.push_back("<");
  net.keysNum.push_back(" ");
}

// One time step: every class scores `rest` except the listed (column, value) peaks.
using Step = std::vector<std::pair<int, float>>;

std::vector<float> matrix(const std::vector<Step>& steps, int w, float rest = 0.01f) {
  std::vector<float> m(steps.size() * w, rest);
  for (std::size_t t = 0; t < steps.size(); ++t)
    for (const auto& p : steps[t]) m[t * w + p.first] = p.second;
  return m;
}

enum Dict { EN, MRZ, CN };

struct DecodeCase {
  const char* name;
  int type;
  Dict dict;
  int w;  // classes of the score matrix
  char mode;
  float thr;
  std::vector<Step> steps;
  std::string text;
  std::vector<float> scores;
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, EmitsExpectedSymbols) {
  const DecodeCase& c = GetParam();
  CrnnNet net;
  setUp(net, c.type, c.dict == EN ? enLines() : c.dict == MRZ ? mrzLines() : cnLines());
  const std::vector<float> m = matrix(c.steps, c.w);
  TextLine line = net.scoreToTextLine(m, static_cast<int>(c.steps.size()), c.w, c.mode, c.thr);
  EXPECT_EQ(line.text, c.text);
  ASSERT_EQ(line.scores.size(), c.scores.size());
  for (std::size_t i = 0; i < c.scores.size(); ++i) EXPECT_FLOAT_EQ(line.scores[i], c.scores[i]);
}

// Columns of the English dictionary: '0'..'9' at 1..10, ':' 11, '<' 13,
// 'A'..'Z' at 18..43, space 44. Of the MRZ dictionary: digits 1..10, '<' 11,
// letters 12..37, space 38.
INSTANTIATE_TEST_SUITE_P(
    Table, Decode,
    ::testing::Values(
        DecodeCase{"TieGoesToFirstColumn", CRNN_TYPE_EN, EN, 45, 'X', 0.3f,
                   {{{1, .9f}, {2, .9f}}}, "0", {.9f}},
        DecodeCase{"RunCollapsesBlankSeparates", CRNN_TYPE_EN, EN, 45, 'X', 0.3f,
                   {{{5, .8f}}, {{5, .7f}}, {{0, .9f}}, {{5, .6f}}}, "44", {.8f, .6f}},
        DecodeCase{"BlankOnlyIsEmpty", CRNN_TYPE_EN, EN, 45, 'X', 0.3f,
                   {{{0, .9f}}, {{0, .9f}}}, "", {}},
        DecodeCase{"NoStepsIsEmpty", CRNN_TYPE_EN, EN, 45, 'O', 0.3f, {}, "", {}},
        DecodeCase{"WholeDictionaryKeepsColon", CRNN_TYPE_EN_V3, EN, 45, 'Y', 0.3f,
                   {{{11, .9f}}, {{44, .8f}}}, ": ", {.9f, .8f}},
        DecodeCase{"NIgnoresLetters", CRNN_TYPE_EN, EN, 45, 'N', 0.3f,
                   {{{18, .9f}, {13, .5f}, {3, .4f}}}, "<", {.5f}},
        DecodeCase{"OMapsEnglishLetters", CRNN_TYPE_EN, EN, 45, 'O', 0.3f,
                   {{{18, .9f}}, {{43, .8f}}, {{13, .7f}}, {{1, .6f}}}, "AZ<0",
                   {.9f, .8f, .7f, .6f}},
        DecodeCase{"OSkipsPunctuation", CRNN_TYPE_EN_V3, EN, 45, 'O', 0.3f,
                   {{{11, .9f}, {5, .3f}}}, "4", {.3f}},
        DecodeCase{"LKeepsLettersAndFiller", CRNN_TYPE_EN, EN, 45, 'L', 0.3f,
                   {{{2, .9f}, {20, .5f}}, {{0, .9f}}, {{13, .6f}}}, "C<", {.5f, .6f}},
        DecodeCase{"ALetterThenDigits", CRNN_TYPE_EN, EN, 45, 'A', 0.3f,
                   {{{4, .9f}, {20, .5f}}, {{20, .9f}, {6, .5f}}}, "C5", {.5f, .5f}},
        // 'C' is letter column 4 and '3' digit column 4: the second step repeats it.
        DecodeCase{"ARepeatAcrossMatrices", CRNN_TYPE_EN, EN, 45, 'A', 0.3f,
                   {{{20, .9f}}, {{4, .9f}}, {{0, .9f}}, {{4, .8f}}}, "C3", {.9f, .8f}},
        DecodeCase{"LastColumnWinsInO", CRNN_TYPE_EN, EN, 45, 'O', 0.3f,
                   {{{0, .9f}}, {{43, .8f}}}, "Z", {.8f}},
        DecodeCase{"LastColumnWinsInN", CRNN_TYPE_EN, EN, 45, 'N', 0.3f,
                   {{{0, .9f}}, {{13, .8f}}}, "<", {.8f}},
        DecodeCase{"MrzOUsesFirst38Columns", CRNN_TYPE_MRZ, MRZ, 39, 'O', 0.3f,
                   {{{12, .9f}}, {{11, .8f}}, {{37, .7f}}, {{38, .95f}, {36, .5f}}}, "A<ZY",
                   {.9f, .8f, .7f, .5f}},
        DecodeCase{"MrzLAndFiller", CRNN_TYPE_MRZ_L, MRZ, 39, 'L', 0.3f,
                   {{{11, .9f}}, {{0, .9f}}, {{3, .9f}, {13, .4f}}}, "<B", {.9f, .4f}},
        DecodeCase{"MrzNDigits", CRNN_TYPE_MRZ, MRZ, 39, 'N', 0.3f,
                   {{{12, .9f}, {10, .6f}}, {{11, .7f}}}, "9<", {.6f, .7f}},
        DecodeCase{"ClassBeyondDictionaryIsSkipped", CRNN_TYPE_EN, EN, 47, 'X', 0.3f,
                   {{{46, .9f}}, {{45, .9f}}, {{7, .8f}}}, "6", {.8f}},
        DecodeCase{"PositiveThresholdKeepsWeakLine", CRNN_TYPE_EN, EN, 45, 'X', 0.3f,
                   {{{5, .1f}}}, "4", {.1f}},
        DecodeCase{"NegativeThresholdKeepsNonNegative", CRNN_TYPE_EN, EN, 45, 'X', -0.5f,
                   {{{5, .1f}}}, "4", {.1f}},
        DecodeCase{"ChineseWholeDictionary", CRNN_TYPE_CN, CN, 7, 'X', 0.3f,
                   {{{1, .9f}}, {{2, .8f}}, {{0, .9f}}, {{3, .7f}}}, "中国年", {.9f, .8f, .7f}},
        DecodeCase{"ChineseInO", CRNN_TYPE_CN, CN, 7, 'O', 0.3f, {{{1, .9f}}}, "", {}},
        DecodeCase{"ChineseInL", CRNN_TYPE_CN, CN, 7, 'L', 0.3f, {{{1, .9f}}}, "", {}},
        DecodeCase{"ChineseInN", CRNN_TYPE_CN, CN, 7, 'N', 0.3f, {{{1, .9f}}}, "", {}},
        DecodeCase{"ChineseInA", CRNN_TYPE_CN, CN, 7, 'A', 0.3f, {{{1, .9f}}}, "", {}},
        DecodeCase{"UnsetTypeRestrictedIsEmpty", -1, EN, 45, 'O', 0.3f, {{{18, .9f}}}, "", {}},
        DecodeCase{"UnsetTypeWholeDictionary", -1, EN, 45, 'X', 0.3f, {{{18, .9f}}}, "A", {.9f}},
        // Outputs narrower than the restricted columns are refused, not read past.
        DecodeCase{"NarrowEnglishOutputInO", CRNN_TYPE_EN, EN, 40, 'O', 0.3f, {{{5, .9f}}}, "",
                   {}},
        DecodeCase{"NarrowEnglishOutputInA", CRNN_TYPE_EN, EN, 43, 'A', 0.3f, {{{20, .9f}}}, "",
                   {}},
        DecodeCase{"NarrowOutputStillReadsN", CRNN_TYPE_EN, EN, 14, 'N', 0.3f,
                   {{{13, .9f}}, {{2, .8f}}}, "<1", {.9f, .8f}},
        DecodeCase{"NarrowMrzOutputInO", CRNN_TYPE_MRZ, MRZ, 37, 'O', 0.3f, {{{5, .9f}}}, "",
                   {}},
        DecodeCase{"NarrowOutputWholeDictionary", CRNN_TYPE_EN, EN, 40, 'X', 0.3f,
                   {{{39, .9f}}}, "V", {.9f}}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

std::string logOf(CrnnNet& net, const std::vector<float>& m, int h, int w, char mode, float thr,
                  TextLine& line) {
  testing::internal::CaptureStdout();
  line = net.scoreToTextLine(m, h, w, mode, thr);
  return testing::internal::GetCapturedStdout();
}

TEST(DecodeLowConfidence, EmptyLineUnderNegativeThresholdLogsMinusOne) {
  CrnnNet net;
  setUp(net, CRNN_TYPE_EN, enLines());
  TextLine line;
  const std::string log = logOf(net, matrix({{{0, .9f}}}, 45), 1, 45, 'X', -0.5f, line);
  EXPECT_EQ(line.text, "");
  EXPECT_NE(log.find("low confidence: -1.000"), std::string::npos) << log;
}

TEST(DecodeLowConfidence, ClearsLineBelowNegativeThreshold) {
  CrnnNet net;
  setUp(net, CRNN_TYPE_MRZ, mrzLines());
  // Raw scores, all negative: the winner of the only step scores -0.8.
  TextLine line;
  const std::string log =
      logOf(net, matrix({{{5, -0.8f}}}, 39, -2.0f), 1, 39, 'X', -0.5f, line);
  EXPECT_EQ(line.text, "");
  EXPECT_TRUE(line.scores.empty());
  EXPECT_NE(log.find("low confidence: -0.800"), std::string::npos) << log;
}

TEST(DecodeLowConfidence, NeedsAKnownType) {
  CrnnNet net;  // type never set
  setUp(net, -1, enLines());
  TextLine line;
  const std::string log = logOf(net, matrix({{{0, .9f}}}, 45), 1, 45, 'X', -0.5f, line);
  EXPECT_EQ(log.find("low confidence"), std::string::npos) << log;
}

TEST(DecodeGuards, ScoreVectorShorterThanShapeIsRefused) {
  CrnnNet net;
  setUp(net, CRNN_TYPE_EN, enLines());
  TextLine line;
  const std::string log = logOf(net, std::vector<float>(45, 0.5f), 2, 45, 'X', 0.3f, line);
  EXPECT_EQ(line.text, "");
  EXPECT_TRUE(line.scores.empty());
  EXPECT_FALSE(log.empty());
}

TEST(DecodeGuards, NarrowOutputIsLogged) {
  CrnnNet net;
  setUp(net, CRNN_TYPE_EN, enLines());
  TextLine line;
  const std::string log = logOf(net, matrix({{{5, .9f}}}, 40), 1, 40, 'O', 0.3f, line);
  EXPECT_NE(log.find("crnn output has 40 classes, mode O needs 44"), std::string::npos) << log;
}

TEST(DecodeGuards, DecoderLeavesRecogniserUnchanged) {
  CrnnNet net;
  setUp(net, CRNN_TYPE_EN, enLines());
  const auto keys = net.keys, alnum = net.keysAlnum;
  net.scoreToTextLine(matrix({{{18, .9f}}, {{4, .8f}}}, 45), 2, 45, 'A', 0.3f);
  EXPECT_EQ(net.keys, keys);
  EXPECT_EQ(net.keysAlnum, alnum);
  EXPECT_EQ(net.type, CRNN_TYPE_EN);
}

}  // namespace
