#include "platform/speech/moonshine/phrase_scorer.h"

#include <algorithm>
#include <cmath>

namespace speech::moonshine {

PhraseScorer::PhraseScorer(const Model& model,
                           std::vector<std::vector<std::vector<std::int32_t>>> phrases,
                           TokenClasses classes, float prune)
    : model_(model), phrases_(std::move(phrases)), classes_(std::move(classes)), prune_(prune) {
  classes_.continues_word.resize(kVocabulary, false);
  classes_.ends_clause.resize(kVocabulary, false);
  // A spelling with a token the model cannot write can never be found, nor one longer than a
  // window of speech holds.
  for (auto& spellings : phrases_) {
    std::erase_if(spellings, [](const std::vector<std::int32_t>& spelling) {
      return spelling.empty() || spelling.size() > kMaxPhraseTokens ||
             !std::all_of(spelling.begin(), spelling.end(), [](std::int32_t t) {
               return t >= 0 && t < kVocabulary && t != kEndToken && t != kStartToken;
             });
    });
  }
}

namespace {

// A phrase heard inside a longer word ("Vorlin" of "Vorlington") shows in the model's doubt
// about the word ending after it; the doubt weighs as much as three tokens' worth, since a
// prefix of a longer word otherwise scores as the phrase itself.
constexpr float kWordEndWeight = 3.0f;

}  // namespace

PhraseScorer::Place PhraseScorer::place(const float* logits) const {
  Place at;
  at.best = *std::max_element(logits, logits + kVocabulary);
  at.first.reserve(phrases_.size());
  for (const auto& spellings : phrases_) {
    std::vector<float>& first = at.first.emplace_back();
    for (const auto& spelling : spellings) first.push_back(logits[spelling[0]]);
  }
  return at;
}

float PhraseScorer::wordEnds(const float* logits) const {
  float best = *std::max_element(logits, logits + kVocabulary);
  double total = 0, continuing = 0;
  for (int t = 0; t < kVocabulary; ++t) {
    double p = std::exp(static_cast<double>(logits[t] - best));
    total += p;
    if (classes_.continues_word[static_cast<std::size_t>(t)]) continuing += p;
  }
  // Floored, so that one certain continuation costs a fixed amount rather than minus infinity.
  return static_cast<float>(std::log(std::max(1.0 - continuing / total, 1e-3)));
}

void PhraseScorer::greedy(std::span<const std::int32_t> earlier, std::size_t limit,
                          PhraseReading& reading) {
  const Decoder& decoder = model_.decoder();
  std::size_t usable = usablePrefix(earlier, limit);
  std::vector<std::int32_t> input{kStartToken};
  input.insert(input.end(), earlier.begin(), earlier.begin() + static_cast<std::ptrdiff_t>(usable));
  decoder.step(input, state_, logits_);

  auto argmax = [](const float* row) {
    return static_cast<std::int32_t>(std::max_element(row, row + kVocabulary) - row);
  };
  std::size_t row = 0;
  std::int32_t next = 0;
  for (;; ++row) {
    const float* logits = logits_.data() + row * kVocabulary;
    places_.push_back(place(logits));
    next = argmax(logits);
    if (row == usable || next != earlier[row]) break;
    reading.tokens.push_back(next);
  }
  Decoder::truncate(state_, static_cast<int>(row) + 1);
  while (next != kEndToken && reading.tokens.size() < limit) {
    reading.tokens.push_back(next);
    decoder.step({&next, 1}, state_, logits_);
    places_.push_back(place(logits_.data()));
    next = argmax(logits_.data());
  }
}

bool PhraseScorer::opensPhrase(const std::vector<std::int32_t>& tokens, int position) const {
  if (position == 0) return true;
  std::int32_t before = tokens[static_cast<std::size_t>(position) - 1];
  return classes_.ends_clause[static_cast<std::size_t>(before)];
}

float PhraseScorer::follow(const std::vector<std::int32_t>& spelling, int position) {
  Decoder::truncate(state_, position + 1);
  model_.decoder().step(spelling, state_, logits_);
  float score = 0;
  for (std::size_t t = 1; t < spelling.size(); ++t) {
    const float* row = logits_.data() + (t - 1) * kVocabulary;
    float best = *std::max_element(row, row + kVocabulary);
    score += row[spelling[t]] - best;
  }
  return score + kWordEndWeight * wordEnds(logits_.data() + (spelling.size() - 1) * kVocabulary);
}

PhraseReading PhraseScorer::read(std::span<const float> samples,
                                 std::span<const std::int32_t> earlier) {
  PhraseReading reading;
  reading.phrases.assign(phrases_.size(), PhraseMatch{});
  places_.clear();
  samples = samples.first(std::min(samples.size(), kMaxSegmentSamples));
  std::size_t frames = encoderFrames(samples.size());
  if (frames == 0) return reading;
  samples = cleanSamples(samples, samples_);
  useOneMathThread();
  encodeAndStart(model_, samples, encoder_scratch_, encoded_, state_);
  greedy(earlier, maxTokens(samples.size()), reading);

  // From the last place back: forcing a phrase at a place overwrites the cache after it only,
  // and every earlier place still finds the reading's tokens before it.
  for (int position = static_cast<int>(places_.size()) - 1; position >= 0; --position) {
    if (!opensPhrase(reading.tokens, position)) continue;
    const Place& at = places_[static_cast<std::size_t>(position)];
    for (std::size_t p = 0; p < phrases_.size(); ++p) {
      for (std::size_t s = 0; s < phrases_[p].size(); ++s) {
        float first = at.first[p][s] - at.best;
        if (first < prune_) continue;
        float score = first + follow(phrases_[p][s], position);
        if (score > reading.phrases[p].score) reading.phrases[p] = {score, position};
      }
    }
  }
  return reading;
}

}  // namespace speech::moonshine
