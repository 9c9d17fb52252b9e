#include "platform/speech/pocketsphinx_transcriber.h"

#include <gtest/gtest.h>
#include <pocketsphinx.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "platform/runtime/run_loop.h"
#include "tests/support/word_errors.h"

namespace speech {
namespace {

namespace fs = std::filesystem;

const std::string kTestData = "/usr/share/pocketsphinx/test/data";
const std::string kLibrivox = kTestData + "/librivox/sense_and_sensibility_01_austen_64kb-";

std::vector<int16_t> readSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::size_t start = 0;
  if (bytes.starts_with("RIFF")) {
    std::size_t data = bytes.find("data", 12);
    if (data == std::string::npos) throw std::runtime_error("no data chunk in " + path);
    start = data + 8;
  }
  std::vector<int16_t> samples((bytes.size() - start) / 2);
  std::memcpy(samples.data(), bytes.data() + start, samples.size() * 2);
  return samples;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

// Word-level edit distance: substitutions, insertions and deletions against `reference`.
std::size_t wordErrors(const std::string& reference, const std::string& hypothesis) {
  return testing_support::wordErrors(words(reference), words(hypothesis));
}

std::string reference(const std::string& clip) {
  std::ifstream in(kTestData + "/librivox/transcription");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("(sense_and_sensibility_01_austen_64kb-" + clip + ")") == std::string::npos) {
      continue;
    }
    std::string text = line.substr(0, line.rfind(" ("));
    std::string out;
    for (const std::string& word : words(text)) {
      if (word != "<s>" && word != "</s>") out += (out.empty() ? "" : " ") + word;
    }
    return out;
  }
  throw std::runtime_error("no transcription for " + clip);
}

// Runs `body` as a coroutine on a fresh run loop until it ends; rethrows its error.
void runOnLoop(const std::function<runtime::Task<>()>& body) {
  runtime::RunLoop loop;
  std::exception_ptr error;
  auto wrapper = [&]() -> runtime::Task<> {
    try {
      co_await body();
    } catch (...) {
      error = std::current_exception();
    }
    loop.stop();
  };
  runtime::Task<> task;
  loop.post([&] { task = wrapper(); });
  loop.run();
  if (error) std::rethrow_exception(error);
}

// What one dictation saw, in the order it happened.
struct Transcription {
  std::vector<SpeechTranscriberResult> results;
  std::vector<std::string> events;  // "volatile", "final", "finalized", "end"
  std::string error;                // the results' error, if they ended with one
  std::string finalize_error;

  std::string committed() const {
    std::string text;
    for (const auto& result : results) {
      if (result.isFinal) text += result.text;
    }
    return text;
  }
};

std::vector<std::shared_ptr<audio::AVAudioPCMBuffer>> buffersOf(
    const std::vector<int16_t>& samples, std::uint32_t frames_per_buffer,
    const audio::AVAudioFormat& format) {
  std::vector<std::shared_ptr<audio::AVAudioPCMBuffer>> buffers;
  for (std::size_t at = 0; at < samples.size(); at += frames_per_buffer) {
    auto frames =
        static_cast<std::uint32_t>(std::min<std::size_t>(frames_per_buffer, samples.size() - at));
    auto buffer = audio::AVAudioPCMBuffer::initWithPCMFormat(format, frames);
    std::memcpy(buffer->int16ChannelData()[0], samples.data() + at, frames * 2);
    buffer->setFrameLength(frames);
    buffers.push_back(buffer);
  }
  return buffers;
}

Transcription transcribe(SpeechService& service,
                         std::vector<std::shared_ptr<audio::AVAudioPCMBuffer>> buffers) {
  Transcription seen;
  runOnLoop([&]() -> runtime::Task<> {
    std::shared_ptr<SpeechTranscriber> transcriber = service.makeTranscriber(
        Locale{"en-US"}, {}, {ReportingOption::volatileResults, ReportingOption::fastResults}, {});
    const Modules modules = {transcriber};
    std::unique_ptr<SpeechAnalyzer> analyzer = service.makeAnalyzer(modules);
    auto [sound, feed] = runtime::makeStream<AnalyzerInput>();
    auto collect = [](runtime::Stream<SpeechTranscriberResult> results,
                      Transcription& seen) -> runtime::Task<> {
      try {
        while (std::optional<SpeechTranscriberResult> result = co_await results.next()) {
          seen.events.push_back(result->isFinal ? "final" : "volatile");
          seen.results.push_back(*result);
        }
        seen.events.push_back("end");
      } catch (const std::exception& e) {
        seen.error = e.what();
      }
    };
    runtime::Task<> collector = collect(transcriber->results(), seen);
    // The input comes from another thread, as it does from a reader of standard input.
    std::thread reader([feed = feed, buffers] {
      for (const auto& buffer : buffers) feed.yield(AnalyzerInput(buffer));
      feed.finish();
    });
    try {
      co_await analyzer->start(sound);
      co_await analyzer->finalizeAndFinishThroughEndOfInput();
      seen.events.push_back("finalized");
    } catch (const std::exception& e) {
      seen.finalize_error = e.what();
    }
    co_await collector;
    reader.join();
  });
  return seen;
}

audio::AVAudioFormat modelFormat() {
  return modelAudioFormat(*ModelFiles::forLocale(Locale{"en-US"}));
}

// The engine's own one-shot decode of a whole recording as a single utterance.
std::string oneShot(const std::vector<int16_t>& samples) {
  std::vector<std::string> options = liveDecoderOptions();
  std::unique_ptr<Decoder> decoder = makeDecoder(*ModelFiles::forLocale(Locale{"en-US"}), options);
  EXPECT_GE(ps_start_utt(decoder->get()), 0);
  EXPECT_GE(ps_process_raw(decoder->get(), samples.data(), samples.size(), FALSE, TRUE), 0);
  EXPECT_GE(ps_end_utt(decoder->get()), 0);
  const char* hyp = ps_get_hyp(decoder->get(), nullptr);
  return plainWords(hyp ? hyp : "");
}

TEST(PlainWordsTest, KeepsOnlyWordsAUserWouldRead) {
  struct Case {
    const char* hypothesis;
    const char* words;
  } cases[] = {
      {"", ""},
      {"hello world", "hello world"},
      {"<s> hello <sil> world </s>", "hello world"},
      {"[NOISE] hello [SPEECH] ++BREATH++", "hello"},
      {"read(2) the book(3)", "read the book"},
      {"  spaced   out  ", "spaced out"},
      {"<sil> [NOISE]", ""},
      {"(2)", "(2)"},  // no word to strip the marker from
      {"o'clock 'tis", "o'clock 'tis"},
  };
  for (const Case& c : cases) EXPECT_EQ(plainWords(c.hypothesis), c.words) << c.hypothesis;
}

TEST(LocaleTest, PosixNamesBecomeLanguageTags) {
  struct Case {
    const char* name;
    const char* tag;
  } cases[] = {
      {"en_US.UTF-8", "en-US"},
      {"en_US", "en-US"},
      {"en-us", "en-US"},
      {"de_DE@euro", "de-DE"},
      {"pt_BR.utf8", "pt-BR"},
      {"fr", "fr"},
      {"sr_Latn_RS", "sr-Latn-RS"},
      {"es_419", "es-419"},
      {"C", "und"},
      {"C.UTF-8", "und"},
      {"POSIX", "und"},
      {"", "und"},
      {"1234", "und"},
  };
  for (const Case& c : cases) EXPECT_EQ(Locale::fromPosixName(c.name).identifier, c.tag) << c.name;
}

TEST(LocaleTest, CurrentFollowsTheCLibrarysOrder) {
  struct Case {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* tag;
  } cases[] = {
      {"de_DE.UTF-8", "fr_FR", "en_GB", "de-DE"},
      {"", "fr_FR.UTF-8", "en_GB", "fr-FR"},
      {nullptr, nullptr, "en_GB.UTF-8", "en-GB"},
      {nullptr, nullptr, nullptr, "und"},
  };
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* value = getenv(names[i])) saved[i] = value;
  }
  for (const Case& c : cases) {
    const char* values[] = {c.lc_all, c.lc_messages, c.lang};
    for (int i = 0; i < 3; ++i) {
      if (values[i]) {
        setenv(names[i], values[i], 1);
      } else {
        unsetenv(names[i]);
      }
    }
    EXPECT_EQ(Locale::current().identifier, c.tag);
  }
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) {
      setenv(names[i], saved[i]->c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
}

TEST(PocketsphinxServiceTest, AnswersForInstalledModelsOnly) {
  PocketsphinxSpeechService& service =
      static_cast<PocketsphinxSpeechService&>(pocketsphinxSpeechService());
  // Arguments are named rather than built in place: a temporary must not live across a
  // suspension.
  runOnLoop([&]() -> runtime::Task<> {
    const Locale us{"en-US"};
    const std::pair<const char*, bool> cases[] = {{"en-US", true},       {"en_US", true},
                                                  {"en_US.UTF-8", true}, {"en-GB", false},
                                                  {"de-DE", false},      {"und", false}};
    for (const auto& [tag, installed] : cases) {
      const Locale asked{tag};
      std::optional<Locale> supported = co_await service.supportedLocale(asked);
      EXPECT_EQ(supported, installed ? std::optional<Locale>(us) : std::nullopt) << tag;
    }
    const Modules modules = {service.makeTranscriber(us, {}, {}, {})};
    std::unique_ptr<AssetInstallationRequest> request =
        co_await service.assetInstallationRequest(modules);
    EXPECT_EQ(request, nullptr);
    std::optional<audio::AVAudioFormat> format = co_await service.bestAvailableAudioFormat(modules);
    EXPECT_EQ(format,
              audio::AVAudioFormat(audio::AVAudioCommonFormat::PCMFormatInt16, 16000, 1, true));

    const Locale gb{"en-GB"};
    const Modules british = {service.makeTranscriber(gb, {}, {}, {})};
    format = co_await service.bestAvailableAudioFormat(british);
    EXPECT_FALSE(format);
    std::string message;
    try {
      request = co_await service.assetInstallationRequest(british);
    } catch (const Error& e) {
      message = e.what();
    }
    EXPECT_NE(message.find("en-GB"), std::string::npos) << message;
  });
}

TEST(PocketsphinxServiceTest, MissingModelFileGivesARequestThatNamesPathAndPackage) {
  char pattern[] = "/tmp/vorlin-model-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path root = pattern;
  ModelFiles real = *ModelFiles::forLocale(Locale{"en-US"});
  fs::create_directory(root / "acoustic");
  for (const auto& entry : fs::directory_iterator(real.acoustic_model)) {
    if (entry.path().filename() != "mdef") {
      fs::create_symlink(entry.path(), root / "acoustic" / entry.path().filename());
    }
  }
  ModelFiles partial{(root / "acoustic").string(), real.dictionary, real.language_model,
                     "pocketsphinx-en-us"};
  PocketsphinxSpeechService service([&](const Locale& locale) -> std::optional<ModelFiles> {
    if (locale.identifier != "en-US") return std::nullopt;
    return partial;
  });
  runOnLoop([&]() -> runtime::Task<> {
    const Locale us{"en-US"};
    std::optional<Locale> supported = co_await service.supportedLocale(us);
    EXPECT_FALSE(supported);
    const Modules modules = {service.makeTranscriber(us, {}, {}, {})};
    std::unique_ptr<AssetInstallationRequest> request =
        co_await service.assetInstallationRequest(modules);
    EXPECT_NE(request, nullptr);
    if (!request) co_return;
    std::string message;
    try {
      co_await request->downloadAndInstall();
    } catch (const Error& e) {
      message = e.what();
    }
    EXPECT_NE(message.find(partial.acoustic_model + "/mdef"), std::string::npos) << message;
    EXPECT_NE(message.find("pocketsphinx-en-us"), std::string::npos) << message;
  });
  fs::remove_all(root);
}

TEST(PocketsphinxAnalyzerTest, StreamingIsNearlyAsAccurateAsTheEnginesOneShotDecode) {
  // The clips as one dictation, against each clip decoded whole. The whole-clip decode
  // normalizes with the mean of audio it has not heard yet, which a live decoder cannot; the
  // margin of four words in 71 allows for that and no more (measured: 21 errors against 20).
  std::size_t one_shot_errors = 0;
  std::string truth;
  std::vector<int16_t> all;
  for (const char* clip : {"0870", "0880", "0890", "0920", "0930"}) {
    std::vector<int16_t> samples = readSamples(kLibrivox + clip + ".wav");
    one_shot_errors += wordErrors(reference(clip), oneShot(samples));
    truth += reference(clip) + " ";
    all.insert(all.end(), samples.begin(), samples.end());
  }
  Transcription seen = transcribe(pocketsphinxSpeechService(), buffersOf(all, 3200, modelFormat()));
  ASSERT_EQ(seen.error, "");
  EXPECT_LE(wordErrors(truth, seen.committed()), one_shot_errors + 4) << seen.committed();
}

TEST(PocketsphinxAnalyzerTest, ResultsComeInOrderAsCleanSeparatedText) {
  // Two sentences with a pause between them long enough to end speech, in buffers of odd sizes.
  std::vector<int16_t> samples = readSamples(kTestData + "/goforward.raw");
  std::mt19937 random(3);
  std::normal_distribution<double> hiss(0, 20);
  for (int i = 0; i < 24000; ++i) samples.push_back(static_cast<int16_t>(hiss(random)));
  std::vector<int16_t> numbers = readSamples(kTestData + "/numbers.raw");
  samples.insert(samples.end(), numbers.begin(), numbers.end());

  Transcription seen =
      transcribe(pocketsphinxSpeechService(), buffersOf(samples, 1999, modelFormat()));
  ASSERT_EQ(seen.error, "");
  ASSERT_GE(seen.events.size(), 4u);
  EXPECT_EQ(seen.events.end()[-2], "finalized");
  EXPECT_EQ(seen.events.back(), "end");

  std::size_t finals = 0;
  bool volatile_since_final = false;
  for (const SpeechTranscriberResult& result : seen.results) {
    SCOPED_TRACE(result.text);
    EXPECT_EQ(result.text.find_first_of("<>[]()+"), std::string::npos);
    EXPECT_EQ(result.text.find("  "), std::string::npos);
    EXPECT_NE(result.text.back(), ' ');
    // Everything after the first committed text continues the transcript after a space.
    EXPECT_EQ(result.text.starts_with(' '), finals > 0);
    if (result.isFinal) {
      EXPECT_TRUE(volatile_since_final) << "a final result with no volatile one before it";
      volatile_since_final = false;
      ++finals;
    } else {
      volatile_since_final = true;
    }
  }
  EXPECT_GE(finals, 2u);
  EXPECT_TRUE(seen.committed().starts_with("go forward ten meters ")) << seen.committed();
}

TEST(PocketsphinxAnalyzerTest, EmptyInputFinalizesWithNoResult) {
  Transcription seen = transcribe(pocketsphinxSpeechService(), {});
  EXPECT_EQ(seen.error, "");
  EXPECT_TRUE(seen.results.empty());
  EXPECT_EQ(seen.events, (std::vector<std::string>{"finalized", "end"}));
}

TEST(PocketsphinxAnalyzerTest, AudioInAnotherFormatEndsResultsAndFinalizationWithAnError) {
  audio::AVAudioFormat wrong(audio::AVAudioCommonFormat::PCMFormatInt16, 8000, 1, true);
  Transcription seen =
      transcribe(pocketsphinxSpeechService(), buffersOf(std::vector<int16_t>(8000), 800, wrong));
  EXPECT_NE(seen.error.find(wrong.description()), std::string::npos) << seen.error;
  EXPECT_EQ(seen.finalize_error, seen.error);
  EXPECT_TRUE(seen.results.empty());
}

TEST(PocketsphinxAnalyzerTest, ModelThatCannotLoadFailsStartWithTheReason) {
  ModelFiles real = *ModelFiles::forLocale(Locale{"en-US"});
  ModelFiles broken = real;
  broken.language_model = "/nonexistent/words.lm.bin";
  PocketsphinxSpeechService service([&](const Locale&) { return broken; });
  Transcription seen =
      transcribe(service, buffersOf(std::vector<int16_t>(1600), 1600, modelFormat()));
  EXPECT_NE(seen.finalize_error.find("/nonexistent/words.lm.bin"), std::string::npos)
      << seen.finalize_error;
  EXPECT_EQ(seen.error, seen.finalize_error);
}

}  // namespace
}  // namespace speech
