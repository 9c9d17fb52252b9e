#include "platform/speech/moonshine/layers.h"

#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "platform/speech/error.h"
#include "platform/speech/moonshine/helper_threads.h"
#include "platform/speech/moonshine/integer_products.h"
#include "platform/speech/moonshine/vector_math.h"

// oneDNN runs its products on the OpenMP runtime it was built with (GNU's); its thread count is
// set through that runtime, which the library already loads.
extern "C" void omp_set_num_threads(int threads);

namespace speech::moonshine {
namespace {

void check(dnnl_status_t status, const char* what) {
  if (status != dnnl_success)
    throw Error(std::string("moonshine: oneDNN ") + what + " failed with status " +
                std::to_string(static_cast<int>(status)));
}

// The rounding loop, built for three instruction sets and picked as the engine's own kernels
// are (so ONEDNN_MAX_CPU_ISA reaches it too). Division and rounding are exact in each, so all
// three give the same bytes.
[[gnu::always_inline]] inline void quantizeLoop(const float* x, std::size_t n, float scale,
                                                std::uint8_t zero_point, std::uint8_t* out) {
  const float below = 0.0f - zero_point, above = 255.0f - zero_point;
  for (std::size_t i = 0; i < n; ++i) {
    float q = x[i] / scale;
    q = q < above ? q : above;  // written so that NaN ends at a bound instead of in the cast
    q = q > below ? q : below;
    out[i] = static_cast<std::uint8_t>(static_cast<int>(std::nearbyint(q)) + zero_point);
  }
}

void quantizePlain(const float* x, std::size_t n, float scale, std::uint8_t zero_point,
                   std::uint8_t* out) {
  quantizeLoop(x, n, scale, zero_point, out);
}

__attribute__((target("avx2"))) void quantizeAvx2(const float* x, std::size_t n, float scale,
                                                  std::uint8_t zero_point, std::uint8_t* out) {
  quantizeLoop(x, n, scale, zero_point, out);
}

__attribute__((target("avx512f,avx512bw"))) void quantizeAvx512(const float* x, std::size_t n,
                                                                float scale,
                                                                std::uint8_t zero_point,
                                                                std::uint8_t* out) {
  quantizeLoop(x, n, scale, zero_point, out);
}

// The range [min(0, x), max(0, x)], built like the rounding loop. One running minimum and
// maximum per lane instead of one in all: no order of comparisons changes a minimum or a
// maximum, and NaN is passed over in every lane as the plain loop passes it, so every build
// gives the plain loop's range; a lane never holds -0, which could tie with 0.
using Range = std::pair<float, float>;

[[gnu::always_inline]] inline Range rangeLoop(const float* x, std::size_t n) {
  constexpr std::size_t kLanes = 16;
  float lo[kLanes] = {}, hi[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) {
      float v = x[i + j];
      lo[j] = v < lo[j] ? v : lo[j];
      hi[j] = hi[j] < v ? v : hi[j];
    }
  float low = 0, high = 0;
  for (std::size_t j = 0; j < kLanes; ++j) {
    low = lo[j] < low ? lo[j] : low;
    high = high < hi[j] ? hi[j] : high;
  }
  for (; i < n; ++i) {
    low = x[i] < low ? x[i] : low;
    high = high < x[i] ? x[i] : high;
  }
  return {low, high};
}

Range rangePlain(const float* x, std::size_t n) { return rangeLoop(x, n); }

__attribute__((target("avx2"))) Range rangeAvx2(const float* x, std::size_t n) {
  return rangeLoop(x, n);
}

__attribute__((target("avx512f,avx512bw"))) Range rangeAvx512(const float* x, std::size_t n) {
  return rangeLoop(x, n);
}

Range range(const float* x, std::size_t n) {
  switch (vectorIsa()) {
    case VectorIsa::kAvx512Vnni:
      return rangeAvx512(x, n);
    case VectorIsa::kAvx2:
      return rangeAvx2(x, n);
    case VectorIsa::kPlain:
      break;
  }
  return rangePlain(x, n);
}

void quantizeValues(const float* x, std::size_t n, float scale, std::uint8_t zero_point,
                    std::uint8_t* out) {
  switch (vectorIsa()) {
    case VectorIsa::kAvx512Vnni:
      quantizeAvx512(x, n, scale, zero_point, out);
      return;
    case VectorIsa::kAvx2:
      quantizeAvx2(x, n, scale, zero_point, out);
      return;
    case VectorIsa::kPlain:
      quantizePlain(x, n, scale, zero_point, out);
      return;
  }
}

}  // namespace

namespace {

// Without VNNI, oneDNN sums byte products in pairs into 16 bits, and 255 * -128 twice does not
// fit. With VNNI they go straight into 32 bits.
bool libraryProductsExact() {
  static const bool exact = [] {
    auto isa = static_cast<unsigned>(dnnl_get_effective_cpu_isa());
    auto vnni = static_cast<unsigned>(dnnl_cpu_isa_avx512_core_vnni);
    return (isa & vnni) == vnni;
  }();
  return exact;
}

void growSplitScratch(int rows, std::size_t in, std::size_t cols, LinearScratch& s) {
  std::size_t n = static_cast<std::size_t>(rows) * in;
  if (s.upper.size() < n) {
    s.upper.resize(n);
    s.lowest.resize(n);
  }
  if (s.lowest_products.size() < static_cast<std::size_t>(rows) * cols)
    s.lowest_products.resize(static_cast<std::size_t>(rows) * cols);
}

void gemm(int rows, const QuantizedLinear& w, const std::uint8_t* a, std::uint8_t a_zero_point,
          std::int32_t* c) {
  const std::int32_t no_offset = 0;
  check(dnnl_gemm_u8s8s32('N', 'N', 'F', rows, w.out, w.in, 1.0f, a, w.in, a_zero_point,
                          w.weight.data(), w.out, w.zero_point, 0.0f, c, w.out, &no_offset),
        "integer matrix product");
}

// The integer products of rows [first_row, first_row + rows) of s.quantized, into `products`
// (rows of w.out). Split: with a = 2u + l and the zero point z = 2zu + zl, (a - z) = 2(u - zu)
// + (l - zl), where u < 128 and l < 2 keep every pair of products within 16 bits.
void integerProducts(int first_row, int rows, const QuantizedLinear& w, std::uint8_t a_zero_point,
                     bool split, LinearScratch& s, std::int32_t* products) {
  std::size_t at = static_cast<std::size_t>(first_row) * w.in;
  std::size_t out_at = static_cast<std::size_t>(first_row) * w.out;
  if (!split) {
    gemm(rows, w, s.quantized.data() + at, a_zero_point, products + out_at);
    return;
  }
  std::size_t n = static_cast<std::size_t>(rows) * w.in;
  for (std::size_t i = at; i < at + n; ++i) {
    s.upper[i] = s.quantized[i] >> 1;
    s.lowest[i] = s.quantized[i] & 1;
  }
  gemm(rows, w, s.upper.data() + at, a_zero_point >> 1, products + out_at);
  gemm(rows, w, s.lowest.data() + at, a_zero_point & 1, s.lowest_products.data() + out_at);
  std::size_t cells = static_cast<std::size_t>(rows) * w.out;
  for (std::size_t i = out_at; i < out_at + cells; ++i) {
    std::int32_t upper;
    std::memcpy(&upper, products + i, sizeof upper);
    upper = 2 * upper + s.lowest_products[i];
    std::memcpy(products + i, &upper, sizeof upper);
  }
}

}  // namespace

QuantizationParams quantize(std::span<const float> x, std::uint8_t* out) {
  auto [lo, hi] = range(x.data(), x.size());
  QuantizationParams p;
  p.scale = hi == lo ? 1.0f : (hi - lo) / 255.0f;
  float zero = 0.0f - lo / p.scale;
  zero = zero > 0.0f ? std::min(zero, 255.0f) : 0.0f;  // an infinite range gives NaN here
  p.zero_point = static_cast<std::uint8_t>(std::nearbyint(zero));
  quantizeValues(x.data(), x.size(), p.scale, p.zero_point, out);
  return p;
}

void productsToFloats(float* out, int first, int end, std::size_t cols, float scale,
                      const std::vector<float>& bias) {
  for (int r = first; r < end; ++r) {
    float* y = out + r * cols;
    for (std::size_t c = 0; c < cols; ++c) {
      std::int32_t product;
      std::memcpy(&product, y + c, sizeof product);
      y[c] = static_cast<float>(product) * scale;
    }
    if (!bias.empty())
      for (std::size_t c = 0; c < cols; ++c) y[c] += bias[c];
  }
}

void linear(const float* x, int rows, const QuantizedLinear& w, RowQuantization mode,
            LinearScratch& s, float* out) {
  auto in = static_cast<std::size_t>(w.in), cols = static_cast<std::size_t>(w.out);
  std::size_t n = static_cast<std::size_t>(rows) * in;
  if (s.quantized.size() < n) s.quantized.resize(n);
  bool split = !libraryProductsExact();
  if (split) growSplitScratch(rows, in, cols, s);
  // The integer products go into `out` itself and become floats in place: on a long segment a
  // buffer of their own would be as large as the output.
  auto* products = reinterpret_cast<std::int32_t*>(out);
  auto multiply = [&](int first_row, int row_count, QuantizationParams p) {
    integerProducts(first_row, row_count, w, p.zero_point, split, s, products);
    float scale = p.scale * w.scale;  // the model multiplies the two scales first
    productsToFloats(out, first_row, first_row + row_count, cols, scale, w.bias);
  };
  if (rows == 0) return;
  if (mode == RowQuantization::kShared) {
    QuantizationParams p = quantize({x, n}, s.quantized.data());
    parallelFor(s.threads, rows, [&](int, int begin, int end) { multiply(begin, end - begin, p); });
  } else {
    for (int r = 0; r < rows; ++r)
      multiply(r, 1, quantize({x + r * in, in}, s.quantized.data() + r * in));
  }
}

std::size_t LinearScratch::bytes() const {
  return heldBytes(quantized) + heldBytes(upper) + heldBytes(lowest) + heldBytes(lowest_products);
}

void useOneMathThread() { omp_set_num_threads(1); }

void growScratch(std::vector<float>& v, std::size_t n) {
  if (n <= v.size()) return;
  if (n > v.capacity()) {
    std::size_t room = std::max(n, v.capacity() + v.capacity() / 4);
    std::vector<float>().swap(v);
    v.reserve(room);
  }
  v.resize(n);
}

void parallelFor(int threads, int n, const std::function<void(int, int, int)>& body) {
  threads = std::clamp(threads, 1, std::max(1, n));
  auto begin = [&](int part) { return static_cast<int>(static_cast<long>(n) * part / threads); };
  HelperThreads::ofThisThread().run(threads,
                                    [&](int part) { body(part, begin(part), begin(part + 1)); });
}

void sgemm(bool transpose_b, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc) {
  if (m == 0 || n == 0) return;
  check(dnnl_sgemm('N', transpose_b ? 'T' : 'N', m, n, k, alpha, a, lda, b, ldb, beta, c, ldc),
        "matrix product");
}

void layerNorm(const float* x, int rows, const float* weight, float* out) {
  for (int r = 0; r < rows; ++r) {
    const float* in = x + r * kWidth;
    float* y = out + r * kWidth;
    auto [mean, deviation] = moments(in, kWidth);
    for (int i = 0; i < kWidth; ++i) y[i] = (in[i] - mean) / deviation * weight[i];
  }
}

void rotate(float* x, int rows, int first_position, std::span<const float> inv_freq) {
  for (int r = 0; r < rows; ++r) {
    auto position = static_cast<float>(first_position + r);
    for (std::size_t i = 0; i < inv_freq.size(); ++i) {
      float angle = position * inv_freq[i];
      float c = std::cos(angle), s = std::sin(angle);
      for (int h = 0; h < kHeads; ++h) {
        float* pair = x + r * kWidth + h * kHeadDim + 2 * i;
        float a = pair[0], b = pair[1];
        pair[0] = a * c - b * s;
        pair[1] = b * c + a * s;
      }
    }
  }
}

void attention(const float* q, int q_rows, const float* k, const float* v, int kv_rows, bool causal,
               int first_position, std::vector<float>& scores, float* out, int threads) {
  if (q_rows == 0) return;
  if (kv_rows == 0) {
    std::fill(out, out + static_cast<std::size_t>(q_rows) * kWidth, 0.0f);
    return;
  }
  threads = std::clamp(threads, 1, kHeads);
  // Queries a block at a time, so that the scores of a long segment stay a few MB.
  constexpr int kQueryBlock = 128;
  std::size_t cells = static_cast<std::size_t>(std::min(q_rows, kQueryBlock)) * kv_rows;
  if (scores.size() < cells * threads) scores.resize(cells * threads);
  // The model scales queries and keys by 36^-1/4 each.
  const float scale = 1.0f / std::sqrt(static_cast<float>(kHeadDim));
  parallelFor(threads, kHeads, [&](int part, int first_head, int end_head) {
    float* p = scores.data() + cells * part;
    float sums[kQueryBlock];
    for (int h = first_head; h < end_head; ++h)
      for (int r0 = 0; r0 < q_rows; r0 += kQueryBlock) {
        int n = std::min(kQueryBlock, q_rows - r0);
        std::size_t at = static_cast<std::size_t>(r0) * kWidth + h * kHeadDim;
        sgemm(true, n, kv_rows, kHeadDim, scale, q + at, kWidth, k + h * kHeadDim, kWidth, 0.0f, p,
              kv_rows);
        for (int r = 0; r < n; ++r) {
          float* row = p + static_cast<std::size_t>(r) * kv_rows;
          int visible = causal ? std::min(kv_rows, first_position + r0 + r + 1) : kv_rows;
          sums[r] = softmaxNumerators(row, static_cast<std::size_t>(visible));
          std::fill(row + visible, row + kv_rows, 0.0f);
        }
        sgemm(false, n, kHeadDim, kv_rows, 1.0f, p, kv_rows, v + h * kHeadDim, kWidth, 0.0f,
              out + at, kWidth);
        for (int r = 0; r < n; ++r)
          for (int d = 0; d < kHeadDim; ++d)
            out[at + static_cast<std::size_t>(r) * kWidth + d] /= sums[r];
      }
  });
}

}  // namespace speech::moonshine
