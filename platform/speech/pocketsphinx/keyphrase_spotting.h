// The pure half of contextual strings: which phrases the keyphrase spotter searches for, with
// which thresholds, and how its detections merge into the language model's transcription.
#pragma once

#include <string>
#include <vector>

namespace speech {

// One contextual string as the spotter searches for it.
struct Keyphrase {
  std::string text;   // as the request gave it: what the transcription shows
  std::string words;  // lower-case words separated by single spaces: what the engine searches
  double threshold;   // the engine's detection threshold; smaller fires more readily
};

// The phrases to spot for a request's contextual strings at `threshold`: punctuation dropped,
// case folded, duplicates and single words left out (a lone word matches by chance too often),
// order kept. None when the threshold is not positive.
std::vector<Keyphrase> keyphrasesFor(const std::vector<std::string>& contextual, double threshold);
// One line of the engine's keyphrase list file.
std::string keyphraseListLine(const Keyphrase& phrase);
std::vector<std::string> splitWords(const std::string& text);

// A word or phrase a decoder found, with the first and last frame it spans.
struct Segment {
  std::string word;
  int start_frame;
  int end_frame;
};

// The transcription: the language model's words, fillers left out and alternate marks dropped,
// except where the spotter found one of `phrases`; there the phrase's text stands in place of
// the words that overlap it. A detection inside a longer one counts once.
std::string composeTranscript(const std::vector<Segment>& words,
                              const std::vector<Segment>& detections,
                              const std::vector<Keyphrase>& phrases);

}  // namespace speech
