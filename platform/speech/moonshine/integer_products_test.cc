#include "platform/speech/moonshine/integer_products.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "platform/speech/error.h"

namespace speech::moonshine {
namespace {

struct Bytes {
  const char* name;
  int activation_low, activation_high;  // the activations' range
  int weight_low, weight_high;          // the stored weights' range (0..255)
};

// Restores the best kernels after each test.
class PackedProductsTest : public ::testing::TestWithParam<VectorIsa> {
 protected:
  void TearDown() override { limitVectorIsa(VectorIsa::kAvx512Vnni); }
};

// Every kernel gives the exact sums, the extremes included: 255 against stored 0 (-128 in the
// kernels) is what saturates 16-bit pair sums.
TEST_P(PackedProductsTest, ExactOnEveryInstructionSet) {
  if (GetParam() > vectorIsa()) GTEST_SKIP() << "not on this CPU";
  limitVectorIsa(GetParam());
  const Bytes cases[] = {{"Extremes", 255, 255, 0, 0},
                         {"ExtremesMixed", 254, 255, 0, 255},
                         {"Random", 0, 255, 0, 255},
                         {"Small", 0, 3, 120, 136}};
  std::mt19937 rng(7);
  for (const Bytes& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto [in, out] : {std::pair{288, 288}, std::pair{1152, 80}, std::pair{4, 16}}) {
      std::uniform_int_distribution<int> activation(c.activation_low, c.activation_high);
      std::uniform_int_distribution<int> weight(c.weight_low, c.weight_high);
      // 37 rows: two tiles of 16 where the CPU has the tile unit, then batches of four that
      // share each read of the weights, and one alone.
      constexpr int kRows = 37;
      std::vector<std::uint8_t> table(static_cast<std::size_t>(in) * out), a(kRows * in);
      for (auto& q : table) q = static_cast<std::uint8_t>(weight(rng));
      for (auto& x : a) x = static_cast<std::uint8_t>(activation(rng));
      std::int32_t a_zeros[kRows];
      for (int r = 0; r < kRows; ++r) a_zeros[r] = std::array{131, 0, 255, 7, 128}[r % 5];
      const int w_zero = 97;
      PackedLinear w = packRows(table.data(), out, in, w_zero, 1.0f);
      std::vector<std::int32_t> products(kRows * out);
      packedProducts(a.data(), kRows, a_zeros, w, products.data());
      for (int r = 0; r < kRows; ++r)
        for (int o = 0; o < out; ++o) {
          std::int64_t expected = 0;
          for (int i = 0; i < in; ++i)
            expected += (a[r * in + i] - a_zeros[r]) *
                        (table[static_cast<std::size_t>(o) * in + i] - w_zero);
          ASSERT_EQ(products[r * out + o], expected)
              << "row " << r << ", output " << o << " of " << in << " x " << out;
        }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, PackedProductsTest,
                         ::testing::Values(VectorIsa::kPlain, VectorIsa::kAvx2,
                                           VectorIsa::kAvx512Vnni));

// The packed layer gives bit for bit what the library's product gives for per-row quantization.
TEST(PackedLinearTest, SameAsLinearPerRow) {
  std::mt19937 rng(3);
  QuantizedLinear layer;
  layer.in = kWidth;
  layer.out = 2 * kWidth;
  layer.weight.resize(static_cast<std::size_t>(layer.in) * layer.out);
  for (auto& q : layer.weight) q = static_cast<std::int8_t>(rng() % 256 - 128);
  layer.zero_point = -9;
  layer.scale = 0.013f;
  layer.bias.resize(static_cast<std::size_t>(layer.out));
  std::normal_distribution<float> normal(0.0f, 2.0f);
  for (float& b : layer.bias) b = normal(rng);
  std::vector<float> x(3 * kWidth);
  for (float& v : x) v = normal(rng);

  std::vector<float> library(3 * layer.out), packed(3 * layer.out);
  LinearScratch scratch;
  linear(x.data(), 3, layer, RowQuantization::kPerRow, scratch, library.data());
  PackedScratch packed_scratch;
  packedLinear(x.data(), 3, pack(layer), packed_scratch, packed.data());
  EXPECT_EQ(library, packed);
}

TEST(PackedLinearTest, ShapesThatDoNotFitTheBlocksAreRefused) {
  std::vector<std::uint8_t> table(6 * 16);
  EXPECT_THROW(packRows(table.data(), 16, 6, 0, 1.0f), Error);
  EXPECT_THROW(packRows(table.data(), 6, 16, 0, 1.0f), Error);
}

}  // namespace
}  // namespace speech::moonshine
