// Cost of the converter on the two paths the programs run it on, per buffer:
//   microphone: 48 kHz stereo float32 deinterleaved, 1024-frame tap buffers -> 16 kHz int16 mono
//   dictation:  16 kHz int16 mono, 3200-frame reads -> the same format (no resampler)
// Run: BUILD/bench/converter_bench   (items_per_second is input frames per second)
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <numbers>

#include "platform/audio/converter.h"

namespace {

using audio::Converter;
using audio::ConverterInputStatus;
using audio::PcmBuffer;
using audio::PcmFormat;
using audio::SampleFormat;

void convertRepeatedly(benchmark::State& state, const PcmFormat& from, const PcmFormat& to,
                       std::uint32_t frames) {
  auto converter = Converter::create(from, to);
  auto input = PcmBuffer::create(from, frames);
  input->setFrameLength(frames);
  for (std::uint32_t ch = 0; ch < from.channelCount(); ++ch) {
    for (std::uint32_t i = 0; i < frames; ++i) {
      double v = 0.5 * std::sin(2 * std::numbers::pi * 440.0 * i / from.sampleRate());
      std::size_t at = std::size_t{i} * input->stride() + (from.isInterleaved() ? ch : 0);
      std::size_t plane = from.isInterleaved() ? 0 : ch;
      if (input->floatChannelData()) {
        input->floatChannelData()[plane][at] = static_cast<float>(v);
      } else {
        input->int16ChannelData()[plane][at] = static_cast<std::int16_t>(v * 32767);
      }
    }
  }
  // The callers make a fresh output buffer per conversion; so does the benchmark.
  const auto capacity =
      static_cast<std::uint32_t>(frames * to.sampleRate() / from.sampleRate()) + 16;
  for (auto _ : state) {
    auto output = PcmBuffer::create(to, capacity);
    bool supplied = false;
    converter->convert(*output, nullptr, [&](std::uint32_t, ConverterInputStatus* status) {
      if (supplied) {
        *status = ConverterInputStatus::NoDataNow;
        return std::shared_ptr<PcmBuffer>();
      }
      supplied = true;
      *status = ConverterInputStatus::HaveData;
      return input;
    });
    benchmark::DoNotOptimize(output->int16ChannelData()[0][0]);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * frames);
}

void BM_Microphone(benchmark::State& state) {
  convertRepeatedly(state, PcmFormat(SampleFormat::Float32, 48000, 2, false),
                    PcmFormat(SampleFormat::Int16, 16000, 1, true), 1024);
}
BENCHMARK(BM_Microphone);

void BM_Dictation(benchmark::State& state) {
  const PcmFormat dictation(SampleFormat::Int16, 16000, 1, true);
  convertRepeatedly(state, dictation, dictation, 3200);
}
BENCHMARK(BM_Dictation);

}  // namespace

BENCHMARK_MAIN();
