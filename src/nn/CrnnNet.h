// CRNN text-line recogniser: one network, the dictionary naming its output
// classes and, for the English and MRZ models, the restricted symbol lists of
// the MRZ alphabets. A recogniser reads one line at a time: the input tensor is
// reshaped to each line's width before its run.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "nn/infer.h"

// Recogniser types. A type selects the model file, the dictionary file, the
// lowest accepted model version, the restricted lists and the GPU permission.
constexpr int CRNN_TYPE_EN = 0;      // "ocrv4_en.p", "ocrv3_en.txt"
constexpr int CRNN_TYPE_MRZ = 1;     // "ocrv3_mrz.p", "ocrv3_mrz.txt", version >= 3.105
constexpr int CRNN_TYPE_CN = 2;      // "ocrv4_cn.p", "ocrv3_cn.txt"
constexpr int CRNN_TYPE_GBK = 3;     // "ocrv3_gbk.p", "ocrv3_gbk.txt", version >= 3.15
constexpr int CRNN_TYPE_EN_V3 = 4;   // "ocrv3_en.p", "ocrv3_en.txt"
constexpr int CRNN_TYPE_MRZ_L = 5;   // as CRNN_TYPE_MRZ

// One recognised line: the key strings of the emitted symbols, and one score
// per symbol (a multi-byte key still counts as one symbol).
struct TextLine {
  std::string text;
  std::vector<float> scores;
};

// (x/255 - 0.5) * 2, the convention of Normalize_Run.
extern std::vector<float> mean_;
extern std::vector<float> scale_;

// Normalises an image in place to float: (x * (flag ? 1/255 : 1) - mean[c]) *
// scale[c] per channel. An empty image, or mean/scale shorter than the
// channel count, is left as it is.
void Normalize_Run(cv::Mat& image, const std::vector<float>& mean, const std::vector<float>& scale,
                   bool flag);

class CrnnNet {
 public:
  CrnnNet();
  ~CrnnNet();
  CrnnNet(const CrnnNet&) = delete;
  CrnnNet& operator=(const CrnnNet&) = delete;

  // Loads the model and dictionary of `type` from `dir`. 0 on success; -1 for
  // a missing model or dictionary, a model the engine rejects or cannot run, a
  // model version too old or a dictionary that cannot be opened; -1002 for a
  // model file that cannot be read. Does not write the member `type`. A reload
  // replaces the dictionary and lists rather than appending to them.
  int initModel(const std::string& dir, int type);

  // Stored only; the engine's threads are fixed when the model loads.
  void setNumThread(int count);

  // The session of a loaded model, or nullptr (a nonzero flag logs "session error").
  vyr::nn::Network* getSession(int flag);

  // Shapes the input tensor to 1 x 3 x inputHeight x width. -1 for a nonzero
  // flag, no session or a width below 1; 0 otherwise.
  int resizeShape(int flag, int width);

  // Reads an image already scaled to inputHeight rows (8-bit BGR).
  TextLine repidRec(cv::Mat& img, int flag, char mode, float thr);
  TextLine getTextLine(const cv::Mat& img, int flag, char mode, float thr);

  // Greedy CTC decoding of an h x w score matrix (row = time step, column =
  // class; column 0 is the blank) under an alphabet mode: "O" MRZ characters,
  // "L" letters and "<", "N" digits and "<", "A" a letter or "<" then digits
  // or "<"; any other mode uses the whole dictionary. A negative `thr` clears
  // a line whose weakest symbol scores below it.
  TextLine scoreToTextLine(const std::vector<float>& score, int h, int w, char mode, float thr);

  // True once a model is loaded with its session and dictionary.
  bool isLoaded() const;

  // The session's input tensor as resizeShape and the last run left it.
  const vyr::nn::Tensor& getSessionInput() const { return input_; }

  int inputHeight;
  int type;                        // set by init_crnn; -1 until then
  vyr::nn::Network* session;       // the configured network; belongs to `interpreter`
  std::shared_ptr<vyr::nn::Network> interpreter;
  int numThread;
  float meanVals[3];
  float normVals[3];
  std::vector<std::string> keys;       // "#", the dictionary lines, " "
  std::vector<std::string> keysAlpha;  // "#", "<", "A".."Z", " "
  std::vector<std::string> keysAlnum;  // "#", "0".."9", "<", "A".."Z", " "
  std::vector<std::string> keysNum;    // "#", "0".."9", "<", " "

 private:
  void dropSession();
  int load(const std::string& dir, int type);
  TextLine readLine(const cv::Mat& img, int flag, char mode, float thr);

  vyr::nn::Tensor input_;  // the session's input, shaped by resizeShape
};
