#include "platform/speech/moonshine/layers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
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

// The layers' arithmetic (products, norms, activations, rotary positions, attention scores) is
// checked against ONNX Runtime on the real model by tests/moonshine_oracle_test.cc; these tests
// cover what one reading of real speech does not reach: out-of-range values, every instruction
// set, and work split between threads.

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
