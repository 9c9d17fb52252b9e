// Microphone capture: an engine whose input node hands each captured buffer to a tap.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/format.h"
#include "platform/audio/pcm_buffer.h"

namespace audio {

// When a buffer was captured; not needed by any caller today.
struct CaptureTime {
  std::uint64_t sampleTime = 0;
};

// Called on the capture thread with each captured buffer, which the block may keep.
using CaptureCallback = std::function<void(std::shared_ptr<PcmBuffer> buffer, CaptureTime when)>;

class CaptureInput {
 public:
  virtual ~CaptureInput() = default;
  // The microphone's own format: the default source's rate and channel count, 32-bit float,
  // deinterleaved.
  virtual PcmFormat busFormat(std::uint32_t bus) = 0;
  // One tap per bus; buffers of about bufferSize frames (other lengths may come) in `format`.
  virtual void installTap(std::uint32_t bus, std::uint32_t bufferSize, const PcmFormat& format,
                          CaptureCallback block) = 0;
};

// Owned by the main thread. Once started it runs for the life of the process.
class CaptureEngine {
 public:
  virtual ~CaptureEngine() = default;
  virtual CaptureInput& input() = 0;
  // False with a description in `error` (the audio server's own message) when capture cannot
  // start. After a successful start, capture reconnects by itself if the server goes away and
  // comes back; nothing is reported.
  virtual bool start(std::string* error) = 0;
};

// The engine on the desktop's audio server (PulseAudio, or PipeWire through its PulseAudio
// interface).
std::unique_ptr<CaptureEngine> makePulseAudioEngine();

}  // namespace audio
