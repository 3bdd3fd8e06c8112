// The card detector: a single-stage network (SCRFD layout) that gives, for
// every anchor of three feature maps (strides 8, 16 and 32), a card score, the
// distances to the four box edges and the four card corners. This header also
// holds the library's entry points around its one detector.
#pragma once
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

#include "mnn_handler.h"

// One card detection, in pixels of the image given to the detector.
struct BoxfWithLandmarksType {
  float x1 = 0.f;  // left edge, never below 0
  float y1 = 0.f;  // top edge, never below 0
  float x2 = 0.f;  // right edge, never above width - 1
  float y2 = 0.f;  // bottom edge, never above height - 1
  float score = 0.f;
  const char* label_text = nullptr;  // "card" for a detection
  unsigned int label = 0;            // 1 for a detection
  bool box_flag = false;             // the box fields are valid
  std::vector<cv::Point2f> landmarks;  // the four corners, in the model's order
  bool landmarks_flag = false;
  bool flag = false;  // the record is valid; drawing skips it otherwise
};

class MNNSCRFD : public BasicMNNHandler {
 public:
  // One anchor centre: column and row index of its cell and its stride.
  struct SCRFDPoint {
    float cx;
    float cy;
    float stride;
  };
  // The letterbox of one detection: resize factor and left/top padding.
  struct SCRFDScaleParams {
    float ratio = 1.f;
    int dw = 0;
    int dh = 0;
    bool flag = false;
  };

  // Loads "<model_dir>/card.p". A model whose outputs do not fit its anchors
  // is rejected like one that does not load (ready() stays false).
  MNNSCRFD(const std::string& model_dir, unsigned int thread_count);
  ~MNNSCRFD() override;

  // Converts a BGR canvas of exactly input_width x input_height pixels into
  // the input tensor (RGB, (v - 127.5) / 128). -1 for any other image.
  int transform(const cv::Mat& mat) override;

  // Chooses the decoder by the number of outputs: 9 with corners, 6 without;
  // any other count keeps the current settings.
  void initial_context();

  // Appends the cards found in an 8-bit image (BGR, grey or BGRA), best score
  // first. Nothing is appended for an empty image or without a loaded model.
  void detect(const cv::Mat& mat, std::vector<BoxfWithLandmarksType>& detected_boxes_kps,
              float score_threshold = 0.25f, float iou_threshold = 0.45f,
              unsigned int topk = 400);

  // Letterboxes mat into a black target_width x target_height canvas.
  void resize_unscale(const cv::Mat& mat, cv::Mat& mat_rs, int target_height, int target_width,
                      SCRFDScaleParams& scale_params);

  // Clears the collection and decodes the outputs of the last run into it.
  void generate_bboxes_kps(const SCRFDScaleParams& scale_params,
                           std::vector<BoxfWithLandmarksType>& bbox_kps_collection,
                           float score_threshold, float img_height, float img_width);

  // Builds the anchor centres of every stride once.
  void generate_points(int target_height, int target_width);

  // Decodes one stride (score [1, N, 1], bbox [1, N, 4], kps [1, N, 8]) and
  // appends to the collection. Never reads past the anchors or the tensors.
  void generate_bboxes_kps_single_stride(const SCRFDScaleParams& scale_params,
                                         const vyr::nn::Tensor& score_pred,
                                         const vyr::nn::Tensor& bbox_pred,
                                         const vyr::nn::Tensor& kps_pred, unsigned int stride,
                                         float score_threshold, float img_height,
                                         float img_width,
                                         std::vector<BoxfWithLandmarksType>& bbox_kps_collection);

  // The same without corners.
  void generate_bboxes_single_stride(const SCRFDScaleParams& scale_params,
                                     const vyr::nn::Tensor& score_pred,
                                     const vyr::nn::Tensor& bbox_pred, unsigned int stride,
                                     float score_threshold, float img_height, float img_width,
                                     std::vector<BoxfWithLandmarksType>& bbox_kps_collection);

  // Greedy hard suppression: sorts input by score and appends the survivors
  // to output; at least one survives a non-empty input, at most topk (but 1).
  static void nms_bboxes_kps(std::vector<BoxfWithLandmarksType>& input,
                             std::vector<BoxfWithLandmarksType>& output, float iou_threshold,
                             unsigned int topk);

  // Intersection over union with inclusive widths (+1); the smallest normal
  // float when the boxes do not overlap.
  static float iou_of(const BoxfWithLandmarksType& a, const BoxfWithLandmarksType& b);

  // Runs the network once on a black canvas and tests every output this
  // configuration reads against the anchors. False (with a log line) when a
  // map is missing or its size does not match.
  bool outputs_fit();

  float mean_values[3] = {127.5f, 127.5f, 127.5f};
  float norm_values[3] = {1.f / 128.f, 1.f / 128.f, 1.f / 128.f};
  unsigned int feature_map_count = 3;
  bool use_landmarks = true;
  unsigned int anchors_per_cell = 2;
  std::vector<int> strides = {8, 16, 32};
  std::unordered_map<int, std::vector<SCRFDPoint>> anchor_centers;
  bool anchor_centers_ready = false;
};

// The library's one card detector; null before init_card_ai and after
// uninit_card_ai.
extern MNNSCRFD* scrfd_ptr;

// Creates the detector from "<models_dir>/card.p" with one worker thread,
// replacing (and destroying) a detector of an earlier call. Returns 0 when
// the model loaded, -1002 when it did not (the unloaded detector is kept and
// detects nothing), -1 without a directory.
int init_card_ai(const char* models_dir);

// Destroys the detector; does nothing when there is none.
void uninit_card_ai();

// Appends the cards found in image (score 0.6, IoU 0.45, top 400). Returns 0
// when boxes holds at least one record afterwards, else -1; -1 also without a
// loaded detector (boxes unchanged).
int detect_card_ai(cv::Mat& image, std::vector<BoxfWithLandmarksType>& boxes);

// The test driver's card mode: detects, draws the boxes on a copy and shows
// it in the window "card_ai" until a key is pressed, when the debug display
// is on and a display exists. Always returns 0.
int test_card(cv::Mat& image);

// Draws the valid records: box in cyan, "card:0.87"-style label in green when
// draw_text is set, corners as green dots.
void draw_boxes_with_landmarks_inplace(cv::Mat& mat_inplace,
                                       const std::vector<BoxfWithLandmarksType>& boxes_kps,
                                       bool draw_text = true);

// Shows image in the window "card_ai" when the debug display is on and a
// display exists; waits for a key when `wait` is set. Never aborts headless.
void show_card_ai_window(const cv::Mat& image, bool wait);
