// vyrmodel: packs a plain network body (an ONNX file) into a model file of the
// library, and shows or unpacks existing model files.
//
//   vyrmodel pack [options] BODY OUT
//   vyrmodel show FILE
//   vyrmodel unpack FILE OUT
//
// The output is written to a temporary file next to OUT, read back through
// the library's own reader and compared with the body, and only then renamed
// into place, so a failed run never leaves a half-written model behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encode.h"
#include "model_file.h"
#include "vyr_log.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage:\n"
               "  vyrmodel pack [options] BODY OUT   wrap a plain model body into a model file\n"
               "      -v VERSION  version text, up to 4 characters (default 4.00)\n"
               "      -e SCHEME   cipher scheme 0..255 (default 3): 1 and 2 XOR the first\n"
               "                  6,400 bytes; 3 DES then XOR by the counts; others store\n"
               "                  the body as it is\n"
               "      -i ID       identifier, up to 15 characters (default empty)\n"
               "      -x COUNT    XOR count of scheme 3, -128..127 (default -1: whole body;\n"
               "                  1..127: COUNT*64 bytes; 0 or below -1: none)\n"
               "      -d COUNT    DES count of scheme 3, -128..127 (default -1: first\n"
               "                  eighth; 1..127: COUNT*8 bytes; 0 or below -1: none)\n"
               "      -f FW       informational byte fw, -128..255 (default 0)\n"
               "      -l L        informational byte l, -128..255 (default 0)\n"
               "  vyrmodel show FILE                 print the header of a model file\n"
               "  vyrmodel unpack FILE OUT           write the deciphered body of a model file\n");
}

bool parse_int(const char* text, long lo, long hi, long& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  value = v;
  return true;
}

bool read_file(const std::string& path, std::vector<unsigned char>& data) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "vyrmodel: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  data.clear();
  unsigned char chunk[65536];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) data.insert(data.end(), chunk, chunk + n);
  const bool bad = std::ferror(f) != 0;
  std::fclose(f);
  if (bad) {
    std::fprintf(stderr, "vyrmodel: cannot read %s\n", path.c_str());
    return false;
  }
  return true;
}

// Writes the parts into a temporary file beside `out`. Returns its path, or
// "" after removing whatever was written.
std::string write_temp(const std::string& out, const std::vector<const std::vector<unsigned char>*>& parts) {
  std::string tmpl = out + ".tmp.XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    std::fprintf(stderr, "vyrmodel: cannot create a file beside %s: %s\n", out.c_str(),
                 std::strerror(errno));
    return std::string();
  }
  const std::string tmp(name.data());
  bool ok = fchmod(fd, 0644) == 0;
  for (const auto* part : parts) {
    const unsigned char* p = part->data();
    size_t left = part->size();
    while (ok && left > 0) {
      const ssize_t w = write(fd, p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "vyrmodel: cannot write %s: %s\n", tmp.c_str(), std::strerror(errno));
    unlink(tmp.c_str());
    return std::string();
  }
  return tmp;
}

bool commit(const std::string& tmp, const std::string& out) {
  if (std::rename(tmp.c_str(), out.c_str()) != 0) {
    std::fprintf(stderr, "vyrmodel: cannot rename %s to %s: %s\n", tmp.c_str(), out.c_str(),
                 std::strerror(errno));
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::string field_text(const char* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n && p[i] != '\0'; ++i) s.push_back(p[i]);
  return s;
}

const char* scheme_name(int e) {
  switch (e) {
    case 1:
    case 2: return "XOR of the first 800 blocks";
    case 3: return "DES, then XOR, by the counts";
    default: return "none, body stored as it is";
  }
}

void print_header(const _s_model_head& h, int64_t file_size) {
  const int64_t body = file_size - kModelHeadSize;
  long xor_blocks = 0, des_bytes = 0;
  model_cipher_ranges(static_cast<long>(body), h, xor_blocks, des_bytes);
  std::printf("file size:  %lld bytes (body %lld bytes)\n", static_cast<long long>(file_size),
              static_cast<long long>(body));
  std::printf("marker:     byte 0 = 0x%02x, byte 28 = 0x%02x\n", static_cast<uint8_t>(h.magic),
              static_cast<uint8_t>(h.tail_magic));
  std::printf("version:    \"%s\"\n", field_text(h.v, sizeof(h.v)).c_str());
  std::printf("scheme:     %d (%s)\n", static_cast<uint8_t>(h.e), scheme_name(h.e));
  std::printf("id:         \"%s\"\n", field_text(h.id, sizeof(h.id)).c_str());
  std::printf("fw, l:      %d, %d\n", h.fw, h.l);
  std::printf("xor_count:  %d (%ld blocks = %ld bytes)\n", h.xor_count, xor_blocks, xor_blocks * 8);
  std::printf("des_count:  %d (%ld bytes, %ld whole blocks)\n", h.des_count, des_bytes, des_bytes / 8);
}

int cmd_pack(int argc, char** argv) {
  _s_model_head head;
  std::memset(&head, 0, sizeof(head));
  std::string version = "4.00", id;
  long scheme = 3, xcount = -1, dcount = -1, fw = 0, l = 0;
  std::vector<std::string> files;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    bool ok = true;
    if (a == "-v" && has_value) {
      version = argv[++i];
      ok = version.size() <= 4;
    } else if (a == "-i" && has_value) {
      id = argv[++i];
      ok = id.size() <= 15;
    } else if (a == "-e" && has_value) {
      ok = parse_int(argv[++i], 0, 255, scheme);
    } else if (a == "-x" && has_value) {
      ok = parse_int(argv[++i], -128, 127, xcount);
    } else if (a == "-d" && has_value) {
      ok = parse_int(argv[++i], -128, 127, dcount);
    } else if (a == "-f" && has_value) {
      ok = parse_int(argv[++i], -128, 255, fw);
    } else if (a == "-l" && has_value) {
      ok = parse_int(argv[++i], -128, 255, l);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "vyrmodel: unknown or incomplete option %s\n", a.c_str());
      return 2;
    } else {
      files.push_back(a);
    }
    if (!ok) {
      std::fprintf(stderr, "vyrmodel: bad value for %s: %s\n", a.c_str(), argv[i]);
      return 2;
    }
  }
  if (files.size() != 2) {
    usage(stderr);
    return 2;
  }

  std::vector<unsigned char> body;
  if (!read_file(files[0], body)) return 1;
  const int64_t total = static_cast<int64_t>(body.size()) + kModelHeadSize;
  if (total < kModelFileMinSize) {
    std::fprintf(stderr,
                 "vyrmodel: %s is too small: a body of %zu bytes gives a %lld-byte model file, but "
                 "a model file must be at least %lld bytes (a body of at least %lld bytes); pad the "
                 "network itself, e.g. with an unused initializer\n",
                 files[0].c_str(), body.size(), static_cast<long long>(total),
                 static_cast<long long>(kModelFileMinSize),
                 static_cast<long long>(kModelFileMinSize - kModelHeadSize));
    return 1;
  }
  if (total > kModelFileMaxSize) {
    std::fprintf(stderr, "vyrmodel: %s is too large: a model file may hold at most %lld bytes\n",
                 files[0].c_str(), static_cast<long long>(kModelFileMaxSize));
    return 1;
  }

  head.magic = kModelMagic;
  head.tail_magic = kModelMagic;
  std::memcpy(head.v, version.data(), version.size());
  head.e = static_cast<int8_t>(static_cast<uint8_t>(scheme));
  std::memcpy(head.id, id.data(), id.size());
  head.fw = static_cast<int8_t>(static_cast<uint8_t>(fw & 0xFF));
  head.l = static_cast<int8_t>(static_cast<uint8_t>(l & 0xFF));
  head.xor_count = static_cast<int8_t>(xcount);
  head.des_count = static_cast<int8_t>(dcount);

  std::vector<unsigned char> packed(body);
  encode_model_body(packed.data(), static_cast<long>(packed.size()), head);
  std::vector<unsigned char> header(reinterpret_cast<unsigned char*>(&head),
                                    reinterpret_cast<unsigned char*>(&head) + sizeof(head));

  const std::string tmp = write_temp(files[1], {&header, &packed});
  if (tmp.empty()) return 1;

  // Read the result back the way the library will and insist on the body.
  _s_model_head check;
  int64_t len = 0;
  unsigned char* restored = read_model_from_file(tmp, len, kModelModeContainer, check);
  const bool same = restored != nullptr && len == static_cast<int64_t>(body.size()) &&
                    std::memcmp(restored, body.data(), body.size()) == 0;
  std::free(restored);
  if (!same) {
    std::fprintf(stderr, "vyrmodel: %s does not read back as its body; nothing written\n",
                 tmp.c_str());
    unlink(tmp.c_str());
    return 1;
  }
  if (!commit(tmp, files[1])) return 1;
  std::printf("packed %s -> %s\n", files[0].c_str(), files[1].c_str());
  print_header(head, total);
  return 0;
}

int cmd_show(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "vyrmodel: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  _s_model_head head;
  int64_t len = 0;
  if (get_model_header(path.c_str(), head, len, f, kModelModeContainer) != 0) return 1;
  std::fclose(f);
  print_header(head, len + kModelHeadSize);
  return 0;
}

int cmd_unpack(const std::string& in, const std::string& out) {
  _s_model_head head;
  int64_t len = 0;
  unsigned char* body = read_model_from_file(in, len, kModelModeContainer, head);
  if (body == nullptr) return 1;
  std::vector<unsigned char> data(body, body + len);
  std::free(body);
  const std::string tmp = write_temp(out, {&data});
  if (tmp.empty() || !commit(tmp, out)) return 1;
  print_header(head, len + kModelHeadSize);
  std::printf("unpacked %s -> %s\n", in.c_str(), out.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vyr_set_log_dummy(1);  // the library's failure lines only
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  const std::string cmd = argv[1];
  if (cmd == "pack") return cmd_pack(argc - 2, argv + 2);
  if (cmd == "show" && argc == 3) return cmd_show(argv[2]);
  if (cmd == "unpack" && argc == 4) return cmd_unpack(argv[2], argv[3]);
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    usage(stdout);
    return 0;
  }
  usage(stderr);
  return 2;
}
