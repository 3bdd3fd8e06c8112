#include "nn/CrnnNet.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>

#include "global.h"
#include "model_file.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

std::vector<float> mean_ = {0.5f, 0.5f, 0.5f};
std::vector<float> scale_ = {2.0f, 2.0f, 2.0f};

namespace {

struct TypeFiles {
  const char* model;
  const char* dict;
  double minVersion;  // 0: no version gate
  bool restricted;    // builds the MRZ key lists
  bool mayUseGpu;
};

const TypeFiles kTypeFiles[] = {
    {"ocrv4_en.p", "ocrv3_en.txt", 0.0, true, true},       // CRNN_TYPE_EN
    {"ocrv3_mrz.p", "ocrv3_mrz.txt", 3.105, true, true},   // CRNN_TYPE_MRZ
    {"ocrv4_cn.p", "ocrv3_cn.txt", 0.0, false, false},     // CRNN_TYPE_CN
    {"ocrv3_gbk.p", "ocrv3_gbk.txt", 3.15, false, false},  // CRNN_TYPE_GBK
    {"ocrv3_en.p", "ocrv3_en.txt", 0.0, true, true},       // CRNN_TYPE_EN_V3
    {"ocrv3_mrz.p", "ocrv3_mrz.txt", 3.105, true, true},   // CRNN_TYPE_MRZ_L
};

// Width of the line used to try a freshly created session.
constexpr int kTrialWidth = 160;

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<int> range(int first, int last) {
  std::vector<int> v;
  for (int i = first; i <= last; ++i) v.push_back(i);
  return v;
}

std::vector<int> join(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// Source columns of the restricted decode matrices, per dictionary layout.
// "ocrv3_en.txt": digits at 1..10, "<" at 13, letters at 18..43.
// "ocrv3_mrz.txt": digits at 1..10, "<" at 11, letters at 12..37.
struct ColumnMaps {
  std::vector<int> alnum, alpha, num;
};

const ColumnMaps& enColumns() {
  static const ColumnMaps m{join({{0}, range(1, 10), {13}, range(18, 43)}),
                            join({{0}, {13}, range(18, 43)}), join({{0}, range(1, 10), {13}})};
  return m;
}

const ColumnMaps& mrzColumns() {
  static const ColumnMaps m{range(0, 37), join({{0}, {11}, range(12, 37)}),
                            join({{0}, range(1, 10), {11}})};
  return m;
}

const ColumnMaps* columnsForType(int type) {
  switch (type) {
    case CRNN_TYPE_EN:
    case CRNN_TYPE_EN_V3:
      return &enColumns();
    case CRNN_TYPE_MRZ:
    case CRNN_TYPE_MRZ_L:
      return &mrzColumns();
    default:
      return nullptr;  // no restricted alphabet for this dictionary
  }
}

int neededWidth(const std::vector<int>& cols) {
  return cols.empty() ? 0 : *std::max_element(cols.begin(), cols.end()) + 1;
}

void fillRestrictedLists(CrnnNet& net) {
  net.keysAlnum.clear();
  net.keysAlpha.clear();
  net.keysNum.clear();
  net.keysAlnum.push_back("#");
  net.keysAlpha.push_back("#");
  net.keysNum.push_back("#");
  for (char c = '0'; c <= '9'; ++c) {
    net.keysAlnum.push_back(std::string(1, c));
    net.keysNum.push_back(std::string(1, c));
  }
  net.keysAlnum.push_back("<");
  net.keysAlpha.push_back("<");
  net.keysNum.push_back("<");
  for (char c = 'A'; c <= 'Z'; ++c) {
    net.keysAlnum.push_back(std::string(1, c));
    net.keysAlpha.push_back(std::string(1, c));
  }
  net.keysAlnum.push_back(" ");
  net.keysAlpha.push_back(" ");
  net.keysNum.push_back(" ");
}

const char* inferenceFormat(int type) {
  switch (type) {
    case CRNN_TYPE_EN:
      return "EN_inference: [%s]";
    case CRNN_TYPE_MRZ:
    case CRNN_TYPE_MRZ_L:
      return "MRZ_inference: [%s]";
    case CRNN_TYPE_CN:
      return "CN_inference: [%s]";
    case CRNN_TYPE_GBK:
      return "GBK_inference: [%s]";
    case CRNN_TYPE_EN_V3:
      return "ENV3_inference: [%s]";
    default:
      return nullptr;
  }
}

void logScoreStatistics(const std::vector<float>& scores) {
  if (scores.empty()) return;
  if (scores.size() < 10) {
    std::string list;
    char item[32];
    for (float s : scores) {
      std::snprintf(item, sizeof(item), "%.3f, ", s);
      list += item;
    }
    vyr_log(0, "score: %s", list.c_str());
    return;
  }
  float minScore = -1.0f, maxScore = -1.0f;
  int locate = -1;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (scores[i] < minScore || minScore < 0) {
      minScore = scores[i];
      locate = static_cast<int>(i);
    }
    maxScore = std::max(maxScore, scores[i]);
  }
  vyr_log(0, "min_score: %.3f, locate: %d, max_score: %.3f", minScore, locate, maxScore);
}

}  // namespace

void Normalize_Run(cv::Mat& image, const std::vector<float>& mean, const std::vector<float>& scale,
                   bool flag) {
  if (image.empty()) return;
  const int channels = image.channels();
  if (static_cast<int>(mean.size()) < channels || static_cast<int>(scale.size()) < channels) return;
  image.convertTo(image, CV_32F, flag ? 1.0 / 255.0 : 1.0);
  std::vector<cv::Mat> planes;
  cv::split(image, planes);
  for (int i = 0; i < channels; ++i) {
    const double s = scale[i];
    planes[i].convertTo(planes[i], CV_32F, s, -static_cast<double>(mean[i]) * s);
  }
  cv::merge(planes, image);
}

CrnnNet::CrnnNet()
    : inputHeight(48),
      type(-1),
      session(nullptr),
      numThread(0),
      meanVals{127.5f, 127.5f, 127.5f},
      normVals{1.0f / 127.5f, 1.0f / 127.5f, 1.0f / 127.5f} {}

CrnnNet::~CrnnNet() {
  keysNum.clear();
  keysAlnum.clear();
  keysAlpha.clear();
  keys.clear();
  session = nullptr;
  interpreter.reset();
}

void CrnnNet::dropSession() {
  session = nullptr;
  input_ = vyr::nn::Tensor();
}

bool CrnnNet::isLoaded() const { return interpreter && session != nullptr && !keys.empty(); }

int CrnnNet::initModel(const std::string& dir, int modelType) {
  try {
    return load(dir, modelType);
  } catch (const std::exception& e) {
    vyr_log(1, "load model fail: %s", e.what());
    return -1;
  }
}

int CrnnNet::load(const std::string& dir, int modelType) {
  std::string modelPath, dictPath;
  const TypeFiles* files = nullptr;
  if (static_cast<unsigned>(modelType) <= static_cast<unsigned>(CRNN_TYPE_MRZ_L)) {
    files = &kTypeFiles[modelType];
    modelPath = dir + "/" + files->model;
    dictPath = dir + "/" + files->dict;
  }
  if (!modelPath.empty() && !fileExists(modelPath)) {
    vyr_log(1, "model file not found: %s", modelPath.c_str());
    return -1;
  }
  if (!dictPath.empty() && !fileExists(dictPath)) {
    vyr_log(1, "keys file not found: %s", dictPath.c_str());
    return -1;
  }

  int64_t len = 0;
  _s_model_head head;
  std::memset(&head, 0, sizeof(head));
  unsigned char* body = read_model_from_file(modelPath, len, kModelModeContainer, head);
  if (body == nullptr) {
    vyr_log(1, "load model %s fail.", modelPath.c_str());
    return -1002;
  }
  // The old session belongs to the interpreter being replaced.
  dropSession();
  interpreter = vyr::nn::Network::fromBuffer(body, static_cast<std::size_t>(len));
  std::free(body);
  if (!interpreter) {
    vyr_log(1, "load model %s fail.", modelPath.c_str());
    return -1;
  }

  if (files->minVersion > 0.0) {
    char version[5];
    std::memcpy(version, head.v, 4);
    version[4] = '\0';
    const float v = static_cast<float>(std::atof(version));
    if (static_cast<double>(v) < files->minVersion) {
      vyr_log(1, "load model %s fail. please upgrade model version", modelPath.c_str());
      return -1;
    }
  }
  vyr_log(1, "model [%s] loaded", modelPath.c_str());

  vyr::nn::SessionConfig config;
  if (g_model_opt == 1 && files->mayUseGpu) {
    config.device = vyr::nn::Device::OpenCL;
    config.numThread = 1;
    vyr_log(1, "use gpu: metal");
  } else {
    config.device = vyr::nn::Device::CPU;
    config.numThread = 2;
  }
  interpreter->configure(config);
  // A session is only handed out once the network has run on a line.
  {
    vyr::nn::Tensor trial;
    trial.reshape({1, 3, inputHeight, kTrialWidth});
    std::fill(trial.data.begin(), trial.data.end(), 0.0f);
    if (interpreter->setInput(trial) != 0 || interpreter->run() != 0 ||
        interpreter->output() == nullptr) {
      vyr_log(1, "load model %s fail.", modelPath.c_str());
      return -1;
    }
  }
  session = interpreter.get();

  std::ifstream in(dictPath);
  std::vector<std::string> lines;
  std::string line;
  while (in && std::getline(in, line)) lines.push_back(line);
  if (!in.is_open() || in.bad()) {
    vyr_log(1, "The file [%s] was not found", dictPath.c_str());
    return -1;
  }
  // A reload replaces the dictionary: appending would shift every class.
  keys.clear();
  keys.reserve(lines.size() + 2);
  keys.push_back("#");
  for (auto& l : lines) keys.push_back(std::move(l));
  keys.push_back(" ");
  vyr_log(1, "dict [%s] loaded", dictPath.c_str());

  if (files->restricted) {
    fillRestrictedLists(*this);
  } else {
    keysAlnum.clear();
    keysAlpha.clear();
    keysNum.clear();
  }
  return 0;
}

void CrnnNet::setNumThread(int count) { numThread = count; }

vyr::nn::Network* CrnnNet::getSession(int flag) {
  if (flag != 0) {
    vyr_log(1, "session error");
    return nullptr;
  }
  return session;
}

int CrnnNet::resizeShape(int flag, int width) {
  if (flag != 0 || session == nullptr || width < 1) return -1;
  input_.reshape({1, 3, inputHeight, width});
  return 0;
}

TextLine CrnnNet::repidRec(cv::Mat& img, int flag, char mode, float thr) {
  return getTextLine(img, flag, mode, thr);
}

TextLine CrnnNet::getTextLine(const cv::Mat& img, int flag, char mode, float thr) {
  try {
    return readLine(img, flag, mode, thr);
  } catch (const std::exception& e) {
    vyr_log(1, "crnn read failed: %s", e.what());
    return TextLine();
  }
}

TextLine CrnnNet::readLine(const cv::Mat& img, int flag, char mode, float thr) {
  TextLine line;
  vyr::nn::Network* net = getSession(flag);
  if (net == nullptr) {
    if (flag == 0) vyr_log(1, "session error");
    return line;
  }
  if (img.empty() || img.type() != CV_8UC3 || img.rows != inputHeight) {
    vyr_log(1, "crnn input is not %d rows of 8-bit BGR (%d x %d, type %d)", inputHeight, img.cols,
            img.rows, img.type());
    return line;
  }

  const double t0 = vyr_get_current_time();
  if (vyr::nn::imageToTensor(img, meanVals, normVals, false, input_) != 0) {
    vyr_log(1, "crnn input conversion failed");
    return line;
  }
  const double t1 = vyr_get_current_time();
  const double t2 = vyr_get_current_time();
  const int rc = (net->setInput(input_) == 0) ? net->run() : -1;
  const double t3 = vyr_get_current_time();
  const vyr::nn::Tensor* out = (rc == 0) ? net->output() : nullptr;
  if (out == nullptr) {
    vyr_log(1, "runsession error");
    return line;
  }
  const double t4 = vyr_get_current_time();
  int h = out->dim(1);
  int w = out->dim(2);
  std::vector<float> score;
  const long long cells = static_cast<long long>(h) * w;
  if (h > 0 && w > 0 && cells <= static_cast<long long>(out->data.size())) {
    score.assign(out->data.begin(), out->data.begin() + cells);
  } else {
    h = 0;
  }
  const double t5 = vyr_get_current_time();
  vyr_log(0, "runsession: %.3f ms,  %.3f ms,  %.3f ms", t1 - t0, t3 - t2, t5 - t4);

  line = scoreToTextLine(score, h, w, mode, thr);
  if (mode == 'B') {
    if (line.text.size() == 8)
      line = scoreToTextLine(score, h, w, 'N', thr);
    else if (line.text.size() == 9)
      line = scoreToTextLine(score, h, w, 'A', thr);
  }

  if (const char* fmt = inferenceFormat(type)) vyr_log(0, fmt, line.text.c_str());
  logScoreStatistics(line.scores);
  return line;
}

TextLine CrnnNet::scoreToTextLine(const std::vector<float>& score, int h, int w, char mode,
                                  float thr) {
  TextLine line;
  const bool restricted = mode == 'O' || mode == 'L' || mode == 'N' || mode == 'A';
  const ColumnMaps* maps = restricted ? columnsForType(type) : nullptr;

  if (h < 0 || w < 0 || static_cast<long long>(h) * w > static_cast<long long>(score.size())) {
    vyr_log(1, "crnn scores hold %zu values, not %d x %d", score.size(), h, w);
    return line;
  }
  if (maps != nullptr) {
    int needed = 0;
    if (mode == 'O') needed = neededWidth(maps->alnum);
    if (mode == 'L' || mode == 'A') needed = neededWidth(maps->alpha);
    if (mode == 'N' || mode == 'A') needed = std::max(needed, neededWidth(maps->num));
    if (w < needed) {
      vyr_log(1, "crnn output has %d classes, mode %c needs %d", w, mode, needed);
      return line;
    }
  }

  int count = 0;
  int lastIndex = 0;
  for (int t = 0; t < h && w > 0; ++t) {
    const float* row = score.data() + static_cast<std::size_t>(t) * w;
    const std::vector<int>* cols = nullptr;
    const std::vector<std::string>* keyList = &keys;
    if (restricted) {
      const bool letters = mode == 'L' || (mode == 'A' && count == 0);
      const bool digits = mode == 'N' || (mode == 'A' && count > 0);
      keyList = letters ? &keysAlpha : digits ? &keysNum : &keysAlnum;
      if (maps != nullptr) cols = letters ? &maps->alpha : digits ? &maps->num : &maps->alnum;
    }

    int maxIndex = 0;
    float maxValue = 0.0f;
    if (!restricted) {
      maxValue = row[0];
      for (int k = 1; k < w; ++k)
        if (row[k] > maxValue) {
          maxValue = row[k];
          maxIndex = k;
        }
    } else if (cols != nullptr) {
      maxValue = row[(*cols)[0]];
      for (int j = 1; j < static_cast<int>(cols->size()); ++j)
        if (row[(*cols)[j]] > maxValue) {
          maxValue = row[(*cols)[j]];
          maxIndex = j;
        }
    }
    // else: a type without restricted alphabets decodes an all-zero matrix (blank only)

    if (maxIndex > 0 && maxIndex < static_cast<int>(keyList->size()) &&
        (t == 0 || maxIndex != lastIndex)) {
      line.scores.push_back(maxValue);
      line.text += (*keyList)[maxIndex];
      ++count;
    }
    lastIndex = maxIndex;
  }

  float minScore = -1.0f;
  for (float s : line.scores)
    if (minScore < 0 || s < minScore) minScore = s;
  if (thr < 0 && type >= 0 && type <= CRNN_TYPE_MRZ_L && minScore < thr) {
    line.text.clear();
    line.scores.clear();
    vyr_log(0, "low confidence: %.3f", minScore);
  }
  return line;
}
