// Every window the phrase spotter hears in each clip of the wake development set, with the best
// phrase score in it, for choosing the threshold offline (bench/wake/phrase_sweep.py):
//   phrase_scores DEVSET [GROUP_REGEX] > scores.tsv
// One line per clip: file, kind, group, split, "Vorlin" end (s) or -, then per window
// end:score:begin:closing (seconds; closing 1 for the last hearing of a window, after a pause).
// Each clip is heard by a fresh spotter that never spots, so no window is cut short.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/speech/moonshine/model_files.h"
#include "platform/speech/moonshine/phrase_scorer.h"
#include "platform/speech/moonshine_phrases.h"
#include "platform/speech/phrase_spotter.h"
#include "tests/support/pcm_file.h"

namespace {

using namespace speech;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: phrase_scores DEVSET [GROUP_REGEX]\n";
    return 2;
  }
  std::string dir = argv[1];
  std::regex groups(argc > 2 ? argv[2] : ".*");
  const char* env_phrases = std::getenv("WAKE_PHRASES");
  std::vector<std::string> phrases = {"Hey Vorlin", "Vorlin"};
  if (env_phrases) {
    phrases.clear();
    std::stringstream list(env_phrases);
    for (std::string p; std::getline(list, p, '|');) phrases.push_back(p);
  }
  auto phrases_model =
      MoonshinePhrases::load(moonshine::NeuralModelFiles::inDirectory(VORLIN_MOONSHINE_MODEL_DIR));
  const char* prune = std::getenv("WAKE_PRUNE");
  std::unique_ptr<PhraseEngine> engine_owner =
      phrases_model->engine(phrases, prune ? std::stof(prune) : MoonshinePhrases::kDefaultPrune);
  PhraseEngine& engine = *engine_owner;
  PhraseSpotterOptions options;
  if (const char* v = std::getenv("WAKE_INTERVAL_MS")) options.check_interval_ms = std::stoi(v);
  if (const char* v = std::getenv("WAKE_WINDOW_MS")) options.max_window_ms = std::stoi(v);
  if (const char* v = std::getenv("WAKE_PAUSE_MS")) options.segmenter.pause_ms = std::stoi(v);

  // WAKE_EACH: every phrase's score after the best, comma-separated, in WAKE_PHRASES' order.
  const bool each = std::getenv("WAKE_EACH") != nullptr;
  std::ifstream manifest(dir + "/manifest.tsv");
  double audio_seconds = 0;
  double cpu_start = cpuSeconds();
  for (std::string line; std::getline(manifest, line);) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
    if (f.size() < 4 || !std::regex_match(f[2], groups)) continue;
    std::vector<std::int16_t> samples = testing_support::readPcm(dir + "/" + f[0]);
    audio_seconds += static_cast<double>(samples.size()) / 16000;
    PhraseSpotter spotter(
        engine, std::vector<float>(phrases.size(), std::numeric_limits<float>::infinity()),
        options);
    std::fflush(stdout);
    std::cout << f[0] << '\t' << f[1] << '\t' << f[2] << '\t' << (f.size() > 4 ? f[4] : "dev")
              << '\t' << f[3];
    // 1024-frame pieces at 16 kHz, about as often as the microphone delivers.
    for (std::size_t at = 0; at < samples.size(); at += 341) {
      std::size_t n = std::min<std::size_t>(341, samples.size() - at);
      for (const auto& heard : spotter.push({samples.data() + at, n})) {
        float best = moonshine::PhraseMatch::kNoMatch;
        for (float s : heard.scores) best = std::max(best, s);
        std::printf("\t%.3f:%.2f:%.3f:%d", static_cast<double>(heard.window_end) / 16000,
                    static_cast<double>(best), static_cast<double>(heard.window_begin) / 16000,
                    heard.closing ? 1 : 0);
        if (each)
          for (std::size_t i = 0; i < heard.scores.size(); ++i)
            std::printf("%c%.2f", i == 0 ? ':' : ',', static_cast<double>(heard.scores[i]));
        if (std::getenv("WAKE_TEXT")) std::printf(":%s", heard.text.c_str());
      }
    }
    std::cout << std::endl;
  }
  std::fprintf(stderr, "audio %.1f s, cpu %.1f s\n", audio_seconds, cpuSeconds() - cpu_start);
  return 0;
}
