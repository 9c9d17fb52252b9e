#include "platform/speech/moonshine_phrases.h"

#include <cctype>

#include "platform/speech/error.h"
#include "platform/speech/moonshine/model.h"
#include "platform/speech/moonshine/phrase_scorer.h"
#include "platform/speech/moonshine/tokenizer.h"

namespace speech {

struct MoonshinePhrases::Loaded {
  std::unique_ptr<moonshine::Model> model;
  moonshine::Tokenizer tokenizer;
  moonshine::TokenClasses classes;
};

namespace {

moonshine::TokenClasses classesOf(const moonshine::Tokenizer& tokenizer) {
  moonshine::TokenClasses classes;
  for (std::size_t t = 0; t < tokenizer.size(); ++t) {
    auto token = static_cast<std::int32_t>(t);
    classes.continues_word.push_back(tokenizer.continuesWord(token));
    classes.ends_clause.push_back(tokenizer.endsClause(token));
  }
  return classes;
}

// Phrases of more bytes than this are never found (moonshine::kMaxPhraseTokens), and are not
// encoded either: encoding costs the square of the length.
constexpr std::size_t kMaxPhraseBytes = 256;

std::vector<std::vector<std::int32_t>> spellings(const moonshine::Tokenizer& tokenizer,
                                                 const std::string& phrase) {
  if (phrase.size() > kMaxPhraseBytes) return {};
  std::vector<std::vector<std::int32_t>> out{tokenizer.encode(phrase)};
  std::string turned = phrase;
  if (!turned.empty() && std::isalpha(static_cast<unsigned char>(turned[0]))) {
    auto c = static_cast<unsigned char>(turned[0]);
    turned[0] = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    out.push_back(tokenizer.encode(turned));
  }
  return out;
}

class Engine : public PhraseEngine {
 public:
  Engine(std::shared_ptr<const MoonshinePhrases::Loaded> loaded,
         std::vector<std::vector<std::vector<std::int32_t>>> phrases, float prune)
      : loaded_(std::move(loaded)),
        scorer_(*loaded_->model, std::move(phrases), loaded_->classes, prune) {}

  PhraseHearing hear(std::span<const float> samples, const PhraseHearing& earlier) override {
    moonshine::PhraseReading reading = scorer_.read(samples, earlier.tokens);
    PhraseHearing heard;
    heard.text = loaded_->tokenizer.decode(reading.tokens);
    heard.tokens = std::move(reading.tokens);
    for (const moonshine::PhraseMatch& match : reading.phrases) heard.scores.push_back(match.score);
    return heard;
  }

 private:
  std::shared_ptr<const MoonshinePhrases::Loaded> loaded_;
  moonshine::PhraseScorer scorer_;
};

}  // namespace

std::shared_ptr<const MoonshinePhrases> MoonshinePhrases::load(
    const moonshine::NeuralModelFiles& files) {
  if (std::optional<std::string> missing = files.missingMessage()) throw Error(*missing);
  auto tokenizer = moonshine::Tokenizer::load(files.tokenizer);
  moonshine::TokenClasses classes = classesOf(tokenizer);
  auto loaded =
      std::make_shared<const Loaded>(Loaded{moonshine::Model::load(files.encoder, files.decoder),
                                            std::move(tokenizer), std::move(classes)});
  return std::shared_ptr<const MoonshinePhrases>(new MoonshinePhrases(std::move(loaded)));
}

MoonshinePhrases::~MoonshinePhrases() = default;

std::unique_ptr<PhraseEngine> MoonshinePhrases::engine(const std::vector<std::string>& phrases,
                                                       float prune) const {
  std::vector<std::vector<std::vector<std::int32_t>>> tokens;
  for (const std::string& phrase : phrases) tokens.push_back(spellings(loaded_->tokenizer, phrase));
  return std::make_unique<Engine>(loaded_, std::move(tokens), prune);
}

}  // namespace speech
