// The face detector: a CenterFace network on a 128 x 128 input. An image is
// fitted into the input (resize keeping the aspect, centred black border),
// the four output maps are decoded into faces, mapped back to the image and
// ranked so that large faces near the image centre come first.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "mnn_handler.h"
#include "nn/infer.h"

// One decoded face, in pixels of the network input.
struct FaceInfo {
  float x1;
  float y1;
  float x2;
  float y2;
  float score;
  float area;           // (x2 - x1) * (y2 - y1)
  float landmarks[10];  // five points, x at [2j], y at [2j + 1]
};

// One ranked face, in pixels of the searched image (not clipped to it).
struct _s_face_obj {
  int x;
  int y;
  int width;
  int height;
  float score;
  float weight;  // area minus twice the squared distance of the centre from the image centre
  float landmarks[10];
};

// One face as handed to callers, in pixels of the searched image.
struct _s_face_info {
  int x;
  int y;
  int width;
  int height;
  float score;
  char spare1[4];  // not set
  char spare2[4];  // not set
  int landmarks[10];  // the points of _s_face_obj, truncated
};

// ---- detector state -----------------------------------------------------------
extern std::shared_ptr<vyr::nn::Network> g_mnn_centerface;  // the face network
extern vyr::nn::Network* g_mnn_sess_centerface0;  // session of the callers; null when unloaded
extern vyr::nn::Network* g_mnn_sess_centerface1;  // second session; null when unloaded
extern int g_init_centerface_mnn_valid;           // 1 while a model is loaded
extern std::shared_ptr<ImageProcess> pretreat_;    // RGBA bytes -> RGB planes, values 0..255
extern int INPUT_SIZE_WIDTH;   // side of the square network input
extern int INPUT_SIZE_HEIGHT;
extern int image_w, image_h;   // size of the image of the last detection
extern float scale_w, scale_h;  // resize factor of the last detection
extern float d_scale_w, d_scale_h;
extern int d_w, d_h;  // size of the padded network input: right and bottom limit of the boxes

// ---- loading ------------------------------------------------------------------

// Loads "<dir>/fd4_2.p". Returns 0, or -1002 when the model cannot be loaded,
// created, run or does not give the four outputs; the detector is then
// unloaded (a previously loaded model included).
int vyr_init_centerface(const char* dir);
int vyr_face_init2(const char* dir);

// Releases the model; safe to call again.
void unload_model_centerface();

// ---- detection ------------------------------------------------------------------

// Finds faces in an 8-bit BGR image (grey and BGRA are converted) on session
// 0 (index 0) or 1 (any other index). objects is cleared first, then holds the
// ranked faces. Returns their number, or -1 when no model is loaded, the image
// is empty or unsupported, or the network fails.
int vyr_face_detect_centerface(cv::Mat& image, std::vector<_s_face_obj>& objects, int session);

// vyr_face_detect_centerface on session 0, handed out as _s_face_info.
int vyr_face_detect2(cv::Mat& image, std::vector<_s_face_info>& faces);

// How an image of img_w x img_h pixels fits the square input of side n: the
// resize keeping the aspect (scale = n / the longer side; the short side at
// least 1 pixel) and the black border that centres it (odd remainders right
// or at the bottom).
struct FaceFit {
  int width = 0, height = 0;  // resized size
  int left = 0, right = 0, top = 0, bottom = 0;
  float scale = 0.f;
};
FaceFit face_fit(int img_w, int img_h, int n);

// A decoded face (network-input pixels, border left/top, resize factor s)
// in pixels of the img_w x img_h image, with its ranking weight.
_s_face_obj face_in_image(const FaceInfo& f, int left, int top, float s, int img_w, int img_h);

// Ranking: true when a's weight is greater.
bool cmpFaceRectArea(_s_face_obj a, _s_face_obj b);

// ---- output decoding ----------------------------------------------------------------

// Appends (row, col) of every heatmap cell strictly above thresh, in raster
// order.
void genIds(const float* heatmap, int h, int w, float thresh, std::vector<int>& ids);

// The output maps fit the decoder: heatmap [1, 1, H, W], scale and offset
// [1, 2, H, W], landmarks [1, 10, H, W], H and W positive.
bool face_outputs_fit(const vyr::nn::Tensor& heatmap, const vyr::nn::Tensor& scale,
                      const vyr::nn::Tensor& offset, const vyr::nn::Tensor& landmarks);

// Decodes the four maps into faces (network-input pixels, limited by d_w and
// d_h), at most 100 candidates in raster order, suppressed by nms type 2.
// faces is replaced when there is a candidate and left alone otherwise (also
// when the maps do not fit, which is logged).
void decode(const vyr::nn::Tensor& heatmap, const vyr::nn::Tensor& scale,
            const vyr::nn::Tensor& offset, const vyr::nn::Tensor& landmarks,
            std::vector<FaceInfo>& faces, float scoreThresh, float nmsThresh);

// Greedy suppression over a score-ordered map. type 2: overlap / smaller
// area; 1: intersection over union; else the overlap itself. input is sorted
// by ascending score; output receives the picks, best first.
void nms(std::vector<FaceInfo>& input, std::vector<FaceInfo>& output, float nmsthreshold,
         int type);

// ---- helpers nothing in the system calls ----------------------------------------

vyr::nn::Network* get_mnn_sess_centerface(int index);
// A new[]-allocated RGBA copy of a BGR image, rows packed; nullptr for an
// empty or unsupported image. Release with delete[].
unsigned char* GetImage(cv::Mat& image);
float calc_centered(_s_face_obj face, cv::Mat& image);
void squareBox(std::vector<FaceInfo>& faces);
void draw_face_box(const cv::Mat& image, std::vector<_s_face_obj>& faces, std::string name);
