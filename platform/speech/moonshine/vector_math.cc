#include "platform/speech/moonshine/vector_math.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "platform/speech/moonshine/integer_products.h"

namespace speech::moonshine {
namespace {

// The loops below are written without branches so that the compiler turns each into vector
// code; they are built once per instruction set, as the quantization loops are (the AVX2 build
// with fused multiply-adds, so only for a CPU that has both).
#define ALWAYS_INLINE [[gnu::always_inline]] inline

ALWAYS_INLINE std::uint32_t bitsOf(float x) { return std::bit_cast<std::uint32_t>(x); }
ALWAYS_INLINE float floatOf(std::uint32_t b) { return std::bit_cast<float>(b); }
ALWAYS_INLINE float magnitude(float x) { return floatOf(bitsOf(x) & 0x7fffffffu); }
// `pick ? a : b` in bits, which the compiler vectorizes where it keeps a conditional a branch.
ALWAYS_INLINE float select(bool pick, float a, float b) {
  std::uint32_t mask = 0u - static_cast<std::uint32_t>(pick);
  return floatOf((bitsOf(a) & mask) | (bitsOf(b) & ~mask));
}
// Fused where the instruction set has it, and as libm computes it (correctly rounded, slowly)
// where not: every build gives the same bits.
ALWAYS_INLINE float fma(float a, float b, float c) { return std::fma(a, b, c); }
ALWAYS_INLINE float withSignOf(float value, float sign) {
  return floatOf(bitsOf(value) | (bitsOf(sign) & 0x80000000u));
}

// exp(x) = 2^n exp(r) with r = x - n ln 2 in [-ln 2 / 2, ln 2 / 2]: ln 2 in two parts whose
// first times n is exact, and Cephes' polynomial for exp(r) (about 1 ulp).
ALWAYS_INLINE float expCore(float x) {
  constexpr float kLog2e = 1.44269504f, kRound = 12582912.0f;  // 1.5 * 2^23 rounds to integers
  x = select(x < 88.3f, x, 88.3f);
  x = select(x > -87.3f, x, -87.3f);  // keeps 2^n a normal number
  float n = fma(x, kLog2e, kRound) - kRound;
  float r = fma(n, -0.693359375f, x);
  r = fma(n, 2.12194440e-4f, r);
  float p = 1.9875691500e-4f;
  p = fma(p, r, 1.3981999507e-3f);
  p = fma(p, r, 8.3334519073e-3f);
  p = fma(p, r, 4.1665795894e-2f);
  p = fma(p, r, 1.6666665459e-1f);
  p = fma(p, r, 5.0000001201e-1f);
  float y = fma(p, r * r, r) + 1.0f;
  auto power = static_cast<std::uint32_t>(static_cast<std::int32_t>(n) + 127) << 23;
  return y * floatOf(power);
}

// Norbert Juffa's faithfully rounded erff: an odd polynomial near 0, and 1 - exp(poly) beyond,
// both computed and one picked. Past 4, erf is 1 in float.
ALWAYS_INLINE float erfCore(float x) {
  float t = magnitude(x);
  t = select(t < 4.0f, t, 4.0f);
  float s = t * t;
  float near = -5.96761703e-4f;
  near = fma(near, s, 4.99119423e-3f);
  near = fma(near, s, -2.67681349e-2f);
  near = fma(near, s, 1.12819925e-1f);
  near = fma(near, s, -3.76125336e-1f);
  near = fma(near, s, 1.28379166e-1f);
  near = fma(near, t, t);
  float r = fma(-1.72853470e-5f, t, 3.83197126e-4f);
  float u = fma(-3.88396438e-3f, t, 2.42546219e-2f);
  r = fma(r, s, u);
  r = fma(r, t, -1.06777877e-1f);
  r = fma(r, t, -6.34846687e-1f);
  r = fma(r, t, -1.28717512e-1f);
  r = fma(r, t, -t);
  float far = 1.0f - expCore(r);
  return withSignOf(select(t > 0.927734375f, far, near), x);
}

// tanh a = 1 - 2 / (exp(2a) + 1), which loses a few bits to cancellation near 0; below 0.3 its
// Taylor series to the 11th power is exact in float instead. Past 10, tanh is 1 in float.
ALWAYS_INLINE float tanhCore(float x) {
  float a = magnitude(x);
  a = select(a < 10.0f, a, 10.0f);
  float far = 1.0f - 2.0f / (expCore(2.0f * a) + 1.0f);
  float s = a * a;
  float near = -1382.0f / 155925.0f;
  near = fma(near, s, 62.0f / 2835.0f);
  near = fma(near, s, -17.0f / 315.0f);
  near = fma(near, s, 2.0f / 15.0f);
  near = fma(near, s, -1.0f / 3.0f);
  near = fma(near * s, a, a);
  return withSignOf(select(a < 0.3f, near, far), x);
}

ALWAYS_INLINE void tanhLoop(float* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) x[i] = tanhCore(x[i]);
}

ALWAYS_INLINE void geluLoop(float* x, std::size_t n) {
  constexpr auto kSqrtHalf = static_cast<float>(M_SQRT1_2);
  for (std::size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + erfCore(x[i] * kSqrtHalf));
}

// The maximum and the sum are kept per lane of 16, combined in one fixed order, so that every
// build adds the same numbers in the same order.
constexpr std::size_t kLanes = 16;

ALWAYS_INLINE float maxLoop(const float* x, std::size_t n) {
  float lanes[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) lanes[j] = x[0];
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j)
      lanes[j] = select(x[i + j] > lanes[j], x[i + j], lanes[j]);
  float top = x[0];
  for (std::size_t j = 0; j < kLanes; ++j) top = lanes[j] > top ? lanes[j] : top;
  for (; i < n; ++i) top = x[i] > top ? x[i] : top;
  return top;
}

ALWAYS_INLINE float sumLoop(const float* x, std::size_t n) {
  float lanes[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) lanes[j] += x[i + j];
  float sum = 0;
  for (std::size_t j = 0; j < kLanes; ++j) sum += lanes[j];
  for (; i < n; ++i) sum += x[i];
  return sum;
}

// Three passes over a row that stays in the first-level cache: each of them a loop the compiler
// vectorizes, which one loop doing all three was not.
ALWAYS_INLINE float softmaxLoop(float* x, std::size_t n) {
  if (n == 0) return 0;
  float top = maxLoop(x, n);
  for (std::size_t i = 0; i < n; ++i) x[i] = expCore(x[i] - top);
  return sumLoop(x, n);
}

ALWAYS_INLINE Moments momentsLoop(const float* x, std::size_t n) {
  double lanes[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) lanes[j] += x[i + j];
  double sum = 0;
  for (std::size_t j = 0; j < kLanes; ++j) sum += lanes[j];
  for (; i < n; ++i) sum += x[i];
  auto mean = static_cast<float>(sum / static_cast<double>(n));
  double square_lanes[kLanes] = {};
  for (i = 0; i + kLanes <= n; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) {
      auto d = static_cast<double>(x[i + j] - mean);
      square_lanes[j] += d * d;
    }
  double squares = 0;
  for (std::size_t j = 0; j < kLanes; ++j) squares += square_lanes[j];
  for (; i < n; ++i) squares += static_cast<double>(x[i] - mean) * (x[i] - mean);
  return {mean, static_cast<float>(std::sqrt(squares / static_cast<double>(n) + 1e-5))};
}

Moments momentsPlain(const float* x, std::size_t n) { return momentsLoop(x, n); }
__attribute__((target("avx2,fma"))) Moments momentsAvx2(const float* x, std::size_t n) {
  return momentsLoop(x, n);
}
__attribute__((target("avx512f,avx512bw"))) Moments momentsAvx512(const float* x, std::size_t n) {
  return momentsLoop(x, n);
}

ALWAYS_INLINE void siluLoop(float* value, const float* gate, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) value[i] *= gate[i] / (1.0f + expCore(-gate[i]));
}

void siluPlain(float* value, const float* gate, std::size_t n) { siluLoop(value, gate, n); }
__attribute__((target("avx2,fma"))) void siluAvx2(float* value, const float* gate, std::size_t n) {
  siluLoop(value, gate, n);
}
__attribute__((target("avx512f,avx512bw"))) void siluAvx512(float* value, const float* gate,
                                                            std::size_t n) {
  siluLoop(value, gate, n);
}

VectorIsa mathIsa() {
  static const bool fused = (__builtin_cpu_init(), __builtin_cpu_supports("fma"));
  VectorIsa isa = vectorIsa();
  return isa == VectorIsa::kAvx2 && !fused ? VectorIsa::kPlain : isa;
}

#define FOR_EACH_ISA(result, name, loop)                                                     \
  result name##Plain(float* x, std::size_t n) { return loop(x, n); }                         \
  __attribute__((target("avx2,fma"))) result name##Avx2(float* x, std::size_t n) {           \
    return loop(x, n);                                                                       \
  }                                                                                          \
  __attribute__((target("avx512f,avx512bw"))) result name##Avx512(float* x, std::size_t n) { \
    return loop(x, n);                                                                       \
  }                                                                                          \
  result name##Best(float* x, std::size_t n) {                                               \
    switch (mathIsa()) {                                                                     \
      case VectorIsa::kAvx512Vnni:                                                           \
        return name##Avx512(x, n);                                                           \
      case VectorIsa::kAvx2:                                                                 \
        return name##Avx2(x, n);                                                             \
      case VectorIsa::kPlain:                                                                \
        break;                                                                               \
    }                                                                                        \
    return name##Plain(x, n);                                                                \
  }

FOR_EACH_ISA(void, tanh, tanhLoop)
FOR_EACH_ISA(void, gelu, geluLoop)
FOR_EACH_ISA(float, softmax, softmaxLoop)

}  // namespace

float fastExp(float x) { return expCore(x); }
float fastErf(float x) { return erfCore(x); }
float fastTanh(float x) { return tanhCore(x); }

void tanhInPlace(float* x, std::size_t n) { tanhBest(x, n); }
void geluInPlace(float* x, std::size_t n) { geluBest(x, n); }
float softmaxNumerators(float* x, std::size_t n) { return softmaxBest(x, n); }

Moments moments(const float* x, std::size_t n) {
  switch (mathIsa()) {
    case VectorIsa::kAvx512Vnni:
      return momentsAvx512(x, n);
    case VectorIsa::kAvx2:
      return momentsAvx2(x, n);
    case VectorIsa::kPlain:
      break;
  }
  return momentsPlain(x, n);
}

void siluGate(float* value, const float* gate, std::size_t n) {
  switch (mathIsa()) {
    case VectorIsa::kAvx512Vnni:
      return siluAvx512(value, gate, n);
    case VectorIsa::kAvx2:
      return siluAvx2(value, gate, n);
    case VectorIsa::kPlain:
      break;
  }
  siluPlain(value, gate, n);
}

}  // namespace speech::moonshine
