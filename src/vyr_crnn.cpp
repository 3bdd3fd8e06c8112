#include "vyr_crnn.h"

#include <exception>
#include <string>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "nn/DbNet.h"
#include "utils.h"
#include "vyr_log.h"

CrnnNet* g_crnnNet = nullptr;
CrnnNet* g_crnnNet_v3 = nullptr;
CrnnNet* g_crnnNet_cn = nullptr;
CrnnNet* g_crnnNet_mrz = nullptr;
DbNet* g_dbNet = nullptr;
DbNet* g_dbNet_mrz = nullptr;
int g_model_opt = 0;
int min_patch_box[5] = {900, 700, 52, 52, 1200};
int max_patch_box[5] = {900, 1400, 52, 52, 1200};

namespace {

constexpr float kLineThreshold = 0.3f;

// Brings a line image to 8-bit BGR; grey and BGRA lines are converted, other
// depths refused.
bool toBgr(const cv::Mat& src, cv::Mat& dst) {
  switch (src.type()) {
    case CV_8UC3:
      dst = src;
      return true;
    case CV_8UC1:
      cv::cvtColor(src, dst, cv::COLOR_GRAY2BGR);
      return true;
    case CV_8UC4:
      cv::cvtColor(src, dst, cv::COLOR_BGRA2BGR);
      return true;
    default:
      vyr_log(1, "crnn_extract: unsupported image type %d", src.type());
      return false;
  }
}

// The recogniser for a type, when it exists and holds a model; otherwise the
// not-loaded answer is logged.
CrnnNet* loadedNet(int type) {
  CrnnNet* net = crnn_net_for_type(type);
  if (net == nullptr || !net->isLoaded()) {
    vyr_log(1, "load  model first!\n");
    return nullptr;
  }
  return net;
}

// Blurs the line lightly before scaling; shows it when the debug display is on.
bool prepareLine(const cv::Mat& img, cv::Mat& blurred) {
  cv::Mat bgr;
  if (!toBgr(img, bgr)) return false;
  cv::GaussianBlur(bgr, blurred, cv::Size(3, 3), 1.0, 0.0, cv::BORDER_DEFAULT);
  debugShow("crnn_extract...", blurred);
  return true;
}

template <typename Body>
TextLine guarded(const char* where, Body body) {
  try {
    return body();
  } catch (const cv::Exception& e) {
    vyr_log(1, "%s: %s", where, e.what());
  } catch (const std::exception& e) {
    vyr_log(1, "%s: %s", where, e.what());
  }
  return TextLine();
}

}  // namespace

CrnnNet* crnn_net_for_type(int type) {
  switch (type) {
    case CRNN_TYPE_EN:
      return g_crnnNet;
    case CRNN_TYPE_MRZ:
      return g_crnnNet_mrz;
    case CRNN_TYPE_CN:
      return g_crnnNet_cn;
    case CRNN_TYPE_EN_V3:
      return g_crnnNet_v3;
    default:
      return nullptr;
  }
}

int init_crnn(char* model_dir, int opt) {
  if (model_dir == nullptr) {
    vyr_log(1, "init_crnn: no models directory");
    return -1;
  }
  // A second start-up releases the first one's objects instead of leaking them.
  uninit_crnn();
  try {
    std::string dir(model_dir);
    g_crnnNet = new CrnnNet();
    g_crnnNet_v3 = new CrnnNet();
    g_crnnNet_cn = new CrnnNet();
    g_crnnNet_mrz = new CrnnNet();
    g_dbNet = new DbNet();
    g_dbNet_mrz = new DbNet();
    g_model_opt = opt;

    int rc = g_crnnNet->initModel(dir, CRNN_TYPE_EN);
    if (rc < 0) {
      vyr_log(1, "load en model error!\n");
      return rc;
    }
    rc = g_crnnNet_v3->initModel(dir, CRNN_TYPE_EN_V3);
    if (rc < 0) {
      vyr_log(1, "load en v3 model error!\n");
      return rc;
    }
    rc = g_crnnNet_cn->initModel(dir, CRNN_TYPE_CN);
    if (rc < 0) {
      vyr_log(1, "load cn model error!\n");
      return rc;
    }
    rc = g_crnnNet_mrz->initModel(dir, CRNN_TYPE_MRZ);
    if (rc < 0) {
      vyr_log(1, "load mrz model error!\n");
      return rc;
    }
    rc = g_dbNet->initModel(dir, "boxv3.p");
    if (rc < 0) {
      vyr_log(1, "load box model error!\n");
      return rc;
    }
    rc = g_dbNet_mrz->initModel(dir, "det_mrz.p");
    if (rc < 0) {
      vyr_log(1, "load mrz detect model error!\n");
      return rc;
    }

    g_crnnNet->setNumThread(2);
    g_crnnNet_v3->setNumThread(2);
    g_crnnNet_cn->setNumThread(2);
    g_crnnNet_mrz->setNumThread(2);
    g_crnnNet->type = CRNN_TYPE_EN;
    g_crnnNet_v3->type = CRNN_TYPE_EN_V3;
    g_crnnNet_cn->type = CRNN_TYPE_CN;
    g_crnnNet_mrz->type = CRNN_TYPE_MRZ;
    g_dbNet->setNumThread(2);
    g_dbNet_mrz->setNumThread(2);
    return 0;
  } catch (const std::exception& e) {
    vyr_log(1, "init_crnn: %s", e.what());
    return -1;
  }
}

void uninit_crnn() {
  struct {
    CrnnNet*& net;
    const char* message;
  } recognisers[] = {{g_crnnNet, "unload crnn en model."},
                     {g_crnnNet_v3, "unload crnn env3 model."},
                     {g_crnnNet_cn, "unload crnn_cn model."},
                     {g_crnnNet_mrz, "unload crnn_mrz model."}};
  for (auto& r : recognisers) {
    if (r.net == nullptr) continue;
    vyr_log(0, "%s", r.message);
    delete r.net;
    r.net = nullptr;
  }
  struct {
    DbNet*& net;
    const char* message;
  } detectors[] = {{g_dbNet, "unload crnn_detect model."},
                   {g_dbNet_mrz, "unload mrz_detect model."}};
  for (auto& d : detectors) {
    if (d.net == nullptr) continue;
    vyr_log(0, "%s", d.message);
    delete d.net;
    d.net = nullptr;
  }
}

TextLine _crnn_extract(cv::Mat img, int type, char mode, float thr) {
  return guarded("crnn_extract", [&]() -> TextLine {
    if (img.empty()) {
      vyr_log(0, "crnn_extract empty");
      return TextLine();
    }
    CrnnNet* net = loadedNet(type);
    if (net == nullptr) return TextLine();
    cv::Mat blurred;
    if (!prepareLine(img, blurred)) return TextLine();

    const int height = net->inputHeight;
    const int width = static_cast<int>(static_cast<float>(height) / static_cast<float>(img.rows) *
                                       static_cast<float>(img.cols));
    if (width < 1) {
      vyr_log(1, "crnn_extract: line of %d x %d scales to width 0", img.cols, img.rows);
      return TextLine();
    }
    cv::Mat input;
    cv::resize(blurred, input, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    net->resizeShape(0, input.cols);
    return net->repidRec(input, 0, mode, thr);
  });
}

TextLine crnn_extract_en(cv::Mat image, char mode) {
  return _crnn_extract(image, CRNN_TYPE_EN, mode, kLineThreshold);
}

TextLine crnn_extract_en(cv::Mat image, char mode, float thr) {
  return _crnn_extract(image, CRNN_TYPE_EN, mode, thr);
}

TextLine crnn_extract_en_v3(cv::Mat image, char mode) {
  return _crnn_extract(image, CRNN_TYPE_EN_V3, mode, kLineThreshold);
}

TextLine crnn_extract_mrz(cv::Mat image, char mode) {
  return _crnn_extract(image, CRNN_TYPE_MRZ, mode, kLineThreshold);
}

TextLine crnn_extract_cn(cv::Mat image) {
  return _crnn_extract(image, CRNN_TYPE_CN, 'X', kLineThreshold);
}

TextLine crnn_extract_cn_date(cv::Mat image) {
  return _crnn_extract(image, CRNN_TYPE_CN, 'Y', kLineThreshold);
}

TextLine crnn_extract_gbk(cv::Mat image) {
  return _crnn_extract(image, CRNN_TYPE_GBK, 'X', kLineThreshold);
}

void patch_image(const cv::Mat& src, cv::Mat& dst, int, int height) {
  dst = cv::Mat();
  if (src.empty() || src.rows <= 0 || height <= 0) {
    vyr_log(1, "patch_image: nothing to scale");
    return;
  }
  const int w = src.cols * height / src.rows;
  if (w <= 0) {
    vyr_log(1, "patch_image: %d x %d scales to width 0", src.cols, src.rows);
    return;
  }
  cv::resize(src, dst, cv::Size(w, height), 0, 0, cv::INTER_LINEAR);
  if (w <= 69 && w % 8 != 0)
    cv::copyMakeBorder(dst, dst, 0, 0, 0, 8 - w % 8, cv::BORDER_CONSTANT,
                       cv::Scalar(127, 127, 127, 0));
  vyr_log(0, "%d, %d => %d, %d => %d, %d", src.cols, src.rows, w, height, dst.cols, dst.rows);
}

TextLine crnn_extract_name(cv::Mat image, int type, char mode) {
  return guarded("crnn_extract_name", [&]() -> TextLine {
    if (image.empty()) {
      vyr_log(0, "crnn_extract empty");
      return TextLine();
    }
    CrnnNet* net = loadedNet(type);
    if (net == nullptr) return TextLine();
    cv::Mat blurred;
    if (!prepareLine(image, blurred)) return TextLine();
    cv::Mat input;
    patch_image(blurred, input, 0, net->inputHeight);
    if (input.empty()) return TextLine();
    net->resizeShape(0, input.cols);
    return net->repidRec(input, 0, mode, kLineThreshold);
  });
}
