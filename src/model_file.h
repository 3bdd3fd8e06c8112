// Model files: every neural model of the library is stored in a container of
// a 29-byte header followed by the (enciphered) network body. The readers
// check the file's size and header, read the body into memory in one piece and
// decipher it in place (see encode.h).
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The container header, byte for byte as it stands in the file. Single-byte
// fields are signed: 0x80..0xFF read as negative values.
struct _s_model_head {
  int8_t magic;        // 0x11 (the marker may stand here or in tail_magic)
  char v[4];           // model version, four characters, no terminator
  int8_t e;            // cipher scheme of the body: 1, 2 or 3; others leave it as stored
  char id[15];         // identifier, NUL-padded when shorter than 15 characters
  int8_t fw;           // printed only
  int8_t l;            // printed only
  int8_t xor_count;    // XOR range of scheme 3
  int8_t des_count;    // DES range of scheme 3
  char reserved[3];    // not read
  int8_t tail_magic;   // second place of the 0x11 marker
};
static_assert(sizeof(_s_model_head) == 29, "the model header is 29 bytes");

// Size and marker of a container.
constexpr int kModelHeadSize = 29;
constexpr int64_t kModelFileMinSize = 800;
constexpr int64_t kModelFileMaxSize = 2000000000;
constexpr int8_t kModelMagic = 0x11;

// Reading modes: 1 reads a container; any other value reads the whole file as
// a plain body without a header.
constexpr int kModelModeContainer = 1;

// Checks an open stream's size (800 to 2,000,000,000 bytes) and, in mode 1,
// reads and checks the header into `head`. On 0, `len` is the body length and
// the stream stands at the first body byte. On -1 the stream has been closed
// and a level-1 message logged. `path` is used only in messages.
int get_model_header(const char* path, _s_model_head& head, int64_t& len, FILE* file, int mode);

// The same check under the name the holder form uses.
int get_model_buffer(const char* path, _s_model_head& head, int64_t& len, FILE* file, int mode);

// Reads and (mode 1) deciphers a model file. Returns the body, allocated with
// malloc and owned by the caller (release with free()), or nullptr with a
// level-1 message. `len` receives the body length, `head` the header (mode 1).
unsigned char* read_model_from_file(std::string path, int64_t& len, int mode, _s_model_head& head);

// Holder form: the body goes into `buf` (the array it held before is
// released). Returns 0, or -1 with a level-1 message; on -1 `buf` is empty.
int read_model_from_file(std::string path, std::unique_ptr<unsigned char[]>& buf, int64_t& len,
                         int mode);

// The two readers on a stream the caller opened for reading in byte mode;
// the stream is closed on every path. `path` is used only in messages. The
// file readers above open the path and call these.
unsigned char* read_model_from_stream(const char* path, FILE* file, int64_t& len, int mode,
                                      _s_model_head& head);
int read_model_from_stream(const char* path, FILE* file, std::unique_ptr<unsigned char[]>& buf,
                           int64_t& len, int mode);
