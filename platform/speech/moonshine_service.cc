// Dictation on Moonshine tiny: the neural service with its engine and model files.
#include "platform/speech/moonshine_service.h"

#include <utility>

#include "platform/runtime/memory.h"
#include "platform/speech/moonshine/model.h"
#include "platform/speech/moonshine/tokenizer.h"
#include "platform/speech/neural_transcriber.h"
#include "platform/text/formatter.h"

namespace speech {
namespace {

class MoonshineEngine : public SegmentEngine {
 public:
  explicit MoonshineEngine(const moonshine::NeuralModelFiles& files)
      : model_(moonshine::Model::load(files.encoder, files.decoder)),
        tokenizer_(moonshine::Tokenizer::load(files.tokenizer)),
        session_(*model_) {}

  SegmentHypothesis transcribe(std::span<const float> samples,
                               const SegmentHypothesis& earlier) override {
    return *transcribeUnless(samples, earlier, {});
  }

  std::optional<SegmentHypothesis> transcribeUnless(std::span<const float> samples,
                                                    const SegmentHypothesis& earlier,
                                                    const std::function<bool()>& moot) override {
    std::optional<std::vector<std::int32_t>> tokens =
        session_.transcribeUnless(samples, earlier.tokens, moot);
    if (!tokens) return std::nullopt;
    SegmentHypothesis heard;
    heard.tokens = std::move(*tokens);
    heard.text = tokenizer_.decode(heard.tokens);
    return heard;
  }

 private:
  std::unique_ptr<moonshine::Model> model_;
  moonshine::Tokenizer tokenizer_;
  moonshine::Session session_;
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
