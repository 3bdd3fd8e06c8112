#include "vyr_log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fixed_text.h"

int g_log_dummy = 0;
int g_log_file_dummy = 1;
char g_log_file_name[200] = {0};

namespace {
constexpr long kMaxLogFileSize = 10000000;
constexpr std::size_t kMessageBuffer = 1024;

// Length of buf[0..len) without a trailing UTF-8 sequence that the cut left
// incomplete, so a cut message never ends in half a character.
std::size_t whole_utf8_prefix(const char* buf, std::size_t len) {
  std::size_t start = len;
  while (start > 0 && (static_cast<unsigned char>(buf[start - 1]) & 0xC0) == 0x80 &&
         len - start < 3)
    --start;
  if (start == 0) return len;
  const unsigned char lead = static_cast<unsigned char>(buf[start - 1]);
  std::size_t need = 1;
  if ((lead & 0xE0) == 0xC0) need = 2;
  else if ((lead & 0xF0) == 0xE0) need = 3;
  else if ((lead & 0xF8) == 0xF0) need = 4;
  else return len;  // ASCII or not UTF-8 at all: leave the bytes alone
  return (len - (start - 1) < need) ? start - 1 : len;
}
}  // namespace

long get_file_size(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return 0;
  return static_cast<long>(st.st_size);
}

void write_log_file(const char* text) {
  if (text == nullptr) return;
  const char* mode = get_file_size(g_log_file_name) > kMaxLogFileSize ? "w" : "a";
  FILE* f = std::fopen(g_log_file_name, mode);
  if (f == nullptr) {
    // Printed under the rules of a level-0 line, never fed back into the file.
    if (g_log_dummy == 0) std::printf("open log file [%s] error\n", g_log_file_name);
    return;
  }
  std::fwrite(text, 1, std::strlen(text), f);
  std::fclose(f);
}

void vyr_log(int level, const char* format, ...) {
  if (g_log_dummy != 0 && level != 1) return;
  char buf[kMessageBuffer];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buf, kMessageBuffer - 1, format ? format : "", ap);
  va_end(ap);
  std::size_t len = 0;
  if (n > 0) {
    len = static_cast<std::size_t>(n);
    // Longer text was cut to 1022 bytes; drop a character split by the cut.
    if (len > kMessageBuffer - 2) len = whole_utf8_prefix(buf, kMessageBuffer - 2);
  }
  buf[len] = '\n';
  buf[len + 1] = '\0';
  std::printf("%s", buf);
  if (g_log_file_dummy != 1) write_log_file(buf);
}

void vyr_set_log_dummy(int quiet) { g_log_dummy = quiet; }

int vyr_set_log_file(const char* path) {
  if (path == nullptr) {
    g_log_file_dummy = 1;
    return 1;
  }
  if (std::strlen(path) >= sizeof(g_log_file_name)) {
    vyr_log(1, "log file path too long (%zu characters, at most %zu)", std::strlen(path),
            sizeof(g_log_file_name) - 1);
    return -1;
  }
  vyr::copy_text(g_log_file_name, path);
  g_log_file_dummy = 0;
  return 0;
}
