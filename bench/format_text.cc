// The dictation formatter from the command line, for the formatting bench.
//   format_text              each line of stdin is one committed segment of its own dictation;
//                            prints each as written, line feeds escaped as \n
//   format_text --volatile   the same, each line a provisional (volatile) result
//   format_text --cost FILE  what the formatter costs on the lines of FILE: the median time per
//                            result (volatile and committed) and the memory of the word list
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/text/formatter.h"

namespace {

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Median microseconds per call over rounds of formatting every line.
double medianMicros(const std::vector<std::string>& lines, bool committed) {
  text::FormatContext context;
  context.committed = committed;
  context.before = "Earlier text.";
  std::vector<double> rounds;
  std::size_t sink = 0;
  for (int round = 0; round < 31; ++round) {
    auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines)
      sink += text::formatDictation(line, context).text.size();
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    rounds.push_back(spent.count() / static_cast<double>(lines.size()));
  }
  std::sort(rounds.begin(), rounds.end());
  if (sink == 0) std::puts("");
  return rounds[rounds.size() / 2];
}

int cost(const char* path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  if (lines.empty()) {
    std::fprintf(stderr, "format_text: no lines in %s\n", path);
    return 1;
  }
  long before_kb = residentKb();
  const text::NameList& names = text::NameList::installed();
  long after_kb = residentKb();
  std::printf("word list: %zu names, resident memory +%ld KB (%ld KB in all)\n", names.size(),
              after_kb - before_kb, after_kb);
  std::printf("volatile result:  %.2f us median per result (%zu lines)\n",
              medianMicros(lines, false), lines.size());
  std::printf("committed result: %.2f us median per result\n", medianMicros(lines, true));
  std::printf("resident memory at the end: %ld KB\n", residentKb());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--cost") return cost(argv[2]);
  bool provisional = argc == 2 && std::string(argv[1]) == "--volatile";
  if (argc != 1 && !provisional) {
    std::fprintf(stderr, "usage: format_text [--cost FILE | --volatile] < lines\n");
    return 2;
  }
  text::FormatContext context;
  context.committed = !provisional;
  for (std::string line; std::getline(std::cin, line);) {
    std::cout << escaped(text::formatDictation(line, context).text) << '\n';
  }
  return 0;
}
