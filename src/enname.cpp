#include "enname.h"

#include <cstring>

#include "fixed_text.h"
#include "scan_utils.h"
#include "vyr_log.h"

namespace {

bool fourFillers(const char* s) { return s[0] == '<' && s[1] == '<' && s[2] == '<' && s[3] == '<'; }

// Copies a field of at most kNameBufSize - 1 characters; false when longer.
bool copyField(char (&local)[kNameBufSize], const char* field, int width = kNameBufSize) {
  if (field == nullptr || width < 0) return false;
  const std::size_t n = strnlen(field, static_cast<std::size_t>(width));
  if (n >= static_cast<std::size_t>(kNameBufSize)) return false;
  std::memcpy(local, field, n);
  local[n] = '\0';
  return true;
}

// The name length of a window already copied into `local`.
int nameLength(char* local) {
  trim_name(local);
  const int n = static_cast<int>(std::strlen(local));
  if (n >= 9) {
    for (int k = 4; k <= n - 5; ++k)
      if (fourFillers(local + k)) {
        local[k] = '\0';
        break;
      }
  }
  return static_cast<int>(std::strlen(local));
}

}  // namespace

void trim_name(char* text) {
  if (text == nullptr) return;
  int len = static_cast<int>(std::strlen(text));
  if (len >= 5) {
    for (int i = 0; i <= len - 5; ++i) {
      if (!fourFillers(text + i)) continue;
      for (int j = i; j + 5 < len; ++j)
        if (text[j + 3] == '<' && text[j + 4] != '<' && text[j + 5] == '<') text[j + 4] = '<';
    }
  }
  while (len > 0 && (text[len - 1] == '<' || text[len - 1] == ' ')) text[--len] = '\0';
}

int get_name_right_pos(char* text, int position, int length) {
  if (text == nullptr || position < 0 || length < 0 || length >= kNameBufSize) return -1;
  char local[kNameBufSize];
  if (!copyField(local, text + position, length)) return -1;
  return nameLength(local);
}

int extract_en_name(cv::Mat& image, std::vector<cv::Rect>& boxes, int position, int length, char* text) {
  const int nBoxes = static_cast<int>(boxes.size());
  if (text == nullptr || position < 0 || length < 0 || nBoxes < position + length) {
    vyr_log(0, "posRect=%d, pos=%d, len=%d", nBoxes, position, length);
    return -1;
  }
  if (length >= kNameBufSize) {
    vyr_log(0, "name window of %d characters too long", length);
    return -1;
  }

  // Stray marks among the fillers become fillers. Only inside the window:
  // beyond it (line 2 of a passport) the text is verified and must stay.
  const int textLen = static_cast<int>(std::strlen(text));
  const int end = textLen < position + length ? textLen : position + length;
  for (int t = position; t < end - 4; ++t) {
    if (!fourFillers(text + t) || !(t + 3 < end - 2)) continue;
    for (int k = t + 4; k <= end - 3; ++k)
      if (text[k - 1] == '<' && text[k] != '<' && text[k + 1] == '<') text[k] = '<';
  }

  char local[kNameBufSize];
  if (!copyField(local, text + position, length)) return -1;
  const int n = nameLength(local);
  if (n <= 0) {
    vyr_log(0, "name window empty");
    return -1;
  }

  const cv::Rect run = cropCharRect(boxes, nBoxes, position, position + n - 1, image.cols, image.rows, 2, 2, 2, 2);
  if (image.empty() || run.empty()) {
    vyr_log(0, "name window outside the line image");
    return -1;
  }
  const TextLine t = reread_mrz(image(run), 'L');
  if (t.text.empty() || static_cast<int>(t.text.size()) != n) {
    vyr_log(0, "scan_num=%d <> ocr_num=%d", static_cast<int>(t.text.size()), n);
    return -1;
  }

  for (int i = 0; i < n; ++i) {
    char& c = text[position + i];
    const char m = t.text[i];
    if (m == c) continue;
    const TextLine en = reread_en_v3(getRectImage(image, boxes[position + i]), 'L');
    if (!en.text.empty()) {
      const char e = en.text[0];
      if (e == m) {
        vyr_log(0, "%c -> %c", c, m);
        c = m;
        continue;
      }
      if (e == c) continue;
      vyr_log(0, "%c %c %c", c, m, e);
      return -1;
    }
    if (m == 'O' || m == '<') {
      vyr_log(0, "%c -> %c", c, m);
      c = m;
      continue;
    }
    if (c == '<' || c == 'O') continue;
    vyr_log(0, "%c %c O/<", c, m);
    return -1;
  }
  return 0;
}

int get_name(char* field) {
  char local[kNameBufSize];
  if (!copyField(local, field)) return -1;
  trim_name(local);
  const int n = static_cast<int>(std::strlen(local));

  bool coded = false;
  if (n == 39 && local[36] != '<' && local[37] == 'A' && local[38] == 'C') {
    for (int i = 35; i >= 0 && local[i] == '<'; --i) local[i] = '\0';
    const std::size_t rest = std::strlen(local);
    coded = rest % 4 == 0 && std::memchr(local, '<', rest) == nullptr;
  }
  if (!coded) {
    if (n >= 9) {
      for (int k = 4; k <= n - 5; ++k)
        if (fourFillers(local + k)) {
          local[k] = '\0';
          break;
        }
    }
    for (int i = 0; i < n; ++i)
      if (local[i] == '<') local[i] = ' ';
  }
  vyr_log(0, "get_name: %s, gbk:%s", local, coded ? "yes" : "no");

  // The name is never longer than the field it came from.
  const std::size_t room = std::strlen(field) + 1;
  if (!coded) {
    vyr::copy_text(field, room, local);
    return std::strlen(local) < 4 ? -1 : 0;
  }
  char name[kNameBufSize] = {0};
  if (name_convert(local, name) != 0) return -1;
  vyr::copy_text(field, room, name);
  return 1;
}

int get_chinese_name(char* field) {
  char local[kNameBufSize];
  if (!copyField(local, field)) return -1;
  for (char* p = local; *p != '\0'; ++p)
    if (*p == '<') *p = '\0';
  const std::size_t room = std::strlen(field) + 1;
  char name[kNameBufSize] = {0};
  if (name_convert(local, name) != 0) return -1;
  vyr::copy_text(field, room, name);
  return 0;
}
