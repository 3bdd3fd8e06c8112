// Deciphering throughput of a 10 MB model body: the whole-body scheme 3 that
// the largest models use, DES (ECB) and the XOR step on their own, and the
// file reader end to end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encode.h"
#include "model_file.h"

namespace {

constexpr long kBody = 10L * 1024 * 1024;

std::vector<unsigned char> body() {
  std::vector<unsigned char> b(static_cast<size_t>(kBody));
  std::mt19937 rng(1);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

_s_model_head head(int e, int x, int d) {
  _s_model_head h;
  std::memset(&h, 0, sizeof(h));
  h.magic = h.tail_magic = 0x11;
  std::memcpy(h.v, "4.00", 4);
  h.e = static_cast<int8_t>(e);
  h.xor_count = static_cast<int8_t>(x);
  h.des_count = static_cast<int8_t>(d);
  return h;
}

// Scheme 3 with both counts 0xFF: DES over the first eighth, XOR over all.
void BM_DecodeScheme3WholeBody(benchmark::State& state) {
  std::vector<unsigned char> b = body();
  const _s_model_head h = head(3, -1, -1);
  for (auto _ : state) {
    decode_model_buffer(b.data(), kBody, h);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBody);
}
BENCHMARK(BM_DecodeScheme3WholeBody)->Unit(benchmark::kMillisecond);

void BM_DesEcbDecrypt(benchmark::State& state) {
  std::vector<unsigned char> b = body();
  for (auto _ : state) {
    _decode_model_buffer2(b.data(), static_cast<int>(kBody), 0);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBody);
}
BENCHMARK(BM_DesEcbDecrypt)->Unit(benchmark::kMillisecond);

void BM_XorStep(benchmark::State& state) {
  std::vector<unsigned char> b = body();
  for (auto _ : state) {
    _decode_model_buffer1(b.data(), static_cast<int>(kBody / 8));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBody);
}
BENCHMARK(BM_XorStep)->Unit(benchmark::kMillisecond);

// Open, check, read and decipher a 10 MB model file.
void BM_ReadModelFile(benchmark::State& state) {
  std::vector<unsigned char> b = body();
  const _s_model_head h = head(3, -1, -1);
  encode_model_body(b.data(), kBody, h);
  char path[] = "/tmp/vyr_bench_model_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("cannot create a temporary file");
    return;
  }
  FILE* f = fdopen(fd, "wb");
  std::fwrite(&h, 1, sizeof(h), f);
  std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
  // The reader's level-1 "load model" line would flood the report.
  std::fflush(stdout);
  const int saved = dup(1);
  FILE* null = std::fopen("/dev/null", "w");
  if (null != nullptr) dup2(fileno(null), 1);
  for (auto _ : state) {
    int64_t len = 0;
    _s_model_head got;
    unsigned char* model = read_model_from_file(path, len, 1, got);
    benchmark::DoNotOptimize(model);
    std::free(model);
  }
  std::fflush(stdout);
  if (saved >= 0) {
    dup2(saved, 1);
    close(saved);
  }
  if (null != nullptr) std::fclose(null);
  unlink(path);
  state.SetBytesProcessed(state.iterations() * kBody);
}
BENCHMARK(BM_ReadModelFile)->Unit(benchmark::kMillisecond);

}  // namespace
