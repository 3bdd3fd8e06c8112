// The driver's per-image test-info line, the rotate status, and the
// expected-results file "test_ocr_result.txt" with its comparison.
//
// The scan paths and the card location add items to the test-info line
// while an image is scanned; the driver starts the line afresh for every
// image and writes it to "test_info.txt" once the image is classified.
#pragma once
#include <string>
#include <vector>

#include "result.h"

// ---- test-info line ---------------------------------------------------------

// Passed as the value, the item is its label alone (the 32-bit pattern
// EEFFFFFF).
constexpr int TEST_INFO_NO_VALUE = -285212673;
// The line never reaches this many bytes.
constexpr int kTestInfoLineLimit = 800;
// Largest item, label + value + tab.
constexpr int kTestInfoItemMax = 499;

// Discards the line being built.
void init_test_info_item();
// Appends "<label><value>\t" (the value in decimal unless it is
// TEST_INFO_NO_VALUE). 0 when accepted; -1 when the item would bring the line
// to kTestInfoLineLimit bytes or more, or is longer than kTestInfoItemMax
// (the line stays as it was).
int append_test_info_item(const char* label, int value);
// Appends the path as the last item and writes the line to "test_info.txt".
void write_test_info(const char* path);
// The line built so far.
std::string current_test_info_line();
// The same, NUL-terminated; valid until the next change of the line.
const char* get_test_info_line();

// Rotate status: set when a text line had to be levelled by a nonzero angle.
void set_rotate_status();
void clear_rotate_status();
int get_rotate_status();

// ---- expected results -------------------------------------------------------

// One expected result, keys of "test_ocr_result.txt". Field widths follow
// the file format (name 32, category 16, unlike OCR_RESULT).
struct TEST_OCR_RESULT {
  char certificate_name[48];
  char id[32];
  char name[32];
  char name_en[40];
  char nationality[32];
  char ethnicity[16];
  char address[64];
  char birthday[32];
  char birth_at[32];
  char sex[8];
  char valid_from[16];
  char valid_to[16];
  char issue_date[16];
  char issue_by[32];
  char issue_at[32];
  char issue_country[32];
  char issue_count[16];
  char add_id[32];
  char category[16];
  char mrz[100];
};

// The loaded records, in file order.
extern std::vector<TEST_OCR_RESULT> ocr_info_list;

// Loads <directory of path>/test_ocr_result.txt; -1 for an empty path or one
// without a usable '/', else the result of read_ocr_info.
int init_check_ocr_1(const char* path);
// Loads the file into ocr_info_list. 0 after a load, -1 when it cannot be
// opened (list untouched).
int read_ocr_info(const char* file);
// 0 when every non-empty field of `expected` agrees with `result`, else -1
// after logging the first disagreement.
int check_ocr_result(const OCR_RESULT& result, const TEST_OCR_RESULT& expected);
// 0 when some loaded record agrees with `result`, -1 otherwise.
int check_ocr_by_read_ocr_info(const OCR_RESULT& result);
// Empties a record.
void clear_test_ocr_result(TEST_OCR_RESULT& record);
// Logs the record's non-empty fields.
void display_cur_ocr(const TEST_OCR_RESULT& record);
