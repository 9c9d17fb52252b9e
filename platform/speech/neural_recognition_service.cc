// The recognition service on the neural model: phrase spotting on Moonshine tiny.
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/speech/moonshine/model_files.h"
#include "platform/speech/moonshine_phrases.h"
#include "platform/speech/phrase_recognizer.h"

namespace speech {
namespace {

std::shared_ptr<SFSpeechRecognizer> makeRecognizer(const moonshine::NeuralModelFiles& files) {
  std::shared_ptr<const MoonshinePhrases> loaded;
  std::string load_error;
  try {
    loaded = MoonshinePhrases::load(files);
  } catch (const Error& error) {
    load_error = error.what();
  }
  return makePhraseRecognizer(
      [loaded](const std::vector<std::string>& phrases) { return loaded->engine(phrases); },
      load_error);
}

class Service : public RecognitionService {
 public:
  void requestAuthorization(
      std::function<void(SFSpeechRecognizerAuthorizationStatus)> handler) override {
    // There is no speech permission to ask for here; the answer still comes from elsewhere, as
    // callers expect.
    std::thread([handler = std::move(handler)] {
      handler(SFSpeechRecognizerAuthorizationStatus::authorized);
    }).detach();
  }

  std::shared_ptr<SFSpeechRecognizer> initWithLocale(const Locale& locale) override {
    std::optional<moonshine::NeuralModelFiles> files =
        moonshine::NeuralModelFiles::forLocale(locale);
    if (!files) return nullptr;
    // One recognizer per locale for the life of the process, so the model is loaded only once.
    std::lock_guard lock(mutex_);
    std::shared_ptr<SFSpeechRecognizer>& recognizer = recognizers_[locale.identifier];
    if (!recognizer) recognizer = makeRecognizer(*files);
    return recognizer;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<SFSpeechRecognizer>> recognizers_;
};

}  // namespace

RecognitionService& neuralRecognitionService() {
  // Never destroyed: the worker threads of its recognizers may still be serving when the process
  // exits.
  static Service* service = new Service;
  return *service;
}

}  // namespace speech
