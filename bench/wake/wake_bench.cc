// Feeds every clip of the wake development set (make_devset.sh) through the PocketSphinx
// recognizer the way vorlin-wake drives it, and beside it through the engine's own keyphrase
// spotter, and prints recall, false wakes, latency and cost.
//
//   wake_bench DEVSET_DIR [BASELINE_THRESHOLD]
//
// WAKE_BENCH_SUPPRESSION=never|always|adaptive (default: adaptive, as vorlin-wake) picks the
// noise suppression; WAKE_BENCH_GROUPS=REGEX runs only the groups it finds; WAKE_BENCH_BASELINE=0
// leaves the engine's spotter out; WAKE_BENCH_PHRASE_THRESHOLD=X spots the phrase at X instead of
// the listener's own threshold (a permissive first stage in front of another check).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/audio/converter.h"
#include "platform/speech/pocketsphinx/keyphrase_spotting.h"
#include "platform/speech/pocketsphinx/recognizer.h"
#include "wake/words.h"

namespace {

// The microphone's usual format: what the recognizer is fed in vorlin-wake.
const audio::PcmFormat kMicrophone(audio::SampleFormat::Float32, 48000, 2, true);
constexpr std::uint32_t kTapFrames = 1024;
// vorlin-wake restarts a cycle that ended without the name this long after its final result;
// the audio in between goes to the ended request and is lost.
constexpr double kRestartSeconds = 0.2;
// What the engine's own spotter searches for.
constexpr char kWakePhrase[] = "hey vorlin";

audio::NoiseSuppressor::Engagement suppression() {
  const char* name = std::getenv("WAKE_BENCH_SUPPRESSION");
  std::string mode = name ? name : "adaptive";
  if (mode == "never") return audio::NoiseSuppressor::Engagement::kNever;
  if (mode == "always") return audio::NoiseSuppressor::Engagement::kAlways;
  if (mode != "adaptive") throw std::runtime_error("WAKE_BENCH_SUPPRESSION: " + mode);
  return audio::NoiseSuppressor::Engagement::kAdaptive;
}

struct Clip {
  std::string file;
  bool positive;
  std::string group;
  double vorlin_end = -1;  // seconds
};

std::vector<int16_t> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0) {
    throw std::runtime_error("not a WAV file: " + path);
  }
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    std::uint32_t size;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) {
      std::size_t n = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
      std::vector<int16_t> samples(n);
      std::memcpy(samples.data(), bytes.data() + at + 8, n * 2);
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  throw std::runtime_error("no data chunk in " + path);
}

// The clip as microphone buffers of kTapFrames.
std::vector<std::shared_ptr<audio::PcmBuffer>> microphoneBuffers(
    const std::vector<int16_t>& samples) {
  audio::PcmFormat clip_format(audio::SampleFormat::Int16, 16000, 1, true);
  auto converter = audio::Converter::create(clip_format, kMicrophone);
  auto input =
      audio::PcmBuffer::create(clip_format, static_cast<std::uint32_t>(samples.size() + 1));
  std::copy(samples.begin(), samples.end(), input->int16ChannelData()[0]);
  input->setFrameLength(static_cast<std::uint32_t>(samples.size()));
  std::vector<std::shared_ptr<audio::PcmBuffer>> buffers;
  bool given = false;
  for (;;) {
    auto out = audio::PcmBuffer::create(kMicrophone, kTapFrames);
    auto status =
        converter->convert(*out, nullptr, [&](std::uint32_t, audio::ConverterInputStatus* s) {
          if (given) {
            *s = audio::ConverterInputStatus::EndOfStream;
            return std::shared_ptr<audio::PcmBuffer>();
          }
          given = true;
          *s = audio::ConverterInputStatus::HaveData;
          return input;
        });
    if (out->frameLength() > 0) buffers.push_back(out);
    if (status != audio::ConverterStatus::HaveData) break;
  }
  return buffers;
}

bool containsVorlin(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text.find("vorlin") != std::string::npos;
}

double phraseThreshold() {
  const char* value = std::getenv("WAKE_BENCH_PHRASE_THRESHOLD");
  return value ? std::stod(value) : wake::kPhraseThreshold;
}

// How one recognition cycle ended: with a wake, with the task's final result, or neither (the
// audio ran out); `at` is seconds into the cycle.
struct CycleEnd {
  bool woke = false, final = false;
  double at = 0;
};

std::shared_ptr<speech::RecognitionRequest> wakeRequest() {
  auto request = std::make_shared<speech::RecognitionRequest>();
  request->setRequiresOnDeviceRecognition(true);
  request->setShouldReportPartialResults(true);
  request->setContextualStrings(wake::contextualStrings());
  request->setPhraseThreshold(phraseThreshold());
  request->setPronunciations(wake::pronunciations());
  request->setNoiseSuppression(suppression());
  return request;
}

// One cycle as vorlin-wake runs it, on buffers[next...].
CycleEnd runCycle(speech::PocketsphinxRecognizer& recognizer,
                  const std::vector<std::shared_ptr<audio::PcmBuffer>>& buffers, std::size_t next) {
  std::shared_ptr<speech::RecognitionRequest> request = wakeRequest();
  // The handler may still be called (with the cancellation) after this cycle is over here.
  struct Outcome {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    CycleEnd end;
    // Cancelled from the handler as the cycle ends, so the recognizer hears no more of this
    // request than vorlin-wake's would: how far the worker got before the bench's thread
    // woke up would otherwise change the state it carries to the next cycle, and the figures.
    std::shared_ptr<speech::RecognitionTask> task;
  };
  auto outcome = std::make_shared<Outcome>();
  auto* decoded = &recognizer;
  std::shared_ptr<speech::RecognitionTask> task = recognizer.recognitionTask(
      request, [outcome, decoded](std::shared_ptr<const speech::RecognitionResult> result,
                                  std::shared_ptr<const speech::Error> error) {
        std::lock_guard lock(outcome->mutex);
        if (outcome->done) return;
        double position = static_cast<double>(decoded->taskSamplesDecoded()) / 16000.0;
        if (std::getenv("WAKE_BENCH_TRACE")) {
          std::printf("  %.2f s %s: %s\n", position,
                      error               ? "error"
                      : result->isFinal() ? "final"
                                          : "partial",
                      error ? error->what() : result->bestTranscription().formattedString.c_str());
        }
        if (result && containsVorlin(result->bestTranscription().formattedString)) {
          outcome->end.woke = true;
        } else if (!error && !(result && result->isFinal())) {
          return;
        }
        outcome->end.final = result && result->isFinal();
        outcome->end.at = position;
        outcome->done = true;
        if (outcome->task) outcome->task->cancel();
        outcome->ended.notify_all();
      });
  {
    std::lock_guard lock(outcome->mutex);
    outcome->task = task;
  }
  for (std::size_t i = next; i < buffers.size(); ++i) request->append(buffers[i]);
  request->endAudio();
  CycleEnd end;
  {
    std::unique_lock lock(outcome->mutex);
    outcome->ended.wait(lock, [&] { return outcome->done; });
    end = outcome->end;
  }
  task->cancel();
  std::lock_guard lock(outcome->mutex);
  outcome->task = nullptr;  // the handler holds the outcome, and the task the handler
  return end;
}

// One clip through rolling cycles as vorlin-wake runs them: the times (seconds into the clip)
// at which a wake line would be written.
std::vector<double> wakes(speech::PocketsphinxRecognizer& recognizer,
                          const std::vector<std::shared_ptr<audio::PcmBuffer>>& buffers) {
  std::vector<double> found;
  std::size_t next = 0;
  double cycle_start = 0;
  const double seconds_per_buffer = static_cast<double>(kTapFrames) / kMicrophone.sampleRate();
  while (next < buffers.size()) {
    CycleEnd end = runCycle(recognizer, buffers, next);
    if (end.woke) {
      found.push_back(cycle_start + end.at);
    } else if (!end.final) {
      break;
    }
    double resume = cycle_start + end.at + (end.woke ? 0.0 : kRestartSeconds);
    std::size_t resume_buffer = static_cast<std::size_t>(resume / seconds_per_buffer + 0.999);
    if (resume_buffer <= next) resume_buffer = next + 1;
    next = resume_buffer;
    cycle_start = static_cast<double>(next) * seconds_per_buffer;
    // A task's final comes at the end of the audio as well; nothing of the clip is left then.
    if (end.final && end.at + 0.05 >= static_cast<double>(buffers.size()) * seconds_per_buffer)
      break;
  }
  return found;
}

int baselineDetections(const std::string& clip, const std::string& dictionary,
                       const std::string& threshold) {
  std::string command = "pocketsphinx_continuous -infile '" + clip + "' -dict '" + dictionary +
                        "' -keyphrase '" + kWakePhrase + "' -kws_threshold " + threshold +
                        " -logfn /dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  int lines = 0;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    if (containsVorlin(line)) ++lines;
  }
  if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  return lines;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Tally {
  int clips = 0;
  int hits = 0;           // clips with at least one wake
  int baseline_hits = 0;  // the same for the engine's spotter
};

std::vector<Clip> readManifest(const std::string& dir) {
  std::ifstream manifest(dir + "/manifest.tsv");
  if (!manifest) {
    throw std::runtime_error("cannot read " + dir + "/manifest.tsv: run make_devset.sh first");
  }
  std::vector<Clip> clips;
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream fields(line);
    Clip clip;
    std::string kind, end;
    std::getline(fields, clip.file, '\t');
    std::getline(fields, kind, '\t');
    std::getline(fields, clip.group, '\t');
    std::getline(fields, end, '\t');
    clip.positive = kind == "positive";
    if (end != "-") clip.vorlin_end = std::stod(end);
    clips.push_back(clip);
  }
  return clips;
}

// The wake phrase's words for the engine's own spotter, which takes them from a dictionary.
std::string writeKeyphraseDictionary(const std::string& dir) {
  const std::string dictionary = dir + "/keyphrase.dict";
  std::ofstream out(dictionary);
  out << "hey HH EY\n";
  for (const speech::Pronunciation& p : wake::pronunciations())
    out << p.word << " " << p.phones << "\n";
  return dictionary;
}

struct Totals {
  std::map<std::string, Tally> tallies;
  std::vector<double> latencies_ms;
  double audio_seconds = 0, decode_cpu = 0;
  int wake_lines = 0;
};

void printReport(Totals& t, const std::string& baseline_threshold) {
  std::printf("%-24s %6s %18s %18s\n", "", "clips", "recognizer", "spotter alone");
  for (const auto& [key, tally] : t.tallies) {
    std::printf("%-24s %6d %10d (%4.0f%%) %10d (%4.0f%%)\n", key.c_str(), tally.clips, tally.hits,
                100.0 * tally.hits / tally.clips, tally.baseline_hits,
                100.0 * tally.baseline_hits / tally.clips);
  }
  std::vector<double>& latencies = t.latencies_ms;
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    std::printf("latency after \"Vorlin\" ends: median %.0f ms, 90%% %.0f ms, max %.0f ms\n",
                latencies[latencies.size() / 2], latencies[latencies.size() * 9 / 10],
                latencies.back());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("wake lines %d; %.0f s of audio decoded in %.1f s CPU (real-time factor %.3f)\n",
              t.wake_lines, t.audio_seconds, t.decode_cpu, t.decode_cpu / t.audio_seconds);
  std::printf("decoder loads %llu; peak resident memory %.1f MB\n",
              static_cast<unsigned long long>(speech::recognizerDecoderLoads()),
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::printf("spotter alone: pocketsphinx_continuous -keyphrase \"%s\" -kws_threshold %s\n",
              kWakePhrase, baseline_threshold.c_str());
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc < 2) {
    std::cerr << "usage: wake_bench DEVSET_DIR [BASELINE_THRESHOLD]\n";
    return 2;
  }
  const std::string dir = argv[1];
  const std::string baseline_threshold = argc > 2 ? argv[2] : "1e-20";
  std::vector<Clip> clips = readManifest(dir);
  auto files = speech::ModelFiles::forLocale(speech::Locale{"en-US"});
  if (!files) throw std::runtime_error("no en-US model");
  auto recognizer = speech::PocketsphinxRecognizer::make(*files);
  if (!recognizer->supportsOnDeviceRecognition())
    throw std::runtime_error("the model does not load");
  const std::string dictionary = writeKeyphraseDictionary(dir);
  const char* groups_env = std::getenv("WAKE_BENCH_GROUPS");
  const std::regex groups(groups_env ? groups_env : ".*");
  const char* baseline_env = std::getenv("WAKE_BENCH_BASELINE");
  const bool with_baseline = !(baseline_env && std::string(baseline_env) == "0");

  Totals totals;
  for (const Clip& clip : clips) {
    if (!std::regex_match(clip.group, groups)) continue;
    std::vector<int16_t> samples = readWav(dir + "/" + clip.file);
    auto buffers = microphoneBuffers(samples);
    double cpu = cpuSeconds();
    std::vector<double> found = wakes(*recognizer, buffers);
    totals.decode_cpu += cpuSeconds() - cpu;
    totals.audio_seconds += static_cast<double>(samples.size()) / 16000.0;
    int baseline = with_baseline
                       ? baselineDetections(dir + "/" + clip.file, dictionary, baseline_threshold)
                       : 0;
    Tally& tally = totals.tallies[(clip.positive ? "recall " : "false wakes ") + clip.group];
    ++tally.clips;
    tally.hits += !found.empty();
    tally.baseline_hits += baseline > 0;
    totals.wake_lines += static_cast<int>(found.size());
    if (clip.positive && !found.empty()) {
      totals.latencies_ms.push_back((found.front() - clip.vorlin_end) * 1000.0);
    }
    if (std::getenv("WAKE_BENCH_VERBOSE") && (clip.positive == found.empty())) {
      std::printf("%s %s: recognizer %zu, baseline %d\n", clip.positive ? "miss" : "false wake",
                  clip.file.c_str(), found.size(), baseline);
    }
  }
  printReport(totals, baseline_threshold);
  return 0;
} catch (const std::exception& e) {
  std::cerr << "wake_bench: " << e.what() << "\n";
  return 1;
}
