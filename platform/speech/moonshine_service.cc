// Dictation on Moonshine tiny: the neural service with its engine and model files.
#include "platform/speech/moonshine_service.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "platform/runtime/memory.h"
#include "platform/speech/moonshine/model.h"
#include "platform/speech/moonshine/tokenizer.h"
#include "platform/speech/neural_transcriber.h"
#include "platform/text/formatter.h"

namespace speech {
namespace {

// Committed readings are what a user waits for, the one after the end of input above all: they
// run on every core (up to kMostThreads, past which a segment's work splits too finely to gain).
// Volatile readings come again and again while the input is live, and run on one.
constexpr unsigned kMostThreads = 4;

class MoonshineEngine : public SegmentEngine {
 public:
  explicit MoonshineEngine(const moonshine::NeuralModelFiles& files)
      : model_(moonshine::Model::load(files.encoder, files.decoder)),
        tokenizer_(moonshine::Tokenizer::load(files.tokenizer)),
        session_(*model_),
        committed_threads_(
            static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads))) {
    warmUp();
  }

  SegmentHypothesis transcribe(std::span<const float> samples,
                               const SegmentHypothesis& earlier) override {
    return *read(samples, earlier, {}, committed_threads_);
  }

  std::optional<SegmentHypothesis> transcribeUnless(std::span<const float> samples,
                                                    const SegmentHypothesis& earlier,
                                                    const std::function<bool()>& moot) override {
    return read(samples, earlier, moot, 1);
  }

 private:
  // The math library generates its kernels on their first call: done here, while the model
  // loads, that cost is not added to the first words a user waits for.
  void warmUp() {
    std::vector<float> silence(moonshine::kMinEncoderSamples, 0.0f);
    session_.transcribe(silence);
  }

  std::optional<SegmentHypothesis> read(std::span<const float> samples,
                                        const SegmentHypothesis& earlier,
                                        const std::function<bool()>& moot, int threads) {
    session_.setThreads(threads);
    std::optional<std::vector<std::int32_t>> tokens =
        session_.transcribeUnless(samples, earlier.tokens, moot);
    if (!tokens) return std::nullopt;
    SegmentHypothesis heard;
    heard.tokens = std::move(*tokens);
    heard.text = tokenizer_.decode(heard.tokens);
    return heard;
  }

  std::unique_ptr<moonshine::Model> model_;
  moonshine::Tokenizer tokenizer_;
  moonshine::Session session_;
  int committed_threads_;
};

}  // namespace

std::unique_ptr<SpeechService> moonshineSpeechService(DictationWriter writer,
                                                      std::function<void()> prepare) {
  // Loading the model and each reading take and free large blocks of changing sizes: about 5 MB
  // of a long dictation's peak otherwise.
  runtime::keepLargeBlocksMapped();
  return std::make_unique<NeuralSpeechService>(
      moonshine::NeuralModelFiles::forLocale,
      [prepare = std::move(prepare)](const moonshine::NeuralModelFiles& files) {
        if (prepare) prepare();
        try {
          return std::make_unique<MoonshineEngine>(files);
        } catch (const Error& e) {
          // Present but unreadable as a model: damaged, or from another version.
          throw Error(std::string(e.what()) + "; it comes with " + files.install_hint);
        }
      },
      std::move(writer));
}

}  // namespace speech
