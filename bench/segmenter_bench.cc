// Prints the segments the segmenter finds in a raw 16 kHz s16le file, one "begin end" line each
// (sample indices), for bench/segmenter_devset.py. Options as name=value override the defaults.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/speech/segmenter.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: segmenter_bench FILE.raw [pause_ms=N preroll_ms=N open_db=X ...]\n";
    return 2;
  }
  speech::SegmenterOptions options;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto eq = arg.find('=');
    std::string name = arg.substr(0, eq);
    double value = std::atof(arg.substr(eq + 1).c_str());
    if (name == "pause_ms")
      options.pause_ms = static_cast<int>(value);
    else if (name == "preroll_ms")
      options.preroll_ms = static_cast<int>(value);
    else if (name == "tail_ms")
      options.tail_ms = static_cast<int>(value);
    else if (name == "min_speech_ms")
      options.min_speech_ms = static_cast<int>(value);
    else if (name == "onset_gap_ms")
      options.onset_gap_ms = static_cast<int>(value);
    else if (name == "open_db")
      options.open_db = value;
    else if (name == "keep_db")
      options.keep_db = value;
    else if (name == "highpass_hz")
      options.highpass_hz = value;
    else if (name == "floor_percentile")
      options.floor_percentile = value;
    else if (name == "floor_window_ms")
      options.floor_window_ms = static_cast<int>(value);
    else {
      std::cerr << "unknown option " << name << "\n";
      return 2;
    }
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "cannot open " << argv[1] << "\n";
    return 1;
  }
  speech::Segmenter segmenter(options);
  std::vector<std::int16_t> block(1600);
  auto print = [](const speech::Segmenter::Segment& s) {
    std::printf("%lld %lld\n", static_cast<long long>(s.begin), static_cast<long long>(s.end));
  };
  while (in.read(reinterpret_cast<char*>(block.data()), block.size() * 2) || in.gcount() > 0) {
    auto n = static_cast<std::size_t>(in.gcount() / 2);
    for (const auto& s : segmenter.push({block.data(), n})) print(s);
  }
  if (auto last = segmenter.finish()) print(*last);
  return 0;
}
