#pragma once

#include <cstddef>

#include "platform/speech/moonshine/integer_products.h"
#include "platform/speech/moonshine/layers.h"

// Linear layers over many frames whose rows the model quantizes together (the encoder's layers,
// the decoder's cross keys and values), on whichever kernels are faster on this CPU: the
// engine's tile products where the CPU has the tile unit (oneDNN, allowed the same unit, took
// twice as long there), oneDNN's products elsewhere (ahead of the engine's vector kernels).
// Both give the same integers, so the same floats.
namespace speech::moonshine {

// A layer's weights in one of the two forms.
struct FrameLinear {
  QuantizedLinear plain;
  PackedLinear packed;
};
FrameLinear prepareFrameLinear(QuantizedLinear&& w);

struct FrameScratch {
  int threads = 1;
  LinearScratch linear;
  PackedScratch packed;
  QuantizationParams quantization;  // of the rows in `packed`
  std::size_t bytes() const { return linear.bytes() + packed.bytes(); }
};

// out[rows, w.out] = x · W (+ bias), all rows quantized together. `quantized`: x is the input of
// the call before on the same scratch, whose quantization is reused (layers that read the same
// rows).
void frameLinear(const float* x, int rows, const FrameLinear& w, bool quantized,
                 FrameScratch& scratch, float* out);

}  // namespace speech::moonshine
