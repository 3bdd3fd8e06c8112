// The result records: OCR_RESULT, handed to the embedding application, and
// PASSPORT_OCR_RESULT, the working record of one MRZ read.
#pragma once
#include <cstddef>
#include <cstdint>

// Layout is a contract with embedding applications: 692 bytes, no gaps.
struct OCR_RESULT {
  int32_t status;
  int32_t cert_type;
  char certificate_name[48];
  char id[32];
  char name[40];
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
  char category[32];
  char mrz[100];
  int32_t mrz_type;
  uint8_t check_flags[8];
  int32_t mrz_state;
};
static_assert(sizeof(OCR_RESULT) == 692, "OCR_RESULT must stay 692 bytes");
static_assert(offsetof(OCR_RESULT, certificate_name) == 8, "OCR_RESULT layout");
static_assert(offsetof(OCR_RESULT, mrz) == 576, "OCR_RESULT layout");
static_assert(offsetof(OCR_RESULT, mrz_type) == 676, "OCR_RESULT layout");
static_assert(offsetof(OCR_RESULT, check_flags) == 680, "OCR_RESULT layout");
static_assert(offsetof(OCR_RESULT, mrz_state) == 688, "OCR_RESULT layout");

// Working record of one MRZ read. The MRZ text holds line 1 from index 0 and
// line 2 from index 44 whatever the layout. Each item is a valid byte (1 when
// it passed its check) followed by its text.
struct PASSPORT_OCR_RESULT {
  int32_t status;
  char mrz[89];
  int32_t char_conf[89];  // template-match score 0..1000 per MRZ position
  char spare_text[51];
  uint8_t spare_bytes[60];
  int32_t spare_ints[36];
  int32_t spare_int;
  uint8_t id_valid;
  char id[11];
  uint8_t nationality_valid;
  char nationality[4];
  uint8_t issue_country_valid;
  char issue_country[4];
  uint8_t birthday_valid;
  char birthday[8];
  uint8_t sex_valid;
  char sex[2];
  uint8_t expired_valid;
  char expired[8];
  uint8_t option_valid;
  char option[16];
  uint8_t item11_valid;
  char item11[4];
  uint8_t item10_valid;
  char item10[11];
  uint8_t final_valid;
  char final_check[2];
  int32_t mrz_type;  // 0: 2x44, 1: 2x36, 2: 2x30
};
// Laid out from the field list with natural alignment (796 bytes).
static_assert(offsetof(PASSPORT_OCR_RESULT, char_conf) == 96, "PASSPORT_OCR_RESULT layout");
static_assert(offsetof(PASSPORT_OCR_RESULT, spare_ints) == 564, "PASSPORT_OCR_RESULT layout");
static_assert(offsetof(PASSPORT_OCR_RESULT, id_valid) == 712, "PASSPORT_OCR_RESULT layout");
static_assert(offsetof(PASSPORT_OCR_RESULT, mrz_type) == 792, "PASSPORT_OCR_RESULT layout");
static_assert(sizeof(PASSPORT_OCR_RESULT) == 796, "PASSPORT_OCR_RESULT layout");

// Certificate-type codes of OCR_RESULT::cert_type (also the scan types).
enum {
  CERT_UNKNOWN = 0,
  CERT_PASSPORT = 1,
  CERT_HK_MACAU_RESIDENT = 3,
  CERT_TAIWAN_RESIDENT = 4,
  CERT_HK_MACAU_PERMIT = 5,
  CERT_VISA = 7,
  CERT_RESIDENCE_PERMIT = 8,
  CERT_SEAMAN = 9,
  CERT_EXIT_ENTRY_PERMIT = 10,
  CERT_APEC = 11,
  CERT_TAIWAN_PERMIT = 12,
};

void clearResult();
void clearCardResult();
void clearOcrResult(OCR_RESULT& r);
int copy_ocr_result(PASSPORT_OCR_RESULT& src, OCR_RESULT& dst);
int copy_ocr_result(OCR_RESULT& src, OCR_RESULT& dst);
int copy_passport_result(PASSPORT_OCR_RESULT& src, PASSPORT_OCR_RESULT& dst);
void copy_certificate_type(char* mrz, OCR_RESULT& r);

// Logs one labelled line per field of r (Chinese labels) as a single level-0
// message; prints nothing in location-only mode (g_scan_none == 1).
void print_passport_result(OCR_RESULT& r);
