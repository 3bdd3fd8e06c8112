// The inference layer over OpenCV's dnn module. Model bodies are ONNX graphs.
// A small bounded protobuf walk reads their input and output names and the
// declared input shapes (the dnn module does not hand them out) and checks the
// graph's structure before the engine sees it: OpenCV 4.6's importer can
// crash on a damaged graph instead of reporting it.
#include "nn/infer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <set>

#include <opencv2/core/ocl.hpp>
#include <opencv2/dnn.hpp>

#include "vyr_log.h"

namespace vyr {
namespace nn {

namespace {

// ---- a bounded reader of the ONNX protobuf wire format ----------------------

struct PbReader {
  const uint8_t* p;
  const uint8_t* end;

  PbReader(const uint8_t* b, size_t n) : p(b), end(b + n) {}
  bool done() const { return p >= end; }

  bool varint(uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p >= end) return false;
      const uint8_t b = *p++;
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  bool tag(uint32_t& field, int& wire) {
    uint64_t t = 0;
    if (!varint(t) || (t >> 3) == 0 || (t >> 3) > 0x1FFFFFFF) return false;
    field = static_cast<uint32_t>(t >> 3);
    wire = static_cast<int>(t & 7);
    return true;
  }

  bool bytes(const uint8_t*& b, size_t& n) {
    uint64_t len = 0;
    if (!varint(len) || len > static_cast<uint64_t>(end - p)) return false;
    b = p;
    n = static_cast<size_t>(len);
    p += n;
    return true;
  }

  bool skip(int wire) {
    uint64_t v = 0;
    const uint8_t* b = nullptr;
    size_t n = 0;
    switch (wire) {
      case 0: return varint(v);
      case 1: if (end - p < 8) return false; p += 8; return true;
      case 2: return bytes(b, n);
      case 5: if (end - p < 4) return false; p += 4; return true;
      default: return false;  // groups and unknown wire types
    }
  }
};

struct ValueInfo {
  std::string name;
  std::vector<int> shape;
};

bool parse_dim(const uint8_t* b, size_t n, int& dim) {
  PbReader r(b, n);
  dim = -1;
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    uint64_t v = 0;
    if (f == 1 && w == 0) {
      if (!r.varint(v)) return false;
      const auto sv = static_cast<int64_t>(v);
      dim = (sv > 0 && sv <= 0x7FFFFFFF) ? static_cast<int>(sv) : -1;
    } else if (!r.skip(w)) {
      return false;
    }
  }
  return true;
}

bool parse_shape(const uint8_t* b, size_t n, std::vector<int>& shape) {
  PbReader r(b, n);
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    if (f == 1 && w == 2) {
      const uint8_t* db = nullptr;
      size_t dn = 0;
      int dim = -1;
      if (!r.bytes(db, dn) || !parse_dim(db, dn, dim)) return false;
      shape.push_back(dim);
    } else if (!r.skip(w)) {
      return false;
    }
  }
  return true;
}

// TypeProto -> tensor_type (1) -> shape (2).
bool parse_type(const uint8_t* b, size_t n, std::vector<int>& shape) {
  PbReader r(b, n);
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    if (f == 1 && w == 2) {
      const uint8_t* tb = nullptr;
      size_t tn = 0;
      if (!r.bytes(tb, tn)) return false;
      PbReader t(tb, tn);
      while (!t.done()) {
        uint32_t tf = 0;
        int tw = 0;
        if (!t.tag(tf, tw)) return false;
        if (tf == 2 && tw == 2) {
          const uint8_t* sb = nullptr;
          size_t sn = 0;
          if (!t.bytes(sb, sn) || !parse_shape(sb, sn, shape)) return false;
        } else if (!t.skip(tw)) {
          return false;
        }
      }
    } else if (!r.skip(w)) {
      return false;
    }
  }
  return true;
}

bool parse_value_info(const uint8_t* b, size_t n, ValueInfo& vi) {
  PbReader r(b, n);
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    const uint8_t* fb = nullptr;
    size_t fn = 0;
    if (f == 1 && w == 2) {
      if (!r.bytes(fb, fn)) return false;
      vi.name.assign(reinterpret_cast<const char*>(fb), fn);
    } else if (f == 2 && w == 2) {
      if (!r.bytes(fb, fn) || !parse_type(fb, fn, vi.shape)) return false;
    } else if (!r.skip(w)) {
      return false;
    }
  }
  return true;
}

// Element size of an ONNX tensor data type, 0 for types a model body here
// cannot carry (strings, unknown values).
size_t element_size(uint64_t type) {
  switch (type) {
    case 2: case 3: case 9: return 1;             // uint8, int8, bool
    case 4: case 5: case 10: case 16: return 2;   // uint16, int16, float16, bfloat16
    case 1: case 6: case 12: return 4;            // float, int32, uint32
    case 7: case 11: case 13: return 8;           // int64, double, uint64
    default: return 0;
  }
}

// Number of values in a repeated scalar field: packed (wire 2) or one per tag.
bool count_values(PbReader& r, int wire, int fixed_size, uint64_t& count) {
  if (wire == 2) {
    const uint8_t* b = nullptr;
    size_t n = 0;
    if (!r.bytes(b, n)) return false;
    if (fixed_size > 0) {
      if (n % static_cast<size_t>(fixed_size) != 0) return false;
      count += n / static_cast<size_t>(fixed_size);
      return true;
    }
    PbReader v(b, n);
    uint64_t x = 0;
    while (!v.done()) {
      if (!v.varint(x)) return false;
      ++count;
    }
    return true;
  }
  if (!r.skip(wire)) return false;
  ++count;
  return true;
}

// A TensorProto (initializer or attribute value): name, and data that agrees
// with its type and dimensions. The engine trusts these blindly.
bool check_tensor(const uint8_t* b, size_t n, std::string& name, std::string& why) {
  PbReader r(b, n);
  std::vector<int64_t> dims;
  uint64_t type = 0, typed = 0;
  int typed_field = 0;
  size_t raw = 0;
  bool has_raw = false, external = false;
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    const uint8_t* fb = nullptr;
    size_t fn = 0;
    uint64_t v = 0;
    if (f == 1 && w == 0) {  // dims, one per tag
      if (!r.varint(v)) return false;
      dims.push_back(static_cast<int64_t>(v));
    } else if (f == 1 && w == 2) {  // dims, packed
      if (!r.bytes(fb, fn)) return false;
      PbReader d(fb, fn);
      while (!d.done()) {
        if (!d.varint(v)) return false;
        dims.push_back(static_cast<int64_t>(v));
      }
    } else if (f == 2 && w == 0) {
      if (!r.varint(type)) return false;
    } else if (f == 8 && w == 2) {
      if (!r.bytes(fb, fn)) return false;
      name.assign(reinterpret_cast<const char*>(fb), fn);
    } else if (f == 9 && w == 2) {
      if (!r.bytes(fb, fn)) return false;
      raw = fn;
      has_raw = true;
    } else if (f == 14 && w == 0) {
      if (!r.varint(v)) return false;
      external = v != 0;
    } else if (f == 4 || f == 5 || f == 7 || f == 10 || f == 11) {
      // float_data (fixed32), int32_data, int64_data, double_data (fixed64), uint64_data
      const int fixed = f == 4 ? 4 : f == 10 ? 8 : 0;
      if (typed_field != 0 && typed_field != static_cast<int>(f)) return false;
      typed_field = static_cast<int>(f);
      if (!count_values(r, w, fixed, typed)) return false;
    } else if (!r.skip(w)) {
      return false;
    }
  }
  const size_t esize = element_size(type);
  if (esize == 0 || external) {
    why = "unsupported tensor [" + name + "]";
    return false;
  }
  uint64_t count = 1;
  for (int64_t d : dims) {
    if (d < 0 || (d > 0 && count > (uint64_t{1} << 31) / static_cast<uint64_t>(d))) {
      why = "bad dimensions of tensor [" + name + "]";
      return false;
    }
    count *= static_cast<uint64_t>(d);
  }
  // The typed field that holds values of this type when there is no raw data.
  int want_field = 5;
  if (type == 1) want_field = 4;
  else if (type == 7) want_field = 7;
  else if (type == 11) want_field = 10;
  else if (type == 12 || type == 13) want_field = 11;
  const bool ok = has_raw ? (typed == 0 && raw == count * esize)
                          : (typed == count && (typed == 0 || typed_field == want_field));
  if (!ok) {
    why = "data of tensor [" + name + "] does not match its shape";
    return false;
  }
  return true;
}

bool check_attribute(const uint8_t* b, size_t n, std::string& why) {
  PbReader r(b, n);
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    if ((f == 5 || f == 10) && w == 2) {  // t, tensors
      const uint8_t* tb = nullptr;
      size_t tn = 0;
      std::string name;
      if (!r.bytes(tb, tn) || !check_tensor(tb, tn, name, why)) return false;
    } else if ((f == 6 || f == 11) && w == 2) {  // sub-graphs: not for this engine
      why = "sub-graphs are not supported";
      return false;
    } else if (!r.skip(w)) {
      return false;
    }
  }
  return true;
}

struct NodeRefs {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

bool parse_node(const uint8_t* b, size_t n, NodeRefs& node, std::string& why) {
  PbReader r(b, n);
  while (!r.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!r.tag(f, w)) return false;
    const uint8_t* fb = nullptr;
    size_t fn = 0;
    if ((f == 1 || f == 2) && w == 2) {
      if (!r.bytes(fb, fn)) return false;
      (f == 1 ? node.inputs : node.outputs).emplace_back(reinterpret_cast<const char*>(fb), fn);
    } else if (f == 5 && w == 2) {
      if (!r.bytes(fb, fn) || !check_attribute(fb, fn, why)) return false;
    } else if (!r.skip(w)) {
      return false;
    }
  }
  return true;
}

// Reads the graph's real inputs (initializers excluded) and outputs, and checks
// the structure the engine relies on without checking it itself (a damaged
// graph can crash its importer): every value a node reads exists before it,
// every value is produced once, every graph output is produced, and tensor
// data agrees with its shape. `why` tells what is wrong.
bool inspect_onnx(const void* body, size_t len, std::vector<ValueInfo>& inputs,
                  std::vector<ValueInfo>& outputs, std::string& why) {
  why = "not an ONNX model";
  PbReader model(static_cast<const uint8_t*>(body), len);
  const uint8_t* gb = nullptr;
  size_t gn = 0;
  while (!model.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!model.tag(f, w)) return false;
    if (f == 7 && w == 2) {
      if (!model.bytes(gb, gn)) return false;
    } else if (!model.skip(w)) {
      return false;
    }
  }
  if (gb == nullptr) return false;

  std::vector<ValueInfo> declared;
  std::vector<NodeRefs> nodes;
  std::set<std::string> initializers;
  PbReader graph(gb, gn);
  why = "damaged graph";
  while (!graph.done()) {
    uint32_t f = 0;
    int w = 0;
    if (!graph.tag(f, w)) return false;
    const uint8_t* fb = nullptr;
    size_t fn = 0;
    if ((f == 1 || f == 5 || f == 11 || f == 12) && w == 2) {
      if (!graph.bytes(fb, fn)) return false;
      if (f == 1) {
        nodes.emplace_back();
        if (!parse_node(fb, fn, nodes.back(), why)) return false;
      } else if (f == 5) {
        std::string name;
        if (!check_tensor(fb, fn, name, why)) return false;
        initializers.insert(name);
      } else {
        ValueInfo vi;
        if (!parse_value_info(fb, fn, vi)) return false;
        (f == 11 ? declared : outputs).push_back(vi);
      }
    } else if (f == 15) {
      why = "sparse initializers are not supported";
      return false;
    } else if (!graph.skip(w)) {
      return false;
    }
  }

  std::set<std::string> known(initializers);
  for (const ValueInfo& vi : declared) {
    if (initializers.count(vi.name) == 0) inputs.push_back(vi);
    known.insert(vi.name);
  }
  for (const NodeRefs& node : nodes) {
    for (const std::string& in : node.inputs)
      if (!in.empty() && known.count(in) == 0) {
        why = "a node reads the unknown value [" + in + "]";
        return false;
      }
    for (const std::string& out : node.outputs)
      if (!out.empty() && !known.insert(out).second) {
        why = "the value [" + out + "] is produced twice";
        return false;
      }
  }
  if (outputs.empty()) {
    why = "the graph has no outputs";
    return false;
  }
  for (const ValueInfo& vi : outputs)
    if (known.count(vi.name) == 0) {
      why = "the graph output [" + vi.name + "] is never produced";
      return false;
    }
  return true;
}

bool opencl_present() {
  try {
    return cv::ocl::haveOpenCL();
  } catch (...) {
    return false;
  }
}

// Runs a piece of engine work with the network's worker count and puts the
// process-wide count back afterwards.
class ThreadScope {
 public:
  explicit ThreadScope(int n) : saved_(cv::getNumThreads()), changed_(n > 0 && n != saved_) {
    if (changed_) cv::setNumThreads(n);
  }
  ~ThreadScope() {
    if (changed_) cv::setNumThreads(saved_);
  }
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  int saved_;
  bool changed_;
};

}  // namespace

// ---- Tensor ------------------------------------------------------------------

std::size_t Tensor::count() const {
  if (shape.empty()) return 0;
  std::size_t n = 1;
  for (int d : shape) {
    if (d <= 0) return 0;
    n *= static_cast<std::size_t>(d);
  }
  return n;
}

int Tensor::dim(std::size_t i) const { return i < shape.size() ? shape[i] : 0; }

void Tensor::reshape(const std::vector<int>& s) {
  shape = s;
  data.assign(count(), 0.0f);
}

// ---- devices -------------------------------------------------------------------

Device parseDevice(const char* option) {
  if (option == nullptr) return Device::CPU;
  static const char kOpenCL[] = "opencl";
  if (std::strlen(option) != sizeof(kOpenCL) - 1) return Device::CPU;
  for (size_t i = 0; i < sizeof(kOpenCL) - 1; ++i)
    if (std::tolower(static_cast<unsigned char>(option[i])) != kOpenCL[i]) return Device::CPU;
  return Device::OpenCL;
}

// ---- Network ---------------------------------------------------------------------

struct Network::Impl {
  cv::dnn::Net net;
  Device device = Device::CPU;
  int numThread = 1;
  std::vector<ValueInfo> inputs;
  std::vector<std::string> outputNames;
  std::vector<Tensor> outputs;  // parallel to outputNames, valid after a good run
  bool haveOutputs = false;

  void applyDevice(Device wanted) {
    device = Device::CPU;
    if (wanted == Device::OpenCL) {
      if (opencl_present()) {
        device = Device::OpenCL;
      } else {
        vyr_log(1, "OpenCL is not available, the model runs on the CPU");
      }
    }
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(device == Device::OpenCL ? cv::dnn::DNN_TARGET_OPENCL
                                                     : cv::dnn::DNN_TARGET_CPU);
  }

  const ValueInfo* findInput(const std::string& name) const {
    if (name.empty()) return inputs.empty() ? nullptr : &inputs.front();
    for (const ValueInfo& vi : inputs)
      if (vi.name == name) return &vi;
    return nullptr;
  }

  void forward() {
    std::vector<cv::Mat> outs;
    net.forward(outs, outputNames);
    if (outs.size() != outputNames.size()) CV_Error(cv::Error::StsError, "output count mismatch");
    outputs.assign(outs.size(), Tensor());
    for (size_t i = 0; i < outs.size(); ++i) {
      cv::Mat m = outs[i];
      if (m.depth() != CV_32F) m.convertTo(m, CV_32F);
      if (!m.isContinuous()) m = m.clone();
      Tensor& t = outputs[i];
      t.shape.assign(m.size.p, m.size.p + m.dims);
      if (m.channels() > 1) t.shape.push_back(m.channels());
      const size_t n = m.total() * static_cast<size_t>(m.channels());
      const float* src = m.ptr<float>();
      t.data.assign(src, src + n);
    }
  }
};

Network::Network() : impl_(new Impl) {}
Network::~Network() = default;

std::shared_ptr<Network> Network::fromBuffer(const void* body, std::size_t len,
                                             const SessionConfig& config) {
  if (body == nullptr || len == 0) {
    vyr_log(1, "inference: empty model body");
    return nullptr;
  }
  std::shared_ptr<Network> network(new Network());
  Impl& d = *network->impl_;
  std::vector<ValueInfo> graphOutputs;
  std::string why;
  if (!inspect_onnx(body, len, d.inputs, graphOutputs, why)) {
    vyr_log(1, "inference: the engine rejects the model: %s", why.c_str());
    return nullptr;
  }
  try {
    d.net = cv::dnn::readNetFromONNX(static_cast<const char*>(body), len);
  } catch (const cv::Exception& e) {
    vyr_log(1, "inference: the engine rejects the model: %s", e.what());
    return nullptr;
  } catch (const std::exception& e) {
    vyr_log(1, "inference: the engine rejects the model: %s", e.what());
    return nullptr;
  } catch (...) {
    vyr_log(1, "inference: the engine rejects the model");
    return nullptr;
  }
  if (d.net.empty()) {
    vyr_log(1, "inference: the engine rejects the model: no layers");
    return nullptr;
  }

  try {
    // Graph outputs that the engine kept as layers are fetched by their own
    // names; should none be found, the engine's unconnected outputs stand in.
    for (const ValueInfo& vi : graphOutputs)
      if (d.net.getLayerId(vi.name) >= 0) d.outputNames.push_back(vi.name);
    if (d.outputNames.empty()) {
      for (const cv::String& s : d.net.getUnconnectedOutLayersNames()) d.outputNames.push_back(s);
    }
    if (d.outputNames.empty()) {
      vyr_log(1, "inference: the model has no outputs");
      return nullptr;
    }
    network->configure(config);
  } catch (const std::exception& e) {
    vyr_log(1, "inference: the engine rejects the model: %s", e.what());
    return nullptr;
  }
  return network;
}

void Network::configure(const SessionConfig& config) {
  try {
    impl_->numThread = config.numThread;
    impl_->applyDevice(config.device);
  } catch (const std::exception& e) {
    vyr_log(1, "inference: cannot configure the device (%s), the model runs on the CPU", e.what());
    impl_->device = Device::CPU;
    try {
      impl_->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    } catch (...) {
    }
  }
}

Device Network::device() const { return impl_->device; }
int Network::numThread() const { return impl_->numThread; }

std::vector<std::string> Network::inputNames() const {
  std::vector<std::string> names;
  for (const ValueInfo& vi : impl_->inputs) names.push_back(vi.name);
  return names;
}

std::vector<std::string> Network::outputNames() const { return impl_->outputNames; }

std::vector<int> Network::inputShape(const std::string& name) const {
  const ValueInfo* vi = impl_->findInput(name);
  return vi != nullptr ? vi->shape : std::vector<int>();
}

int Network::setInput(const Tensor& t, const std::string& name) {
  const std::size_t n = t.count();
  if (n == 0 || t.data.size() != n) {
    vyr_log(1, "inference: empty or inconsistent input tensor");
    return -1;
  }
  std::string target;
  if (!impl_->inputs.empty()) {
    const ValueInfo* vi = impl_->findInput(name);
    if (vi == nullptr) {
      vyr_log(1, "inference: no input named [%s]", name.c_str());
      return -1;
    }
    target = vi->name;
  } else {
    target = name;
  }
  try {
    // setInput copies the blob, so the caller's tensor may change afterwards.
    const cv::Mat blob(static_cast<int>(t.shape.size()), t.shape.data(), CV_32F,
                       const_cast<float*>(t.data.data()));
    impl_->net.setInput(blob, target);
  } catch (const std::exception& e) {
    vyr_log(1, "inference: cannot set input [%s]: %s", target.c_str(), e.what());
    return -1;
  }
  impl_->haveOutputs = false;
  return 0;
}

int Network::run() {
  Impl& d = *impl_;
  d.haveOutputs = false;
  try {
    ThreadScope threads(d.numThread);
    try {
      d.forward();
    } catch (const cv::Exception& e) {
      if (d.device != Device::OpenCL) throw;
      vyr_log(1, "inference: OpenCL run failed (%s), the model runs on the CPU", e.what());
      d.applyDevice(Device::CPU);
      d.forward();
    }
  } catch (const std::exception& e) {
    vyr_log(1, "inference: run failed: %s", e.what());
    d.outputs.clear();
    return -1;
  } catch (...) {
    vyr_log(1, "inference: run failed");
    d.outputs.clear();
    return -1;
  }
  d.haveOutputs = true;
  return 0;
}

const Tensor* Network::output(const std::string& name) const {
  const Impl& d = *impl_;
  if (!d.haveOutputs || d.outputs.empty()) return nullptr;
  if (name.empty()) return &d.outputs.front();
  for (size_t i = 0; i < d.outputNames.size() && i < d.outputs.size(); ++i)
    if (d.outputNames[i] == name) return &d.outputs[i];
  return nullptr;
}

// ---- image to tensor -----------------------------------------------------------------

int imageToTensor(const cv::Mat& image, const float mean[3], const float normal[3], bool toRGB,
                  Tensor& out) {
  if (image.empty() || image.dims != 2 || image.depth() != CV_8U) return -1;
  const int ch = image.channels();
  if (ch != 1 && ch != 3 && ch != 4) return -1;
  const int h = image.rows;
  const int w = image.cols;
  const float m[3] = {mean ? mean[0] : 0.f, mean ? mean[1] : 0.f, mean ? mean[2] : 0.f};
  const float s[3] = {normal ? normal[0] : 1.f, normal ? normal[1] : 1.f,
                      normal ? normal[2] : 1.f};
  out.reshape({1, 3, h, w});
  const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
  float* dst[3] = {out.data.data(), out.data.data() + plane, out.data.data() + 2 * plane};
  // Source channel feeding each tensor channel: BGR as stored, or swapped.
  const int src[3] = {toRGB ? 2 : 0, 1, toRGB ? 0 : 2};
  for (int y = 0; y < h; ++y) {
    const uchar* row = image.ptr<uchar>(y);
    const size_t off = static_cast<size_t>(y) * static_cast<size_t>(w);
    for (int x = 0; x < w; ++x) {
      const uchar* px = row + static_cast<size_t>(x) * ch;
      for (int c = 0; c < 3; ++c) {
        const float v = (ch == 1) ? px[0] : px[src[c]];
        dst[c][off + x] = (v - m[c]) * s[c];
      }
    }
  }
  return 0;
}

}  // namespace nn
}  // namespace vyr
