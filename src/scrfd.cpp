#include "scrfd.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <string>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "vyr_log.h"

MNNSCRFD* scrfd_ptr = nullptr;

namespace {

const char kCardLabel[] = "card";

// Detection parameters of the card path.
constexpr float kCardScoreThreshold = 0.6f;
constexpr float kCardIouThreshold = 0.45f;
constexpr unsigned int kCardTopK = 400;
constexpr unsigned int kCardThreads = 1;

// Candidates decoded per stride before the decoder stops.
constexpr unsigned int kMaxRecordsPerStride = 30000;

// A code the scan interface reports for a model that cannot be loaded.
constexpr int kModelLoadFailure = -1002;

std::string stride_name(const char* kind, int stride) {
  return std::string(kind) + "_" + std::to_string(stride);
}

// Number of anchors the network input holds at a stride (0 for an empty grid).
std::size_t anchors_at(int input_height, int input_width, int stride, unsigned int per_cell) {
  if (stride <= 0) return 0;
  const std::size_t gh = static_cast<std::size_t>(input_height / stride);
  const std::size_t gw = static_cast<std::size_t>(input_width / stride);
  return gh * gw * per_cell;
}

// How many anchors a stride may decode: no more than the score map names,
// the anchor list holds and the box and corner maps carry.
std::size_t decodable(const vyr::nn::Tensor& score, const vyr::nn::Tensor& bbox,
                      const vyr::nn::Tensor* kps, std::size_t anchors) {
  if (score.shape.size() < 2 || score.dim(1) <= 0) return 0;
  std::size_t n = static_cast<std::size_t>(score.dim(1));
  n = std::min(n, anchors);
  n = std::min(n, score.data.size());
  n = std::min(n, bbox.data.size() / 4);
  if (kps != nullptr) n = std::min(n, kps->data.size() / 8);
  return n;
}

bool finite4(const float* v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

void sort_by_score(std::vector<BoxfWithLandmarksType>& v) {
  std::sort(v.begin(), v.end(), [](const BoxfWithLandmarksType& a, const BoxfWithLandmarksType& b) {
    return a.score > b.score;
  });
}

// Cuts the running collection to the pre-suppression limit of a stride.
void cut_to_limit(std::vector<BoxfWithLandmarksType>& collection, unsigned int stride) {
  const std::size_t limit = std::max<std::size_t>(1000, (stride / 8) * 1000);
  if (collection.size() > limit) {
    sort_by_score(collection);
    collection.resize(limit);
  }
}

bool have_display() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != '\0') || (w != nullptr && *w != '\0');
}

}  // namespace

// ---- MNNSCRFD --------------------------------------------------------------------

MNNSCRFD::MNNSCRFD(const std::string& dir, unsigned int threads) : BasicMNNHandler(dir, threads) {
  pretreat = ImageProcess::create(ImageProcess::Format::BGR, ImageProcess::Format::RGB,
                                  mean_values, 3, norm_values, 3);
  initial_context();
  if (ready() && !outputs_fit()) {
    release_model(model_path(), "card model: its outputs do not fit the anchors");
    use_landmarks = true;
  }
}

MNNSCRFD::~MNNSCRFD() {
  anchor_centers.clear();
  strides.clear();
}

void MNNSCRFD::initial_context() {
  if (output_count == 9) {
    feature_map_count = 3;
    strides = {8, 16, 32};
    anchors_per_cell = 2;
    use_landmarks = true;
  } else if (output_count == 6) {
    feature_map_count = 3;
    strides = {8, 16, 32};
    anchors_per_cell = 2;
    use_landmarks = false;
  }
}

int MNNSCRFD::transform(const cv::Mat& mat) {
  if (!ready() || !pretreat) return -1;
  // The converter reads input_width x input_height pixels whatever it is
  // given, so anything but the canvas of that size is refused.
  if (mat.empty() || mat.type() != CV_8UC3 || mat.cols != input_width ||
      mat.rows != input_height) {
    vyr_log(1, "card: input image is not a %dx%d BGR canvas", input_width, input_height);
    return -1;
  }
  return pretreat->convert(mat.data, input_width, input_height, mat.step, *input_tensor,
                           dimension_type);
}

bool MNNSCRFD::outputs_fit() {
  if (!ready()) return false;
  const cv::Mat canvas = cv::Mat::zeros(input_height, input_width, CV_8UC3);
  if (transform(canvas) != 0 || session->setInput(*input_tensor, input_name) != 0 ||
      session->run() != 0) {
    vyr_log(1, "card model: the network does not run");
    return false;
  }
  for (int s : strides) {
    const std::size_t n = anchors_at(input_height, input_width, s, anchors_per_cell);
    if (n == 0) {
      vyr_log(1, "card model: input %dx%d has no cells at stride %d", input_width, input_height,
              s);
      return false;
    }
    struct Need {
      const char* kind;
      std::size_t per_anchor;
    };
    const Need needs[] = {{"score", 1}, {"bbox", 4}, {"kps", 8}};
    for (const Need& need : needs) {
      if (!use_landmarks && need.per_anchor == 8) continue;
      const std::string name = stride_name(need.kind, s);
      const vyr::nn::Tensor* t = session->output(name);
      if (t == nullptr) {
        vyr_log(1, "card model: no output %s", name.c_str());
        return false;
      }
      const bool n_fits = need.per_anchor != 1 ||
                          (t->shape.size() >= 2 && static_cast<std::size_t>(t->dim(1)) == n);
      if (!n_fits || t->data.size() != n * need.per_anchor) {
        vyr_log(1, "card model: output %s holds %lu values, %lu anchors need %lu", name.c_str(),
                static_cast<unsigned long>(t->data.size()), static_cast<unsigned long>(n),
                static_cast<unsigned long>(n * need.per_anchor));
        return false;
      }
    }
  }
  return true;
}

void MNNSCRFD::resize_unscale(const cv::Mat& mat, cv::Mat& mat_rs, int target_height,
                              int target_width, SCRFDScaleParams& scale_params) {
  if (mat.empty() || target_height <= 0 || target_width <= 0) return;
  mat_rs = cv::Mat(target_height, target_width, CV_8UC3, cv::Scalar(0, 0, 0));
  const float img_height = static_cast<float>(mat.rows);
  const float img_width = static_cast<float>(mat.cols);
  const float w_r = static_cast<float>(target_width) / img_width;
  const float h_r = static_cast<float>(target_height) / img_height;
  const float r = (h_r < w_r) ? h_r : w_r;
  // A very long thin image would shrink to nothing on its short side; one
  // pixel keeps it searchable and the resize valid.
  const int new_unpad_w = std::max(1, static_cast<int>(img_width * r));
  const int new_unpad_h = std::max(1, static_cast<int>(img_height * r));
  const int dw = (target_width - new_unpad_w) / 2;
  const int dh = (target_height - new_unpad_h) / 2;
  cv::Mat resized;
  cv::resize(mat, resized, cv::Size(new_unpad_w, new_unpad_h), 0, 0, cv::INTER_LINEAR);
  resized.copyTo(mat_rs(cv::Rect(dw, dh, new_unpad_w, new_unpad_h)));
  scale_params.ratio = r;
  scale_params.dw = dw;
  scale_params.dh = dh;
  scale_params.flag = true;
}

void MNNSCRFD::detect(const cv::Mat& mat, std::vector<BoxfWithLandmarksType>& detected_boxes_kps,
                      float score_threshold, float iou_threshold, unsigned int topk) {
  if (mat.empty() || mat.data == nullptr || mat.total() == 0) return;
  if (!ready()) return;
  cv::Mat bgr;
  if (mat.type() == CV_8UC3) {
    bgr = mat;
  } else if (mat.type() == CV_8UC1) {
    cv::cvtColor(mat, bgr, cv::COLOR_GRAY2BGR);
  } else if (mat.type() == CV_8UC4) {
    cv::cvtColor(mat, bgr, cv::COLOR_BGRA2BGR);
  } else {
    vyr_log(1, "card: unsupported image type %d", mat.type());
    return;
  }
  const float img_height = static_cast<float>(bgr.rows);
  const float img_width = static_cast<float>(bgr.cols);

  cv::Mat mat_rs;
  SCRFDScaleParams scale_params;
  resize_unscale(bgr, mat_rs, input_height, input_width, scale_params);
  if (!scale_params.flag || transform(mat_rs) != 0) return;
  if (session->setInput(*input_tensor, input_name) != 0 || session->run() != 0) return;

  std::vector<BoxfWithLandmarksType> bbox_kps_collection;
  generate_bboxes_kps(scale_params, bbox_kps_collection, score_threshold, img_height, img_width);
  nms_bboxes_kps(bbox_kps_collection, detected_boxes_kps, iou_threshold, topk);
}

void MNNSCRFD::generate_points(int target_height, int target_width) {
  if (anchor_centers_ready) return;
  for (int s : strides) {
    if (s <= 0) continue;
    const int gh = target_height / s;
    const int gw = target_width / s;
    if (gh <= 0 || gw <= 0) continue;
    std::vector<SCRFDPoint>& points = anchor_centers[s];
    points.reserve(static_cast<std::size_t>(gh) * gw * anchors_per_cell);
    for (int i = 0; i < gh; ++i)
      for (int j = 0; j < gw; ++j)
        for (unsigned int k = 0; k < anchors_per_cell; ++k)
          points.push_back({static_cast<float>(j), static_cast<float>(i), static_cast<float>(s)});
  }
  anchor_centers_ready = true;
}

void MNNSCRFD::generate_bboxes_kps(const SCRFDScaleParams& scale_params,
                                   std::vector<BoxfWithLandmarksType>& bbox_kps_collection,
                                   float score_threshold, float img_height, float img_width) {
  bbox_kps_collection.clear();
  if (session == nullptr) return;
  generate_points(input_height, input_width);
  for (int s : strides) {
    const vyr::nn::Tensor* score = session->output(stride_name("score", s));
    const vyr::nn::Tensor* bbox = session->output(stride_name("bbox", s));
    const vyr::nn::Tensor* kps = use_landmarks ? session->output(stride_name("kps", s)) : nullptr;
    if (score == nullptr || bbox == nullptr || (use_landmarks && kps == nullptr)) {
      vyr_log(1, "card: outputs of stride %d missing", s);
      continue;
    }
    const unsigned int stride = static_cast<unsigned int>(s);
    if (use_landmarks) {
      generate_bboxes_kps_single_stride(scale_params, *score, *bbox, *kps, stride,
                                        score_threshold, img_height, img_width,
                                        bbox_kps_collection);
    } else {
      generate_bboxes_single_stride(scale_params, *score, *bbox, stride, score_threshold,
                                    img_height, img_width, bbox_kps_collection);
    }
  }
}

namespace {

// Decodes one stride's anchors into boxes, with their four corners when the
// keypoint map is given.
void decode_stride(const std::vector<MNNSCRFD::SCRFDPoint>& points,
                   const MNNSCRFD::SCRFDScaleParams& scale_params,
                   const vyr::nn::Tensor& score_pred, const vyr::nn::Tensor& bbox_pred,
                   const vyr::nn::Tensor* kps_pred, unsigned int stride, float score_threshold,
                   float img_height, float img_width,
                   std::vector<BoxfWithLandmarksType>& bbox_kps_collection) {
  const std::size_t n = decodable(score_pred, bbox_pred, kps_pred, points.size());
  const float ratio = scale_params.ratio;
  const float dw = static_cast<float>(scale_params.dw);
  const float dh = static_cast<float>(scale_params.dh);
  const float* scores = score_pred.data.data();
  const float* bboxes = bbox_pred.data.data();
  const float* kps = kps_pred ? kps_pred->data.data() : nullptr;

  unsigned int count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const float cls_conf = scores[i];
    // A NaN score never passes (it would also break the score order), and a
    // box with a non-finite distance is no box.
    if (!(cls_conf >= score_threshold)) continue;
    const float* b = bboxes + i * 4;
    if (!finite4(b)) continue;
    const MNNSCRFD::SCRFDPoint& p = points[i];
    const float cx = p.cx, cy = p.cy, s = p.stride;
    BoxfWithLandmarksType box;
    box.x1 = std::max(((cx - b[0]) * s - dw) / ratio, 0.f);
    box.y1 = std::max(((cy - b[1]) * s - dh) / ratio, 0.f);
    box.x2 = std::min(((cx + b[2]) * s - dw) / ratio, img_width - 1.f);
    box.y2 = std::min(((cy + b[3]) * s - dh) / ratio, img_height - 1.f);
    box.score = cls_conf;
    box.label_text = kCardLabel;
    box.label = 1;
    box.box_flag = true;
    box.landmarks_flag = false;
    if (kps != nullptr) {
      const float* k = kps + i * 8;
      box.landmarks.reserve(4);
      for (int j = 0; j < 4; ++j) {
        float kx = ((k[2 * j] + cx) * s - dw) / ratio;
        float ky = ((k[2 * j + 1] + cy) * s - dh) / ratio;
        kx = std::min(std::max(0.f, kx), img_width - 1.f);
        ky = std::min(std::max(0.f, ky), img_height - 1.f);
        box.landmarks.emplace_back(kx, ky);
      }
      box.landmarks_flag = true;
    }
    box.flag = true;
    bbox_kps_collection.push_back(std::move(box));
    if (++count > kMaxRecordsPerStride) break;
  }
  cut_to_limit(bbox_kps_collection, stride);
}

}  // namespace

void MNNSCRFD::generate_bboxes_kps_single_stride(
    const SCRFDScaleParams& scale_params, const vyr::nn::Tensor& score_pred,
    const vyr::nn::Tensor& bbox_pred, const vyr::nn::Tensor& kps_pred, unsigned int stride,
    float score_threshold, float img_height, float img_width,
    std::vector<BoxfWithLandmarksType>& bbox_kps_collection) {
  const auto it = anchor_centers.find(static_cast<int>(stride));
  if (it == anchor_centers.end()) return;
  decode_stride(it->second, scale_params, score_pred, bbox_pred, &kps_pred, stride,
                score_threshold, img_height, img_width, bbox_kps_collection);
}

void MNNSCRFD::generate_bboxes_single_stride(
    const SCRFDScaleParams& scale_params, const vyr::nn::Tensor& score_pred,
    const vyr::nn::Tensor& bbox_pred, unsigned int stride, float score_threshold,
    float img_height, float img_width, std::vector<BoxfWithLandmarksType>& bbox_kps_collection) {
  const auto it = anchor_centers.find(static_cast<int>(stride));
  if (it == anchor_centers.end()) return;
  decode_stride(it->second, scale_params, score_pred, bbox_pred, nullptr, stride,
                score_threshold, img_height, img_width, bbox_kps_collection);
}

float MNNSCRFD::iou_of(const BoxfWithLandmarksType& a, const BoxfWithLandmarksType& b) {
  const float inner_h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1) + 1.0f;
  if (inner_h <= 0.f) return FLT_MIN;
  const float inner_w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1) + 1.0f;
  if (inner_w <= 0.f) return FLT_MIN;
  const float inner = inner_h * inner_w;
  const float area_a = std::fabs((a.x2 - a.x1 + 1.0f) * (a.y2 - a.y1 + 1.0f));
  const float area_b = std::fabs((b.x2 - b.x1 + 1.0f) * (b.y2 - b.y1 + 1.0f));
  return inner / (area_a + area_b - inner);
}

void MNNSCRFD::nms_bboxes_kps(std::vector<BoxfWithLandmarksType>& input,
                              std::vector<BoxfWithLandmarksType>& output, float iou_threshold,
                              unsigned int topk) {
  if (input.empty()) return;
  sort_by_score(input);
  const std::size_t n = input.size();
  std::vector<char> merged(n, 0);
  unsigned int count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (merged[i]) continue;
    merged[i] = 1;
    for (std::size_t j = i + 1; j < n; ++j) {
      if (merged[j]) continue;
      if (iou_of(input[i], input[j]) > iou_threshold) merged[j] = 1;
    }
    output.push_back(input[i]);
    // Tested after the append: top-k 0 still keeps the best box.
    if (++count >= topk) break;
  }
}

// ---- entry points --------------------------------------------------------------------

int init_card_ai(const char* models_dir) {
  if (models_dir == nullptr) {
    vyr_log(1, "card: no models directory");
    return -1;
  }
  // A detector of an earlier call goes first, or it would leak.
  uninit_card_ai();
  try {
    scrfd_ptr = new MNNSCRFD(std::string(models_dir), kCardThreads);
  } catch (const std::exception& e) {
    vyr_log(1, "card: cannot create the detector: %s", e.what());
    scrfd_ptr = nullptr;
    return -1;
  }
  return scrfd_ptr->ready() ? 0 : kModelLoadFailure;
}

void uninit_card_ai() {
  if (scrfd_ptr != nullptr) {
    delete scrfd_ptr;
    scrfd_ptr = nullptr;
  }
}

int detect_card_ai(cv::Mat& image, std::vector<BoxfWithLandmarksType>& boxes) {
  const double start = vyr_get_current_time();
  if (scrfd_ptr == nullptr || !scrfd_ptr->ready()) {
    vyr_log(0, "card model not load.");
    return -1;
  }
  try {
    scrfd_ptr->detect(image, boxes, kCardScoreThreshold, kCardIouThreshold, kCardTopK);
  } catch (const std::exception& e) {
    vyr_log(1, "card: detection failed: %s", e.what());
  }
  const int n = static_cast<int>(boxes.size());
  vyr_log(0, "card_ai: %d, %.3f ms", n, vyr_get_current_time() - start);
  return n > 0 ? 0 : -1;
}

int test_card(cv::Mat& image) {
  const double start = vyr_get_current_time();
  if (scrfd_ptr == nullptr) {
    vyr_log(0, "card model not load.");
    return 0;
  }
  std::vector<BoxfWithLandmarksType> boxes;
  try {
    scrfd_ptr->detect(image, boxes, kCardScoreThreshold, kCardIouThreshold, kCardTopK);
    vyr_log(0, "card_ai: %.3f ms", vyr_get_current_time() - start);
    if (!image.empty()) {
      cv::Mat canvas = image.clone();
      draw_boxes_with_landmarks_inplace(canvas, boxes, true);
      show_card_ai_window(canvas, true);
    }
  } catch (const std::exception& e) {
    vyr_log(1, "card: test failed: %s", e.what());
  }
  return 0;
}

void draw_boxes_with_landmarks_inplace(cv::Mat& mat_inplace,
                                       const std::vector<BoxfWithLandmarksType>& boxes_kps,
                                       bool draw_text) {
  if (mat_inplace.empty()) return;
  for (const BoxfWithLandmarksType& box : boxes_kps) {
    if (!box.flag) continue;
    if (box.box_flag) {
      const int x1 = static_cast<int>(box.x1);
      const int y1 = static_cast<int>(box.y1);
      const int x2 = static_cast<int>(box.x2);
      const int y2 = static_cast<int>(box.y2);
      cv::rectangle(mat_inplace, cv::Rect(x1, y1, x2 - x1 + 1, y2 - y1 + 1),
                    cv::Scalar(255, 255, 0), 1, cv::LINE_8, 0);
      if (draw_text && box.label_text != nullptr) {
        const std::string text =
            std::string(box.label_text) + ":" + std::to_string(box.score).substr(0, 4);
        cv::putText(mat_inplace, text, cv::Point(x1, y1), cv::FONT_HERSHEY_SIMPLEX, 0.6,
                    cv::Scalar(0, 255, 0), 1, cv::LINE_8, false);
      }
    }
    if (box.landmarks_flag) {
      for (const cv::Point2f& p : box.landmarks)
        cv::circle(mat_inplace, cv::Point(cvRound(p.x), cvRound(p.y)), 3, cv::Scalar(0, 255, 0),
                   -1, cv::LINE_8, 0);
    }
  }
}

void show_card_ai_window(const cv::Mat& image, bool wait) {
  if (!isDebugShow() || image.empty()) return;
  if (!have_display()) {
    static bool warned = false;
    if (!warned) {
      warned = true;
      vyr_log(1, "no display: the window \"card_ai\" is skipped");
    }
    return;
  }
  cv::imshow("card_ai", image);
  if (wait) cv::waitKey(0);
}
