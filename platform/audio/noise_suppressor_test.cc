#include "platform/audio/noise_suppressor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace audio {
namespace {

constexpr double kRateHz = 16000;
constexpr std::size_t kFrame = 160;

// Deterministic white noise with the given RMS, in samples.
std::vector<double> noise(std::size_t n, double rms, std::uint32_t seed = 1) {
  std::vector<double> out(n);
  std::uint32_t state = seed;
  for (double& v : out) {
    double sum = 0;
    for (int k = 0; k < 4; ++k) {
      state = state * 1664525u + 1013904223u;
      sum += static_cast<double>(state) / 4294967296.0 - 0.5;
    }
    v = sum * rms * std::sqrt(3.0);  // four uniforms: variance 4/12
  }
  return out;
}

// A 1 kHz tone that sounds for 0.3 s and pauses for 0.3 s, as speech comes and goes.
std::vector<double> bursts(std::size_t n, double amplitude) {
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    bool on = (i / 4800) % 2 == 1;
    out[i] =
        on ? amplitude * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / kRateHz)
           : 0;
  }
  return out;
}

std::vector<std::int16_t> pcm(const std::vector<double>& a, const std::vector<double>& b = {}) {
  std::vector<std::int16_t> out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    double v = a[i] + (i < b.size() ? b[i] : 0);
    out[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
  }
  return out;
}

std::unique_ptr<NoiseSuppressor> suppressor(NoiseSuppressor::Engagement engagement) {
  NoiseSuppressor::Settings settings;
  settings.engagement = engagement;
  auto made = NoiseSuppressor::make(settings);
  EXPECT_TRUE(made);
  return made;
}

std::vector<std::int16_t> run(NoiseSuppressor& stage, const std::vector<std::int16_t>& in) {
  std::vector<std::int16_t> out;
  stage.process(in.data(), in.size(), out);
  return out;
}

// Quiet, then a fan comes on under tone bursts, then the fan stops: the stage engages and lets go.
std::vector<std::int16_t> roomGettingNoisyAndQuietAgain() {
  std::size_t second = static_cast<std::size_t>(kRateHz);
  std::vector<double> signal = bursts(12 * second, 3000);
  std::vector<double> hiss = noise(12 * second, 3);
  std::vector<double> fan = noise(12 * second, 1500, 7);
  for (std::size_t i = 3 * second; i < 8 * second; ++i) hiss[i] += fan[i];
  return pcm(signal, hiss);
}

TEST(NoiseSuppressorTest, AnySplitOfTheInputGivesTheSameOutput) {
  std::vector<std::int16_t> in = roomGettingNoisyAndQuietAgain();
  std::vector<std::int16_t> whole = run(*suppressor(NoiseSuppressor::Engagement::kAdaptive), in);
  ASSERT_EQ(whole.size(), in.size() / kFrame * kFrame);

  for (std::vector<std::size_t> sizes :
       {std::vector<std::size_t>{1, 159, 160, 161, 7, 400, 2},
        std::vector<std::size_t>{341, 342, 341}, std::vector<std::size_t>{0, 3000, 13}}) {
    auto stage = suppressor(NoiseSuppressor::Engagement::kAdaptive);
    std::vector<std::int16_t> out;
    for (std::size_t at = 0, k = 0; at < in.size(); ++k) {
      std::size_t n = std::min(sizes[k % sizes.size()], in.size() - at);
      stage->process(in.data() + at, n, out);
      at += n;
    }
    EXPECT_EQ(out, whole) << "split " << ::testing::PrintToString(sizes);
  }
}

TEST(NoiseSuppressorTest, QuietInputPassesThroughUnchangedOnlyDelayedByOneFrame) {
  // Speech-like bursts well above a quiet room's hiss, and digital silence.
  std::vector<std::int16_t> in = pcm(bursts(5 * 16000, 4000), noise(5 * 16000, 3));
  in.insert(in.end(), 16000, 0);
  for (auto engagement :
       {NoiseSuppressor::Engagement::kAdaptive, NoiseSuppressor::Engagement::kNever}) {
    auto stage = suppressor(engagement);
    std::vector<std::int16_t> out = run(*stage, in);
    EXPECT_FALSE(stage->suppressing());
    EXPECT_GT(stage->estimate().snrDb(), 40);
    ASSERT_EQ(stage->latencySamples(), kFrame);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_TRUE(
        std::all_of(out.begin(), out.begin() + kFrame, [](std::int16_t s) { return s == 0; }));
    EXPECT_TRUE(std::equal(out.begin() + kFrame, out.end(), in.begin()));
  }
}

// Power of the last `seconds` of `x` while the bursts sound, and while they pause.
std::pair<double, double> burstAndPausePower(const std::vector<std::int16_t>& x, std::size_t from) {
  double on = 0, off = 0;
  std::size_t n_on = 0, n_off = 0;
  for (std::size_t i = from; i < x.size(); ++i) {
    // The output is a frame late; the edges of each burst are left out.
    std::size_t phase = (i - kFrame) % 9600;
    double p = static_cast<double>(x[i]) * x[i];
    if (phase >= 5600 && phase < 9200) {
      on += p;
      ++n_on;
    } else if (phase >= 800 && phase < 4400) {
      off += p;
      ++n_off;
    }
  }
  return {on / static_cast<double>(n_on), off / static_cast<double>(n_off)};
}

TEST(NoiseSuppressorTest, ToneInSteadyNoiseComesOutWithABetterSnr) {
  std::size_t n = 10 * 16000;
  std::vector<std::int16_t> in = pcm(bursts(n, 2000), noise(n, 800));  // 5 dB below the tone
  auto in_power = burstAndPausePower(in, n / 2);
  double in_snr = 10 * std::log10((in_power.first - in_power.second) / in_power.second);
  for (auto engagement :
       {NoiseSuppressor::Engagement::kAdaptive, NoiseSuppressor::Engagement::kAlways}) {
    auto stage = suppressor(engagement);
    std::vector<std::int16_t> out = run(*stage, in);
    EXPECT_TRUE(stage->suppressing());
    auto out_power = burstAndPausePower(out, n / 2);
    double out_snr = 10 * std::log10((out_power.first - out_power.second) / out_power.second);
    EXPECT_GT(out_snr, in_snr + 6) << "in " << in_snr << " dB, out " << out_snr << " dB";
    // The tone itself keeps most of its power.
    EXPECT_GT(out_power.first - out_power.second, 0.5 * (in_power.first - in_power.second));
  }
}

TEST(NoiseSuppressorTest, SwitchingCrossfadesWithoutAClickOrALostSample) {
  std::vector<std::int16_t> in = roomGettingNoisyAndQuietAgain();
  // The same input through a stage that always suppresses: the cleaned audio, sample for sample.
  std::vector<std::int16_t> cleaned = run(*suppressor(NoiseSuppressor::Engagement::kAlways), in);
  auto stage = suppressor(NoiseSuppressor::Engagement::kAdaptive);
  std::vector<std::int16_t> out;
  std::vector<bool> state;
  for (std::size_t at = 0; at + kFrame <= in.size(); at += kFrame) {
    stage->process(in.data() + at, kFrame, out);
    state.push_back(stage->suppressing());
  }
  ASSERT_EQ(out.size(), cleaned.size());
  auto raw = [&](std::size_t i) { return i < kFrame ? 0 : in[i - kFrame]; };
  int switches = 0;
  int worst_step = 0, worst_hard_step = 0;
  for (std::size_t f = 0; f < state.size(); ++f) {
    bool before = f > 0 && state[f - 1];
    for (std::size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) {
      if (state[f] == before) {
        // Away from a switch, each sample is exactly the one or the other: none lost or doubled.
        ASSERT_EQ(out[i], state[f] ? cleaned[i] : raw(i)) << "sample " << i;
      } else {
        int lo = std::min<int>(cleaned[i], raw(i)), hi = std::max<int>(cleaned[i], raw(i));
        ASSERT_GE(out[i], lo - 1);
        ASSERT_LE(out[i], hi + 1);
      }
    }
    if (state[f] != before) {
      ++switches;
      // A hard cut would step from one signal to the other at the frame's start.
      for (std::size_t i = f * kFrame; i < (f + 1) * kFrame + 1 && i < out.size(); ++i) {
        worst_step = std::max(worst_step, std::abs(out[i] - out[i - 1]));
      }
      std::size_t i = f * kFrame;
      int from = before ? cleaned[i] : raw(i), to = before ? raw(i) : cleaned[i];
      worst_hard_step = std::max(worst_hard_step, std::abs(to - from));
    }
  }
  EXPECT_EQ(switches, 2);  // on when the fan starts, off when it stops; no flapping
  // The crossfade's steps stay within what the audio itself does from sample to sample.
  int natural_step = 0;
  for (std::size_t i = 1; i < out.size(); ++i) {
    natural_step = std::max(
        {natural_step, std::abs(cleaned[i] - cleaned[i - 1]), std::abs(raw(i) - raw(i - 1))});
  }
  EXPECT_LE(worst_step, natural_step + 64);
  EXPECT_GT(worst_hard_step, 0);
}

TEST(NoiseSuppressorTest, SettingsWithoutAWholeFrameAreRefused) {
  NoiseSuppressor::Settings settings;
  settings.frame_ms = 0;
  EXPECT_FALSE(NoiseSuppressor::make(settings));
  settings.frame_ms = 10;
  settings.sample_rate_hz = 11025;  // 110.25 samples
  EXPECT_FALSE(NoiseSuppressor::make(settings));
  settings.sample_rate_hz = 0;
  EXPECT_FALSE(NoiseSuppressor::make(settings));
  settings.sample_rate_hz = 8000;
  EXPECT_TRUE(NoiseSuppressor::make(settings));
}

TEST(SnrEstimateTest, NoiseCallsForSuppressionOnlyOnceItHasLastedAndSpeechDoesNotUndoIt) {
  SnrEstimate::Settings settings;
  SnrEstimate estimate(settings);
  auto feed = [&](double dbfs, int frames) {
    for (int i = 0; i < frames; ++i) estimate.addFrame(std::pow(10, dbfs / 10));
  };
  feed(-75, 300);  // a quiet room: ordinary speech would stand 45 dB above it
  EXPECT_FALSE(estimate.noisy());
  EXPECT_NEAR(estimate.snrDb(), 45, 0.01);
  // A fan: the floor follows once the window holds nothing quieter, then the decision settles.
  feed(-40, 149 + 29);
  EXPECT_FALSE(estimate.noisy());
  feed(-40, 1);
  EXPECT_TRUE(estimate.noisy());
  // Speech 25 dB above the fan, with short pauses, keeps it so.
  for (int i = 0; i < 10; ++i) {
    feed(-15, 25);
    feed(-40, 5);
  }
  EXPECT_TRUE(estimate.noisy());
  EXPECT_NEAR(estimate.snrDb(), 25, 0.01);
  // A burst shorter than the settling time changes nothing.
  feed(-75, 29);
  EXPECT_TRUE(estimate.noisy());
  feed(-40, 150);
  // The fan stops: quiet again once the floor has dropped and stayed down.
  feed(-75, 30);
  EXPECT_FALSE(estimate.noisy());
  // A level between the two thresholds changes nothing.
  feed(-48, 150);
  EXPECT_NEAR(estimate.snrDb(), 33, 0.01);
  EXPECT_FALSE(estimate.noisy());
}

}  // namespace
}  // namespace audio
