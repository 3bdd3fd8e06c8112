#include "mnn_handler.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model_file.h"
#include "vyr_log.h"

namespace {

std::atomic<int> g_live_handlers{0};

int channels_of(ImageProcess::Format f) {
  return (f == ImageProcess::Format::RGBA || f == ImageProcess::Format::BGRA) ? 4 : 3;
}

bool is_bgr_order(ImageProcess::Format f) {
  return f == ImageProcess::Format::BGR || f == ImageProcess::Format::BGRA;
}

void print_shape(const std::vector<int>& shape) {
  printf("\t");
  for (int d : shape) printf("%d, ", d);
  printf("\n");
}

}  // namespace

// ---- shapes --------------------------------------------------------------------

void input_dims_from_shape(const std::vector<int>& shape, DimensionType type, int& batch,
                           int& channel, int& height, int& width) {
  batch = channel = height = width = 0;
  if (shape.size() < 4) return;
  batch = shape[0];
  if (type == DimensionType::TENSORFLOW) {
    height = shape[1];
    width = shape[2];
    channel = shape[3];
  } else {
    channel = shape[1];
    height = shape[2];
    width = shape[3];
  }
}

std::vector<int> input_shape_for(DimensionType type, int batch, int channel, int height,
                                 int width) {
  switch (type) {
    case DimensionType::TENSORFLOW: return {batch, height, width, channel};
    case DimensionType::CAFFE: return {batch, channel, height, width};
    default: return {};
  }
}

// ---- ImageProcess ------------------------------------------------------------------

std::shared_ptr<ImageProcess> ImageProcess::create(Format source, Format dest, const float* mean,
                                                   int mean_count, const float* normal,
                                                   int normal_count) {
  if (dest != Format::BGR && dest != Format::RGB) return nullptr;
  std::shared_ptr<ImageProcess> p(new ImageProcess());
  p->source_ = source;
  p->dest_ = dest;
  for (int c = 0; c < 3; ++c) {
    if (mean != nullptr && c < mean_count) p->mean_[c] = mean[c];
    if (normal != nullptr && c < normal_count) p->normal_[c] = normal[c];
  }
  return p;
}

int ImageProcess::convert(const unsigned char* data, int width, int height, std::size_t stride,
                          vyr::nn::Tensor& dst, DimensionType layout) const {
  if (data == nullptr || width <= 0 || height <= 0) return -1;
  const int ch = channels_of(source_);
  const std::size_t row = static_cast<std::size_t>(width) * static_cast<std::size_t>(ch);
  if (stride != 0 && stride < row) return -1;
  const cv::Mat image(height, width, CV_8UC(ch), const_cast<unsigned char*>(data),
                      stride != 0 ? stride : row);
  vyr::nn::Tensor planar;
  if (vyr::nn::imageToTensor(image, mean_, normal_, is_bgr_order(source_) != is_bgr_order(dest_),
                             planar) != 0)
    return -1;
  if (layout != DimensionType::TENSORFLOW) {
    dst = std::move(planar);
    return 0;
  }
  vyr::nn::Tensor nhwc;
  nhwc.reshape({1, height, width, 3});
  const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < plane; ++i)
    for (std::size_t c = 0; c < 3; ++c) nhwc.data[i * 3 + c] = planar.data[c * plane + i];
  dst = std::move(nhwc);
  return 0;
}

// ---- BasicMNNHandler -----------------------------------------------------------------

BasicMNNHandler::BasicMNNHandler(const std::string& dir, unsigned int threads)
    : log_id(dir), model_dir(dir), thread_count(threads) {
  ++g_live_handlers;
  initialize_handler();
}

BasicMNNHandler::~BasicMNNHandler() {
  // The session is the configured network; it goes with the network, after
  // which the converter is dropped.
  session = nullptr;
  input_tensor = nullptr;
  interpreter.reset();
  pretreat.reset();
  --g_live_handlers;
}

int BasicMNNHandler::live_instances() { return g_live_handlers.load(); }

std::string BasicMNNHandler::model_path() const { return model_dir + "/card.p"; }

void BasicMNNHandler::release_model(const std::string& path, const char* why) {
  if (why != nullptr) vyr_log(1, "%s", why);
  vyr_log(1, "load model %s fail.", path.c_str());
  session = nullptr;
  input_tensor = nullptr;
  interpreter.reset();
  input_storage_ = vyr::nn::Tensor();
  input_name.clear();
  input_batch = input_channel = input_height = input_width = 0;
  output_count = 1;
}

void BasicMNNHandler::initialize_handler() {
  // The path is a string of its own: a long models directory is neither cut
  // nor written past a fixed buffer.
  const std::string path = model_path();
  int64_t len = 0;
  _s_model_head head;
  std::memset(&head, 0, sizeof(head));
  unsigned char* body = read_model_from_file(path, len, kModelModeContainer, head);
  if (body == nullptr) {
    vyr_log(1, "load model %s fail.", path.c_str());
    return;
  }
  schedule_config.device = vyr::nn::Device::CPU;
  schedule_config.numThread = static_cast<int>(thread_count);
  interpreter = vyr::nn::Network::fromBuffer(body, static_cast<std::size_t>(len), schedule_config);
  free(body);
  if (!interpreter) {
    vyr_log(1, "load model %s fail.", path.c_str());
    return;
  }
  session = interpreter.get();

  // Without an input of known size there is nothing to run: the set-up stops
  // here as for a model that did not load.
  const std::vector<std::string> inputs = interpreter->inputNames();
  if (inputs.empty()) {
    vyr_log(0, "session is null");
    release_model(path, "the model has no input");
    return;
  }
  input_name = inputs.front();
  dimension_type = DimensionType::CAFFE;  // the engine's inputs are NCHW
  input_dims_from_shape(interpreter->inputShape(input_name), dimension_type, input_batch,
                        input_channel, input_height, input_width);
  if (input_batch <= 0) input_batch = 1;  // a free batch runs one image
  if (input_channel != 3 || input_height <= 0 || input_width <= 0) {
    release_model(path, "the model declares no fixed 3-channel input size");
    return;
  }
  const std::vector<int> shape =
      input_shape_for(dimension_type, input_batch, input_channel, input_height, input_width);
  if (!shape.empty()) input_storage_.reshape(shape);
  input_tensor = &input_storage_;
  output_count = static_cast<int>(interpreter->outputNames().size());
}

void BasicMNNHandler::print_debug_string() {
  printf("LITEMNN_DEBUG LogId: %s\n", log_id.c_str());
  printf("=============== Input-Dims ==============\n");
  if (input_tensor != nullptr) print_shape(input_tensor->shape);
  switch (dimension_type) {
    case DimensionType::TENSORFLOW: printf("Dimension Type: (TENSORFLOW)NHWC\n"); break;
    case DimensionType::CAFFE: printf("Dimension Type: (CAFFE/PyTorch/ONNX)NCHW\n"); break;
    case DimensionType::CAFFE_C4: printf("Dimension Type: (CAFFE_C4)NC4HW4\n"); break;
  }
  printf("=============== Output-Dims ==============\n");
  std::vector<std::string> names;
  if (session != nullptr) names = session->outputNames();
  printf("getSessionOutputAll done!\n");
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    printf("Output: %s: ", name.c_str());
    const vyr::nn::Tensor* t = session->output(name);
    if (t != nullptr) {
      print_shape(t->shape);
    } else {
      printf("\t(not run yet)\n");
    }
  }
  printf("========================================\n");
}
