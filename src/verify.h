// Elementary tests of MRZ items: the ICAO 9303 check digit, the plausibility
// of a date, the composite check digit over the items of the working record,
// a family of per-field checks that store into the working record, and the
// nationality-code table with its look-up.
#pragma once
#include <map>
#include <string>

#include "result.h"

// ---- check digits, dates, composite --------------------------------------------

// True when the last character of the NUL-terminated field is the ICAO check
// digit of the characters before it (weights 7, 3, 1 repeating; '0'-'9' count
// 0-9, letters of either case 10-35, anything else 0). An empty field or one
// holding a blank fails; a last character of '<' or 'A'-'Z' passes without
// computing; a single digit fails. Never changes the field; any length.
bool verify(char* field);

// True when the date YYMMDD at the start of the text is plausible: six '<';
// or a month (characters 3-4) of 1-12 unless it holds a '<', and then a day
// (characters 5-6) holding a '<' or of 1-31. The year is not tested. A text
// shorter than six characters is not plausible. Never changes the text.
bool verifyDate(char* date);

// The composite check of the working record `r`: the stored items id +
// birthday + expired (+ option for two lines of 44) followed by the composite
// digit, which is taken from r.mrz[pos] (from r.mrz[79] for two lines of 36;
// an 'O' there becomes '0' in r.mrz). Writes r.final_check and r.final_valid;
// a composite digit of '<' passes. Logs "final:[%s] v:%s".
bool checkFinal(PASSPORT_OCR_RESULT& r, int pos);

// ---- per-field checks into passport_ocr_result (library exports) ----------------
// Each reads its characters at text + pos, stores the item and its valid byte
// and logs one line; see the source for the exact rules.
bool checkBirthDate(char* text, int pos);
bool checkExpiredDate(char* text, int pos);
bool checkIssueCount(char* text, int pos);
bool checkNCode(char* text, int pos);
bool checkNCode1(char* text, int pos);
bool checkSex(char* text, int pos);
bool checkSelectData2(char* text, int pos);
bool checkID(char* text, int start, int len);

// Turns every '0' among the first len characters of text into 'O'; true.
bool verifyLine1(char* text, int len);
// False for 'E', 'I', 'U' and 'V', true otherwise.
bool verifyFamilyName(char c);

// ---- nationality codes ----------------------------------------------------------

struct NCODE_RECORD {
  char code[45];  // three upper-case letters
  char name[45];  // UTF-8
};
constexpr int kNcodeRecordCount = 365;
extern const NCODE_RECORD C_PASSPORT_NCODE[kNcodeRecordCount];

// Code -> name, filled by init_ncode_map; the first record of a repeated code
// wins.
extern std::map<std::string, std::string> g_ncode_map;

// Empties and refills g_ncode_map from C_PASSPORT_NCODE; always 0.
int init_ncode_map();

// Membership test of a three-character state code. `name` first receives the
// code as passed. A third character of '<' passes at once. Otherwise '0' is
// repaired to 'O' and '8' to 'S' in place (kept whatever the outcome) and the
// code is looked up; when found, `name` receives the table name.
bool verifyNCode(char* code, std::string& name);
bool verifyNcode(char* code);
