#include "platform/speech/moonshine/vector_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/speech/moonshine/integer_products.h"

namespace speech::moonshine {
namespace {

// Distance in units of the last place of `want`, as rounded to float.
double ulps(float got, double want) {
  float nearest = static_cast<float>(want);
  double ulp = std::nextafter(std::fabs(nearest), INFINITY) - std::fabs(nearest);
  if (nearest == 0) ulp = std::numeric_limits<float>::denorm_min();
  return std::fabs(static_cast<double>(got) - want) / ulp;
}

// Every float from -span to span in steps of `step`, and the extremes of each piece's range.
std::vector<float> sweep(float span, float step) {
  std::vector<float> x;
  for (float v = -span; v <= span; v += step) x.push_back(v);
  for (float edge : {0.0f, -0.0f, 0.3f, 0.927734375f, 1e-20f, 1e-3f, 4.0f, 10.0f, 87.0f, 1e30f})
    for (float v : {edge, -edge, std::nextafter(edge, 0.0f), std::nextafter(edge, INFINITY)})
      x.push_back(v);
  return x;
}

TEST(VectorMathTest, StaysWithinAFewUnitsOfTheExactFunctions) {
  double worst_exp = 0, worst_erf = 0, worst_tanh = 0;
  for (float x : sweep(87.0f, 1.0f / 512)) {
    if (std::fabs(x) <= 87.0f)
      worst_exp = std::max(worst_exp, ulps(fastExp(x), std::exp(static_cast<double>(x))));
    worst_erf = std::max(worst_erf, ulps(fastErf(x), std::erf(static_cast<double>(x))));
    worst_tanh = std::max(worst_tanh, ulps(fastTanh(x), std::tanh(static_cast<double>(x))));
  }
  EXPECT_LE(worst_exp, 2.0);
  EXPECT_LE(worst_erf, 2.0);
  EXPECT_LE(worst_tanh, 6.0);
  // Saturated and odd where the functions are.
  EXPECT_EQ(fastErf(1e30f), 1.0f);
  EXPECT_EQ(fastErf(-5.0f), -1.0f);
  EXPECT_EQ(fastTanh(-1e30f), -1.0f);
  EXPECT_TRUE(std::signbit(fastErf(-0.0f)) && std::signbit(fastTanh(-0.0f)));
  EXPECT_GT(fastExp(-1000.0f), 0.0f);  // a softmax never divides by zero for a far-off value
  EXPECT_LT(fastExp(-1000.0f), 1e-37f);
}

// Restores the best kernels after each test.
class VectorLoopsTest : public ::testing::TestWithParam<VectorIsa> {
 protected:
  void SetUp() override {
    if (GetParam() > vectorIsa()) GTEST_SKIP() << "not on this CPU";
    limitVectorIsa(GetParam());
  }
  void TearDown() override { limitVectorIsa(VectorIsa::kAvx512Vnni); }
};

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The vector loops give the scalar form's bits at every length, the tails past the last full
// vector included.
TEST_P(VectorLoopsTest, GiveTheScalarBitsOnEveryInstructionSet) {
  std::mt19937 rng(11);
  std::normal_distribution<float> value(0.0f, 3.0f);
  for (std::size_t n : {1u, 7u, 16u, 17u, 33u, 1000u}) {
    std::vector<float> x(n);
    for (float& v : x) v = value(rng);
    std::vector<float> tanh_of = x, gelu_of = x, gated(n, 1.5f);
    tanhInPlace(tanh_of.data(), n);
    geluInPlace(gelu_of.data(), n);
    siluGate(gated.data(), x.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE(x[i]);
      EXPECT_TRUE(sameBits(tanh_of[i], fastTanh(x[i])));
      float gelu = 0.5f * x[i] * (1.0f + fastErf(x[i] * static_cast<float>(M_SQRT1_2)));
      EXPECT_TRUE(sameBits(gelu_of[i], gelu));
      EXPECT_TRUE(sameBits(gated[i], 1.5f * (x[i] / (1.0f + fastExp(-x[i])))));
      double silu = 1.5 * x[i] / (1 + std::exp(-static_cast<double>(x[i])));
      EXPECT_NEAR(gated[i], silu, 3e-7 * std::fabs(silu) + 1e-12);
    }
  }
}

// Softmax (its numerators over their sum) against the exact one in double, and the same bits on
// every instruction set (the sums are kept in a fixed order): odd lengths, one value alone, and
// values far below the top.
TEST_P(VectorLoopsTest, SoftmaxIsExactEnoughAndTheSameEverywhere) {
  std::mt19937 rng(5);
  std::normal_distribution<float> value(0.0f, 4.0f);
  for (std::size_t n : {1u, 15u, 16u, 31u, 800u}) {
    std::vector<float> x(n);
    for (float& v : x) v = value(rng);
    x[n / 2] = -1000.0f;
    x[0] = 20.0f;
    std::vector<float> ours = x;
    float sum = softmaxNumerators(ours.data(), n);
    for (float& v : ours) v /= sum;
    double total = 0;
    for (float v : x) total += std::exp(static_cast<double>(v) - 20.0);
    for (std::size_t i = 0; i < n; ++i)
      EXPECT_NEAR(ours[i], std::exp(static_cast<double>(x[i]) - 20.0) / total,
                  4e-6 * ours[i] + 1e-30);
    limitVectorIsa(VectorIsa::kPlain);
    std::vector<float> plain = x;
    EXPECT_TRUE(sameBits(softmaxNumerators(plain.data(), n), sum));
    for (float& v : plain) v /= sum;
    limitVectorIsa(GetParam());
    for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(sameBits(ours[i], plain[i])) << i;
  }
}

// Mean and deviation against a plain two-pass sum in long double, and the same bits on every
// instruction set; a constant row (no variance) gives sqrt(1e-5).
TEST_P(VectorLoopsTest, MomentsMatchTheTwoPassSums) {
  std::mt19937 rng(3);
  std::normal_distribution<float> value(0.5f, 2.0f);
  for (std::size_t n : {1u, 17u, 288u, 72000u}) {
    std::vector<float> x(n);
    for (float& v : x) v = value(rng);
    long double sum = 0, squares = 0;
    for (float v : x) sum += v;
    long double mean = sum / n;
    for (float v : x) squares += (v - mean) * (v - mean);
    Moments m = moments(x.data(), n);
    EXPECT_FLOAT_EQ(m.mean, static_cast<float>(mean));
    EXPECT_FLOAT_EQ(m.deviation, static_cast<float>(std::sqrt(squares / n + 1e-5L)));
    limitVectorIsa(VectorIsa::kPlain);
    Moments plain = moments(x.data(), n);
    limitVectorIsa(GetParam());
    EXPECT_TRUE(sameBits(m.mean, plain.mean) && sameBits(m.deviation, plain.deviation));
  }
  std::vector<float> flat(40, 3.0f);
  EXPECT_EQ(moments(flat.data(), flat.size()).mean, 3.0f);
  EXPECT_FLOAT_EQ(moments(flat.data(), flat.size()).deviation, std::sqrt(1e-5f));
}

INSTANTIATE_TEST_SUITE_P(Isa, VectorLoopsTest,
                         ::testing::Values(VectorIsa::kPlain, VectorIsa::kAvx2,
                                           VectorIsa::kAvx512Vnni));

}  // namespace
}  // namespace speech::moonshine
