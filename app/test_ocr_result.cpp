#include "test_ocr_result.h"

#include <cstdio>
#include <cstring>

#include "gen_data.h"
#include "vyr_log.h"

// ---- test-info line ---------------------------------------------------------

namespace {

char test_info_item_array[2000];
int test_info_item_pos = 0;
int g_need_rotate = 0;

// Accepts or drops one finished item under the line limit.
int accept_item(const std::string& item) {
  if (item.size() > static_cast<size_t>(kTestInfoItemMax) ||
      test_info_item_pos + static_cast<int>(item.size()) >= kTestInfoLineLimit) {
    vyr_log(0, "测试信息超过缓冲区");
    return -1;
  }
  vyr_log(0, "%s", item.c_str());
  std::memcpy(test_info_item_array + test_info_item_pos, item.data(), item.size());
  test_info_item_pos += static_cast<int>(item.size());
  return 0;
}

}  // namespace

void init_test_info_item() { test_info_item_pos = 0; }

int append_test_info_item(const char* label, int value) {
  std::string item = label ? label : "";
  if (value != TEST_INFO_NO_VALUE) item += std::to_string(value);
  item += '\t';
  return accept_item(item);
}

void write_test_info(const char* path) {
  std::string item = path ? path : "";
  item += '\t';
  accept_item(item);
  test_info_item_array[test_info_item_pos] = '\0';
  append_valid_region_file("test_info.txt", test_info_item_array);
}

std::string current_test_info_line() {
  return std::string(test_info_item_array, static_cast<size_t>(test_info_item_pos));
}

const char* get_test_info_line() {
  test_info_item_array[test_info_item_pos] = '\0';
  return test_info_item_array;
}

void set_rotate_status() { g_need_rotate = 1; }
void clear_rotate_status() { g_need_rotate = 0; }
int get_rotate_status() { return g_need_rotate; }

// ---- expected results -------------------------------------------------------

std::vector<TEST_OCR_RESULT> ocr_info_list;

namespace {

constexpr size_t kMaxLine = 99;  // bytes of one line before its line feed

struct Field {
  const char* key;
  char* (*get)(TEST_OCR_RESULT&);
  size_t width;
};

#define VYR_FIELD(f) \
  Field { #f, [](TEST_OCR_RESULT& r) -> char* { return r.f; }, sizeof(TEST_OCR_RESULT::f) }
const Field kFields[] = {
    VYR_FIELD(certificate_name), VYR_FIELD(id),          VYR_FIELD(name),
    VYR_FIELD(name_en),          VYR_FIELD(nationality), VYR_FIELD(ethnicity),
    VYR_FIELD(address),          VYR_FIELD(birthday),    VYR_FIELD(birth_at),
    VYR_FIELD(sex),              VYR_FIELD(valid_from),  VYR_FIELD(valid_to),
    VYR_FIELD(issue_date),       VYR_FIELD(issue_by),    VYR_FIELD(issue_at),
    VYR_FIELD(issue_country),    VYR_FIELD(issue_count), VYR_FIELD(add_id),
    VYR_FIELD(category),         VYR_FIELD(mrz)};
#undef VYR_FIELD

// Length of the longest prefix of text[0..n) that does not end inside a
// UTF-8 sequence, so a cut value stays valid text.
size_t utf8_cut(const std::string& text, size_t n) {
  if (n >= text.size()) return text.size();
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Stores one key:value line into the open record.
void store_value(TEST_OCR_RESULT& rec, std::string key, std::string value, int line_no) {
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (char& c : value)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Field& f : kFields) {
    if (key != f.key) continue;
    char* dst = f.get(rec);
    const size_t room = f.width - 1;
    const bool name_en = std::strcmp(f.key, "name_en") == 0;
    const bool cut = value.size() > room;
    if (cut && name_en) {
      value.resize(room);
    } else if (cut) {
      // Written whole it would run into the next field.
      value.resize(utf8_cut(value, room));
      vyr_log(1, "test_ocr_result.txt:%d: value of %s longer than %zu bytes, cut to \"%s\"", line_no, f.key,
              room, value.c_str());
    }
    std::memcpy(dst, value.data(), value.size());
    dst[value.size()] = '\0';
    if (cut && name_en) vyr_log(0, "real name_en = %s", dst);
    return;
  }
}

// Splits at ':' dropping empty pieces; the first two pieces are key and value.
bool split_key_value(const std::string& line, std::string& key, std::string& value) {
  std::vector<std::string> pieces;
  size_t i = 0;
  while (i < line.size() && pieces.size() < 2) {
    const size_t j = line.find(':', i);
    const size_t end = j == std::string::npos ? line.size() : j;
    if (end > i) pieces.push_back(line.substr(i, end - i));
    if (j == std::string::npos) break;
    i = j + 1;
  }
  if (pieces.size() < 2) return false;
  key = pieces[0];
  value = pieces[1];
  return true;
}

}  // namespace

void clear_test_ocr_result(TEST_OCR_RESULT& record) {
  std::memset(record.name, 0, sizeof record.name);
  std::memset(record.name_en, 0, sizeof record.name_en);
  for (const Field& f : kFields) f.get(record)[0] = '\0';
}

int read_ocr_info(const char* file) {
  if (!file) return -1;
  FILE* fp = std::fopen(file, "r");
  if (!fp) return -1;
  ocr_info_list.clear();
  ocr_info_list.shrink_to_fit();

  TEST_OCR_RESULT rec;
  std::memset(&rec, 0, sizeof rec);
  bool open = false;
  bool warned_cr = false;
  int line_no = 0;
  std::string line;
  for (;;) {
    line.clear();
    int c;
    bool any = false;
    while ((c = std::fgetc(fp)) != EOF) {
      any = true;
      if (c == '\n') break;
      line.push_back(static_cast<char>(c));
    }
    if (!any) break;
    ++line_no;
    if (line.size() > kMaxLine) {
      // Reading on keeps the records after it; the record the line belongs
      // to would miss a key and match too much, so it goes.
      vyr_log(1, "test_ocr_result.txt:%d: line longer than %zu bytes ignored%s", line_no, kMaxLine,
              open ? ", its record is dropped" : "");
      open = false;
    } else if (!line.empty()) {
      if (line.back() == '\r' && !warned_cr) {
        warned_cr = true;
        vyr_log(1,
                "test_ocr_result.txt:%d: line ends in a carriage return, which becomes part of the value "
                "and never matches (write LF line ends)",
                line_no);
      }
      if (line.compare(0, 11, "item_start:") == 0) {
        clear_test_ocr_result(rec);
        open = true;
      } else if (line.compare(0, 9, "item_end.") == 0) {
        if (open) ocr_info_list.push_back(rec);
        open = false;
      } else if (open) {
        std::string key, value;
        if (split_key_value(line, key, value)) store_value(rec, key, value, line_no);
      }
    }
    if (c == EOF) break;
  }
  std::fclose(fp);
  vyr_log(0, " check_info_cnt:  %d", static_cast<int>(ocr_info_list.size()));
  return 0;
}

int init_check_ocr_1(const char* path) {
  if (!path) return -1;
  const std::string p = path;
  if (p.empty()) return -1;
  size_t slash = std::string::npos;
  for (size_t i = p.size() - 1; i >= 1; --i) {
    if (p[i] == '/') {
      slash = i;
      break;
    }
  }
  if (slash == std::string::npos) return -1;
  const std::string file = p.substr(0, slash) + "/test_ocr_result.txt";
  return read_ocr_info(file.c_str());
}

namespace {

// The text of a fixed-width field, up to its terminator or its width.
std::string field_text(const char* f, size_t width) { return std::string(f, strnlen(f, width)); }

// Same bytes and same length; a result field without a terminator within
// its width holds no text that could be expected.
bool same_text(const char* expected, size_t expected_width, const char* result, size_t result_width) {
  const size_t n = strnlen(result, result_width);
  return n < result_width && field_text(expected, expected_width) == std::string(result, n);
}

}  // namespace

int check_ocr_result(const OCR_RESULT& result, const TEST_OCR_RESULT& expected) {
#define VYR_SAME(f) same_text(expected.f, sizeof expected.f, result.f, sizeof result.f)
  if (expected.id[0] && !VYR_SAME(id)) return -1;
  // Expected names hold at most 31 bytes: a result name of 32 or more bytes
  // never agrees.
  if (expected.name[0] && !same_text(expected.name, sizeof expected.name, result.name, sizeof expected.name))
    return -1;
  if (expected.name_en[0] && !VYR_SAME(name_en)) {
    vyr_log(0, "name_en error : %s != %s", field_text(expected.name_en, sizeof expected.name_en).c_str(),
            field_text(result.name_en, sizeof result.name_en).c_str());
    vyr_log(0, "name_en error : %d != %d", static_cast<int>(strnlen(result.name_en, sizeof result.name_en)),
            static_cast<int>(strnlen(expected.name_en, sizeof expected.name_en)));
    return -1;
  }

  struct Plain {
    const char* expected;
    size_t expected_width;
    const char* result;
    size_t result_width;
    const char* label;
  };
#define VYR_PLAIN(f, label) {expected.f, sizeof expected.f, result.f, sizeof result.f, label}
  const Plain plain[] = {
      VYR_PLAIN(certificate_name, "certificate_name error : "),
      VYR_PLAIN(nationality, "nationality error : "),
      VYR_PLAIN(ethnicity, "ethnicity error : "),
      VYR_PLAIN(address, "address error : "),
      VYR_PLAIN(birthday, "birthday error : "),
      VYR_PLAIN(birth_at, "birth_at error : "),
      VYR_PLAIN(sex, "sex error : "),
      VYR_PLAIN(valid_from, "valid_from error : "),
      VYR_PLAIN(valid_to, "valid_to error : "),
      VYR_PLAIN(issue_date, "issue_date error: "),
      VYR_PLAIN(issue_by, "issue_by error : "),
      VYR_PLAIN(issue_country, "issue_country error : "),
      VYR_PLAIN(issue_count, "issue_count error : "),
      VYR_PLAIN(add_id, "add_id error : "),
      VYR_PLAIN(category, "category error : "),
  };
#undef VYR_PLAIN
  for (const Plain& p : plain) {
    if (!p.expected[0] || same_text(p.expected, p.expected_width, p.result, p.result_width)) continue;
    vyr_log(0, "%s%s != %s", p.label, field_text(p.expected, p.expected_width).c_str(),
            field_text(p.result, p.result_width).c_str());
    return -1;
  }

  if (expected.mrz[0] && !VYR_SAME(mrz)) {
    const std::string got = field_text(result.mrz, sizeof result.mrz);
    const std::string want = field_text(expected.mrz, sizeof expected.mrz);
    vyr_log(0, "%d %d", static_cast<int>(got.size()), static_cast<int>(want.size()));
    vyr_log(0, "mrz mismatch:");
    vyr_log(0, "%s", got.c_str());
    vyr_log(0, "%s", want.c_str());
    return -1;
  }
#undef VYR_SAME
  return 0;
}

int check_ocr_by_read_ocr_info(const OCR_RESULT& result) {
  for (const TEST_OCR_RESULT& rec : ocr_info_list) {
    const TEST_OCR_RESULT copy = rec;
    if (check_ocr_result(result, copy) == 0) return 0;
  }
  return -1;
}

void display_cur_ocr(const TEST_OCR_RESULT& record) {
  vyr_log(0, "-------------------------------------------");
  TEST_OCR_RESULT r = record;
  for (const Field& f : kFields) {
    if (std::strcmp(f.key, "issue_at") == 0 || std::strcmp(f.key, "mrz") == 0) continue;
    const char* v = f.get(r);
    if (v[0]) vyr_log(0, "%s : %.*s", f.key, static_cast<int>(strnlen(v, f.width)), v);
  }
  if (r.mrz[0]) {
    const int n = static_cast<int>(strnlen(r.mrz, sizeof r.mrz));
    vyr_log(0, "mrz : %.*s %d", n, r.mrz, n);
  }
}
