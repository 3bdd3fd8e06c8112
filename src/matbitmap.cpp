#include "matbitmap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vyr_log.h"

namespace {

constexpr std::size_t kHeaderSize = 54;  // file header (14) + info header (40)
constexpr std::size_t kPaletteSize = 1024;

void put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

unsigned char clamp_byte(int v) {
  return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace

unsigned char* convert_Mat_to_BMP(cv::Mat& img, int& size) {
  size = 0;
  if (img.dims > 2) {
    vyr_log(0, "convert_Mat_to_BMP: %d-dimensional matrix refused", img.dims);
    return nullptr;
  }
  const std::size_t rows = static_cast<std::size_t>(img.rows);
  const std::size_t cols = static_cast<std::size_t>(img.cols);
  std::size_t bits = img.elemSize() * 8;
  if (bits == 24) bits = 32;
  const std::size_t stride = ((bits * cols) / 8 + 3) / 4 * 4;
  const std::size_t palette = (bits == 8) ? kPaletteSize : 0;
  const std::size_t offset = kHeaderSize + palette;
  // Guard the multiplication and the int the size is reported in.
  if (stride != 0 && rows > (static_cast<std::size_t>(INT_MAX) - offset) / stride) {
    vyr_log(0, "convert_Mat_to_BMP: %dx%d image too large", img.cols, img.rows);
    return nullptr;
  }
  const std::size_t total = offset + rows * stride;

  unsigned char* buf = static_cast<unsigned char*>(std::calloc(total, 1));
  if (buf == nullptr) {
    vyr_log(1, "convert_Mat_to_BMP: cannot allocate %zu bytes", total);
    return nullptr;
  }
  size = static_cast<int>(total);

  buf[0] = 'B';
  buf[1] = 'M';
  put32(buf + 2, static_cast<uint32_t>(total));
  put32(buf + 10, static_cast<uint32_t>(offset));
  put32(buf + 14, 40);
  put32(buf + 18, static_cast<uint32_t>(cols));
  put32(buf + 22, static_cast<uint32_t>(rows));
  put16(buf + 26, 1);
  put16(buf + 28, static_cast<uint16_t>(bits));
  put32(buf + 34, static_cast<uint32_t>(rows * stride));

  if (bits == 8) {
    for (int i = 0; i < 256; ++i) {
      unsigned char* e = buf + kHeaderSize + 4 * i;
      e[0] = e[1] = e[2] = static_cast<unsigned char>(i);
    }
    // Row pointers, so a view into a larger image is read correctly.
    for (std::size_t r = 0; r < rows; ++r)
      std::memcpy(buf + offset + (rows - 1 - r) * stride, img.ptr(static_cast<int>(r)), cols);
  } else if (bits == 32 && rows > 0 && cols > 0 && img.depth() <= CV_8S &&
             (img.channels() == 3 || img.channels() == 4)) {
    // Blue, green, red of each pixel and an opaque fourth byte. Only 8-bit
    // colour images are pixels; other 32-bit elements (one float or int
    // channel, two 16-bit channels) keep a zero pixel area.
    const std::size_t step = static_cast<std::size_t>(img.channels());
    for (std::size_t r = 0; r < rows; ++r) {
      const unsigned char* s = img.ptr(static_cast<int>(r));
      unsigned char* d = buf + offset + (rows - 1 - r) * stride;
      for (std::size_t c = 0; c < cols; ++c, s += step, d += 4) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        d[3] = 255;
      }
    }
  }
  return buf;
}

void save_bmp_to_file(unsigned char* data, int length) {
  if (data == nullptr || length < 0) return;
  const int fd = ::open("out.bmp", O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return;
  std::size_t done = 0;
  const std::size_t want = static_cast<std::size_t>(length);
  while (done < want) {
    const ssize_t n = ::write(fd, data + done, want - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

void BGR2NV21(unsigned char* bgr, unsigned char* nv21, int width, int height) {
  if (width <= 0 || height <= 0 || bgr == nullptr || nv21 == nullptr) return;
  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t h = static_cast<std::size_t>(height);
  const std::size_t luma = w * h;
  const std::size_t total = luma * 3 / 2;

  // Luma for every pixel, the last odd row and column included.
  for (std::size_t i = 0; i < luma; ++i) {
    const unsigned char* p = bgr + 3 * i;
    nv21[i] = static_cast<unsigned char>((1868 * p[0] + 9617 * p[1] + 4899 * p[2] + 8192) >> 14);
  }

  // One V,U pair per whole 2x2 block, from its top-left pixel.
  unsigned char* vu = nv21 + luma;
  const std::size_t bw = w / 2, bh = h / 2;
  for (std::size_t by = 0; by < bh; ++by) {
    for (std::size_t bx = 0; bx < bw; ++bx) {
      const std::size_t pix = (2 * by) * w + 2 * bx;
      const unsigned char* p = bgr + 3 * pix;
      const int y = nv21[pix];
      // Pure red with almost no blue gives 256: keep it red, not 0.
      vu[by * w + 2 * bx] = clamp_byte(((p[2] - y) * 11682 + 2105344) >> 14);
      vu[by * w + 2 * bx + 1] = clamp_byte(((p[0] - y) * 9241 + 2105344) >> 14);
    }
    // An odd width leaves one byte per chroma row that no pair fills.
    for (std::size_t x = 2 * bw; x < w; ++x) vu[by * w + x] = 128;
  }
  // An odd height leaves chroma bytes behind the last whole row of blocks.
  for (std::size_t i = luma + bh * w; i < total; ++i) nv21[i] = 128;
}
