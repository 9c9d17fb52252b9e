// How strongly a stretch of audio holds given phrases, by Moonshine tiny: the model's own best
// reading of the audio, and for each phrase, at each place in that reading where it could begin
// (the start, or after a punctuation mark: a name called out is set off by them), how the
// phrase's tokens fare against what the model would rather have written there.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/speech/moonshine/model.h"

namespace speech::moonshine {

// One phrase's best place in a reading.
struct PhraseMatch {
  // Sum over the phrase's tokens, each forced after the reading's first `position` tokens and
  // the phrase's tokens before it, of the token's log-probability minus that of the likeliest
  // token there; plus the log-probability that the word ends after the phrase. 0 is a phrase the
  // model would have written itself; lower is less likely. kNoMatch where the phrase was not
  // scored (its first token was already too unlikely everywhere, or it has no tokens).
  float score = kNoMatch;
  int position = -1;
  static constexpr float kNoMatch = -1e30f;
};

struct PhraseReading {
  std::vector<std::int32_t> tokens;  // the model's greedy reading (no start or end token)
  std::vector<PhraseMatch> phrases;  // one per phrase, in the scorer's order
};

// What the scorer needs to know of the vocabulary's tokens, indexed by token.
struct TokenClasses {
  // Carries on the word before it (Tokenizer::continuesWord): a phrase followed by one is inside
  // a longer word ("Vorlin" in "Vorlington") and scores low.
  std::vector<bool> continues_word;
  // Ends in a punctuation mark (Tokenizer::endsClause): a phrase may begin after one.
  std::vector<bool> ends_clause;
};

// Phrases of more tokens than this are never found: no window of speech the listener hears holds
// them, and forcing them would cost the decoder more than the whole window.
inline constexpr std::size_t kMaxPhraseTokens = 32;

// One scoring context: owns its scratch memory; use from one thread at a time.
class PhraseScorer {
 public:
  // `phrases`: each phrase's spellings (say, capitalised and not), each as tokens without start
  // or end token; a phrase scores as its best spelling. `prune`: a spelling whose first token
  // scores below this at a place is not followed further there.
  PhraseScorer(const Model& model, std::vector<std::vector<std::vector<std::int32_t>>> phrases,
               TokenClasses classes, float prune = -20.0f);

  // Reads `samples` (16 kHz mono in [-1, 1]; what Session::transcribe takes) and scores every
  // phrase at every place in the reading. `earlier`: the tokens of an earlier reading of a
  // shorter beginning of the same audio; what the model still agrees with costs one batched pass.
  PhraseReading read(std::span<const float> samples, std::span<const std::int32_t> earlier = {});

 private:
  // What scoring needs of the distribution at one place of the reading.
  struct Place {
    float best = 0;                         // the largest logit
    std::vector<std::vector<float>> first;  // each spelling's first-token logit, per phrase
  };
  Place place(const float* logits) const;
  void greedy(std::span<const std::int32_t> earlier, std::size_t limit, PhraseReading& reading);
  // Whether a phrase may begin after the reading's first `position` tokens.
  bool opensPhrase(const std::vector<std::int32_t>& tokens, int position) const;
  // The rest of `spelling` forced after the first `position` tokens: the sum of its tokens'
  // margins after the first, and the word-end term.
  float follow(const std::vector<std::int32_t>& spelling, int position);
  float wordEnds(const float* logits) const;

  const Model& model_;
  std::vector<std::vector<std::vector<std::int32_t>>> phrases_;
  TokenClasses classes_;
  float prune_;

  std::vector<float> samples_;  // the window cleaned, when it needs cleaning
  Encoder::Scratch encoder_scratch_;
  std::vector<float> encoded_;
  Decoder::State state_;
  std::vector<float> logits_;
  std::vector<Place> places_;
};

}  // namespace speech::moonshine
