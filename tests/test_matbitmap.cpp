// BMP file images and the NV21 converter.
#include <gtest/gtest.h>

#include <ostream>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "matbitmap.h"

namespace fs = std::filesystem;

namespace {

struct FreeDeleter {
  void operator()(unsigned char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<unsigned char, FreeDeleter>;

uint32_t rd32(const unsigned char* p, std::size_t off) {
  return p[off] | (p[off + 1] << 8) | (p[off + 2] << 16) |
         (static_cast<uint32_t>(p[off + 3]) << 24);
}
uint16_t rd16(const unsigned char* p, std::size_t off) {
  return static_cast<uint16_t>(p[off] | (p[off + 1] << 8));
}

Buffer to_bmp(cv::Mat m, int& size) {
  size = -1;
  return Buffer(convert_Mat_to_BMP(m, size));
}

// Header fields that depend on the image; everything else is fixed.
void expect_header(const unsigned char* b, int size, uint32_t offset, int w, int h, int bits,
                   uint32_t pixel_bytes) {
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(b[1], 'M');
  EXPECT_EQ(rd32(b, 2), static_cast<uint32_t>(size));
  EXPECT_EQ(rd32(b, 6), 0u);  // both reserved words
  EXPECT_EQ(rd32(b, 10), offset);
  EXPECT_EQ(rd32(b, 14), 40u);
  EXPECT_EQ(rd32(b, 18), static_cast<uint32_t>(w));
  EXPECT_EQ(rd32(b, 22), static_cast<uint32_t>(h));
  EXPECT_EQ(rd16(b, 26), 1);
  EXPECT_EQ(rd16(b, 28), bits);
  EXPECT_EQ(rd32(b, 30), 0u);
  EXPECT_EQ(rd32(b, 34), pixel_bytes);
  for (std::size_t off = 38; off < 54; ++off) EXPECT_EQ(b[off], 0) << off;
  EXPECT_EQ(static_cast<uint32_t>(size), offset + pixel_bytes);
}

void expect_grey_palette(const unsigned char* b) {
  for (int i = 0; i < 256; ++i) {
    const unsigned char* e = b + 54 + 4 * i;
    ASSERT_TRUE(e[0] == i && e[1] == i && e[2] == i && e[3] == 0) << "entry " << i;
  }
}

// ---- BMP buffers ----------------------------------------------------------------

TEST(ConvertMatToBmp, GreyImageGetsPaletteAndBottomUpPaddedRows) {
  cv::Mat m = (cv::Mat_<uint8_t>(2, 3) << 1, 2, 3, 4, 5, 6);
  int size = 0;
  Buffer b = to_bmp(m, size);
  ASSERT_TRUE(b);
  ASSERT_EQ(size, 1086);
  expect_header(b.get(), size, 1078, 3, 2, 8, 8);
  expect_grey_palette(b.get());
  const std::vector<unsigned char> rows(b.get() + 1078, b.get() + 1086);
  EXPECT_EQ(rows, (std::vector<unsigned char>{4, 5, 6, 0, 1, 2, 3, 0}));
}

TEST(ConvertMatToBmp, ColourImageIsStoredAs32BitsWithOpaqueFourthByte) {
  cv::Mat m(1, 2, CV_8UC3);
  m.at<cv::Vec3b>(0, 0) = {10, 20, 30};
  m.at<cv::Vec3b>(0, 1) = {40, 50, 60};
  int size = 0;
  Buffer b = to_bmp(m, size);
  ASSERT_TRUE(b);
  ASSERT_EQ(size, 62);
  expect_header(b.get(), size, 54, 2, 1, 32, 8);
  const std::vector<unsigned char> px(b.get() + 54, b.get() + 62);
  EXPECT_EQ(px, (std::vector<unsigned char>{10, 20, 30, 255, 40, 50, 60, 255}));
}

struct ShapeCase {
  const char* name;
  int rows, cols, type;
  int bits;
  uint32_t stride;
  bool pixels_zero;  // element type without a pixel conversion
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class BmpShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(BmpShape, HeaderFollowsTheElementSize) {
  const ShapeCase& c = GetParam();
  cv::Mat m(c.rows, c.cols, c.type);
  cv::randu(m, cv::Scalar::all(1), cv::Scalar::all(200));  // nonzero everywhere
  int size = 0;
  Buffer b = to_bmp(m, size);
  ASSERT_TRUE(b) << c.name;
  const uint32_t offset = c.bits == 8 ? 1078 : 54;
  expect_header(b.get(), size, offset, c.cols, c.rows, c.bits, c.stride * c.rows);
  if (c.pixels_zero) {
    for (int i = static_cast<int>(offset); i < size; ++i) ASSERT_EQ(b.get()[i], 0) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, BmpShape,
    testing::Values(ShapeCase{"grey_5x3", 3, 5, CV_8UC1, 8, 8, false},
                    ShapeCase{"grey_4x2", 2, 4, CV_8UC1, 8, 4, false},
                    ShapeCase{"u16", 3, 5, CV_16UC1, 16, 12, true},
                    ShapeCase{"u16_even", 2, 6, CV_16UC1, 16, 12, true},
                    ShapeCase{"bgr_odd", 3, 5, CV_8UC3, 32, 20, false},
                    ShapeCase{"bgra", 2, 3, CV_8UC4, 32, 12, false},
                    ShapeCase{"float", 2, 3, CV_32FC1, 32, 12, true},
                    ShapeCase{"int", 2, 3, CV_32SC1, 32, 12, true},
                    ShapeCase{"u16x2", 2, 3, CV_16UC2, 32, 12, true},
                    ShapeCase{"double", 2, 3, CV_64FC1, 64, 24, true}),
    [](const testing::TestParamInfo<ShapeCase>& i) { return std::string(i.param.name); });

TEST(ConvertMatToBmp, ImageWithoutRowsGivesHeaderAndPaletteOnly) {
  int size = 0;
  Buffer grey = to_bmp(cv::Mat(0, 5, CV_8UC1), size);
  ASSERT_TRUE(grey);
  EXPECT_EQ(size, 1078);
  expect_header(grey.get(), size, 1078, 5, 0, 8, 0);
  expect_grey_palette(grey.get());

  // A matrix that was never given a type has no element size: bare header.
  Buffer empty = to_bmp(cv::Mat(), size);
  ASSERT_TRUE(empty);
  EXPECT_EQ(size, 54);
  expect_header(empty.get(), size, 54, 0, 0, 0, 0);

  Buffer colour = to_bmp(cv::Mat(0, 2, CV_8UC3), size);
  ASSERT_TRUE(colour);
  EXPECT_EQ(size, 54);
  expect_header(colour.get(), size, 54, 2, 0, 32, 0);
}

TEST(ConvertMatToBmp, FourChannelImageKeepsBlueGreenRed) {
  cv::Mat m(1, 2, CV_8UC4);
  m.at<cv::Vec4b>(0, 0) = {1, 2, 3, 4};
  m.at<cv::Vec4b>(0, 1) = {5, 6, 7, 8};
  int size = 0;
  Buffer b = to_bmp(m, size);
  ASSERT_TRUE(b);
  ASSERT_EQ(size, 62);
  const std::vector<unsigned char> px(b.get() + 54, b.get() + 62);
  EXPECT_EQ(px, (std::vector<unsigned char>{1, 2, 3, 255, 5, 6, 7, 255}));
}

class BmpView : public testing::TestWithParam<int> {};

TEST_P(BmpView, ViewIntoALargerImageGivesTheSameFileAsItsCopy) {
  cv::Mat big(20, 31, GetParam());
  cv::randu(big, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::Mat view = big(cv::Rect(3, 4, 7, 5));
  ASSERT_FALSE(view.isContinuous());
  int view_size = 0, copy_size = 0;
  Buffer v = to_bmp(view, view_size);
  Buffer c = to_bmp(view.clone(), copy_size);
  ASSERT_TRUE(v && c);
  ASSERT_EQ(view_size, copy_size);
  EXPECT_EQ(std::memcmp(v.get(), c.get(), static_cast<std::size_t>(copy_size)), 0);
}

INSTANTIATE_TEST_SUITE_P(Types, BmpView, testing::Values(CV_8UC1, CV_8UC3));

TEST(ConvertMatToBmp, RefusesWhatItCannotRepresent) {
  // Pixels are never touched: the size check comes first.
  std::vector<unsigned char> tiny(16);
  int size = 7;
  cv::Mat huge(50000, 50000, CV_8UC1, tiny.data());  // 2.5 GB does not fit the int size
  EXPECT_EQ(convert_Mat_to_BMP(huge, size), nullptr);
  EXPECT_EQ(size, 0);

  size = 7;
  const int dims[3] = {2, 2, 2};
  cv::Mat cube(3, dims, CV_8UC1, cv::Scalar(1));
  EXPECT_EQ(convert_Mat_to_BMP(cube, size), nullptr);
  EXPECT_EQ(size, 0);
}

// ---- writing out.bmp --------------------------------------------------------------

// Runs each test in a directory of its own, since the file name is fixed.
class SaveBmp : public testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    std::string tmpl = testing::TempDir() + "vyrbmpXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::vector<unsigned char> read_out() {
    std::ifstream in("out.bmp", std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
  }
  fs::path old_, dir_;
};

TEST_F(SaveBmp, ReplacesAnExistingFileWithExactlyTheBuffer) {
  std::ofstream("out.bmp", std::ios::binary) << std::string(1000, 'x');
  cv::Mat m(1, 2, CV_8UC3, cv::Scalar(9, 8, 7));
  int size = 0;
  Buffer b = to_bmp(m, size);
  ASSERT_EQ(size, 62);
  save_bmp_to_file(b.get(), size);
  EXPECT_EQ(read_out(), std::vector<unsigned char>(b.get(), b.get() + size));
}

TEST_F(SaveBmp, WritesWhenTheFileGetsDescriptorZero) {
  // With standard input closed, the file is opened as descriptor 0.
  const int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  close(0);
  unsigned char data[5] = {'h', 'e', 'l', 'l', 'o'};
  save_bmp_to_file(data, 5);
  const int probe = open("/dev/null", O_RDONLY);  // descriptor 0 was closed again
  EXPECT_EQ(probe, 0);
  if (probe >= 0) close(probe);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_EQ(read_out(), (std::vector<unsigned char>{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(SaveBmp, NullBufferLeavesNoFile) {
  save_bmp_to_file(nullptr, 0);
  save_bmp_to_file(nullptr, 62);
  EXPECT_FALSE(fs::exists("out.bmp"));
}

struct RoundTripCase {
  int type;
  int rows, cols;
  int read_flag;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) {
  *os << c.cols << "x" << c.rows << " " << c.type;
}

class BmpRoundTrip : public SaveBmp, public testing::WithParamInterface<RoundTripCase> {};

TEST_P(BmpRoundTrip, WrittenFileDecodesToTheSameImage) {
  const RoundTripCase& c = GetParam();
  cv::Mat m(c.rows, c.cols, c.type);
  cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(256));
  int size = 0;
  Buffer b = to_bmp(m, size);
  ASSERT_TRUE(b);
  save_bmp_to_file(b.get(), size);
  cv::Mat back = cv::imread("out.bmp", c.read_flag);
  ASSERT_FALSE(back.empty());
  ASSERT_EQ(back.type(), m.type());
  EXPECT_EQ(cv::norm(back, m, cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Images, BmpRoundTrip,
                         testing::Values(RoundTripCase{CV_8UC1, 7, 5, cv::IMREAD_GRAYSCALE},
                                         RoundTripCase{CV_8UC1, 4, 8, cv::IMREAD_GRAYSCALE},
                                         RoundTripCase{CV_8UC3, 6, 5, cv::IMREAD_COLOR},
                                         RoundTripCase{CV_8UC3, 1, 1, cv::IMREAD_COLOR}));

// ---- NV21 ---------------------------------------------------------------------------

// An NV21 buffer of w*h*3/2 bytes, converted from a w*h BGR picture. Both
// buffers are exactly sized, so any stray access is caught under ASan.
std::vector<unsigned char> nv21_of(const std::vector<unsigned char>& bgr, int w, int h) {
  std::vector<unsigned char> out(static_cast<std::size_t>(w) * h * 3 / 2, 0xEE);
  BGR2NV21(const_cast<unsigned char*>(bgr.data()), out.data(), w, h);
  return out;
}

std::vector<unsigned char> solid(int w, int h, unsigned char b, unsigned char g, unsigned char r) {
  std::vector<unsigned char> v;
  for (int i = 0; i < w * h; ++i) v.insert(v.end(), {b, g, r});
  return v;
}

struct ColourCase {
  const char* name;
  unsigned char b, g, r;
  unsigned char y, v, u;
};

void PrintTo(const ColourCase& c, std::ostream* os) { *os << c.name; }

class Nv21Colour : public testing::TestWithParam<ColourCase> {};

TEST_P(Nv21Colour, TopLeftPixelGivesLumaAndChroma) {
  const ColourCase& c = GetParam();
  // Only the top-left pixel decides the chroma; the others are noise.
  std::vector<unsigned char> bgr = {c.b, c.g, c.r, 17, 200, 3, 99, 0, 255, 255, 128, 64};
  const std::vector<unsigned char> out = nv21_of(bgr, 2, 2);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[0], c.y);
  EXPECT_EQ(out[4], c.v) << "V";
  EXPECT_EQ(out[5], c.u) << "U";
}

INSTANTIATE_TEST_SUITE_P(
    Colours, Nv21Colour,
    testing::Values(ColourCase{"white", 255, 255, 255, 255, 128, 128},
                    ColourCase{"black", 0, 0, 0, 0, 128, 128},
                    ColourCase{"blue", 255, 0, 0, 29, 107, 255},
                    // V comes to 256 for these three: it saturates, red stays red.
                    ColourCase{"red", 0, 0, 255, 76, 255, 85},
                    ColourCase{"red_b1", 1, 0, 255, 76, 255, 86},
                    ColourCase{"red_b2", 2, 0, 255, 76, 255, 86},
                    ColourCase{"red_b3", 3, 0, 255, 77, 255, 86},
                    ColourCase{"green", 0, 255, 0, 150, 21, 43}),
    [](const testing::TestParamInfo<ColourCase>& i) { return std::string(i.param.name); });

TEST(Nv21, UniformPictureFillsBothPlanes) {
  const std::vector<unsigned char> out = nv21_of(solid(4, 2, 255, 255, 255), 4, 2);
  EXPECT_EQ(out, (std::vector<unsigned char>{255, 255, 255, 255, 255, 255, 255, 255, 128, 128,
                                             128, 128}));
}

// Oracle: OpenCV's full-range YCrCb conversion uses the same BT.601 weights.
TEST(Nv21, AgreesWithOpenCvYCrCbAndRoundTrips) {
  const int w = 16, h = 12;
  // Constant 2x2 blocks, so the chroma subsampling loses nothing.
  cv::Mat blocks(h / 2, w / 2, CV_8UC3);
  cv::randu(blocks, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::Mat bgr;
  cv::resize(blocks, bgr, {w, h}, 0, 0, cv::INTER_NEAREST);
  ASSERT_TRUE(bgr.isContinuous());
  const std::vector<unsigned char> in(bgr.data, bgr.data + bgr.total() * 3);
  const std::vector<unsigned char> out = nv21_of(in, w, h);

  cv::Mat ycrcb;
  cv::cvtColor(bgr, ycrcb, cv::COLOR_BGR2YCrCb);
  cv::Mat rebuilt(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const cv::Vec3b ref = ycrcb.at<cv::Vec3b>(y, x);
      const int luma = out[y * w + x];
      const int v = out[w * h + (y / 2) * w + (x / 2) * 2];
      const int u = out[w * h + (y / 2) * w + (x / 2) * 2 + 1];
      ASSERT_NEAR(luma, ref[0], 1) << x << "," << y;
      ASSERT_NEAR(v, ref[1], 1) << x << "," << y;
      ASSERT_NEAR(u, ref[2], 1) << x << "," << y;
      rebuilt.at<cv::Vec3b>(y, x) = cv::Vec3b(luma, v, u);
    }
  }
  cv::Mat back;
  cv::cvtColor(rebuilt, back, cv::COLOR_YCrCb2BGR);
  EXPECT_LE(cv::norm(back, bgr, cv::NORM_INF), 3.0);
}

TEST(Nv21, NonPositiveSizesWriteNothing) {
  std::vector<unsigned char> bgr = solid(2, 2, 1, 2, 3);
  for (const auto& wh : {std::pair<int, int>{0, 2}, {2, 0}, {0, 0}, {-2, 2}, {2, -2}}) {
    std::vector<unsigned char> out(16, 0xEE);
    BGR2NV21(bgr.data(), out.data(), wh.first, wh.second);
    EXPECT_EQ(out, std::vector<unsigned char>(16, 0xEE)) << wh.first << "x" << wh.second;
  }
}

struct OddCase {
  int w, h;
};

void PrintTo(const OddCase& c, std::ostream* os) { *os << c.w << "x" << c.h; }

class Nv21Odd : public testing::TestWithParam<OddCase> {};

TEST_P(Nv21Odd, StaysInsideBothBuffersAndMatchesTheEvenPart) {
  const int w = GetParam().w, h = GetParam().h;
  cv::Mat pic(h, w, CV_8UC3);
  cv::randu(pic, cv::Scalar::all(0), cv::Scalar::all(256));
  const std::vector<unsigned char> in(pic.data, pic.data + pic.total() * 3);
  const std::vector<unsigned char> out = nv21_of(in, w, h);  // exactly w*h*3/2 bytes

  // Luma for every pixel, from an independent formula.
  for (int i = 0; i < w * h; ++i) {
    const int want = (1868 * in[3 * i] + 9617 * in[3 * i + 1] + 4899 * in[3 * i + 2] + 8192) >> 14;
    ASSERT_EQ(out[i], want) << i;
  }
  // Whole blocks get the chroma of the even-sized part.
  const int ew = w / 2 * 2, eh = h / 2 * 2;
  if (ew > 0 && eh > 0) {
    cv::Mat even = pic(cv::Rect(0, 0, ew, eh)).clone();
    const std::vector<unsigned char> even_in(even.data, even.data + even.total() * 3);
    const std::vector<unsigned char> even_out = nv21_of(even_in, ew, eh);
    for (int by = 0; by < eh / 2; ++by)
      for (int x = 0; x < ew; ++x)
        ASSERT_EQ(out[w * h + by * w + x], even_out[ew * eh + by * ew + x]) << x << "," << by;
  }
  // Every other byte of the output is written as neutral chroma.
  for (std::size_t i = static_cast<std::size_t>(w) * h; i < out.size(); ++i) {
    const std::size_t off = i - static_cast<std::size_t>(w) * h;
    const bool in_block = static_cast<int>(off / w) < h / 2 && static_cast<int>(off % w) < ew;
    if (!in_block) {
      ASSERT_EQ(out[i], 128) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Nv21Odd,
                         testing::Values(OddCase{1, 1}, OddCase{3, 3}, OddCase{5, 4},
                                         OddCase{4, 5}, OddCase{1, 6}, OddCase{7, 1},
                                         OddCase{33, 17}, OddCase{2, 2}));

}  // namespace
