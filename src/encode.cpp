// DES as FIPS 46-3 defines it, in ECB mode, and the model-body schemes built on
// it. The block routine is table driven: the FIPS tables are expanded once into
// byte-indexed permutation tables and combined S-box/P tables, which keeps a
// whole-body DES range of a large model fast enough for start-up.
#include "encode.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "model_key.h"

key_set* key_sets = nullptr;

namespace {

// ---- FIPS 46-3 tables (1-based bit numbers, bit 1 = most significant) -------

constexpr int kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Index 0 is a placeholder so that round k reads kShifts[k].
constexpr int kShifts[17] = {0, 1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr int kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                          23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                          41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                          44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr int kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                         62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                         57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                         61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr int kE[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                        12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                        22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr int kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

constexpr int kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr int kFP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                         38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                         36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                         34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

// ---- key schedule ----------------------------------------------------------

constexpr uint64_t load_be(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

constexpr void store_be(uint64_t v, unsigned char* p, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<unsigned char>(v & 0xFF);
    v >>= 8;
  }
}

// Picks bits of `in` (numbered 1..in_bits from the top) into a value of
// `count` bits, in table order.
constexpr uint64_t permute(uint64_t in, int in_bits, const int* table, int count) {
  uint64_t out = 0;
  for (int i = 0; i < count; ++i) out = (out << 1) | ((in >> (in_bits - table[i])) & 1u);
  return out;
}

constexpr uint32_t rotl28(uint32_t v, int n) {
  return ((v << n) | (v >> (28 - n))) & 0x0FFFFFFFu;
}

constexpr std::array<key_set, 17> derive_schedule(const unsigned char* key) {
  std::array<key_set, 17> ks{};
  const uint64_t cd0 = permute(load_be(key, 8), 64, kPC1, 56);
  uint32_t c = static_cast<uint32_t>(cd0 >> 28) & 0x0FFFFFFFu;
  uint32_t d = static_cast<uint32_t>(cd0) & 0x0FFFFFFFu;
  store_be(c, ks[0].c, 4);
  store_be(d, ks[0].d, 4);
  for (int round = 1; round <= 16; ++round) {
    c = rotl28(c, kShifts[round]);
    d = rotl28(d, kShifts[round]);
    const uint64_t cd = (static_cast<uint64_t>(c) << 28) | d;
    store_be(permute(cd, 56, kPC2, 48), ks[round].k, 6);
    store_be(c, ks[round].c, 4);
    store_be(d, ks[round].d, 4);
  }
  return ks;
}

// The model schedule, computed by the compiler from the shared key.
constexpr std::array<key_set, 17> kModelSchedule = derive_schedule(vyr::model_key::kDesKey);

// ---- the block engine ------------------------------------------------------

// Byte-indexed forms of the FIPS permutations, built once from the tables.
struct DesTables {
  uint64_t ip[8][256];   // input byte j -> its bits placed by IP
  uint64_t fp[8][256];   // the same for IP^-1
  uint64_t e[4][256];    // right-half byte j -> its bits placed by E (48 bits)
  uint32_t sp[8][64];    // S-box i on a 6-bit group, output placed by P

  DesTables() {
    build_byte_table(kIP, 64, 64, ip);
    build_byte_table(kFP, 64, 64, fp);
    std::memset(e, 0, sizeof(e));
    for (int j = 0; j < 4; ++j)
      for (int v = 0; v < 256; ++v)
        for (int p = 0; p < 48; ++p) {
          const int q = kE[p] - 1;  // source bit, 0-based from the top of 32
          if (q / 8 == j && (v >> (7 - q % 8)) & 1) e[j][v] |= uint64_t{1} << (47 - p);
        }
    for (int i = 0; i < 8; ++i)
      for (int x = 0; x < 64; ++x) {
        const int row = ((x >> 4) & 2) | (x & 1);
        const int col = (x >> 1) & 15;
        const uint32_t s = static_cast<uint32_t>(kS[i][row * 16 + col]) << (28 - 4 * i);
        sp[i][x] = static_cast<uint32_t>(permute(s, 32, kP, 32));
      }
  }

  static void build_byte_table(const int* table, int in_bits, int out_bits,
                               uint64_t (*dst)[256]) {
    for (int j = 0; j < in_bits / 8; ++j)
      for (int v = 0; v < 256; ++v) {
        uint64_t m = 0;
        for (int p = 0; p < out_bits; ++p) {
          const int q = table[p] - 1;
          if (q / 8 == j && (v >> (7 - q % 8)) & 1) m |= uint64_t{1} << (out_bits - 1 - p);
        }
        dst[j][v] = m;
      }
  }
};

const DesTables& des_tables() {
  static const DesTables tables;  // thread-safe one-time construction
  return tables;
}

// The DES block engine of the model cipher.
class MyDesClass {
 public:
  MyDesClass() : t_(des_tables()) {}

  void process_message(const unsigned char* in, unsigned char* out, const key_set* ks,
                       int mode) const {
    uint64_t subkeys[16];
    for (int round = 1; round <= 16; ++round) {
      const key_set& k = ks[mode == 0 ? 17 - round : round];
      subkeys[round - 1] = load_be(k.k, 6);
    }
    uint64_t b = 0;
    for (int j = 0; j < 8; ++j) b |= t_.ip[j][in[j]];
    uint32_t l = static_cast<uint32_t>(b >> 32);
    uint32_t r = static_cast<uint32_t>(b);
    for (int round = 0; round < 16; ++round) {
      const uint64_t x = (t_.e[0][r >> 24] | t_.e[1][(r >> 16) & 0xFF] | t_.e[2][(r >> 8) & 0xFF] |
                          t_.e[3][r & 0xFF]) ^
                         subkeys[round];
      uint32_t f = 0;
      for (int i = 0; i < 8; ++i) f |= t_.sp[i][(x >> (42 - 6 * i)) & 63];
      const uint32_t nl = r;
      r = l ^ f;
      l = nl;
    }
    const uint64_t pre = (static_cast<uint64_t>(r) << 32) | l;  // R16 then L16
    uint64_t o = 0;
    for (int j = 0; j < 8; ++j) o |= t_.fp[j][(pre >> (56 - 8 * j)) & 0xFF];
    store_be(o, out, 8);
  }

 private:
  const DesTables& t_;
};

void xor_blocks(unsigned char* buffer, long blocks) {
  const unsigned char* pat = vyr::model_key::kXorPattern;
  for (long i = 0; i < blocks; ++i) {
    unsigned char* b = buffer + 8 * i;
    for (int k = 0; k < 8; ++k) b[k] ^= pat[k];
  }
}

// The schedule `key_sets` points to while a DES range is processed. Kept in
// static storage so that the routine needs no allocation that could fail.
key_set g_active_schedule[17];

void des_range(unsigned char* buffer, long length, const key_set* ks, int mode) {
  const MyDesClass des;
  unsigned char block[8];
  for (long i = 0; i < length / 8; ++i) {
    des.process_message(buffer + 8 * i, block, ks, mode);
    std::memcpy(buffer + 8 * i, block, 8);
  }
}

}  // namespace

void des_key_schedule(const unsigned char key[8], key_set schedule[17]) {
  const std::array<key_set, 17> ks = derive_schedule(key);
  std::copy(ks.begin(), ks.end(), schedule);
}

void des_process_block(const unsigned char in[8], unsigned char out[8], const key_set* schedule,
                       int mode) {
  MyDesClass().process_message(in, out, schedule, mode);
}

void model_cipher_ranges(long len, const _s_model_head& head, long& xor_blocks, long& des_bytes) {
  xor_blocks = 0;
  des_bytes = 0;
  if (len <= 0) return;
  const long n8 = len / 8;
  if (head.e == 1 || head.e == 2) {
    xor_blocks = std::min(800L, n8);
    return;
  }
  if (head.e != 3) return;
  const int d = head.des_count;
  if (d == -1)
    des_bytes = len / 8;  // one eighth of the body, not the whole of it
  else if (d >= 1)
    des_bytes = std::min(8L * d, len);
  const int x = head.xor_count;
  if (x == -1)
    xor_blocks = n8;
  else if (x >= 1)
    xor_blocks = std::min(8L * x, n8);
}

int _decode_model_buffer2(unsigned char* buffer, int length, int mode) {
  if (buffer == nullptr || length < 8) return 0;
  std::copy(kModelSchedule.begin(), kModelSchedule.end(), g_active_schedule);
  key_sets = g_active_schedule;
  des_range(buffer, length, key_sets, mode);
  key_sets = nullptr;
  return 0;
}

int _decode_model_buffer1(unsigned char* buffer, int n) {
  if (buffer != nullptr && n > 0) xor_blocks(buffer, n);
  return 0;
}

int encode_model_buffer(unsigned char* buffer, int xor_count, int des_bytes) {
  if (buffer == nullptr) return 0;
  if (xor_count > 0) xor_blocks(buffer, xor_count);
  if (des_bytes > 0) _decode_model_buffer2(buffer, des_bytes, 1);
  return 0;
}

void _des_decode(unsigned char* input, unsigned char* output, unsigned char* /*key*/, int length,
                 int mode) {
  if (input == nullptr || output == nullptr || length <= 0) return;
  std::memmove(output, input, static_cast<size_t>(length));
  const key_set* ks = key_sets != nullptr ? key_sets : kModelSchedule.data();
  des_range(output, length, ks, mode);
}

int decode_model_buffer(unsigned char* buffer, long len, _s_model_head head) {
  if (head.e < 1 || head.e > 3) return -1;
  if (buffer == nullptr) return 0;
  long xor_count = 0, des_bytes = 0;
  model_cipher_ranges(len, head, xor_count, des_bytes);
  if (des_bytes > 0) _decode_model_buffer2(buffer, static_cast<int>(des_bytes), 0);
  if (xor_count > 0) xor_blocks(buffer, xor_count);
  return 0;
}

int encode_model_body(unsigned char* buffer, long len, const _s_model_head& head) {
  if (head.e < 1 || head.e > 3) return -1;
  if (buffer == nullptr) return 0;
  long xor_count = 0, des_bytes = 0;
  model_cipher_ranges(len, head, xor_count, des_bytes);
  if (xor_count > 0) xor_blocks(buffer, xor_count);
  if (des_bytes > 0) _decode_model_buffer2(buffer, static_cast<int>(des_bytes), 1);
  return 0;
}
