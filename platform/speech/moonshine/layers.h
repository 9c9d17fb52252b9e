#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// The kernels both halves of the model are made of. Matrices are row-major; a row is one time
// step (an audio frame or a token) of kWidth values, the 8 heads side by side.
namespace speech::moonshine {

inline constexpr int kWidth = 288;
inline constexpr int kHeads = 8;
inline constexpr int kHeadDim = 36;
inline constexpr int kLayers = 6;        // in the encoder and in the decoder
inline constexpr int kRotaryPairs = 16;  // rotary positions turn the first 32 of a head's 36

// A weight matrix [in, out] kept in 8 bits as the model stores it: value = (q - zero_point) *
// scale with one scale and zero point for the whole matrix. The bytes are kept shifted by 128
// (as int8) because the integer product takes a signed right-hand side.
struct QuantizedLinear {
  int in = 0;
  int out = 0;
  std::vector<std::int8_t> weight;
  std::int8_t zero_point = 0;
  float scale = 0;
  std::vector<float> bias;  // empty when the layer has none
};

// The four projections of an attention block: queries, keys, values and output.
struct AttentionProjections {
  QuantizedLinear q, k, v, o;
};

// One scale and zero point for a block of activations, chosen as ONNX's DynamicQuantizeLinear
// does: the range [min(0, x), max(0, x)] spread over 0..255.
struct QuantizationParams {
  float scale = 1;
  std::uint8_t zero_point = 0;
};
QuantizationParams quantize(std::span<const float> x, std::uint8_t* out);

// Whether the rows of a linear layer's input share one quantization (the encoder, where the
// model quantizes all frames together) or each row has its own (the decoder, which the model
// runs one token at a time: quantizing each row alone gives a batch of tokens the same numbers
// as feeding them one by one).
enum class RowQuantization { kShared, kPerRow };

struct LinearScratch {
  int threads = 1;  // for shared quantization, the rows are split between this many threads
  std::vector<std::uint8_t> quantized, upper, lowest;
  std::vector<std::int32_t> lowest_products;
  std::size_t bytes() const;
};

// The memory a vector holds, for the scratch accounts.
template <class T>
std::size_t heldBytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// Makes `v` at least `n` long for scratch whose contents are dead: a buffer too small is freed
// before the larger one is taken, never copied into it, so the two are not held at once. Room
// for a quarter more is reserved (not touched, so not resident) for the next, longer input.
void growScratch(std::vector<float>& v, std::size_t n);

// Rows [first, end) of `out` (`cols` wide), which hold the integer products in place of floats,
// as floats: times `scale`, plus `bias` when there is one.
void productsToFloats(float* out, int first, int end, std::size_t cols, float scale,
                      const std::vector<float>& bias);

// out[rows, w.out] = x[rows, w.in] · W (+ bias), with x quantized to 8 bits first. The integer
// products are exact on every instruction set oneDNN may pick.
void linear(const float* x, int rows, const QuantizedLinear& w, RowQuantization mode,
            LinearScratch& scratch, float* out);

// Keeps the math library's products on the calling thread: the engine divides its work between
// threads itself, in parts large enough to pay for it, and no thread is left spinning while
// another one works (which on a busy machine costs more than the threads gain).
void useOneMathThread();

// Runs body(part, begin, end) over [0, n) cut into `threads` parts, part 0 on the calling thread.
void parallelFor(int threads, int n, const std::function<void(int, int, int)>& body);

// Throws speech::Error when the math library fails. C[m, n] = alpha * A[m, k] · B (+ beta * C).
void sgemm(bool transpose_b, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc);

// LayerNorm over each row of kWidth values, scaled by `weight`, without bias. In place is fine.
void layerNorm(const float* x, int rows, const float* weight, float* out);

// Rotary position embedding on the first 2 * inv_freq.size() dimensions of every head, in
// interleaved pairs (x[2i], x[2i+1]) turned by angle position * inv_freq[i]; row r of x is at
// position first_position + r.
void rotate(float* x, int rows, int first_position, std::span<const float> inv_freq);

// Multi-head scaled dot-product attention of q[q_rows] over k, v[kv_rows] (rows of kWidth, row
// stride kWidth). With `causal`, query r is at position first_position + r and sees keys up to
// that position only. `scores` is scratch; the heads are split between `threads` threads.
void attention(const float* q, int q_rows, const float* k, const float* v, int kv_rows, bool causal,
               int first_position, std::vector<float>& scores, float* out, int threads = 1);

}  // namespace speech::moonshine
