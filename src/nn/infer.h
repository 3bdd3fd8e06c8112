// The inference layer: a small engine interface over OpenCV's dnn module.
// A network is created from an in-memory ONNX body (the deciphered body of a
// model file), runs on the CPU or, when asked and present, OpenCL, takes
// inputs of any size per run and hands its outputs out by name. Nothing in
// here throws: failures are result codes and a level-1 log line.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vyr {
namespace nn {

enum class Device { CPU, OpenCL };

// Where and how a network runs. numThread is the worker count for its runs:
// the engine's thread pool is process-wide, so a network sets it for the
// duration of each of its runs and restores it afterwards (runs are
// sequential in this system). 0 or less leaves the process setting alone.
struct SessionConfig {
  Device device = Device::CPU;
  int numThread = 1;
};

// Parses a device option: "opencl" in any letter case selects OpenCL,
// anything else (including nullptr) the CPU.
Device parseDevice(const char* option);

// A dense float tensor, row-major, with its shape (NCHW for images).
struct Tensor {
  std::vector<int> shape;
  std::vector<float> data;

  std::size_t count() const;          // product of the shape, 0 when empty
  int dim(std::size_t i) const;       // shape[i], 0 past the end
  bool empty() const { return data.empty(); }
  void reshape(const std::vector<int>& s);  // resizes data to the new count
};

class Network {
 public:
  // Parses the ONNX body; the buffer may be freed once this returns. Returns
  // nullptr (and logs at level 1) when the body is not a model the engine accepts.
  static std::shared_ptr<Network> fromBuffer(const void* body, std::size_t len,
                                             const SessionConfig& config = SessionConfig());
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Applies a device and thread count. OpenCL where it is absent falls back to
  // the CPU with a log line; device() tells what is in use.
  void configure(const SessionConfig& config);
  Device device() const;
  int numThread() const;

  std::vector<std::string> inputNames() const;
  std::vector<std::string> outputNames() const;

  // The shape an input is declared with in the model (empty name: the first
  // input); dynamic dimensions are -1. Empty when the name is unknown or the
  // model declares no shape.
  std::vector<int> inputShape(const std::string& name = std::string()) const;

  // Sets an input for the next run; an empty name means the first input.
  // Returns 0, or -1 for an unknown name or an empty tensor.
  int setInput(const Tensor& t, const std::string& name = std::string());

  // Runs the network and keeps every output. Returns 0, or -1 (logged) when
  // the engine fails.
  int run();

  // An output of the last successful run; empty name means the first output.
  // nullptr when there is no such output.
  const Tensor* output(const std::string& name = std::string()) const;

 private:
  Network();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Converts an 8-bit image (1, 3 or 4 channels, treated as BGR/BGRA/grey) into
// a 1x3xHxW tensor: per channel (pixel - mean[c]) * normal[c], with the
// channels in RGB order when toRGB is set. c counts the tensor's channels,
// i.e. after the swap. A null mean is all 0, a null normal all 1. Returns 0,
// or -1 for an empty or unsupported image.
int imageToTensor(const cv::Mat& image, const float mean[3], const float normal[3], bool toRGB,
                  Tensor& out);

}  // namespace nn
}  // namespace vyr
