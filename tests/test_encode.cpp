// The model cipher: DES against known answers, the ranges each scheme covers,
// and encipher/decipher round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encode.h"
#include "model_key.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

_s_model_head head_of(int e, int x, int d) {
  _s_model_head h;
  std::memset(&h, 0, sizeof(h));
  h.magic = 0x11;
  h.tail_magic = 0x11;
  h.e = static_cast<int8_t>(e);
  h.xor_count = static_cast<int8_t>(x);
  h.des_count = static_cast<int8_t>(d);
  return h;
}

uint64_t subkey(const key_set& k) {
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | k.k[i];
  return v;
}

// ---- DES -------------------------------------------------------------------------

TEST(Des, ClassicKeyScheduleGivesTheKnownRoundKeys) {
  key_set ks[17];
  des_key_schedule(hex("133457799BBCDFF1").data(), ks);
  EXPECT_EQ(subkey(ks[1]), 0x1B02EFFC7072ull);   // K1
  EXPECT_EQ(subkey(ks[2]), 0x79AED9DBC9E5ull);   // K2
  EXPECT_EQ(subkey(ks[16]), 0xCB3D8B0E17F5ull);  // K16
}

struct DesVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// The classic vector, plus random ones enciphered with openssl (des-ecb, -nopad).
const DesVector kDesVectors[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"b643473a147ff544", "fb5a7ca24bced6a2", "bb5d6a672b088d57"},
    {"a26a0491d8665d38", "7fc71630c06de39c", "92ea0bffa0fa4a37"},
    {"95a75965a273a501", "e34ec3f17eba8bb4", "cf1857c7aa4e99bc"},
    {"9770493e211a60e1", "e14a33866686bb72", "8ae651e833e00c28"},
    {"6b1497b8877eb383", "5c30c8f8d94be395", "a7268f0ec2396b89"},
    {"3b6f5e12cd7e9736", "ebeadf4a5ea27554", "05717969dec96625"},
};

class DesKnownAnswer : public ::testing::TestWithParam<DesVector> {};

TEST_P(DesKnownAnswer, EncryptsAndDecryptsOneBlock) {
  const DesVector& v = GetParam();
  key_set ks[17];
  des_key_schedule(hex(v.key).data(), ks);
  const Bytes plain = hex(v.plain), cipher = hex(v.cipher);
  unsigned char out[8];
  des_process_block(plain.data(), out, ks, 1);
  EXPECT_EQ(Bytes(out, out + 8), cipher);
  des_process_block(cipher.data(), out, ks, 0);
  EXPECT_EQ(Bytes(out, out + 8), plain);
}

INSTANTIATE_TEST_SUITE_P(Vectors, DesKnownAnswer, ::testing::ValuesIn(kDesVectors));

TEST(Des, ModelScheduleIsTheSharedKeyInEcbMode) {
  // openssl enc -des-ecb -nopad -K 5EA137C90B72D468 over 64 bytes: each block
  // on its own, no chaining.
  Bytes buf = hex(
      "cea19c7398bc843596f579027670ce9dcd0c9f048c4910c93cee351879c50fad89f792d6a22aa1d42c131451"
      "56bea4202c98f7e78fe15f0abd3d7e3c32b4e600");
  const Bytes expected = hex(
      "1c69ca290cb0a06b8b68b8887e2733c2e90c395a0d25b6e056bd76ea5d99e2d39377e086230ea9e2ff61956b"
      "7f90b02c870f2b2a2bff7bd1f387a5176f422f58");
  ASSERT_EQ(std::memcmp(vyr::model_key::kDesKey, hex("5EA137C90B72D468").data(), 8), 0)
      << "the model key changed: every packed model must be re-packed";
  EXPECT_EQ(_decode_model_buffer2(buf.data(), static_cast<int>(buf.size()), 1), 0);
  EXPECT_EQ(buf, expected);
}

TEST(Des, RangeRoundTripKeepsTheTailAndTheScheduleStaysHidden) {
  const Bytes original = random_bytes(1003, 7);
  Bytes buf = original;
  EXPECT_EQ(key_sets, nullptr);
  _decode_model_buffer2(buf.data(), 1003, 1);
  EXPECT_EQ(key_sets, nullptr);
  EXPECT_NE(Bytes(buf.begin(), buf.begin() + 1000), Bytes(original.begin(), original.begin() + 1000));
  EXPECT_EQ(Bytes(buf.begin() + 1000, buf.end()), Bytes(original.begin() + 1000, original.end()));
  _decode_model_buffer2(buf.data(), 1003, 0);
  EXPECT_EQ(buf, original);
  EXPECT_EQ(key_sets, nullptr);

  Bytes small = original;
  _decode_model_buffer2(small.data(), 7, 1);  // no whole block
  EXPECT_EQ(small, original);
}

TEST(Des, DesDecodeWithoutAScheduleUsesTheModelScheduleAndKeepsItsInput) {
  const Bytes in = random_bytes(37, 3);
  Bytes input = in, out(37, 0), expected = in;
  _decode_model_buffer2(expected.data(), 37, 0);
  ASSERT_EQ(key_sets, nullptr);
  _des_decode(input.data(), out.data(), nullptr, 37, 0);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(input, in);
}

// ---- the schemes -------------------------------------------------------------------

TEST(XorStep, AppliesThePatternPerBlock) {
  Bytes buf(24, 0);
  EXPECT_EQ(_decode_model_buffer1(buf.data(), 2), 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(buf[i], vyr::model_key::kXorPattern[i % 8]) << i;
  for (int i = 16; i < 24; ++i) EXPECT_EQ(buf[i], 0) << i;
  _decode_model_buffer1(buf.data(), 0);
  _decode_model_buffer1(buf.data(), -3);
  EXPECT_EQ(buf[16], 0);
}

struct RangeCase {
  int e, x, d;
  long len;
  long xor_blocks;  // expected pattern blocks from byte 0
  long des_blocks;  // expected DES blocks from byte 0
  int result;
};

// Reference: DES-decrypt the first des_blocks blocks, then XOR the first
// xor_blocks blocks, one block at a time with the public primitives.
Bytes reference_decode(Bytes b, long xor_blocks, long des_blocks) {
  key_set ks[17];
  des_key_schedule(vyr::model_key::kDesKey, ks);
  for (long i = 0; i < des_blocks; ++i) des_process_block(&b[8 * i], &b[8 * i], ks, 0);
  for (long i = 0; i < xor_blocks; ++i)
    for (int k = 0; k < 8; ++k) b[8 * i + k] ^= vyr::model_key::kXorPattern[k];
  return b;
}

class SchemeRanges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(SchemeRanges, DecipherExactlyTheirRange) {
  const RangeCase& c = GetParam();
  const Bytes original = random_bytes(static_cast<size_t>(c.len) + 16, 11);
  Bytes buf = original;
  EXPECT_EQ(decode_model_buffer(buf.data(), c.len, head_of(c.e, c.x, c.d)), c.result);
  Bytes expected = reference_decode(original, c.xor_blocks, c.des_blocks);
  EXPECT_EQ(buf, expected);  // also: nothing behind the body changed
  long xb = -1, db = -1;
  model_cipher_ranges(c.len, head_of(c.e, c.x, c.d), xb, db);
  EXPECT_EQ(xb, c.xor_blocks);
  EXPECT_EQ(db / 8, c.des_blocks);
  EXPECT_EQ(key_sets, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SchemeRanges,
    ::testing::Values(
        RangeCase{1, 0, 0, 100000, 800, 0, 0},      // first 6,400 bytes
        RangeCase{2, 5, 5, 100000, 800, 0, 0},      // counts are not read
        RangeCase{2, 0, 0, 5000, 625, 0, 0},        // short body: its 625 blocks only
        RangeCase{1, 0, 0, 5003, 625, 0, 0},        // tail of 3 bytes untouched
        RangeCase{3, 0, -1, 100000, 0, 1562, 0},    // d 0xFF: one eighth, 12,500 bytes
        RangeCase{3, -1, 0, 100003, 12500, 0, 0},   // x 0xFF: whole blocks of the body
        RangeCase{3, 2, 2, 1000, 16, 2, 0},         // x*8 blocks, d*8 bytes
        RangeCase{3, -1, -1, 4099, 512, 64, 0},     // both, overlapping from byte 0
        RangeCase{3, 127, 127, 900, 112, 112, 0},   // counts cut to the body
        RangeCase{3, 1, 1, 7, 0, 0, 0},             // no whole block
        RangeCase{3, 0, 0, 1000, 0, 0, 0},          // empty steps
        RangeCase{3, -128, -2, 1000, 0, 0, 0},      // 0x80 and 0xFE: no step
        RangeCase{3, -2, -128, 1000, 0, 0, 0},
        RangeCase{0, -1, -1, 1000, 0, 0, -1},       // unknown schemes: untouched
        RangeCase{4, -1, -1, 1000, 0, 0, -1},
        RangeCase{-125, -1, -1, 1000, 0, 0, -1}));  // 0x83

TEST(Schemes, EncodeBodyIsTheInverseForEveryHeader) {
  const int xs[] = {-128, -2, -1, 0, 1, 2, 13, 127};
  const int ds[] = {-128, -1, 0, 1, 3, 100, 127};
  const long lens[] = {771, 1000, 4099, 70001};
  for (long len : lens) {
    const Bytes original = random_bytes(static_cast<size_t>(len), static_cast<unsigned>(len));
    for (int e = 0; e <= 4; ++e)
      for (int x : xs)
        for (int d : ds) {
          Bytes buf = original;
          const _s_model_head h = head_of(e, x, d);
          const int enc = encode_model_body(buf.data(), len, h);
          const int dec = decode_model_buffer(buf.data(), len, h);
          EXPECT_EQ(enc, dec);
          ASSERT_EQ(buf, original) << "len " << len << " e " << e << " x " << x << " d " << d;
        }
  }
}

TEST(Schemes, EncodeModelBufferTakesPlainCounts) {
  // A body restored with header counts x and d is made with 8x blocks and 8d bytes.
  const Bytes original = random_bytes(5000, 5);
  for (int x : {1, 2, 9})
    for (int d : {1, 4, 60}) {
      Bytes buf = original;
      EXPECT_EQ(encode_model_buffer(buf.data(), 8 * x, 8 * d), 0);
      EXPECT_NE(buf, original);
      decode_model_buffer(buf.data(), 5000, head_of(3, x, d));
      EXPECT_EQ(buf, original) << x << "," << d;
    }
}

}  // namespace
