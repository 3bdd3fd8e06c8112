// The handler around one network of the inference layer: it reads a model
// file from the models directory, creates the network and its session with a
// number of worker threads, records the declared input shape and owns the
// image-to-tensor converter that a concrete detector configures. The card
// detector (scrfd.h) is the one handler of the system.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "nn/infer.h"

// Layout of an input tensor, numbered as model converters number them.
enum class DimensionType : int {
  TENSORFLOW = 0,  // NHWC
  CAFFE = 1,       // NCHW
  CAFFE_C4 = 2,    // NC4HW4 (read like NCHW, never resized)
};

// Reads batch, channel, height and width from a declared 4-D input shape:
// TENSORFLOW holds them as N, H, W, C, every other layout as N, C, H, W.
// A shape of fewer than four dimensions leaves all four at 0.
void input_dims_from_shape(const std::vector<int>& shape, DimensionType type, int& batch,
                           int& channel, int& height, int& width);

// The shape a tensor of the given size gets in a layout: {b, h, w, c} for
// TENSORFLOW, {b, c, h, w} for CAFFE, and an empty shape for CAFFE_C4, which
// keeps whatever the model declared.
std::vector<int> input_shape_for(DimensionType type, int batch, int channel, int height, int width);

// Image-to-tensor converter: 8-bit pixels of a source format become float
// planes of a destination format, each value (v - mean[c]) * normal[c] with c
// the destination channel.
class ImageProcess {
 public:
  enum class Format { BGR, RGB, RGBA, BGRA };

  // nullptr for a destination that is not three-channel BGR or RGB.
  static std::shared_ptr<ImageProcess> create(Format source, Format dest, const float* mean,
                                              int mean_count, const float* normal,
                                              int normal_count);

  // Converts width x height pixels at `data`, rows `stride` bytes apart (0:
  // packed), into `dst`, shaped 1 x 3 x height x width (or 1 x height x width x
  // 3 for TENSORFLOW). Returns 0, or -1 (dst untouched) for no data or a
  // non-positive size.
  int convert(const unsigned char* data, int width, int height, std::size_t stride,
              vyr::nn::Tensor& dst, DimensionType layout = DimensionType::CAFFE) const;

  Format source() const { return source_; }
  Format dest() const { return dest_; }

 private:
  ImageProcess() = default;
  Format source_ = Format::BGR;
  Format dest_ = Format::RGB;
  float mean_[3] = {0.f, 0.f, 0.f};
  float normal_[3] = {1.f, 1.f, 1.f};
};

// Base of the detectors that hold one network. The constructor loads
// "<model_dir>/card.p" and never fails: a model that cannot be loaded leaves
// the handler without network (ready() false), which the detectors test
// before running anything.
class BasicMNNHandler {
 public:
  BasicMNNHandler(const std::string& model_dir, unsigned int thread_count);
  virtual ~BasicMNNHandler();
  BasicMNNHandler(const BasicMNNHandler&) = delete;
  BasicMNNHandler& operator=(const BasicMNNHandler&) = delete;

  // Writes one image into the network input. Returns 0, or -1 when it cannot.
  virtual int transform(const cv::Mat& mat) = 0;

  // Diagnostic dump of the input and output shapes on standard output.
  void print_debug_string();

  // A network, its session and its input tensor exist.
  bool ready() const { return interpreter && session && input_tensor; }

  // Number of handlers alive in the process (a leak check for the entry points).
  static int live_instances();

  std::shared_ptr<vyr::nn::Network> interpreter;  // empty when the model did not load
  vyr::nn::Network* session = nullptr;            // the configured network; null without one
  vyr::nn::Tensor* input_tensor = nullptr;        // the input of the next run; null without one
  vyr::nn::SessionConfig schedule_config;
  std::shared_ptr<ImageProcess> pretreat;         // set by the subclass
  std::string log_id;                             // the model directory, for the dump
  std::string model_dir;
  unsigned int thread_count = 0;
  int input_batch = 0;
  int input_channel = 0;
  int input_height = 0;
  int input_width = 0;
  DimensionType dimension_type = DimensionType::TENSORFLOW;
  int output_count = 1;
  std::string input_name;  // name of the network input the tensor feeds

 protected:
  // Loads the model and prepares the session; failures are logged and leave
  // the handler without network.
  void initialize_handler();

  // Drops network, session and input: back to the state of a model that did
  // not load. `path` and `why` go into the level-1 log line.
  void release_model(const std::string& path, const char* why);

  // Full path of the model file.
  std::string model_path() const;

 private:
  vyr::nn::Tensor input_storage_;
};
