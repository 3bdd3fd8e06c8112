#include "getfaceimage.h"

#include <algorithm>
#include <exception>

#include "utils.h"
#include "vyr_log.h"

namespace {

constexpr double kPassportGrow = 0.75;

}  // namespace

int _expandCropSize(cv::Mat& image, cv::Rect& r, double fx, double fy, double dx, double dy) {
  const int w = r.width;
  const int h = r.height;
  const int gx = static_cast<int>(fx * w * 0.5);
  const int gy = static_cast<int>(fy * h * 0.5);
  const int nx = static_cast<int>(r.x + w * dx);
  const int ny = static_cast<int>(r.y + h * dy);
  const int left = std::max(nx - gx, 0);
  const int top = std::max(ny - gy, 0);
  const int right = std::min(nx + w + gx - 1, image.cols - 1);
  const int bottom = std::min(ny + h + gy - 1, image.rows - 1);
  r = cv::Rect(left, top, right - left + 1, bottom - top + 1);
  return 0;
}

int expandCropSize(cv::Mat& image, cv::Rect& r) { return _expandCropSize(image, r, 0, 0.28, 0, 0); }

bool cardFaceLayout(int cols, int rows, CardFaceLayout& layout) {
  if (cols < 2 || rows < 1) return false;
  CardFaceLayout l;
  l.half = cols / 2;
  l.top = static_cast<int>(0.1 * rows);
  l.left_width = static_cast<int>(l.half - 0.2 * l.half);
  l.part_height = static_cast<int>(rows - 0.2 * rows);
  if (l.left_width <= 0 || l.part_height <= 0) return false;
  layout = l;
  return true;
}

bool cardFaceSearchImage(const cv::Mat& card, cv::Mat& search, CardFaceLayout& layout) {
  CardFaceLayout l;
  if (card.empty() || !cardFaceLayout(card.cols, card.rows, l)) return false;
  const cv::Rect part(0, l.top, l.left_width, l.part_height);
  const cv::Mat left = card(part);
  // The right region is turned on a copy: the caller's card stays as it was.
  cv::Mat turned;
  cv::flip(card(cv::Rect(l.half - 1, 0, l.half, card.rows)), turned, 0);
  cv::flip(turned, turned, 1);
  cv::Mat merged;
  mergeCols(left, turned(part), merged);
  if (merged.empty()) return false;
  search = merged;
  layout = l;
  return true;
}

int chooseCardFace(const std::vector<_s_face_info>& faces, cv::Size search, cv::Rect& chosen) {
  const int W = search.width;
  const int H = search.height;
  int best = -1;
  int best_area = 0;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    const _s_face_info& f = faces[i];
    int x = std::max(f.x, 0);
    if (x >= W) x = W - 1;
    int y = std::max(f.y, 0);
    if (y >= H) y = H - 1;
    const int right = std::min(f.x + f.width, W);
    const int bottom = std::min(f.y + f.height, H);
    const int w = right - x;
    const int h = bottom - y;
    // A box wholly outside the search image leaves nothing to cut out.
    if (w <= 0 || h <= 0) continue;
    const int area = w * h;
    if (area > best_area) {
      best_area = area;
      best = static_cast<int>(i);
      chosen = cv::Rect(x, y, w, h);
    }
  }
  return best;
}

cv::Rect passportFaceRegion(cv::Size page) {
  const int y = static_cast<int>(0.15 * page.height);
  int w = static_cast<int>(0.4 * page.width);
  w -= w % 2;
  int h = static_cast<int>(0.65 * page.height);
  h -= h % 3;
  return cv::Rect(0, y, w, h);
}

int cardFaceFromFaces(const cv::Mat& search, const CardFaceLayout& layout, int card_rows,
                      const std::vector<_s_face_info>& faces, cv::Mat& face, cv::Rect& faceRect) {
  cv::Rect box;
  if (search.empty() || chooseCardFace(faces, search.size(), box) < 0) return 0;
  face = search(box).clone();
  const int c = box.x + box.width / 2;
  const int y = static_cast<int>(box.y + 0.1 * card_rows);
  if (c < search.cols / 2) {
    faceRect = cv::Rect(box.x, y, box.width, box.height);
    return 1;
  }
  faceRect = cv::Rect(box.x - layout.left_width, y, box.width, box.height);
  return 2;
}

int passportFaceFromFaces(cv::Mat& region, const std::vector<_s_face_info>& faces, cv::Mat& face) {
  if (region.empty()) return -1;
  // The best-ranked face that can be cut out; one lying wholly outside the
  // region cannot.
  for (const _s_face_info& f : faces) {
    cv::Rect r(f.x, f.y, f.width, f.height);
    _expandCropSize(region, r, kPassportGrow, kPassportGrow, 0, 0);
    if (r.width <= 0 || r.height <= 0) continue;
    // An owned copy: the crop outlives the page it came from.
    face = region(r).clone();
    return 0;
  }
  return -1;
}

int getCardFaceImage(cv::Mat& card, cv::Mat& face, cv::Rect& faceRect) {
  try {
    cv::Mat search;
    CardFaceLayout layout;
    if (!cardFaceSearchImage(card, search, layout)) return 0;
    std::vector<_s_face_info> faces;
    vyr_face_detect2(search, faces);
    if (faces.empty()) return 0;
    return cardFaceFromFaces(search, layout, card.rows, faces, face, faceRect);
  } catch (const std::exception& e) {
    vyr_log(1, "card face: %s", e.what());
    return 0;
  }
}

int getPassportFaceImage(cv::Mat& page, cv::Mat& face) {
  try {
    if (page.empty()) return -1;
    const cv::Rect region = passportFaceRegion(page.size());
    if (region.width <= 0 || region.height <= 0) return -1;
    cv::Mat view = page(region);
    std::vector<_s_face_info> faces;
    vyr_face_detect2(view, faces);
    return passportFaceFromFaces(view, faces, face);
  } catch (const std::exception& e) {
    vyr_log(1, "passport face: %s", e.what());
    return -1;
  }
}
