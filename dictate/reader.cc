#include "dictate/reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "dictate/program.h"

namespace dictate {
namespace {

constexpr std::size_t kBytesPerFrame = 2;
constexpr std::uint32_t kCapacityMargin = 16;
// Room for what the converter still holds at the end: a resampler's history is far shorter.
constexpr std::uint32_t kDrainFrames = 4096;

// Converts the whole samples at the front of `pending` and yields the result. When no input
// buffer can be made the bytes stay pending, to be offered again with the next read.
void convertPending(std::vector<unsigned char>& pending, const audio::PcmFormat& model,
                    audio::Converter& converter) {
  auto frames = static_cast<std::uint32_t>(pending.size() / kBytesPerFrame);
  auto in = audio::PcmBuffer::create(input, frames);
  if (!in) return;
  in->setFrameLength(frames);
  // The host writes little-endian samples and so do we: the bytes go in as they are.
  std::memcpy(in->int16ChannelData()[0], pending.data(), frames * kBytesPerFrame);
  pending.erase(pending.begin(), pending.begin() + frames * kBytesPerFrame);

  auto out = audio::PcmBuffer::create(model, outputCapacity(frames, model.sampleRate()));
  if (!out) return;  // this batch is lost, as when the converter takes none of it
  bool supplied = false;
  converter.convert(*out, nullptr, [&](std::uint32_t, audio::ConverterInputStatus* status) {
    if (supplied) {
      *status = audio::ConverterInputStatus::NoDataNow;
      return std::shared_ptr<audio::PcmBuffer>();
    }
    supplied = true;
    *status = audio::ConverterInputStatus::HaveData;
    return in;
  });
  feed.yield(speech::AnalyzerInput(std::move(out)));
}

// Hands the converter the end of the stream and yields whatever it still held, so the last
// moments of speech reach the analyzer.
void drain(const audio::PcmFormat& model, audio::Converter& converter) {
  for (;;) {
    auto out = audio::PcmBuffer::create(model, kDrainFrames);
    if (!out) return;
    auto status =
        converter.convert(*out, nullptr, [](std::uint32_t, audio::ConverterInputStatus* status) {
          *status = audio::ConverterInputStatus::EndOfStream;
          return std::shared_ptr<audio::PcmBuffer>();
        });
    if (out->frameLength() > 0) feed.yield(speech::AnalyzerInput(std::move(out)));
    if (status != audio::ConverterStatus::HaveData) return;
  }
}

}  // namespace

ssize_t readStandardInput(void* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

std::pair<runtime::Stream<speech::AnalyzerInput>, runtime::Continuation<speech::AnalyzerInput>>
makeSound(const audio::PcmFormat& model) {
  auto frames = static_cast<std::size_t>(kBacklogSeconds * model.sampleRate());
  // An empty buffer weighs one frame, so even a run of them cannot pile up without bound.
  auto weight = [](const speech::AnalyzerInput& in) -> std::size_t {
    return std::max<std::size_t>(1, in.buffer ? in.buffer->frameLength() : 0);
  };
  return runtime::makeStream<speech::AnalyzerInput>({frames, weight});
}

std::uint32_t outputCapacity(std::uint32_t frames, double model_rate_hz) {
  return static_cast<std::uint32_t>(static_cast<double>(frames) * model_rate_hz / 16000.0) +
         kCapacityMargin;
}

void readAudio(const audio::PcmFormat& model, std::shared_ptr<audio::Converter> converter,
               const ReadFn& read) {
  std::vector<unsigned char> pending;
  unsigned char chunk[kReadBytes];
  for (;;) {
    ssize_t n = read(chunk, sizeof chunk);
    if (n <= 0) break;  // end of input; a failed read ends it the same way
    pending.insert(pending.end(), chunk, chunk + n);
    if (pending.size() < kBytesPerFrame) continue;
    convertPending(pending, model, *converter);
  }
  // A trailing odd byte is half a sample: it is dropped.
  drain(model, *converter);
  feed.finish();
}

}  // namespace dictate
