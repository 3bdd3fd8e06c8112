// Model-file readers: size window, header check, one read of the body, and
// deciphering in place.
#include "model_file.h"

#include <sys/types.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "encode.h"
#include "vyr_log.h"

namespace {

const char* safe_path(const char* path) { return path != nullptr ? path : ""; }

// Stream size, or -1 when the position cannot be queried.
int64_t stream_size(FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t pos = ftello(file);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

}  // namespace

int get_model_header(const char* path, _s_model_head& head, int64_t& len, FILE* file, int mode) {
  path = safe_path(path);
  if (file == nullptr) {
    vyr_log(1, "open model file [%s] fail.", path);
    return -1;
  }
  const int64_t size = stream_size(file);
  if (size < kModelFileMinSize || size > kModelFileMaxSize) {
    vyr_log(1, "model file [%s] length is invalid = %d.", path, static_cast<int>(size));
    fclose(file);
    return -1;
  }
  vyr_log(1, "load model [%s]=%d", path, static_cast<int>(size));
  if (fseeko(file, 0, SEEK_SET) != 0) {
    vyr_log(1, "read model file [%s] error", path);
    fclose(file);
    return -1;
  }
  len = size;
  if (mode != kModelModeContainer) return 0;

  if (fread(&head, 1, sizeof(head), file) != sizeof(head)) {
    vyr_log(1, "read model file [%s] too short", path);
    fclose(file);
    return -1;
  }
  if (head.magic != kModelMagic && head.tail_magic != kModelMagic) {
    vyr_log(1, "model file format is not valid[%s]", path);
    fclose(file);
    return -1;
  }

  char version[5] = {0};
  std::memcpy(version, head.v, sizeof(head.v));
  char id[16] = {0};
  for (size_t i = 0; i < sizeof(head.id) && head.id[i] != '\0'; ++i) id[i] = head.id[i];
  // Single-byte fields are widened as signed values, so 0x83 prints as ffffff83.
  vyr_log(0, "v[%s] e[%02x] id[%s] fw[%02x] l[%02x]", version,
          static_cast<unsigned>(static_cast<int>(head.e)), id,
          static_cast<unsigned>(static_cast<int>(head.fw)),
          static_cast<unsigned>(static_cast<int>(head.l)));
  len = size - kModelHeadSize;
  return 0;
}

int get_model_buffer(const char* path, _s_model_head& head, int64_t& len, FILE* file, int mode) {
  return get_model_header(path, head, len, file, mode);
}

unsigned char* read_model_from_stream(const char* path, FILE* file, int64_t& len, int mode,
                                      _s_model_head& head) {
  path = safe_path(path);
  len = 0;
  if (get_model_header(path, head, len, file, mode) != 0) {
    len = 0;
    return nullptr;
  }
  auto* buffer = static_cast<unsigned char*>(malloc(static_cast<size_t>(len)));
  if (buffer == nullptr) {
    vyr_log(1, "malloc memory %d error", static_cast<int>(len));
    fclose(file);
    len = 0;
    return nullptr;
  }
  if (fread(buffer, 1, static_cast<size_t>(len), file) != static_cast<size_t>(len)) {
    free(buffer);
    vyr_log(1, "read model file [%s] error", path);
    fclose(file);
    len = 0;
    return nullptr;
  }
  fclose(file);
  // An unknown scheme leaves the body as stored (scheme 0 is a plain body).
  if (mode == kModelModeContainer) decode_model_buffer(buffer, static_cast<long>(len), head);
  return buffer;
}

int read_model_from_stream(const char* path, FILE* file, std::unique_ptr<unsigned char[]>& buf,
                           int64_t& len, int mode) {
  path = safe_path(path);
  // Whatever the holder had is no model once a read starts; a failed read
  // must not leave a stale or half-read body behind either.
  buf.reset();
  _s_model_head head;
  std::memset(&head, 0, sizeof(head));
  if (get_model_buffer(path, head, len, file, mode) != 0) {
    len = 0;
    return -1;
  }
  buf.reset(new (std::nothrow) unsigned char[static_cast<size_t>(len)]);
  if (!buf) {
    vyr_log(1, "malloc memory %d error", static_cast<int>(len));
    fclose(file);
    len = 0;
    return -1;
  }
  if (fread(buf.get(), 1, static_cast<size_t>(len), file) != static_cast<size_t>(len)) {
    buf.reset();
    vyr_log(1, "read model file [%s] error", path);
    fclose(file);
    len = 0;
    return -1;
  }
  fclose(file);
  if (mode == kModelModeContainer) decode_model_buffer(buf.get(), static_cast<long>(len), head);
  return 0;
}

unsigned char* read_model_from_file(std::string path, int64_t& len, int mode, _s_model_head& head) {
  len = 0;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    vyr_log(1, "open model file [%s] fail.", path.c_str());
    return nullptr;
  }
  return read_model_from_stream(path.c_str(), file, len, mode, head);
}

int read_model_from_file(std::string path, std::unique_ptr<unsigned char[]>& buf, int64_t& len,
                         int mode) {
  buf.reset();
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    vyr_log(1, "open model file [%s] fail.", path.c_str());
    len = 0;
    return -1;
  }
  return read_model_from_stream(path.c_str(), file, buf, len, mode);
}
