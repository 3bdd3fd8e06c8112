// Bounded copies into the fixed-width, NUL-terminated text fields of the
// result records and settings. Every write into such a field goes through
// here, so no field can be overrun and every field keeps its NUL inside.
#pragma once
#include <cstddef>
#include <cstring>

namespace vyr {

// Copies at most n-1 bytes of src (which may lack a NUL inside src_width bytes)
// into dst[n] and terminates it. Bytes of dst after the NUL are left as they
// were, as the record copies require. Returns the number of bytes copied.
inline std::size_t copy_text(char* dst, std::size_t n, const char* src,
                             std::size_t src_width = static_cast<std::size_t>(-1)) {
  if (dst == nullptr || n == 0) return 0;
  std::size_t len = 0;
  if (src != nullptr) {
    const std::size_t limit = (src_width < n - 1) ? src_width : n - 1;
    while (len < limit && src[len] != '\0') ++len;
    if (len > 0 && src + len != dst) std::memmove(dst, src, len);
  }
  dst[len] = '\0';
  return len;
}

template <std::size_t N>
inline std::size_t copy_text(char (&dst)[N], const char* src,
                             std::size_t src_width = static_cast<std::size_t>(-1)) {
  return copy_text(dst, N, src, src_width);
}

// Same, from another fixed-width field: never reads past the source field.
template <std::size_t N, std::size_t M>
inline std::size_t copy_field(char (&dst)[N], const char (&src)[M]) {
  return copy_text(dst, N, src, M);
}

}  // namespace vyr
