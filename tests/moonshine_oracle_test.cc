// Our Moonshine engine against ONNX Runtime (tests/oracle/moonshine_ort.js, through Node.js) on
// the recordings of pocketsphinx-testdata: the same tokens, and the same logits within a small
// tolerance at the first decoding steps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/speech/moonshine/model.h"
#include "tests/support/child_process.h"
#include "tests/support/pcm_file.h"

namespace {

namespace fs = std::filesystem;
using speech::moonshine::kVocabulary;

const char kTestData[] = "/usr/share/pocketsphinx/test/data";
constexpr int kLogitSteps = 3;
// The activations are quantized to 8 bits on the fly at every layer, so a difference in the last
// bit of a float (a sum taken in another order) now and then moves a value to the next of the
// 256 steps, and the logits (which span about 40) drift apart a little. ONNX Runtime with and
// without its graph optimizations differs that way from itself, by up to 1.5 (RMS over a step up
// to 0.32) on these recordings; we differ from it by up to 1.7 (RMS up to 0.40). A wrong
// operator moves them by several units.
constexpr double kMaxLogitDifference = 2.5;
constexpr double kRmsLogitDifference = 0.6;

struct Reference {
  std::string file;
  std::vector<std::int32_t> tokens;
  std::vector<std::vector<float>> logits;
};

// The JSON array of numbers that starts at line[pos] ('['); leaves pos after its ']'.
std::vector<double> parseNumbers(const std::string& line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != '[') throw std::runtime_error("expected an array");
  ++pos;
  std::vector<double> values;
  while (pos < line.size() && line[pos] != ']') {
    char* end = nullptr;
    values.push_back(std::strtod(line.c_str() + pos, &end));
    if (end == line.c_str() + pos) throw std::runtime_error("bad number in the oracle's line");
    pos = static_cast<std::size_t>(end - line.c_str());
    if (line[pos] == ',') ++pos;
  }
  ++pos;
  return values;
}

std::size_t valueOf(const std::string& line, const std::string& key) {
  std::size_t pos = line.find("\"" + key + "\":");
  if (pos == std::string::npos) throw std::runtime_error("no " + key + " in the oracle's line");
  return pos + key.size() + 3;
}

Reference parseLine(const std::string& line) {
  Reference r;
  std::size_t file = valueOf(line, "file") + 1;
  r.file = line.substr(file, line.find('"', file) - file);
  std::size_t pos = valueOf(line, "tokens");
  for (double t : parseNumbers(line, pos)) r.tokens.push_back(static_cast<std::int32_t>(t));
  pos = valueOf(line, "logits") + 1;  // past the outer '['
  while (pos < line.size() && line[pos] == '[') {
    std::vector<double> step = parseNumbers(line, pos);
    r.logits.emplace_back(step.begin(), step.end());
    if (line[pos] == ',') ++pos;
  }
  return r;
}

class MoonshineOracle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_ = speech::moonshine::Model::load(
        std::string(VORLIN_MOONSHINE_MODEL_DIR) + "/encoder_model.onnx",
        std::string(VORLIN_MOONSHINE_MODEL_DIR) + "/decoder_model_merged.onnx");
  }
  static void TearDownTestSuite() { model_.reset(); }
  static std::unique_ptr<speech::moonshine::Model> model_;
};
std::unique_ptr<speech::moonshine::Model> MoonshineOracle::model_;

std::vector<std::string> recordings() {
  std::vector<std::string> files;
  for (const char* dir : {"librivox", "cards"})
    for (const auto& entry : fs::directory_iterator(fs::path(kTestData) / dir))
      if (entry.path().extension() == ".wav") files.push_back(entry.path());
  files.push_back(std::string(kTestData) + "/goforward.raw");
  files.push_back(std::string(kTestData) + "/something.raw");
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(MoonshineOracle, SameTokensAndLogitsAsOnnxRuntime) {
  std::vector<std::string> files = recordings();
  ASSERT_EQ(files.size(), 12u) << "pocketsphinx-testdata is not installed";
  // The oracle reads headerless samples: write each recording as such.
  fs::path dir = fs::temp_directory_path() / ("vorlin-oracle-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<std::string> raws;
  std::vector<std::vector<float>> audio;
  for (const std::string& file : files) {
    std::vector<std::int16_t> pcm = testing_support::readPcm(file);
    raws.push_back(dir / (fs::path(file).stem().string() + ".raw"));
    std::ofstream(raws.back(), std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()),
               static_cast<std::streamsize>(pcm.size() * 2));
    audio.push_back(testing_support::toFloat(pcm));
  }
  std::vector<std::string> args{"node", VORLIN_ORACLE_SCRIPT, VORLIN_MOONSHINE_MODEL_DIR,
                                "--logits", std::to_string(kLogitSteps)};
  args.insert(args.end(), raws.begin(), raws.end());
  testing_support::ChildResult oracle = testing_support::runInChild(
      [&] {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("node", argv.data());
        _exit(127);
      },
      "", 600);
  fs::remove_all(dir);
  ASSERT_EQ(oracle.status, 0) << oracle.err;

  std::istringstream lines(oracle.out);
  std::string line;
  std::vector<Reference> references;
  while (std::getline(lines, line))
    if (!line.empty()) references.push_back(parseLine(line));
  ASSERT_EQ(references.size(), files.size());

  speech::moonshine::Session session(*model_);
  session.keepLogits(kLogitSteps);
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const Reference& ref = references[i];
    EXPECT_EQ(ref.file, raws[i]);
    EXPECT_FALSE(ref.tokens.empty());
    EXPECT_EQ(session.transcribe(audio[i]), ref.tokens);
    const std::vector<float>& ours = session.keptLogits();
    ASSERT_EQ(ours.size(), ref.logits.size() * kVocabulary);
    for (std::size_t step = 0; step < ref.logits.size(); ++step) {
      ASSERT_EQ(ref.logits[step].size(), static_cast<std::size_t>(kVocabulary));
      double worst = 0, squares = 0;
      for (int t = 0; t < kVocabulary; ++t) {
        double d = ours[step * kVocabulary + t] - ref.logits[step][t];
        worst = std::max(worst, std::abs(d));
        squares += d * d;
      }
      double rms = std::sqrt(squares / kVocabulary);
      EXPECT_LT(worst, kMaxLogitDifference) << "step " << step;
      EXPECT_LT(rms, kRmsLogitDifference) << "step " << step;
      std::printf("%s step %zu: logits differ by at most %.3f, RMS %.3f\n",
                  fs::path(files[i]).filename().c_str(), step, worst, rms);
    }
  }
}

}  // namespace
