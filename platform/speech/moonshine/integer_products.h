#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/speech/moonshine/layers.h"

// Exact 8-bit products for the decoder's tokens, and for many frames at once on the tile unit,
// on weights packed once at load. Every instruction set gives the same integers: none of them
// saturates, so a token never depends on the CPU it was decoded on.
namespace speech::moonshine {

// The vector instructions the engine's own kernels use: the best the CPU has, no better than
// what oneDNN is allowed (ONEDNN_MAX_CPU_ISA), so that one setting limits both alike and a
// test can run the fallback paths on any machine.
enum class VectorIsa { kPlain, kAvx2, kAvx512Vnni };
VectorIsa vectorIsa();
// For tests: the kernels of `isa` (no better than the CPU's) from now on, in this process.
void limitVectorIsa(VectorIsa isa);

// A weight matrix of `out` rows of `in` bytes each (value = (q - zero_point) * scale) packed
// for the kernels: blocks of 16 outputs, each a run of [in / 4][16 outputs][4 inputs] bytes
// stored as q - 128 (signed), and the sums of (q - zero_point) per output for the zero points.
struct PackedLinear {
  int in = 0;   // a multiple of 4
  int out = 0;  // a multiple of 16
  std::vector<std::int8_t> packed;
  std::vector<std::int32_t> column_sums;
  std::int32_t zero_point = 0;
  float scale = 0;
  std::vector<float> bias;  // empty when the layer has none
};

// From a layer as the model stores it ([in, out]). Throws speech::Error when a dimension does
// not fit the blocks.
PackedLinear pack(const QuantizedLinear& layer);
// From a table of `rows` rows of `in` bytes ([out, in]: the token embedding as output layer).
PackedLinear packRows(const std::uint8_t* table, int rows, int in, std::uint8_t zero_point,
                      float scale);

struct PackedScratch {
  std::vector<std::uint8_t> quantized;
  std::vector<std::int32_t> products, zero_points;
  std::vector<QuantizationParams> params;
  std::size_t bytes() const {
    return heldBytes(quantized) + heldBytes(products) + heldBytes(zero_points) + heldBytes(params);
  }
};

// out[rows, w.out] = x[rows, w.in] · W (+ bias), each row of x quantized to 8 bits alone (as
// linear() with RowQuantization::kPerRow, and with the same result). `scratch` grows to the
// largest layer once and is reused.
void packedLinear(const float* x, int rows, const PackedLinear& w, PackedScratch& scratch,
                  float* out);

// Quantizes x[rows, in] as one block, as linear() with RowQuantization::kShared does, into
// scratch.quantized (its zero point in scratch.zero_points for every row): the input of
// sharedLinear(), taken once for all the layers that read the same rows.
QuantizationParams quantizeRows(const float* x, int rows, int in, PackedScratch& scratch);
// out[rows, w.out] = the rows quantizeRows() left in `scratch` times W (+ bias): linear() with
// RowQuantization::kShared, and the same result, on the engine's kernels instead of oneDNN's
// (see frame_linear.h for where each is faster). The rows are split between `threads`.
void sharedLinear(int rows, QuantizationParams p, const PackedLinear& w, PackedScratch& scratch,
                  float* out, int threads);

// The integer part alone: for each of the `rows` rows of a (w.in bytes each, with zero point
// a_zero_points[row]), products[row * w.out + o] = sum over i of (a[i] - a_zero_point) *
// (q[o][i] - w.zero_point), for the outputs o in [first, end) (multiples of 16; all of them
// when end is 0). The weights are read once for every four rows where the kernels allow.
void packedProducts(const std::uint8_t* a, int rows, const std::int32_t* a_zero_points,
                    const PackedLinear& w, std::int32_t* products, int first = 0, int end = 0);

// The stored byte q of input i of output o.
std::uint8_t packedByte(const PackedLinear& w, int o, int i);

}  // namespace speech::moonshine
