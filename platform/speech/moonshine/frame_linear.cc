#include "platform/speech/moonshine/frame_linear.h"

#include <utility>

#include "platform/speech/moonshine/tile_products.h"

namespace speech::moonshine {

FrameLinear prepareFrameLinear(QuantizedLinear&& w) {
  FrameLinear prepared;
  if (tilesUsable())
    prepared.packed = pack(w);
  else
    prepared.plain = std::move(w);
  return prepared;
}

void frameLinear(const float* x, int rows, const FrameLinear& w, bool quantized, FrameScratch& s,
                 float* out) {
  if (w.packed.packed.empty()) {
    s.linear.threads = s.threads;
    linear(x, rows, w.plain, RowQuantization::kShared, s.linear, out);
    return;
  }
  if (!quantized) s.quantization = quantizeRows(x, rows, w.packed.in, s.packed);
  sharedLinear(rows, s.quantization, w.packed, s.packed, out, s.threads);
}

}  // namespace speech::moonshine
