#include "platform/speech/pocketsphinx/model.h"

#include <gtest/gtest.h>
#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/feat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/pcm_file.h"
#include "tests/support/temp_dir.h"

namespace speech {
namespace {

namespace fs = std::filesystem;

const char kTestData[] = "/usr/share/pocketsphinx/test/data";

using testing_support::readPcm;

// A copy of the installed en-US model made of symbolic links, to take files away from.
class ModelCopy {
 public:
  ModelCopy() {
    const fs::path& root = dir_.path();
    ModelFiles real = *ModelFiles::forLocale(Locale{"en-US"});
    fs::create_directory(root / "acoustic");
    for (const auto& entry : fs::directory_iterator(real.acoustic_model)) {
      fs::create_symlink(entry.path(), root / "acoustic" / entry.path().filename());
    }
    fs::create_symlink(real.dictionary, root / "words.dict");
    fs::create_symlink(real.language_model, root / "words.lm.bin");
    files_ = ModelFiles{(root / "acoustic").string(), (root / "words.dict").string(),
                        (root / "words.lm.bin").string(), "pocketsphinx-en-us"};
  }
  const ModelFiles& files() const { return files_; }
  std::string acoustic(const std::string& name) const { return files_.acoustic_model + "/" + name; }

 private:
  testing_support::TempDir dir_{"vorlin-model"};
  ModelFiles files_;
};

std::string decodeUtterance(Decoder& decoder, const std::vector<int16_t>& samples) {
  ps_decoder_t* ps = decoder.get();
  EXPECT_GE(ps_start_utt(ps), 0);
  for (std::size_t at = 0; at < samples.size(); at += 2048) {
    std::size_t n = std::min<std::size_t>(2048, samples.size() - at);
    EXPECT_TRUE(decoder.process(samples.data() + at, n));
  }
  EXPECT_GE(ps_end_utt(ps), 0);
  const char* hyp = ps_get_hyp(ps, nullptr);
  return hyp ? hyp : "";
}

TEST(ModelFilesTest, OnlyEnglishAsSpokenInTheUsHasAModel) {
  for (const char* tag : {"en-US", "en_US", "en_US.UTF-8", "en-us"}) {
    std::optional<ModelFiles> files = ModelFiles::forLocale(Locale{tag});
    ASSERT_TRUE(files) << tag;
    EXPECT_EQ(files->package, "pocketsphinx-en-us");
    EXPECT_FALSE(files->firstMissing()) << *files->firstMissing();
  }
  for (const char* tag : {"en-GB", "en", "de-DE", "und", ""}) {
    EXPECT_FALSE(ModelFiles::forLocale(Locale{tag})) << tag;
  }
}

TEST(ModelFilesTest, FirstMissingNamesEachFileTheEngineOpens) {
  for (const char* name : {"feat.params", "mdef", "means", "variances", "transition_matrices",
                           "noisedict", "sendump"}) {
    ModelCopy copy;
    ASSERT_FALSE(copy.files().firstMissing());
    fs::remove(copy.acoustic(name));
    EXPECT_EQ(copy.files().firstMissing(), copy.acoustic(name));
  }
  ModelCopy copy;
  fs::remove(copy.files().language_model);
  EXPECT_EQ(copy.files().firstMissing(), copy.files().language_model);
  fs::remove(copy.files().dictionary);
  EXPECT_EQ(copy.files().firstMissing(), copy.files().dictionary);
  fs::remove_all(copy.files().acoustic_model);
  EXPECT_EQ(copy.files().firstMissing(), copy.files().acoustic_model);
}

TEST(ModelAudioFormatTest, ReadsTheModelsSampleRate) {
  ModelCopy copy;
  EXPECT_EQ(modelAudioFormat(copy.files()),
            audio::PcmFormat(audio::SampleFormat::Int16, 16000, 1, true));

  fs::remove(copy.acoustic("feat.params"));
  std::ofstream(copy.acoustic("feat.params")) << "-lowerf 200\n-samprate 8000.0\n-nfilt 20\n";
  EXPECT_EQ(modelAudioFormat(copy.files()).sampleRate(), 8000);

  std::ofstream(copy.acoustic("feat.params")) << "-samprate fast\n";
  try {
    modelAudioFormat(copy.files());
    ADD_FAILURE() << "a bad rate was accepted";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find(copy.acoustic("feat.params")), std::string::npos)
        << e.what();
  }

  fs::remove(copy.acoustic("feat.params"));  // the engine's default rate then applies
  EXPECT_EQ(modelAudioFormat(copy.files()).sampleRate(), 16000);
}

TEST(MakeDecoderTest, FailuresNameTheFileOrCarryTheEnginesMessage) {
  ModelCopy copy;
  fs::remove(copy.acoustic("mdef"));
  try {
    makeDecoder(copy.files());
    ADD_FAILURE() << "no error for a missing file";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find(copy.acoustic("mdef")), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("pocketsphinx-en-us"), std::string::npos) << e.what();
  }

  ModelFiles real = *ModelFiles::forLocale(Locale{"en-US"});
  try {
    makeDecoder(real, {"-no_such_option", "1"});
    ADD_FAILURE() << "no error for an unknown option";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("-no_such_option"), std::string::npos) << e.what();
  }

  // A file that is there but is not what the engine expects: the engine exits at once, and only
  // its own message can say why.
  ModelCopy corrupt;
  fs::remove(corrupt.acoustic("means"));
  std::ofstream(corrupt.acoustic("means")) << "not a model\n";
  EXPECT_EXIT(makeDecoder(corrupt.files()), testing::ExitedWithCode(1),
              "^[a-z_]+: the speech engine stopped: .*end_comment\\* marker\n$");
  // The engine said nothing on the terminal and left nothing behind for the next caller.
  EXPECT_EQ(takeEngineMessages(), "");
}

TEST(MakeDecoderTest, DecodesWithTheLanguageModelsWordsOnly) {
  ModelFiles files = *ModelFiles::forLocale(Locale{"en-US"});
  std::unique_ptr<Decoder> decoder = makeDecoder(files);
  EXPECT_EQ(decodeUtterance(*decoder, readPcm(std::string(kTestData) + "/goforward.raw")),
            "go forward ten meters");
  // "zywicki" has a pronunciation but no place in the language model.
  char* known = ps_lookup_word(decoder->get(), "forward");
  char* unknown = ps_lookup_word(decoder->get(), "zywicki");
  EXPECT_NE(known, nullptr);
  EXPECT_EQ(unknown, nullptr);
  std::free(known);
  std::free(unknown);

  // A smaller vocabulary keeps the likeliest words and drops the rare ones.
  std::unique_ptr<Decoder> small = makeDecoder(files, {}, 5000);
  char* common = ps_lookup_word(small->get(), "forward");
  char* rare = ps_lookup_word(small->get(), "dashwood");
  char* rare_in_full = ps_lookup_word(decoder->get(), "dashwood");
  EXPECT_NE(common, nullptr);
  EXPECT_EQ(rare, nullptr);
  EXPECT_NE(rare_in_full, nullptr);
  for (char* pronunciation : {common, rare, rare_in_full}) std::free(pronunciation);

  // With a dictionary of its own the decoder keeps every word of that dictionary.
  std::unique_ptr<Decoder> full = makeDecoder(files, {"-dict", files.dictionary});
  char* kept = ps_lookup_word(full->get(), "zywicki");
  EXPECT_NE(kept, nullptr);
  std::free(kept);
}

// Speech after seconds of noise is heard on the real program by tests/wake_e2e.py (noise); here,
// the engine's running mean that makes it so.
TEST(MakeDecoderTest, TheLiveMeanFollowsSpeechBeforeTheFirstUtteranceEnds) {
  std::unique_ptr<Decoder> decoder = makeDecoder(*ModelFiles::forLocale(Locale{"en-US"}));
  cmn_t* cmn = ps_get_feat(decoder->get())->cmn_struct;
  std::vector<mfcc_t> seed(static_cast<std::size_t>(cmn->veclen));
  cmn_live_get(cmn, seed.data());

  // Two seconds of speech, less than the engine waits before it moves the mean by itself.
  std::vector<int16_t> speech = readPcm(std::string(kTestData) + "/goforward.raw");
  speech.resize(32000);
  ASSERT_GE(ps_start_utt(decoder->get()), 0);
  for (std::size_t at = 0; at < speech.size(); at += 1600) {
    ASSERT_TRUE(decoder->process(speech.data() + at, 1600));
  }
  std::vector<mfcc_t> now(seed.size());
  cmn_live_get(cmn, now.data());
  EXPECT_GT(std::abs(now[0] - seed[0]), 0.5) << "energy mean " << seed[0] << " -> " << now[0];
  ASSERT_GE(ps_end_utt(decoder->get()), 0);
}

// Decodes `samples` in a child process as live decoding does: in inputs of sizes drawn with
// `seed`, a new utterance at each end of speech, the hypothesis asked for after every input.
// False when the child did not come back: the engine aborted it.
bool survivesLiveDecoding(Decoder& decoder, const std::vector<int16_t>& samples, unsigned seed) {
  pid_t child = fork();
  if (child == 0) {
    ps_decoder_t* ps = decoder.get();
    std::mt19937 random(seed);
    const std::size_t sizes[] = {160, 320, 500, 1600, 3200, 6400};
    bool heard = false;
    ps_start_utt(ps);
    for (std::size_t at = 0; at < samples.size();) {
      std::size_t input = std::min(sizes[random() % 6], samples.size() - at);
      for (std::size_t done = 0; done < input; done += 1600) {
        std::size_t n = std::min<std::size_t>(1600, input - done);
        ps_process_raw(ps, samples.data() + at + done, n, FALSE, FALSE);
        bool in_speech = ps_get_in_speech(ps) != 0;
        heard = heard || in_speech;
        if (heard && !in_speech) {
          ps_end_utt(ps);
          ps_start_utt(ps);
          heard = false;
        }
      }
      at += input;
      ps_get_hyp(ps, nullptr);
    }
    ps_end_utt(ps);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(MakeDecoderTest, TheHypothesisCanBeAskedForAfterEveryInput) {
  // A librivox clip of the engine's test data with its pitch raised (sox pitch 250). With the
  // engine's own first table of word ends it aborts on these ways of splitting the clip.
  std::vector<int16_t> clip = readPcm(VORLIN_SPEECH_TESTDATA "/austen-raised-pitch.raw");
  ASSERT_EQ(clip.size(), 96800u);
  const unsigned seeds[] = {4, 6, 20, 23, 26};
  ModelFiles files = *ModelFiles::forLocale(Locale{"en-US"});

  std::vector<std::string> engine_table = liveDecoderOptions();
  engine_table.insert(engine_table.end(), {"-latsize", "5000"});
  std::unique_ptr<Decoder> fragile = makeDecoder(files, engine_table);
  int aborted = 0;
  for (unsigned seed : seeds) aborted += survivesLiveDecoding(*fragile, clip, seed) ? 0 : 1;
  EXPECT_GT(aborted, 0) << "the engine no longer aborts here: this test shows nothing";

  std::unique_ptr<Decoder> live = makeDecoder(files, liveDecoderOptions());
  for (unsigned seed : seeds) EXPECT_TRUE(survivesLiveDecoding(*live, clip, seed)) << seed;
}

}  // namespace
}  // namespace speech
