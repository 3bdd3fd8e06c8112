// Letter-coded Chinese names. Some issuers write a Chinese name in the MRZ as
// capital letters, one per half byte of its GBK code ('A' = 0 ... 'P' = 15,
// high half first), four letters per character.
#pragma once

// The longest text the name routines work on, terminator included: a name
// field or window holds at most kNameBufSize - 1 characters.
constexpr int kNameBufSize = 50;

// 0 when `letters` is a coded name: 4, 8, 12 or 16 letters, all 'A'-'P'; -1
// otherwise. Characters outside the usual GBK ranges are logged
// ("chinese encode, bcd:%s"), not rejected.
int is_gbk_name(char* letters);

// Decodes a coded name into UTF-8 text in `out`, which must hold
// kNameBufSize bytes. 0 on success; -1 when the letters are no coded name
// (`out` untouched) or do not decode to at least one byte.
int name_convert(char* letters, char* out);
