#include "gbk2utf8.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
#include "gbk_table.inc"

constexpr int kLeadFirst = 0x81, kLeadLast = 0xFE;
constexpr int kTrailFirst = 0x40, kTrailLast = 0xFE;
constexpr int kTrailCount = kTrailLast - kTrailFirst + 1;
static_assert(sizeof(gs_gbk2uni_table) / sizeof(gs_gbk2uni_table[0]) ==
                  static_cast<std::size_t>((kLeadLast - kLeadFirst + 1) * kTrailCount),
              "forward table size");

char* xmalloc(std::size_t size) {
  char* p = static_cast<char*>(std::malloc(size));
  if (p == nullptr) std::printf("[%s]xmalloc fail!!\n", "xmalloc");
  return p;
}

}  // namespace

int gbk2utf8(const void* input, int length, char** output) {
  if (output == nullptr || input == nullptr || length < 0) return -1;
  *output = nullptr;
  // Every input byte yields at most 1.5 output bytes; the count of written
  // bytes must also fit the int result.
  if (static_cast<std::size_t>(length) > (static_cast<std::size_t>(INT_MAX) - 4) / 3 * 2) return -1;
  const std::size_t size = static_cast<std::size_t>(length) * 3 / 2 + 4;
  char* buf = xmalloc(size);
  if (buf == nullptr) return -1;

  const unsigned char* in = static_cast<const unsigned char*>(input);
  std::size_t o = 0;
  for (int i = 0; i < length; ++i) {
    const unsigned lead = in[i];
    if (lead < 0x80) {
      buf[o++] = static_cast<char>(lead);
      continue;
    }
    if (i + 1 >= length || lead < kLeadFirst || lead > kLeadLast) {
      std::free(buf);
      return -1;
    }
    const unsigned trail = in[++i];
    if (trail < kTrailFirst || trail > kTrailLast) {
      std::free(buf);
      return -1;
    }
    const unsigned cp = gs_gbk2uni_table[(lead - kLeadFirst) * kTrailCount + (trail - kTrailFirst)];
    if (cp == 0) {
      std::free(buf);
      return -1;
    }
    if (cp < 0x80) {
      buf[o++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
      buf[o++] = static_cast<char>(0xC0 | (cp >> 6));
      buf[o++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      buf[o++] = static_cast<char>(0xE0 | (cp >> 12));
      buf[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[o++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  buf[o] = '\0';
  *output = buf;
  return static_cast<int>(o);
}

int utf82gbk(const void* input, int length, char** output) {
  if (output == nullptr || input == nullptr || length < 0) return -1;
  *output = nullptr;
  // The output is never longer than the input (ASCII one for one, three
  // UTF-8 bytes to two GBK bytes), so length + 1 always holds it.
  char* buf = xmalloc(static_cast<std::size_t>(length) + 1);
  if (buf == nullptr) return -1;

  const unsigned char* in = static_cast<const unsigned char*>(input);
  std::size_t o = 0;
  for (int i = 0; i < length; ++i) {
    const unsigned c0 = in[i];
    if (c0 < 0x80) {
      buf[o++] = static_cast<char>(c0);
      continue;
    }
    if (length - i < 3 || (c0 & 0xF0) != 0xE0 || (in[i + 1] & 0xC0) != 0x80 ||
        (in[i + 2] & 0xC0) != 0x80) {
      std::free(buf);
      return -1;
    }
    const unsigned cp = (c0 & 0x0F) << 12 | (in[i + 1] & 0x3F) << 6 | (in[i + 2] & 0x3F);
    i += 2;
    unsigned gbk = 0;
    if (cp >= 0x4E02 && cp <= 0x9FA5)
      gbk = gs_uni2gbk_table0[cp - 0x4E02];
    else if (cp >= 0xE000 && cp <= 0xE4C5)
      gbk = gs_uni2gbk_table1[cp - 0xE000];
    if (gbk == 0) {
      std::free(buf);
      return -1;
    }
    buf[o++] = static_cast<char>(gbk >> 8);
    buf[o++] = static_cast<char>(gbk & 0xFF);
  }
  buf[o] = '\0';
  *output = buf;
  return static_cast<int>(o);
}
