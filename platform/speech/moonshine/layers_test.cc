#include "platform/speech/moonshine/layers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/speech/moonshine/integer_products.h"

namespace speech::moonshine {
namespace {

TEST(MoonshineQuantize, SpreadsTheRangeWithZeroOverAllBytes) {
  // Range [-1, 2]: scale 3/255, zero at 85; the ends land on 0 and 255.
  std::vector<float> x{-1.0f, 0.0f, 1.0f, 2.0f, 0.25f};
  std::vector<std::uint8_t> q(x.size());
  QuantizationParams p = quantize(x, q.data());
  EXPECT_FLOAT_EQ(p.scale, 3.0f / 255.0f);
  EXPECT_EQ(p.zero_point, 85);
  EXPECT_EQ(q, (std::vector<std::uint8_t>{0, 85, 170, 255, 106}));  // 0.25 -> 21.25 -> 21

  // The range always holds zero: all positive values start at zero point 0.
  std::vector<float> positive{0.5f, 1.0f};
  p = quantize(positive, q.data());
  EXPECT_EQ(p.zero_point, 0);
  EXPECT_EQ(q[1], 255);

  // All zeros: no range to spread, and nothing divided by zero.
  std::vector<float> zeros(4, 0.0f);
  p = quantize(zeros, q.data());
  EXPECT_EQ(p.scale, 1.0f);
  EXPECT_EQ(q[0], p.zero_point);
}

TEST(MoonshineQuantize, NotANumberEndsInRange) {
  std::vector<float> x{-1.0f, NAN, 1.0f};
  std::vector<std::uint8_t> q(x.size());
  quantize(x, q.data());
  EXPECT_EQ(q[0], 0);
  EXPECT_EQ(q[1], 255);  // the top, with no undefined conversion on the way

  // Infinities make the scale infinite and the zero point NaN before it is bounded.
  std::vector<float> infinite{-INFINITY, 0.0f, INFINITY};
  QuantizationParams p = quantize(infinite, q.data());
  EXPECT_EQ(p.zero_point, 0);
  EXPECT_EQ(q[1], 0);
}

// The range is found lane by lane where the instruction set allows: whatever the set, the
// parameters are those of one running minimum and maximum over the values in order.
TEST(MoonshineQuantize, EveryInstructionSetFindsTheSameRange) {
  auto filled = [](std::size_t n, float first, float step) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = first + step * static_cast<float>(i % 37);
    return x;
  };
  auto with = [](std::vector<float> x, std::size_t at, float value) {
    x[at] = value;
    return x;
  };
  struct Case {
    std::string name;
    std::vector<float> x;
  };
  std::vector<Case> cases = {
      {"extremes in the tail past the last whole block", with(filled(37, -1, 0.05f), 36, -9)},
      {"extremes in the first lane", with(with(filled(64, 0, 0.01f), 0, 7), 16, -7)},
      {"all negative", filled(50, -3, 0.01f)},
      {"negative zero", std::vector<float>(33, -0.0f)},
      {"NaN in a lane and in the tail", with(with(filled(40, -1, 0.1f), 3, NAN), 39, NAN)},
      {"infinities", with(with(filled(48, 0, 1), 20, INFINITY), 45, -INFINITY)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    float lo = 0, hi = 0;
    for (float v : c.x) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    float scale = hi == lo ? 1.0f : (hi - lo) / 255.0f;
    for (VectorIsa isa : {VectorIsa::kPlain, VectorIsa::kAvx2, VectorIsa::kAvx512Vnni}) {
      limitVectorIsa(isa);
      std::vector<std::uint8_t> q(c.x.size());
      QuantizationParams p = quantize(c.x, q.data());
      EXPECT_EQ(std::memcmp(&p.scale, &scale, sizeof scale), 0)
          << static_cast<int>(isa) << ": " << p.scale << " for " << scale;
    }
    limitVectorIsa(VectorIsa::kAvx512Vnni);
  }
}

// Weights [in 2, out 2] = [[1, -1], [0, 2]] stored with zero point 128 and scale 0.5.
QuantizedLinear smallLayer() {
  QuantizedLinear w;
  w.in = 2;
  w.out = 2;
  w.weight = {2, -2, 0, 4};  // stored bytes 130, 126, 128, 132, less 128
  w.zero_point = 0;          // stored 128
  w.scale = 0.5f;
  return w;
}

TEST(MoonshineLinear, MultipliesQuantizedInputByQuantizedWeights) {
  QuantizedLinear w = smallLayer();
  w.bias = {10.0f, 20.0f};
  // Row [-1, 2] quantizes exactly (bytes 0 and 255): [-1, 2] x W = [-1, 5].
  std::vector<float> x{-1.0f, 2.0f};
  std::vector<float> y(2);
  LinearScratch scratch;
  linear(x.data(), 1, w, RowQuantization::kPerRow, scratch, y.data());
  EXPECT_NEAR(y[0], 9.0f, 1e-5);
  EXPECT_NEAR(y[1], 25.0f, 1e-5);
}

TEST(MoonshineLinear, RowsQuantizedApartOrTogether) {
  QuantizedLinear w = smallLayer();
  // Two rows of very different range: each alone quantizes its own exactly, together the small
  // one loses precision to the large one's range.
  std::vector<float> x{-1.0f, 2.0f, 0.01f, 0.02f};
  std::vector<float> apart(4), together(4);
  LinearScratch scratch;
  linear(x.data(), 2, w, RowQuantization::kPerRow, scratch, apart.data());
  linear(x.data(), 2, w, RowQuantization::kShared, scratch, together.data());
  EXPECT_NEAR(apart[2], 0.01f, 1e-4);
  EXPECT_NEAR(apart[3], 0.03f, 1e-4);
  EXPECT_NE(together[3], apart[3]);
  EXPECT_NEAR(together[3], 0.03f, 3.0f / 255 * 2);

  // Rows split between threads give the same numbers.
  std::vector<float> big(64 * 2), one(64 * 2), three(64 * 2);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::sin(static_cast<float>(i));
  linear(big.data(), 64, w, RowQuantization::kShared, scratch, one.data());
  scratch.threads = 3;
  linear(big.data(), 64, w, RowQuantization::kShared, scratch, three.data());
  EXPECT_EQ(one, three);
}

TEST(MoonshineLayerNorm, NormalizesEachRowAndScales) {
  std::vector<float> x(2 * kWidth), weight(kWidth, 2.0f), y(2 * kWidth);
  for (int i = 0; i < kWidth; ++i) {
    x[i] = (i % 2 ? 3.0f : -3.0f) + 5.0f;  // mean 5, deviation 3
    x[kWidth + i] = 7.0f;                  // constant: all deviation is the epsilon's
  }
  layerNorm(x.data(), 2, weight.data(), y.data());
  EXPECT_NEAR(y[0], -2.0f, 1e-5);
  EXPECT_NEAR(y[1], 2.0f, 1e-5);
  EXPECT_EQ(y[kWidth], 0.0f);
}

TEST(MoonshineGelu, ExactForm) {
  std::vector<float> x{0.0f, 1.0f, -1.0f, 4.0f, -4.0f};
  gelu(x.data(), x.size());
  EXPECT_EQ(x[0], 0.0f);
  EXPECT_NEAR(x[1], 0.8413447f, 1e-6);
  EXPECT_NEAR(x[2], -0.1586553f, 1e-6);
  EXPECT_NEAR(x[3], 3.9998733f, 1e-5);
  EXPECT_NEAR(x[4], -0.0001267f, 1e-6);
}

TEST(MoonshineRotary, TurnsPairsByPositionTimesFrequency) {
  std::vector<float> inv_freq{1.0f, 0.25f};  // rotates dims 0-3 of each head, leaves the rest
  std::vector<float> x(2 * kWidth, 0.0f);
  for (int r = 0; r < 2; ++r)
    for (int h = 0; h < kHeads; ++h) {
      float* head = x.data() + r * kWidth + h * kHeadDim;
      head[0] = 1.0f;  // pair 0 = (1, 0)
      head[2] = 0.0f;  // pair 1 = (0, 1)
      head[3] = 1.0f;
      head[4] = 5.0f;  // beyond the rotated part
    }
  rotate(x.data(), 2, 3, inv_freq);  // rows at positions 3 and 4
  for (int h = 0; h < kHeads; ++h) {
    const float* at3 = x.data() + h * kHeadDim;
    const float* at4 = x.data() + kWidth + h * kHeadDim;
    EXPECT_NEAR(at3[0], std::cos(3.0f), 1e-6);
    EXPECT_NEAR(at3[1], std::sin(3.0f), 1e-6);
    EXPECT_NEAR(at3[2], -std::sin(0.75f), 1e-6);
    EXPECT_NEAR(at3[3], std::cos(0.75f), 1e-6);
    EXPECT_NEAR(at4[0], std::cos(4.0f), 1e-6);
    EXPECT_NEAR(at4[2], -std::sin(1.0f), 1e-6);
    EXPECT_EQ(at3[4], 5.0f);
  }
}

TEST(MoonshineRotary, ScoresDependOnRelativePositionOnly) {
  std::vector<float> inv_freq(16);
  for (int i = 0; i < 16; ++i) inv_freq[i] = std::pow(10000.0f, -i / 16.0f);
  std::vector<float> q(kWidth), k(kWidth);
  for (int i = 0; i < kWidth; ++i) {
    q[i] = std::sin(0.3f * i);
    k[i] = std::cos(0.7f * i);
  }
  auto score = [&](int q_position, int k_position) {
    std::vector<float> a = q, b = k;
    rotate(a.data(), 1, q_position, inv_freq);
    rotate(b.data(), 1, k_position, inv_freq);
    return std::inner_product(a.begin(), a.begin() + kHeadDim, b.begin(), 0.0);
  };
  EXPECT_NEAR(score(5, 2), score(105, 102), 1e-3);
  EXPECT_GT(std::abs(score(5, 2) - score(5, 4)), 1e-2);
}

// Attention rows where head h of value row j holds 10 * j + h everywhere.
std::vector<float> valueRows(int rows) {
  std::vector<float> v(static_cast<std::size_t>(rows) * kWidth);
  for (int j = 0; j < rows; ++j)
    for (int i = 0; i < kWidth; ++i) v[j * kWidth + i] = 10.0f * j + i / kHeadDim;
  return v;
}

TEST(MoonshineAttention, EqualScoresAverageTheVisibleValues) {
  // Zero queries score every key alike: each output is the mean of the values it may see.
  const int rows = 4;
  std::vector<float> q(rows * kWidth, 0.0f), k(rows * kWidth, 1.0f), v = valueRows(rows);
  std::vector<float> out(rows * kWidth), scores;
  attention(q.data(), rows, k.data(), v.data(), rows, false, 0, scores, out.data());
  for (int h = 0; h < kHeads; ++h) EXPECT_NEAR(out[2 * kWidth + h * kHeadDim], 15.0f + h, 1e-4);

  // Causal: query r sees keys 0..r.
  attention(q.data(), rows, k.data(), v.data(), rows, true, 0, scores, out.data());
  for (int r = 0; r < rows; ++r)
    for (int h = 0; h < kHeads; ++h)
      EXPECT_NEAR(out[r * kWidth + h * kHeadDim + 1], 5.0f * r + h, 1e-4);

  // Long enough for the queries to be taken in blocks, split between threads.
  const int many = 300;
  std::vector<float> q_many(many * kWidth, 0.0f), k_many(many * kWidth, 1.0f),
      v_many = valueRows(many);
  std::vector<float> out_many(many * kWidth);
  attention(q_many.data(), many, k_many.data(), v_many.data(), many, true, 0, scores,
            out_many.data(), 2);
  for (int r : {0, 127, 128, 129, 255, 256, 299})
    for (int h = 0; h < kHeads; ++h)
      EXPECT_NEAR(out_many[r * kWidth + h * kHeadDim], 5.0f * r + h, 1e-2) << r;

  // Causal with a cache: two queries at positions 2 and 3 over four keys.
  attention(q.data(), 2, k.data(), v.data(), rows, true, 2, scores, out.data());
  EXPECT_NEAR(out[0], 10.0f, 1e-4);
  EXPECT_NEAR(out[kWidth], 15.0f, 1e-4);
}

TEST(MoonshineAttention, ScaledDotProductPicksTheMatchingKey) {
  // Head 0's query matches key 1: score 36 * 4 / 6 = 24 against 0 for key 0.
  std::vector<float> q(kWidth, 0.0f), k(2 * kWidth, 0.0f), v = valueRows(2);
  for (int d = 0; d < kHeadDim; ++d) {
    q[d] = 2.0f;
    k[kWidth + d] = 2.0f;
  }
  std::vector<float> out(kWidth), scores;
  attention(q.data(), 1, k.data(), v.data(), 2, false, 0, scores, out.data());
  float weight = 1.0f / (1.0f + std::exp(-24.0f));
  EXPECT_NEAR(out[0], 10.0f * weight, 1e-4);
  EXPECT_NEAR(out[kHeadDim], 10.0f * 0.5f + 1.0f, 1e-4);  // head 1 scores both alike

  // The same split between threads.
  std::vector<float> split(kWidth);
  attention(q.data(), 1, k.data(), v.data(), 2, false, 0, scores, split.data(), 3);
  EXPECT_EQ(out, split);
}

TEST(MoonshineParallelFor, CoversEveryIndexOnce) {
  for (int threads : {1, 2, 3, 8}) {
    for (int n : {0, 1, 2, 7, 100}) {
      std::vector<std::atomic<int>> seen(static_cast<std::size_t>(n));
      parallelFor(threads, n, [&](int, int begin, int end) {
        for (int i = begin; i < end; ++i) ++seen[static_cast<std::size_t>(i)];
      });
      for (int i = 0; i < n; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], 1) << threads << " " << n;
    }
  }
}

}  // namespace
}  // namespace speech::moonshine
