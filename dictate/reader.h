// The audio input reader: standard input to analyzer inputs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "platform/audio/converter.h"
#include "platform/audio/format.h"
#include "platform/runtime/stream.h"
#include "platform/speech/transcriber.h"

namespace dictate {

// Reads up to `size` bytes into `data`: the count read, 0 at end of input, negative on error.
using ReadFn = std::function<ssize_t(void* data, std::size_t size)>;

// Reads standard input, retrying reads interrupted by a signal.
ssize_t readStandardInput(void* data, std::size_t size);

// The most bytes asked for in one read: 200 ms of input.
constexpr std::size_t kReadBytes = 6400;

// How far, in seconds of audio, the reader may run ahead of the analyzer. Beyond it the reader
// waits for the analyzer, so audio piped faster than it is recognized stays in the pipe and not
// in memory.
constexpr double kBacklogSeconds = 4.0;

// The stream from the reader to the analyzer (`sound`, `feed`): it holds at most about
// kBacklogSeconds of audio in `model`.
std::pair<runtime::Stream<speech::AnalyzerInput>, runtime::Continuation<speech::AnalyzerInput>>
makeSound(const audio::PcmFormat& model);

// Frames the output buffer needs for `frames` input frames at `model_rate_hz`: the expected
// count, truncated, plus a margin of 16.
std::uint32_t outputCapacity(std::uint32_t frames, double model_rate_hz);

// Runs on the reader thread until input ends: reads with `read`, converts every batch of whole
// 16-bit samples to `model` with `converter`, and yields each converted buffer into `feed`. At
// the end it drains the converter, yields what that produced, and finishes `feed`. Uses the
// program-wide `input` and `feed`; writes nothing and never ends the process.
void readAudio(const audio::PcmFormat& model, std::shared_ptr<audio::Converter> converter,
               const ReadFn& read);

}  // namespace dictate
