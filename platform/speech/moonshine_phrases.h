// Phrase engines on Moonshine tiny: the model and its vocabulary, loaded once, and an engine for
// each list of phrases asked for.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/speech/moonshine/model_files.h"
#include "platform/speech/phrase_spotter.h"

namespace speech {

class MoonshinePhrases {
 public:
  // Throws Error naming the file that is missing or does not load.
  static std::shared_ptr<const MoonshinePhrases> load(const moonshine::NeuralModelFiles& files);
  ~MoonshinePhrases();

  // An engine that scores `phrases`, each also with the case of its first letter turned (the
  // model writes a name called out mid-sentence after a lower-case "hey"). `prune`: see
  // moonshine::PhraseScorer. The engine keeps this object alive.
  std::unique_ptr<PhraseEngine> engine(const std::vector<std::string>& phrases,
                                       float prune = kDefaultPrune) const;
  static constexpr float kDefaultPrune = -14.0f;

  struct Loaded;

 private:
  explicit MoonshinePhrases(std::shared_ptr<const Loaded> loaded) : loaded_(std::move(loaded)) {}
  std::shared_ptr<const Loaded> loaded_;
};

}  // namespace speech
