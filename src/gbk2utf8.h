// GBK <-> UTF-8 conversion for holder names. Letter-coded Chinese names in an
// MRZ unpack into GBK bytes; the result record holds UTF-8. Both directions use
// constant tables compiled into the library (the two-byte part of code page
// 936, with its open cells in the Private Use Area as GB 18030-2000 fills them).
#pragma once

// Converts `length` bytes of GBK text (no NUL needed) to UTF-8. On success
// *output is a NUL-terminated buffer from malloc that the caller frees, and
// the result is its length without the NUL. On failure the result is -1,
// *output is null and nothing needs freeing: a null pointer, a negative
// length or one whose output could not be counted in an int, a lead byte
// without its trail byte, a byte outside the lead (0x81-0xFE) or trail
// (0x40-0xFE) range. A length of 0 gives an empty text and 0.
int gbk2utf8(const void* input, int length, char** output);

// Converts `length` bytes of UTF-8 to GBK for ASCII and the characters of the
// two reverse tables (U+4E02-U+9FA5 and U+E000-U+E4C5), written high byte
// first. Same ownership and failure rules as gbk2utf8; a two- or four-byte
// sequence, a malformed sequence or any other character fails.
int utf82gbk(const void* input, int length, char** output);
