// Speed and memory of the Moonshine engine against ONNX Runtime (through Node.js, the oracle
// script tests/oracle/moonshine_ort.js) on the same clips in the same run.
//
//   BUILD/bench/moonshine_bench [RUNS] [CLIP.wav|CLIP.raw ...]
//
// Defaults: 3 runs of the five librivox clips of pocketsphinx-testdata. Prints medians:
// one-shot real-time factor per clip (processing time / audio time) on one and two threads and
// ONNX Runtime's on one, model load time, and the peak RSS of a child process that loads the
// model and transcribes the clips once, as a dictation process would.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/speech/moonshine/model.h"
#include "tests/support/pcm_file.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
namespace moonshine = speech::moonshine;

const std::string kModelDir = VORLIN_MOONSHINE_MODEL_DIR;

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::unique_ptr<moonshine::Model> load() {
  return moonshine::Model::load(kModelDir + "/encoder_model.onnx",
                                kModelDir + "/decoder_model_merged.onnx");
}

double seconds(const std::vector<float>& clip) {
  return static_cast<double>(clip.size()) / moonshine::kSampleRateHz;
}

std::vector<double> engineRtf(const moonshine::Model& model,
                              const std::vector<std::vector<float>>& clips, int runs, int threads) {
  moonshine::Session session(model, threads);
  session.transcribe(clips.front());  // warm the caches and scratch once
  std::vector<double> rtf;
  for (int run = 0; run < runs; ++run)
    for (const auto& clip : clips) {
      auto start = Clock::now();
      session.transcribe(clip);
      rtf.push_back(millisecondsSince(start) / 1000 / seconds(clip));
    }
  return rtf;
}

// Encoder milliseconds per audio second and decoder milliseconds per step (the end token's
// included), one sample per clip.
struct Parts {
  std::vector<double> encode_ms_per_s, decode_ms_per_token;
  // The same as CPU time of the measuring thread: on a shared machine, what the work costs.
  std::vector<double> encode_cpu_ms_per_s, decode_cpu_ms_per_token;
};

double threadCpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void engineParts(const moonshine::Model& model, const std::vector<std::vector<float>>& clips,
                 Parts& parts) {
  moonshine::Session session(model, 1);
  moonshine::Encoder::Scratch scratch;
  std::vector<float> encoded;
  for (const auto& clip : clips) {
    auto start = Clock::now();
    double cpu = threadCpuMs();
    model.encoder().encode(clip, scratch, encoded);
    double encode_ms = millisecondsSince(start), encode_cpu_ms = threadCpuMs() - cpu;
    start = Clock::now();
    cpu = threadCpuMs();
    auto steps = static_cast<double>(session.transcribe(clip).size() + 1);
    double total_ms = millisecondsSince(start), total_cpu_ms = threadCpuMs() - cpu;
    parts.encode_ms_per_s.push_back(encode_ms / seconds(clip));
    parts.decode_ms_per_token.push_back((total_ms - encode_ms) / steps);
    parts.encode_cpu_ms_per_s.push_back(encode_cpu_ms / seconds(clip));
    parts.decode_cpu_ms_per_token.push_back((total_cpu_ms - encode_cpu_ms) / steps);
  }
}

// ONNX Runtime's encode_ms + decode_ms per clip, from the oracle script's JSON lines; its
// parts into `parts`.
std::vector<double> onnxRuntimeRtf(const std::vector<std::string>& raws,
                                   const std::vector<std::vector<float>>& clips, int runs,
                                   Parts& parts) {
  std::string command = "node " VORLIN_ORACLE_SCRIPT " " + kModelDir;
  for (int run = 0; run < runs; ++run)
    for (const std::string& raw : raws) command += " " + raw;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::vector<double> rtf;
  char line[1 << 16];
  std::size_t index = 0;
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text = line;
    auto number = [&](const std::string& key) {
      std::size_t pos = text.find("\"" + key + "\":");
      return pos == std::string::npos ? 0.0 : std::atof(text.c_str() + pos + key.size() + 3);
    };
    const auto& clip = clips[index++ % clips.size()];
    rtf.push_back((number("encode_ms") + number("decode_ms")) / 1000 / seconds(clip));
    std::size_t list = text.find("\"tokens\":[");
    auto tokens = static_cast<std::size_t>(
        std::count(text.begin() + static_cast<std::ptrdiff_t>(list),
                   text.begin() + static_cast<std::ptrdiff_t>(text.find(']', list)), ',') +
        1);
    parts.encode_ms_per_s.push_back(number("encode_ms") / seconds(clip));
    parts.decode_ms_per_token.push_back(number("decode_ms") / static_cast<double>(tokens + 1));
  }
  if (::pclose(pipe) != 0) std::fprintf(stderr, "moonshine_bench: %s failed\n", command.c_str());
  return rtf;
}

// Peak resident memory, in MB, of a child that loads the model and transcribes every clip once.
double childPeakRssMb(const std::vector<std::vector<float>>& clips) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    auto model = load();
    moonshine::Session session(*model);
    for (const auto& clip : clips) session.transcribe(clip);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return status == 0 ? usage.ru_maxrss / 1024.0 : -1;
}

// The clips as the engine takes them, and each also written as headerless samples in `dir`
// for the oracle script, which reads only those.
struct Clips {
  std::vector<std::vector<float>> samples;
  std::vector<std::string> raws;
  double audio_seconds = 0;
};

Clips readClips(const std::vector<std::string>& files, const fs::path& dir) {
  Clips clips;
  for (const std::string& file : files) {
    std::vector<std::int16_t> pcm = testing_support::readPcm(file);
    clips.raws.push_back(dir / (std::to_string(clips.raws.size()) + ".raw"));
    std::ofstream(clips.raws.back(), std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()),
               static_cast<std::streamsize>(pcm.size() * 2));
    clips.samples.push_back(testing_support::toFloat(pcm));
    clips.audio_seconds += seconds(clips.samples.back());
  }
  return clips;
}

std::vector<double> loadMs(int times) {
  std::vector<double> load_ms;
  for (int i = 0; i < times; ++i) {
    auto start = Clock::now();
    auto model = load();
    load_ms.push_back(millisecondsSince(start));
  }
  return load_ms;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::vector<std::string> files(argv + std::min(argc, 2), argv + argc);
  if (files.empty())
    for (const char* clip : {"0870", "0880", "0890", "0920", "0930"})
      files.push_back(
          std::string(
              "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-") +
          clip + ".wav");
  fs::path dir = fs::temp_directory_path() / ("vorlin-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  Clips clips = readClips(files, dir);

  double peak_mb = childPeakRssMb(clips.samples);
  std::vector<double> load_ms = loadMs(5);
  std::unique_ptr<moonshine::Model> model = load();
  // Interleaved, so that the load of the machine falls on each alike.
  std::vector<double> one, two, ort;
  Parts our_parts, ort_parts;
  for (int run = 0; run < runs; ++run) {
    auto a = engineRtf(*model, clips.samples, 1, 1);
    auto b = engineRtf(*model, clips.samples, 1, 2);
    auto c = onnxRuntimeRtf(clips.raws, clips.samples, 1, ort_parts);
    engineParts(*model, clips.samples, our_parts);
    one.insert(one.end(), a.begin(), a.end());
    two.insert(two.end(), b.begin(), b.end());
    ort.insert(ort.end(), c.begin(), c.end());
  }
  fs::remove_all(dir);

  std::printf("clips: %zu, %.1f s of audio, %d runs\n", clips.samples.size(), clips.audio_seconds,
              runs);
  std::printf("real-time factor, one-shot per clip (median):\n");
  std::printf("  ONNX Runtime, 1 thread   %.4f\n", median(ort));
  std::printf("  ours, 1 thread           %.4f  (%.2fx ONNX Runtime)\n", median(one),
              median(one) / median(ort));
  std::printf("  ours, 2 threads          %.4f  (%.2fx ONNX Runtime)\n", median(two),
              median(two) / median(ort));
  std::printf(
      "encoder ms per audio second, 1 thread (median): ours %.2f (CPU %.2f), ONNX Runtime %.2f\n",
      median(our_parts.encode_ms_per_s), median(our_parts.encode_cpu_ms_per_s),
      median(ort_parts.encode_ms_per_s));
  std::printf("decoder ms per token, 1 thread (median): ours %.2f (CPU %.2f), ONNX Runtime %.2f\n",
              median(our_parts.decode_ms_per_token), median(our_parts.decode_cpu_ms_per_token),
              median(ort_parts.decode_ms_per_token));
  std::printf("model load (median of 5): %.1f ms\n", median(load_ms));
  std::printf("peak RSS, load + transcribe the clips: %.1f MB\n", peak_mb);
  return 0;
}
