// Item verification with re-reading: an MRZ item read by template matching is
// tested; when it fails it is read again from its image by the MRZ
// recogniser, the new reading is tested and, when it passes, written back into
// the MRZ text. The item and its valid byte are stored in passport_ocr_result.
#pragma once

// Item types: the test an item goes through and the record field it fills.
enum {
  ITEM_BIRTHDAY = 0,     // date + check digit, 7 -> birthday
  ITEM_EXPIRED = 1,      // date + check digit, 7 -> expired
  ITEM_SEX = 2,          // 1 -> sex (always re-read)
  ITEM_NATIONALITY = 3,  // state code, 3 -> nationality
  ITEM_ISSUE_STATE = 4,  // state code, 3 -> issue_country
  ITEM_OPTION_NO = 5,    // number + check digit in line-2 positions 34-43, 10 -> option
  ITEM_CARD_ID = 6,      // number + check digit, 10 -> id
  ITEM_OPTION = 7,       // optional data + check digit, 15 or 7 -> option
  ITEM_DOC_NO = 8,       // document number + check digit of line 2, 10 -> id
  ITEM_LINE1_ID = 9,     // 9 characters after line-1 character 3 -> id
  ITEM_10 = 10,          // 9 characters after MRZ character 63 -> item10
  ITEM_11 = 11,          // 3 characters with a check digit -> item11
};

// Tests the item of `len` characters at `start` of MRZ line `line` (1, 2 or
// 3; line 2 lies at MRZ index 44 + start, lines 1 and 3 at start). A failing
// item (and every sex item) is re-read from the line's colour image with the
// MRZ recogniser in class `cls` ('N', 'L' or 'O'); `lineLen` is the number of
// boxes of a full line. An accepted re-reading is written into `mrz`. Stores
// the item and logs "%s: %s, v:%s" with `name`. False for a failed item, and
// for a line number, start or length outside the line (nothing stored when the
// line number is bad; the template-matched item otherwise).
bool check_verify_mrz_item(const char* name, char* mrz, int lineLen, int line, int start, int len,
                           char cls, int type);

// The test of one item: `item` holds `len` characters, which the test may
// repair in place; `stage` is 1 for the template-matched item, 2 for a
// re-read one; `start` is the item's index in the MRZ text. The fourth
// argument is not read.
bool verify_item(char* item, int type, int stage, int, int start, int len);

// Stores the item and its valid byte into passport_ocr_result by type; other
// types store nothing.
void save_verify_item(char* item, bool valid, int type);

// The document code (P, R, S, T or V) and the issuing state of line 1 are
// acceptable. The MRZ text is not changed.
bool verifyHead5(char* mrz);

// s[0] is 'F' or 'M'.
bool verifySex(char* s);
// s[0] is 'C'.
bool verifyHead2(char* s);
