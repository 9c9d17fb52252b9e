// What dictation needs of a speech engine: the text of one segment of speech, asked for again
// and again while the segment grows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace speech {

// The engine's reading of one segment: its tokens, which a later reading of the same segment
// may build on, and their text as the engine writes it.
struct SegmentHypothesis {
  std::vector<std::int32_t> tokens;
  std::string text;
};

// One engine instance, used from one thread. Throws Error when the engine fails.
class SegmentEngine {
 public:
  virtual ~SegmentEngine() = default;
  // The hypothesis for `samples` (16 kHz mono, in [-1, 1]), to be committed: someone waits for
  // it. `earlier` is a hypothesis for a shorter beginning of the same segment, or empty: the
  // engine may reuse what still holds of it, and gives the same answer as without it.
  virtual SegmentHypothesis transcribe(std::span<const float> samples,
                                       const SegmentHypothesis& earlier) = 0;
  // The same, for a volatile reading, which may turn moot while under way: the engine may ask
  // `moot` now and then, and once it says so stop and give nothing.
  virtual std::optional<SegmentHypothesis> transcribeUnless(std::span<const float> samples,
                                                            const SegmentHypothesis& earlier,
                                                            const std::function<bool()>& moot) {
    (void)moot;
    return transcribe(samples, earlier);
  }
};

}  // namespace speech
