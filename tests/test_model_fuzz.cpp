// Bounded random-mutation runs over the model readers, the cipher and the
// engine's model parser: no mutated file may crash, leak or misreport.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "encode.h"
#include "model_file.h"
#include "nn/infer.h"
#include "vyr_log.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kModels = std::string(VYR_TEST_DATA_DIR) + "/models/";

Bytes slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void spill(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes mutate(Bytes b, std::mt19937& rng) {
  auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
  const int ops = 1 + static_cast<int>(rng() % 3);
  for (int k = 0; k < ops; ++k) {
    switch (rng() % 7) {
      case 0:  // flip bytes anywhere
        for (int i = 0, n = 1 + static_cast<int>(rng() % 8); i < n && !b.empty(); ++i)
          b[pick(b.size())] ^= static_cast<unsigned char>(1 + rng() % 255);
        break;
      case 1:  // a header byte: marker, scheme, counts, version
        if (b.size() > 28) {
          const size_t at[] = {0, 1, 5, 23, 24, 28};
          b[at[pick(6)]] = static_cast<unsigned char>(rng());
        }
        break;
      case 2:  // truncate
        b.resize(pick(b.size() + 1));
        break;
      case 3:  // append
        for (int i = 0, n = static_cast<int>(rng() % 2000); i < n; ++i)
          b.push_back(static_cast<unsigned char>(rng()));
        break;
      case 4:  // copy a run inside the file
        if (b.size() > 64) {
          const size_t from = pick(b.size() - 32), to = pick(b.size() - 32);
          std::memmove(&b[to], &b[from], 32);
        }
        break;
      case 5:  // cut a run out of the body
        if (b.size() > 100) {
          const size_t from = 29 + pick(b.size() - 60);
          b.erase(b.begin() + static_cast<long>(from),
                  b.begin() + static_cast<long>(std::min(b.size(), from + 1 + pick(30))));
        }
        break;
      default:  // scheme byte to a valid one, so deciphering really runs
        if (b.size() > 24) {
          b[5] = static_cast<unsigned char>(rng() % 4);
          b[23] = static_cast<unsigned char>(rng());
          b[24] = static_cast<unsigned char>(rng());
        }
        break;
    }
  }
  return b;
}

class ModelFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vyr_model_fuzz_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    quiet_ = g_log_dummy;
    vyr_set_log_dummy(1);
  }
  void TearDown() override {
    vyr_set_log_dummy(quiet_);
    unlink((dir_ + "/m.p").c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
  int quiet_ = 0;
};

TEST_F(ModelFuzz, MutatedFilesAreReadConsistentlyOrRefused) {
  std::vector<Bytes> seeds;
  for (const char* f : {"crnn_fixture.p", "crnn40_fixture.p", "db_fixture.p", "card_fixture.p",
                        "face_fixture.p"})
    seeds.push_back(slurp(kModels + f));
  for (const Bytes& s : seeds) ASSERT_GT(s.size(), 800u);

  // VYR_FUZZ_SEED and VYR_FUZZ_ITERS widen a run by hand; the default is
  // fixed and short.
  const char* seed_env = std::getenv("VYR_FUZZ_SEED");
  const char* iter_env = std::getenv("VYR_FUZZ_ITERS");
  std::mt19937 rng(seed_env ? static_cast<unsigned>(std::strtoul(seed_env, nullptr, 10)) : 20240611u);
  const int iterations = iter_env ? std::atoi(iter_env) : 3000;
  const std::string path = dir_ + "/m.p";
  int accepted = 0, refused = 0, engine_tries = 0, engine_loads = 0;
  testing::internal::CaptureStdout();  // thousands of level-1 refusal lines
  for (int iter = 0; iter < iterations; ++iter) {
    const Bytes file = mutate(seeds[iter % seeds.size()], rng);
    const int mode = iter % 10 == 0 ? 0 : 1;

    // Mostly in-memory streams; every 16th file goes through the file system.
    const bool on_disk = iter % 16 == 0 || file.empty();
    if (on_disk) spill(path, file);
    auto open = [&]() -> FILE* {
      return on_disk ? fopen(path.c_str(), "rb")
                     : fmemopen(const_cast<unsigned char*>(file.data()), file.size(), "rb");
    };
    int64_t len = -5;
    _s_model_head head;
    unsigned char* body = on_disk ? read_model_from_file(path, len, mode, head)
                                  : read_model_from_stream("m.p", open(), len, mode, head);
    std::unique_ptr<unsigned char[]> holder;
    int64_t hlen = -5;
    const int rc = on_disk ? read_model_from_file(path, holder, hlen, mode)
                           : read_model_from_stream("m.p", open(), holder, hlen, mode);

    const bool size_ok = file.size() >= 800 && file.size() <= 2000000000u;
    const bool marker_ok = mode != 1 || (file.size() >= 29 && (file[0] == 0x11 || file[28] == 0x11));
    const bool expect_ok = size_ok && marker_ok;
    ASSERT_EQ(body != nullptr, expect_ok) << iter;
    ASSERT_EQ(rc == 0, expect_ok) << iter;
    if (!expect_ok) {
      ++refused;
      EXPECT_EQ(len, 0);
      EXPECT_EQ(holder, nullptr);
      continue;
    }
    ++accepted;
    const int64_t want = static_cast<int64_t>(file.size()) - (mode == 1 ? 29 : 0);
    ASSERT_EQ(len, want);
    ASSERT_EQ(hlen, want);
    ASSERT_EQ(std::memcmp(body, holder.get(), static_cast<size_t>(len)), 0) << iter;
    if (mode == 1) {  // enciphering the result again gives the stored body back
      encode_model_body(body, static_cast<long>(len), head);
      ASSERT_EQ(std::memcmp(body, file.data() + 29, static_cast<size_t>(len)), 0) << iter;
      decode_model_buffer(body, static_cast<long>(len), head);
    }
    if (iter % 8 == 1) {  // what the engine's parser makes of it
      ++engine_tries;
      auto net = vyr::nn::Network::fromBuffer(body, static_cast<size_t>(len));
      if (net) {
        ++engine_loads;
        std::vector<int> shape = net->inputShape();
        for (int& d : shape)
          if (d <= 0 || d > 512) d = 48;
        vyr::nn::Tensor t;
        t.reshape(shape.empty() ? std::vector<int>{1, 3, 48, 48} : shape);
        if (net->setInput(t) == 0 && net->run() == 0) {
          EXPECT_NE(net->output(), nullptr);
        }
      }
    }
    free(body);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(accepted, iterations / 10);
  EXPECT_GT(refused, iterations / 10);
  EXPECT_GT(engine_tries, iterations / 30);
  RecordProperty("engine_loads", engine_loads);
}

TEST(CipherFuzz, RandomHeadersNeverReachPastTheBody) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 4000; ++iter) {
    const size_t len = rng() % 9000;
    // Guard bytes around the body show any write outside it.
    Bytes buf(len + 32, 0xA5);
    for (size_t i = 16; i < 16 + len; ++i) buf[i] = static_cast<unsigned char>(rng());
    const Bytes before = buf;
    _s_model_head h;
    std::memset(&h, 0, sizeof(h));
    h.e = static_cast<int8_t>(rng() % 6);
    h.xor_count = static_cast<int8_t>(rng());
    h.des_count = static_cast<int8_t>(rng());
    const int dec = decode_model_buffer(buf.data() + 16, static_cast<long>(len), h);
    ASSERT_EQ(dec, (h.e >= 1 && h.e <= 3) ? 0 : -1);
    ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + 16, before.begin()));
    ASSERT_TRUE(std::equal(buf.end() - 16, buf.end(), before.end() - 16));
    encode_model_body(buf.data() + 16, static_cast<long>(len), h);
    ASSERT_EQ(buf, before) << iter;
    ASSERT_EQ(key_sets, nullptr);
  }
}

}  // namespace
