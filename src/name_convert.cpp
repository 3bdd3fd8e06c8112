#include "name_convert.h"

#include <cstdlib>
#include <cstring>

#include "fixed_text.h"
#include "gbk2utf8.h"
#include "vyr_log.h"

namespace {

bool isCodeLetter(char c) { return c >= 'A' && c <= 'P'; }

// One GBK character of the hex form is usual when it lies in one of these
// lead x trail ranges (bounds included).
struct GbkRange {
  int leadLo, leadHi, trailLo, trailHi;
};
const GbkRange kGbkRanges[8] = {
    {0xA1, 0xA9, 0xA1, 0xFE}, {0xB0, 0xF7, 0xA1, 0xFE}, {0x81, 0xA0, 0x40, 0xFE},
    {0xA8, 0xA9, 0x40, 0xA0}, {0xAA, 0xFE, 0x40, 0xA0}, {0xA1, 0xA7, 0x40, 0xA0},
    {0xAA, 0xAF, 0xA1, 0xFE}, {0xF8, 0xFE, 0xA1, 0xFF},
};

}  // namespace

int is_gbk_name(char* letters) {
  if (letters == nullptr) return -1;
  const std::size_t n = strnlen(letters, 17);
  if (n != 4 && n != 8 && n != 12 && n != 16) return -1;
  for (std::size_t i = 0; i < n; ++i)
    if (!isCodeLetter(letters[i])) return -1;

  char hex[40] = {0};
  for (std::size_t i = 0; i < n; ++i) {
    const int v = letters[i] - 'A';
    hex[i] = static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10);
  }
  for (std::size_t g = 0; g < n; g += 4) {
    const int lead = (letters[g] - 'A') * 16 + (letters[g + 1] - 'A');
    const int trail = (letters[g + 2] - 'A') * 16 + (letters[g + 3] - 'A');
    bool usual = false;
    for (const GbkRange& r : kGbkRanges)
      usual = usual || (lead >= r.leadLo && lead <= r.leadHi && trail >= r.trailLo && trail <= r.trailHi);
    if (!usual) vyr_log(0, "chinese encode, bcd:%s", hex);
  }
  return 0;
}

int name_convert(char* letters, char* out) {
  if (letters == nullptr || out == nullptr) return -1;
  if (is_gbk_name(letters) != 0) {
    vyr_log(0, "not a gbk name");
    return -1;
  }
  const std::size_t n = std::strlen(letters);
  if (n == 0 || n > 60 || n % 4 != 0) return -1;
  unsigned char packed[64] = {0};
  for (std::size_t i = 0; i < n; i += 2) {
    if (!isCodeLetter(letters[i]) || !isCodeLetter(letters[i + 1])) return -1;
    packed[i / 2] = static_cast<unsigned char>((letters[i] - 'A') * 16 + (letters[i + 1] - 'A'));
  }
  char* utf8 = nullptr;
  const int len = gbk2utf8(packed, static_cast<int>(strnlen(reinterpret_cast<char*>(packed), sizeof(packed))),
                           &utf8);
  if (len >= 0) vyr::copy_text(out, kNameBufSize, utf8);
  std::free(utf8);
  return len > 0 ? 0 : -1;
}
