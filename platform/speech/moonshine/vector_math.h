#pragma once

#include <cstddef>

// The transcendental functions of the engine's element-wise steps, in a form the compiler can
// vectorise: libm's erff, expf and tanhf are called one value at a time and were a fifth of the
// encoder's time. Each stays within a few units in the last place of the exact function (on
// average as close as libm's), and every instruction set gives the same bits (a multiply-add is
// fused everywhere or nowhere, sums are never reordered), so a token does not depend on the CPU
// it was decoded on.
namespace speech::moonshine {

// One value at a time, as the vector loops compute each lane.
float fastExp(float x);  // for x in [-87, 88]; below, about 1e-38; above, about 2e38
float fastErf(float x);
float fastTanh(float x);

// In place over x[0, n).
void tanhInPlace(float* x, std::size_t n);
void geluInPlace(float* x, std::size_t n);  // the exact (erf) form, 0.5 x (1 + erf(x / sqrt 2))
// value[i] *= SiLU(gate[i]) = gate[i] / (1 + exp(-gate[i])): the decoder's gated MLP.
void siluGate(float* value, const float* gate, std::size_t n);
// x[i] = exp(x[i] - max x), and their sum: a softmax but for its division, which attention
// applies to its 36 outputs per row instead of to every score.
float softmaxNumerators(float* x, std::size_t n);

// The mean of x[0, n) and sqrt(variance + 1e-5), as the model's LayerNorm and GroupNorm take
// them: summed in double, in sixteen running sums instead of one, whose additions wait on each
// other and were most of a normalization's time.
struct Moments {
  float mean = 0, deviation = 0;
};
Moments moments(const float* x, std::size_t n);

}  // namespace speech::moonshine
