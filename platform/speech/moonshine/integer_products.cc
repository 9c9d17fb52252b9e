#include "platform/speech/moonshine/integer_products.h"

#include <immintrin.h>
#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/speech/error.h"
#include "platform/speech/moonshine/tile_products.h"

namespace speech::moonshine {
namespace {

constexpr int kBlock = 16;                   // outputs per block
constexpr int kGroup = 4;                    // inputs summed per 32-bit lane
constexpr int kStepBytes = kBlock * kGroup;  // one group of inputs for one block

// The kernels: d[o] = sum over i of a[i] * packed[o][i] (unsigned times signed bytes), for
// `blocks` blocks of 16 outputs. Each is exact: no partial sum leaves its type's range.

void plainProducts(const std::uint8_t* a, int in, const std::int8_t* packed, int blocks,
                   std::int32_t* d) {
  int steps = in / kGroup;
  for (int b = 0; b < blocks; ++b) {
    std::int32_t sums[kBlock] = {};
    const std::int8_t* w = packed + static_cast<std::size_t>(b) * steps * kStepBytes;
    for (int k = 0; k < steps; ++k, w += kStepBytes)
      for (int o = 0; o < kBlock; ++o)
        for (int j = 0; j < kGroup; ++j) sums[o] += a[k * kGroup + j] * w[o * kGroup + j];
    std::copy(sums, sums + kBlock, d + b * kBlock);
  }
}

std::int32_t wordAt(const std::uint8_t* a) {
  std::int32_t word;
  std::memcpy(&word, a, sizeof word);
  return word;
}

// Without VNNI the byte products are summed in pairs into 16 bits, which saturate for 255 *
// -128 twice. Split each activation into its upper seven bits and its lowest: a pair of either
// part stays within 16 bits (2 * 127 * 128), and a = 2 * upper + lowest.
__attribute__((target("avx2"))) void avx2_products(const std::uint8_t* a, int in,
                                                   const std::int8_t* packed, int blocks,
                                                   std::int32_t* d) {
  int steps = in / kGroup;
  const __m256i ones = _mm256_set1_epi16(1), twos = _mm256_set1_epi16(2);
  const __m256i low_bits = _mm256_set1_epi8(1), upper_bits = _mm256_set1_epi8(0x7f);
  for (int b = 0; b < blocks; ++b) {
    const std::int8_t* w = packed + static_cast<std::size_t>(b) * steps * kStepBytes;
    __m256i first = _mm256_setzero_si256(), second = _mm256_setzero_si256();
    for (int k = 0; k < steps; ++k, w += kStepBytes) {
      __m256i x = _mm256_set1_epi32(wordAt(a + k * kGroup));
      __m256i upper = _mm256_and_si256(_mm256_srli_epi16(x, 1), upper_bits);
      __m256i lowest = _mm256_and_si256(x, low_bits);
      __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
      __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32));
      first = _mm256_add_epi32(first, _mm256_madd_epi16(_mm256_maddubs_epi16(upper, w0), twos));
      first = _mm256_add_epi32(first, _mm256_madd_epi16(_mm256_maddubs_epi16(lowest, w0), ones));
      second = _mm256_add_epi32(second, _mm256_madd_epi16(_mm256_maddubs_epi16(upper, w1), twos));
      second = _mm256_add_epi32(second, _mm256_madd_epi16(_mm256_maddubs_epi16(lowest, w1), ones));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + b * kBlock), first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + b * kBlock + 8), second);
  }
}

// Four blocks at a time share each broadcast input and keep four sums in flight.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void vnniProducts(
    const std::uint8_t* a, int in, const std::int8_t* packed, int blocks, std::int32_t* d) {
  int steps = in / kGroup;
  std::size_t block_bytes = static_cast<std::size_t>(steps) * kStepBytes;
  int b = 0;
  for (; b + 4 <= blocks; b += 4) {
    const std::int8_t* w = packed + b * block_bytes;
    __m512i s0 = _mm512_setzero_si512(), s1 = s0, s2 = s0, s3 = s0;
    for (int k = 0; k < steps; ++k, w += kStepBytes) {
      __m512i x = _mm512_set1_epi32(wordAt(a + k * kGroup));
      s0 = _mm512_dpbusd_epi32(s0, x, _mm512_loadu_si512(w));
      s1 = _mm512_dpbusd_epi32(s1, x, _mm512_loadu_si512(w + block_bytes));
      s2 = _mm512_dpbusd_epi32(s2, x, _mm512_loadu_si512(w + 2 * block_bytes));
      s3 = _mm512_dpbusd_epi32(s3, x, _mm512_loadu_si512(w + 3 * block_bytes));
    }
    _mm512_storeu_si512(d + b * kBlock, s0);
    _mm512_storeu_si512(d + (b + 1) * kBlock, s1);
    _mm512_storeu_si512(d + (b + 2) * kBlock, s2);
    _mm512_storeu_si512(d + (b + 3) * kBlock, s3);
  }
  for (; b < blocks; ++b) {
    const std::int8_t* w = packed + b * block_bytes;
    __m512i s = _mm512_setzero_si512();
    for (int k = 0; k < steps; ++k, w += kStepBytes)
      s = _mm512_dpbusd_epi32(s, _mm512_set1_epi32(wordAt(a + k * kGroup)), _mm512_loadu_si512(w));
    _mm512_storeu_si512(d + b * kBlock, s);
  }
}

// Four rows at a time, one block at a time: each 64 bytes of weights is read once for the
// four rows of a batch (the prefix a reading builds on) instead of once per row.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void vnniFourRows(
    const std::uint8_t* a, int in, const std::int8_t* packed, int blocks, std::int32_t* d,
    std::size_t d_stride) {
  int steps = in / kGroup;
  const std::uint8_t *a1 = a + in, *a2 = a1 + in, *a3 = a2 + in;
  for (int b = 0; b < blocks; ++b) {
    const std::int8_t* w = packed + static_cast<std::size_t>(b) * steps * kStepBytes;
    __m512i s0 = _mm512_setzero_si512(), s1 = s0, s2 = s0, s3 = s0;
    for (int k = 0; k < steps; ++k, w += kStepBytes) {
      __m512i weights = _mm512_loadu_si512(w);
      s0 = _mm512_dpbusd_epi32(s0, _mm512_set1_epi32(wordAt(a + k * kGroup)), weights);
      s1 = _mm512_dpbusd_epi32(s1, _mm512_set1_epi32(wordAt(a1 + k * kGroup)), weights);
      s2 = _mm512_dpbusd_epi32(s2, _mm512_set1_epi32(wordAt(a2 + k * kGroup)), weights);
      s3 = _mm512_dpbusd_epi32(s3, _mm512_set1_epi32(wordAt(a3 + k * kGroup)), weights);
    }
    _mm512_storeu_si512(d + b * kBlock, s0);
    _mm512_storeu_si512(d + d_stride + b * kBlock, s1);
    _mm512_storeu_si512(d + 2 * d_stride + b * kBlock, s2);
    _mm512_storeu_si512(d + 3 * d_stride + b * kBlock, s3);
  }
}

// Four rows by four blocks: sixteen sums in flight, enough to cover the latency of the product
// instruction, and each load of weights or broadcast input serves four products.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void vnniFourRowsFourBlocks(
    const std::uint8_t* a, int in, const std::int8_t* packed, std::int32_t* d,
    std::size_t d_stride) {
  int steps = in / kGroup;
  std::size_t block_bytes = static_cast<std::size_t>(steps) * kStepBytes;
  __m512i s[4][4];
  for (auto& row : s)
    for (__m512i& sum : row) sum = _mm512_setzero_si512();
  const std::int8_t* w = packed;
  for (int k = 0; k < steps; ++k, w += kStepBytes) {
    __m512i weights[4];
    for (int b = 0; b < 4; ++b) weights[b] = _mm512_loadu_si512(w + b * block_bytes);
    for (int r = 0; r < 4; ++r) {
      __m512i x = _mm512_set1_epi32(wordAt(a + static_cast<std::size_t>(r) * in + k * kGroup));
      for (int b = 0; b < 4; ++b) s[r][b] = _mm512_dpbusd_epi32(s[r][b], x, weights[b]);
    }
  }
  for (int r = 0; r < 4; ++r)
    for (int b = 0; b < 4; ++b) _mm512_storeu_si512(d + r * d_stride + b * kBlock, s[r][b]);
}

// The kernels multiply by the stored bytes q - 128:
// sum (a - za)(q - zq) = sum a (q - 128) + (128 - zq) sum a - za sum (q - zq).
// Built per instruction set: the baseline build of these multiplications took as long as the
// tile products themselves.
[[gnu::always_inline]] inline void zeroPointLoop(const std::uint8_t* a, int rows,
                                                 const std::int32_t* a_zero_points,
                                                 const PackedLinear& w, std::int32_t* products,
                                                 int first, int end) {
  auto in = static_cast<std::size_t>(w.in), cols = static_cast<std::size_t>(w.out);
  const std::int32_t* column_sums = w.column_sums.data();
  for (int r = 0; r < rows; ++r) {
    std::int32_t a_sum = 0;
    for (std::size_t i = 0; i < in; ++i) a_sum += a[r * in + i];
    std::int32_t shift = (128 - w.zero_point) * a_sum;
    std::int32_t* d = products + r * cols;
    std::int32_t a_zero_point = a_zero_points[r];
    for (int o = first; o < end; ++o) d[o] += shift - a_zero_point * column_sums[o];
  }
}

void zeroPointsPlain(const std::uint8_t* a, int rows, const std::int32_t* a_zero_points,
                     const PackedLinear& w, std::int32_t* products, int first, int end) {
  zeroPointLoop(a, rows, a_zero_points, w, products, first, end);
}

__attribute__((target("avx2"))) void zeroPointsAvx2(const std::uint8_t* a, int rows,
                                                    const std::int32_t* a_zero_points,
                                                    const PackedLinear& w, std::int32_t* products,
                                                    int first, int end) {
  zeroPointLoop(a, rows, a_zero_points, w, products, first, end);
}

__attribute__((target("avx512f,avx512bw"))) void zeroPointsAvx512(const std::uint8_t* a, int rows,
                                                                  const std::int32_t* a_zero_points,
                                                                  const PackedLinear& w,
                                                                  std::int32_t* products, int first,
                                                                  int end) {
  zeroPointLoop(a, rows, a_zero_points, w, products, first, end);
}

VectorIsa detect() {
  __builtin_cpu_init();
  auto allowed = static_cast<unsigned>(dnnl_get_effective_cpu_isa());
  auto within = [&](dnnl_cpu_isa_t isa) {
    return (allowed & static_cast<unsigned>(isa)) == static_cast<unsigned>(isa);
  };
  if (within(dnnl_cpu_isa_avx512_core_vnni) && __builtin_cpu_supports("avx512vnni") &&
      __builtin_cpu_supports("avx512bw"))
    return VectorIsa::kAvx512Vnni;
  if (within(dnnl_cpu_isa_avx2) && __builtin_cpu_supports("avx2")) return VectorIsa::kAvx2;
  return VectorIsa::kPlain;
}

std::atomic<VectorIsa>& chosen() {
  static std::atomic<VectorIsa> isa{detect()};
  return isa;
}

void addZeroPointTerms(const std::uint8_t* a, int rows, const std::int32_t* a_zero_points,
                       const PackedLinear& w, std::int32_t* products, int first, int end) {
  switch (chosen().load(std::memory_order_relaxed)) {
    case VectorIsa::kAvx512Vnni:
      return zeroPointsAvx512(a, rows, a_zero_points, w, products, first, end);
    case VectorIsa::kAvx2:
      return zeroPointsAvx2(a, rows, a_zero_points, w, products, first, end);
    case VectorIsa::kPlain:
      break;
  }
  zeroPointsPlain(a, rows, a_zero_points, w, products, first, end);
}

PackedLinear packedShape(int in, int out) {
  if (in <= 0 || out <= 0 || in % kGroup != 0 || out % kBlock != 0)
    throw Error("moonshine: a layer of " + std::to_string(in) + " x " + std::to_string(out) +
                " does not fit the packed blocks");
  PackedLinear w;
  w.in = in;
  w.out = out;
  w.packed.resize(static_cast<std::size_t>(in) * out);
  w.column_sums.assign(static_cast<std::size_t>(out), 0);
  return w;
}

// Where input i of output o goes in the packed bytes.
std::size_t packedIndex(int in, int o, int i) {
  std::size_t step = static_cast<std::size_t>(o / kBlock) * (in / kGroup) + i / kGroup;
  return step * kStepBytes + (o % kBlock) * kGroup + i % kGroup;
}

}  // namespace

VectorIsa vectorIsa() { return chosen().load(std::memory_order_relaxed); }

void limitVectorIsa(VectorIsa isa) {
  chosen().store(std::min(isa, detect()), std::memory_order_relaxed);
}

PackedLinear pack(const QuantizedLinear& layer) {
  PackedLinear w = packedShape(layer.in, layer.out);
  // The model's bytes are kept shifted by 128 already.
  for (int i = 0; i < layer.in; ++i)
    for (int o = 0; o < layer.out; ++o) {
      std::int8_t q = layer.weight[static_cast<std::size_t>(i) * layer.out + o];
      w.packed[packedIndex(layer.in, o, i)] = q;
      w.column_sums[static_cast<std::size_t>(o)] += q - layer.zero_point;
    }
  w.zero_point = layer.zero_point + 128;
  w.scale = layer.scale;
  w.bias = layer.bias;
  return w;
}

PackedLinear packRows(const std::uint8_t* table, int rows, int in, std::uint8_t zero_point,
                      float scale) {
  PackedLinear w = packedShape(in, rows);
  for (int o = 0; o < rows; ++o)
    for (int i = 0; i < in; ++i) {
      int q = table[static_cast<std::size_t>(o) * in + i];
      w.packed[packedIndex(in, o, i)] = static_cast<std::int8_t>(q - 128);
      w.column_sums[static_cast<std::size_t>(o)] += q - zero_point;
    }
  w.zero_point = zero_point;
  w.scale = scale;
  return w;
}

std::uint8_t packedByte(const PackedLinear& w, int o, int i) {
  return static_cast<std::uint8_t>(w.packed[packedIndex(w.in, o, i)] + 128);
}

void packedProducts(const std::uint8_t* a, int rows, const std::int32_t* a_zero_points,
                    const PackedLinear& w, std::int32_t* products, int first, int end) {
  if (end == 0) end = w.out;
  int blocks = (end - first) / kBlock;
  auto in = static_cast<std::size_t>(w.in), cols = static_cast<std::size_t>(w.out);
  const std::int8_t* packed = w.packed.data() + packedIndex(w.in, first, 0);
  VectorIsa isa = vectorIsa();
  int r = 0;
  if (isa == VectorIsa::kAvx512Vnni && tilesUsable()) {
    r = rows / 16 * 16;
    tileProducts(a, r, w.in, packed, blocks, products + first, cols);
  }
  if (isa == VectorIsa::kAvx512Vnni)
    for (; r + 4 <= rows; r += 4) {
      int b = 0;
      for (; b + 4 <= blocks; b += 4)
        vnniFourRowsFourBlocks(a + r * in, w.in, packed + b * (in * kBlock),
                               products + r * cols + first + b * kBlock, cols);
      vnniFourRows(a + r * in, w.in, packed + b * (in * kBlock), blocks - b,
                   products + r * cols + first + b * kBlock, cols);
    }
  for (; r < rows; ++r) {
    const std::uint8_t* row = a + r * in;
    std::int32_t* d = products + r * cols + first;
    switch (isa) {
      case VectorIsa::kAvx512Vnni:
        vnniProducts(row, w.in, packed, blocks, d);
        break;
      case VectorIsa::kAvx2:
        avx2_products(row, w.in, packed, blocks, d);
        break;
      case VectorIsa::kPlain:
        plainProducts(row, w.in, packed, blocks, d);
        break;
    }
  }
  addZeroPointTerms(a, rows, a_zero_points, w, products, first, end);
}

void packedLinear(const float* x, int rows, const PackedLinear& w, PackedScratch& s, float* out) {
  auto in = static_cast<std::size_t>(w.in), cols = static_cast<std::size_t>(w.out);
  auto n = static_cast<std::size_t>(rows);
  if (s.quantized.size() < n * in) s.quantized.resize(n * in);
  if (s.products.size() < n * cols) s.products.resize(n * cols);
  if (s.params.size() < n) s.params.resize(n);
  if (s.zero_points.size() < n) s.zero_points.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    s.params[r] = quantize({x + r * in, in}, s.quantized.data() + r * in);
    s.zero_points[r] = s.params[r].zero_point;
  }
  packedProducts(s.quantized.data(), rows, s.zero_points.data(), w, s.products.data());
  for (std::size_t r = 0; r < n; ++r) {
    float scale = s.params[r].scale * w.scale;  // the model multiplies the two scales first
    const std::int32_t* product = s.products.data() + r * cols;
    float* y = out + r * cols;
    for (std::size_t c = 0; c < cols; ++c) y[c] = static_cast<float>(product[c]) * scale;
    if (!w.bias.empty())
      for (std::size_t c = 0; c < cols; ++c) y[c] += w.bias[c];
  }
}

QuantizationParams quantizeRows(const float* x, int rows, int in, PackedScratch& s) {
  auto n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(in);
  if (s.quantized.size() < n) s.quantized.resize(n);
  QuantizationParams p = quantize({x, n}, s.quantized.data());
  s.zero_points.assign(static_cast<std::size_t>(rows), p.zero_point);
  return p;
}

void sharedLinear(int rows, QuantizationParams p, const PackedLinear& w, PackedScratch& s,
                  float* out, int threads) {
  auto in = static_cast<std::size_t>(w.in), cols = static_cast<std::size_t>(w.out);
  float scale = p.scale * w.scale;  // the model multiplies the two scales first
  // The integer products go into `out` itself and become floats in place: on a long segment a
  // buffer of their own would be as large as the output.
  auto* products = reinterpret_cast<std::int32_t*>(out);
  // Whole batches of four rows to each thread, which the kernels read the weights once for.
  parallelFor(threads, (rows + 3) / 4, [&](int, int first_batch, int end_batch) {
    int first = 4 * first_batch, end = std::min(rows, 4 * end_batch);
    packedProducts(s.quantized.data() + first * in, end - first, s.zero_points.data() + first, w,
                   products + first * cols);
    productsToFloats(out, first, end, cols, scale, w.bias);
  });
}

}  // namespace speech::moonshine
