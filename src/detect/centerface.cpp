#include "detect/centerface.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iterator>
#include <limits>
#include <map>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "model_file.h"
#include "vyr_log.h"

std::shared_ptr<vyr::nn::Network> g_mnn_centerface;
vyr::nn::Network* g_mnn_sess_centerface0 = nullptr;
vyr::nn::Network* g_mnn_sess_centerface1 = nullptr;
int g_init_centerface_mnn_valid = 0;
std::shared_ptr<ImageProcess> pretreat_;
int INPUT_SIZE_WIDTH = 128;
int INPUT_SIZE_HEIGHT = 128;
int image_w = 0, image_h = 0;
float scale_w = 0.f, scale_h = 0.f;
float d_scale_w = 0.f, d_scale_h = 0.f;
int d_w = 0, d_h = 0;

namespace {

const float normVals_[3] = {1.f, 1.f, 1.f};

constexpr char kFaceModelName[] = "fd4_2.p";
constexpr int kFaceInputSize = 128;
constexpr int kFaceThreads = 2;
constexpr float kFaceScoreThreshold = 0.35f;
constexpr float kFaceNmsThreshold = 0.5f;
constexpr std::size_t kMaxCandidates = 100;
constexpr int kModelLoadFailure = -1002;

const char* const kOutputNames[4] = {"537", "538", "539", "540"};  // heatmap, scale, offset, landmarks

// Leaves the detector unloaded: no network, no sessions, flag 0.
void drop_model() {
  g_mnn_sess_centerface0 = nullptr;
  g_mnn_sess_centerface1 = nullptr;
  g_mnn_centerface.reset();
  g_init_centerface_mnn_valid = 0;
}

int load_failure(const std::string& path, const char* why) {
  if (why != nullptr) vyr_log(1, "fd: %s", why);
  vyr_log(1, "load model %s fail.", path.c_str());
  drop_model();
  return kModelLoadFailure;
}

// Converts a packed RGBA square of side n into the network input and runs.
// Returns 0, or -1 with a log line.
int run_rgba(vyr::nn::Network& session, const unsigned char* rgba, int width, int height) {
  vyr::nn::Tensor input;
  if (!pretreat_ || pretreat_->convert(rgba, width, height, 0, input) != 0) {
    vyr_log(1, "fd: cannot convert the input image.");
    return -1;
  }
  if (session.setInput(input) != 0 || session.run() != 0) {
    vyr_log(1, "fd: the network does not run.");
    return -1;
  }
  return 0;
}

// The four output maps of the last run, or false with a log line.
bool fetch_outputs(const vyr::nn::Network& session, const vyr::nn::Tensor* out[4]) {
  for (int i = 0; i < 4; ++i) {
    out[i] = session.output(kOutputNames[i]);
    if (out[i] == nullptr) {
      vyr_log(1, "fd: no output %s", kOutputNames[i]);
      return false;
    }
  }
  if (!face_outputs_fit(*out[0], *out[1], *out[2], *out[3])) {
    vyr_log(1, "fd: the output maps do not fit the decoder");
    return false;
  }
  return true;
}

bool to_bgr(const cv::Mat& image, cv::Mat& bgr) {
  switch (image.type()) {
    case CV_8UC3: bgr = image; return true;
    case CV_8UC1: cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR); return true;
    case CV_8UC4: cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR); return true;
    default: return false;
  }
}

// Truncation toward zero that stays defined for points an infinite face
// size sent out of range: NaN gives 0, the rest is held to the int range.
int truncate_to_int(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483520.f) return std::numeric_limits<int>::max();
  if (v <= -2147483648.f) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

float face_weight(int x, int y, int width, int height, int img_w, int img_h) {
  const int area = width * height;
  const float dx = static_cast<float>((x + width * 0.5) - img_w * 0.5);
  const float dy = static_cast<float>((y + height * 0.5) - img_h * 0.5);
  const float dist = dx * dx + dy * dy;
  return static_cast<float>(area - 2.0 * dist);
}

int detect_faces(cv::Mat& image, std::vector<_s_face_obj>& objects, int session) {
  cv::Mat bgr;
  if (!to_bgr(image, bgr)) {
    vyr_log(1, "fd: unsupported image type %d.", image.type());
    return -1;
  }
  const double start = vyr_get_current_time();
  const int W = bgr.cols;
  const int H = bgr.rows;
  const FaceFit fit = face_fit(W, H, INPUT_SIZE_WIDTH);
  const float s = fit.scale;
  scale_w = s;
  scale_h = s;

  cv::Mat resized;
  cv::resize(bgr, resized, cv::Size(fit.width, fit.height), 0, 0, cv::INTER_LINEAR);
  cv::Mat padded;
  cv::copyMakeBorder(resized, padded, fit.top, fit.bottom, fit.left, fit.right,
                     cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0));
  image_w = W;
  image_h = H;
  d_w = padded.cols;
  d_h = padded.rows;
  d_scale_w = static_cast<float>(d_w);
  d_scale_h = static_cast<float>(d_h);

  vyr::nn::Network* sess = session == 0 ? g_mnn_sess_centerface0 : g_mnn_sess_centerface1;
  if (sess == nullptr) {
    vyr_log(1, "fd: no session %d.", session);
    return -1;
  }
  std::unique_ptr<unsigned char[]> rgba(GetImage(padded));
  if (!rgba || run_rgba(*sess, rgba.get(), padded.cols, padded.rows) != 0) return -1;
  rgba.reset();

  const vyr::nn::Tensor* out[4] = {nullptr, nullptr, nullptr, nullptr};
  if (!fetch_outputs(*sess, out)) return -1;
  std::vector<FaceInfo> faces;
  decode(*out[0], *out[1], *out[2], *out[3], faces, kFaceScoreThreshold, kFaceNmsThreshold);
  std::sort(faces.begin(), faces.end(),
            [](const FaceInfo& a, const FaceInfo& b) { return a.score > b.score; });

  for (const FaceInfo& f : faces) objects.push_back(face_in_image(f, fit.left, fit.top, s, W, H));
  if (!objects.empty()) std::sort(objects.begin(), objects.end(), cmpFaceRectArea);

  const double elapsed = vyr_get_current_time() - start;
  if (!objects.empty()) {
    vyr_log(0, "%d: found face number = %lu, score=%.3f, crop time = %.3f ms", session,
            static_cast<unsigned long>(objects.size()), objects.front().score, elapsed);
  } else {
    vyr_log(0, "%d: found face number = %lu, crop time = %.3f ms", session, 0UL, elapsed);
  }
  return static_cast<int>(objects.size());
}

}  // namespace

FaceFit face_fit(int img_w, int img_h, int n) {
  FaceFit fit;
  if (img_w <= 0 || img_h <= 0 || n <= 0) return fit;
  if (img_w > img_h) {
    fit.width = n;
    fit.height = static_cast<int>(static_cast<int64_t>(n) * img_h / img_w);
    fit.scale = static_cast<float>(n) / static_cast<float>(img_w);
  } else {
    fit.width = static_cast<int>(static_cast<int64_t>(n) * img_w / img_h);
    fit.height = n;
    fit.scale = static_cast<float>(n) / static_cast<float>(img_h);
  }
  // Beyond n:1 the short side would be 0 pixels; one row or column keeps the
  // resize valid (and such a sliver holds no face anyway).
  fit.width = std::max(fit.width, 1);
  fit.height = std::max(fit.height, 1);
  const int m = std::max(fit.width, fit.height);
  if (fit.width < fit.height) {
    fit.left = (m - fit.width) / 2;
    fit.right = m - fit.width - fit.left;
  } else {
    fit.top = (m - fit.height) / 2;
    fit.bottom = m - fit.height - fit.top;
  }
  return fit;
}

_s_face_obj face_in_image(const FaceInfo& f, int left, int top, float s, int img_w, int img_h) {
  _s_face_obj o;
  o.x = static_cast<int>(static_cast<float>(static_cast<int>(f.x1) - left) / s);
  o.y = static_cast<int>(static_cast<float>(static_cast<int>(f.y1) - top) / s);
  o.width = static_cast<int>(static_cast<float>(static_cast<int>(f.x2 - f.x1 + 1)) / s);
  o.height = static_cast<int>(static_cast<float>(static_cast<int>(f.y2 - f.y1 + 1)) / s);
  o.score = f.score;
  for (int j = 0; j < 5; ++j) {
    o.landmarks[2 * j] = (f.landmarks[2 * j] - static_cast<float>(left)) / s;
    o.landmarks[2 * j + 1] = (f.landmarks[2 * j + 1] - static_cast<float>(top)) / s;
  }
  o.weight = face_weight(o.x, o.y, o.width, o.height, img_w, img_h);
  return o;
}

// ---- loading --------------------------------------------------------------------

int vyr_init_centerface(const char* dir) {
  if (dir == nullptr) {
    vyr_log(1, "fd: no models directory");
    drop_model();
    return kModelLoadFailure;
  }
  const std::string path = std::string(dir) + "/" + kFaceModelName;
  try {
    std::unique_ptr<unsigned char[]> buffer;
    int64_t length = 0;
    if (read_model_from_file(path, buffer, length, kModelModeContainer) != 0)
      return load_failure(path, nullptr);

    vyr::nn::SessionConfig config;
    config.device = vyr::nn::Device::CPU;
    config.numThread = kFaceThreads;
    std::shared_ptr<vyr::nn::Network> net =
        vyr::nn::Network::fromBuffer(buffer.get(), static_cast<std::size_t>(length), config);
    buffer.reset();
    if (!net) return load_failure(path, nullptr);
    // The previous network is released only once the new one exists.
    g_mnn_sess_centerface0 = nullptr;
    g_mnn_sess_centerface1 = nullptr;
    g_mnn_centerface = net;
    g_mnn_centerface->configure(config);
    if (g_mnn_centerface->inputNames().empty()) return load_failure(path, "the model has no input");

    const float mean[4] = {0.f, 0.f, 0.f, 0.f};
    pretreat_ = ImageProcess::create(ImageProcess::Format::RGBA, ImageProcess::Format::RGB, mean,
                                     4, normVals_, 3);
    INPUT_SIZE_WIDTH = kFaceInputSize;
    INPUT_SIZE_HEIGHT = kFaceInputSize;

    // One run on a black input proves that the network runs and gives the
    // four maps the decoder reads.
    const std::size_t bytes = static_cast<std::size_t>(kFaceInputSize) * kFaceInputSize * 4;
    std::unique_ptr<unsigned char[]> black(new unsigned char[bytes]());
    if (run_rgba(*g_mnn_centerface, black.get(), kFaceInputSize, kFaceInputSize) != 0)
      return load_failure(path, nullptr);
    const vyr::nn::Tensor* out[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!fetch_outputs(*g_mnn_centerface, out)) return load_failure(path, nullptr);

    g_mnn_sess_centerface0 = g_mnn_centerface.get();
    g_mnn_sess_centerface1 = g_mnn_centerface.get();
    g_init_centerface_mnn_valid = 1;
  } catch (const std::exception& e) {
    return load_failure(path, e.what());
  }
  vyr_log(1, "%s loaded.", path.c_str());
  return 0;
}

int vyr_face_init2(const char* dir) { return vyr_init_centerface(dir); }

void unload_model_centerface() {
  vyr_log(0, "unload detect model");
  drop_model();
}

// ---- detection ------------------------------------------------------------------------

int vyr_face_detect_centerface(cv::Mat& image, std::vector<_s_face_obj>& objects, int session) {
  objects.clear();
  if (g_init_centerface_mnn_valid == 0) {
    vyr_log(0, "face dectactor model not load");
    return -1;
  }
  if (image.empty() || image.data == nullptr || image.total() == 0) {
    vyr_log(1, "fd: input image empty.");
    return -1;
  }
  try {
    return detect_faces(image, objects, session);
  } catch (const std::exception& e) {
    vyr_log(1, "fd: detection failed: %s", e.what());
    objects.clear();
    return -1;
  }
}

int vyr_face_detect2(cv::Mat& image, std::vector<_s_face_info>& faces) {
  std::vector<_s_face_obj> objects;
  const int n = vyr_face_detect_centerface(image, objects, 0);
  faces.clear();
  if (n <= 0) return n;
  for (const _s_face_obj& o : objects) {
    _s_face_info f;
    f.x = o.x;
    f.y = o.y;
    f.width = o.width;
    f.height = o.height;
    f.score = o.score;
    for (int j = 0; j < 10; ++j) f.landmarks[j] = truncate_to_int(o.landmarks[j]);
    faces.push_back(f);
  }
  return static_cast<int>(faces.size());
}

bool cmpFaceRectArea(_s_face_obj a, _s_face_obj b) { return a.weight > b.weight; }

// ---- output decoding ----------------------------------------------------------------------

void genIds(const float* heatmap, int h, int w, float thresh, std::vector<int>& ids) {
  if (heatmap == nullptr) {
    vyr_log(1, "heatmap is nullptr,please check! ");
    return;
  }
  if (h <= 0 || w <= 0) return;
  for (int i = 0; i < h; ++i) {
    for (int j = 0; j < w; ++j) {
      if (heatmap[static_cast<std::size_t>(i) * w + j] > thresh) {
        ids.push_back(i);
        ids.push_back(j);
      }
    }
  }
}

bool face_outputs_fit(const vyr::nn::Tensor& heatmap, const vyr::nn::Tensor& scale,
                      const vyr::nn::Tensor& offset, const vyr::nn::Tensor& landmarks) {
  if (heatmap.shape.size() != 4) return false;
  const int H = heatmap.dim(2);
  const int W = heatmap.dim(3);
  if (H <= 0 || W <= 0) return false;
  const std::size_t S = static_cast<std::size_t>(H) * static_cast<std::size_t>(W);
  const struct {
    const vyr::nn::Tensor* t;
    int channels;
  } maps[] = {{&heatmap, 1}, {&scale, 2}, {&offset, 2}, {&landmarks, 10}};
  for (const auto& m : maps) {
    const vyr::nn::Tensor& t = *m.t;
    if (t.shape.size() != 4 || t.dim(0) != 1 || t.dim(1) != m.channels || t.dim(2) != H ||
        t.dim(3) != W || t.data.size() != S * static_cast<std::size_t>(m.channels))
      return false;
  }
  return true;
}

void decode(const vyr::nn::Tensor& heatmap, const vyr::nn::Tensor& scale,
            const vyr::nn::Tensor& offset, const vyr::nn::Tensor& landmarks,
            std::vector<FaceInfo>& faces, float scoreThresh, float nmsThresh) {
  if (!face_outputs_fit(heatmap, scale, offset, landmarks)) {
    vyr_log(1, "fd: the output maps do not fit the decoder");
    return;
  }
  const int fea_h = heatmap.dim(2);
  const int fea_w = heatmap.dim(3);
  const std::size_t spacial = static_cast<std::size_t>(fea_h) * static_cast<std::size_t>(fea_w);
  const float* heat = heatmap.data.data();
  const float* scale0 = scale.data.data();
  const float* scale1 = scale0 + spacial;
  const float* offset0 = offset.data.data();
  const float* offset1 = offset0 + spacial;
  const float* lm = landmarks.data.data();

  std::vector<int> ids;
  genIds(heat, fea_h, fea_w, scoreThresh, ids);

  const float limit_w = static_cast<float>(d_w);
  const float limit_h = static_cast<float>(d_h);
  std::vector<FaceInfo> candidates;
  for (std::size_t i = 0; i + 1 < ids.size(); i += 2) {
    const int row = ids[i];
    const int col = ids[i + 1];
    const std::size_t index = static_cast<std::size_t>(row) * fea_w + col;
    // A cell whose maps hold NaN describes no face.
    bool nan_map = std::isnan(scale0[index]) || std::isnan(scale1[index]) ||
                   std::isnan(offset0[index]) || std::isnan(offset1[index]);
    for (std::size_t c = 0; c < 10 && !nan_map; ++c) nan_map = std::isnan(lm[c * spacial + index]);
    if (nan_map) continue;
    const float s0 = std::exp(scale0[index]) * 4.f;  // height
    const float s1 = std::exp(scale1[index]) * 4.f;  // width
    const float o0 = offset0[index];                 // vertical
    const float o1 = offset1[index];                 // horizontal

    float x1 = static_cast<float>(
        std::max(0.0, (static_cast<double>(static_cast<float>(col) + o1) + 0.5) * 4 - s1 / 2.0));
    float y1 = static_cast<float>(
        std::max(0.0, (static_cast<double>(static_cast<float>(row) + o0) + 0.5) * 4 - s0 / 2.0));
    if (std::isnan(x1)) x1 = 0.f;
    if (std::isnan(y1)) y1 = 0.f;
    x1 = std::min(x1, limit_w);
    y1 = std::min(y1, limit_h);

    FaceInfo f;
    f.x1 = x1;
    f.y1 = y1;
    f.x2 = std::min(x1 + s1, limit_w);
    f.y2 = std::min(y1 + s0, limit_h);
    f.score = heat[index];
    f.area = (f.x2 - f.x1) * (f.y2 - f.y1);
    for (std::size_t j = 0; j < 5; ++j) {
      f.landmarks[2 * j] = lm[(2 * j + 1) * spacial + index] * s1 + x1;
      f.landmarks[2 * j + 1] = lm[(2 * j) * spacial + index] * s0 + y1;
    }
    candidates.push_back(f);
  }
  // Raster order: the upper rows' candidates are kept, not the best scores.
  if (candidates.size() > kMaxCandidates) candidates.resize(kMaxCandidates);
  nms(candidates, faces, nmsThresh, 2);
}

void nms(std::vector<FaceInfo>& input, std::vector<FaceInfo>& output, float nmsthreshold,
         int type) {
  if (input.empty()) return;
  // A NaN score has no place in a score order; such a box is never picked.
  input.erase(std::remove_if(input.begin(), input.end(),
                             [](const FaceInfo& f) { return std::isnan(f.score); }),
              input.end());
  if (input.empty()) {
    output.clear();
    return;
  }
  std::sort(input.begin(), input.end(),
            [](const FaceInfo& a, const FaceInfo& b) { return a.score < b.score; });

  std::multimap<float, int> scores;
  for (std::size_t i = 0; i < input.size(); ++i)
    scores.emplace(input[i].score, static_cast<int>(i));

  std::vector<int> picked;
  while (!scores.empty()) {
    const auto pick_it = std::prev(scores.end());
    const int last = pick_it->second;
    const FaceInfo& p = input[static_cast<std::size_t>(last)];
    picked.push_back(last);
    bool pick_removed = false;
    for (auto it = scores.begin(); it != scores.end();) {
      const int idx = it->second;
      const FaceInfo& c = input[static_cast<std::size_t>(idx)];
      const float xx1 = std::max(c.x1, p.x1);
      const float yy1 = std::max(c.y1, p.y1);
      const float xx2 = std::min(c.x2, p.x2);
      const float yy2 = std::min(c.y2, p.y2);
      const float w = std::max(0.f, xx2 - xx1 + 1);
      const float h = std::max(0.f, yy2 - yy1 + 1);
      const float overlap = w * h;
      float ratio;
      if (type == 2) {
        ratio = overlap / std::min(c.area, p.area);
      } else if (type == 1) {
        ratio = overlap / (c.area + p.area - overlap);
      } else {
        ratio = overlap;
      }
      if (ratio > nmsthreshold) {
        if (idx == last) pick_removed = true;
        it = scores.erase(it);
      } else {
        ++it;
      }
    }
    // Degenerate geometry (NaN) can keep the pick's own entry; it must leave
    // the map all the same, or the loop would pick it forever.
    if (!pick_removed) scores.erase(pick_it);
  }
  output.resize(picked.size());
  for (std::size_t k = 0; k < picked.size(); ++k)
    output[k] = input[static_cast<std::size_t>(picked[k])];
}

// ---- helpers nothing in the system calls ----------------------------------------------------

vyr::nn::Network* get_mnn_sess_centerface(int index) {
  return index == 0 ? g_mnn_sess_centerface0 : g_mnn_sess_centerface1;
}

unsigned char* GetImage(cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return nullptr;
  const std::size_t bytes =
      static_cast<std::size_t>(image.cols) * static_cast<std::size_t>(image.rows) * 4;
  unsigned char* buffer = new unsigned char[bytes];
  cv::Mat rgba(image.rows, image.cols, CV_8UC4, buffer);
  cv::cvtColor(image, rgba, cv::COLOR_BGR2RGBA);
  return buffer;
}

float calc_centered(_s_face_obj face, cv::Mat& image) {
  return face_weight(face.x, face.y, face.width, face.height, image.cols, image.rows);
}

void squareBox(std::vector<FaceInfo>& faces) {
  for (FaceInfo& f : faces) {
    const float w = f.x2 - f.x1;
    const float h = f.y2 - f.y1;
    const float L = std::max(w, h);
    const float cx = f.x1 + w / 2.f;
    const float cy = f.y1 + h / 2.f;
    f.x1 = std::max(0.f, cx - L / 2.f);
    f.y1 = std::max(0.f, cy - L / 2.f);
    f.x2 = std::min(static_cast<float>(image_w - 1), cx + L / 2.f);
    f.y2 = std::min(static_cast<float>(image_h - 1), cy + L / 2.f);
  }
}

void draw_face_box(const cv::Mat& image, std::vector<_s_face_obj>& faces, std::string /*name*/) {
  if (image.empty()) return;
  cv::Mat canvas = image.clone();
  for (const _s_face_obj& f : faces) {
    cv::rectangle(canvas, cv::Rect(f.x, f.y, f.width, f.height), cv::Scalar(0, 255, 0), 1);
    for (int j = 0; j < 5; ++j)
      cv::circle(canvas,
                 cv::Point(static_cast<int>(f.landmarks[2 * j]),
                           static_cast<int>(f.landmarks[2 * j + 1])),
                 2, cv::Scalar(255, 255, 0), -1);
    char text[32];
    snprintf(text, sizeof(text), "%.1f%%", f.score * 100);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
    int x = f.x;
    int y = f.y - size.height - baseline;
    if (y < 0) y = 0;
    if (x + size.width > canvas.cols) x = canvas.cols - size.width;
    cv::rectangle(canvas, cv::Rect(cv::Point(x, y), cv::Size(size.width, size.height + baseline)),
                  cv::Scalar(255, 255, 255), -1);
    cv::putText(canvas, text, cv::Point(x, y + size.height), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                cv::Scalar(0, 0, 0), 1);
  }
  // The drawing stays on the private copy; nothing is shown or returned.
}
