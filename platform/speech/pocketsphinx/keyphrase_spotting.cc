#include "platform/speech/pocketsphinx/keyphrase_spotting.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "platform/speech/pocketsphinx/engine_words.h"

namespace speech {

namespace {

std::string joinWords(const std::string& text) {
  std::string joined;
  for (const std::string& word : splitWords(text)) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

}  // namespace

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<Keyphrase> keyphrasesFor(const std::vector<std::string>& contextual, double threshold) {
  std::vector<Keyphrase> phrases;
  if (!(threshold > 0)) return phrases;
  for (const std::string& text : contextual) {
    std::string folded;
    for (unsigned char c : text) {
      // Apostrophes belong to words the dictionary knows ("don't"); other marks do not.
      if (std::isalnum(c) || c == '\'') {
        folded += static_cast<char>(std::tolower(c));
      } else {
        folded += ' ';
      }
    }
    std::vector<std::string> words = splitWords(folded);
    if (words.size() < 2) continue;
    std::string joined = joinWords(folded);
    bool seen = std::any_of(phrases.begin(), phrases.end(),
                            [&](const Keyphrase& p) { return p.words == joined; });
    if (seen) continue;
    phrases.push_back({text, joined, threshold});
  }
  return phrases;
}

std::string keyphraseListLine(const Keyphrase& phrase) {
  char threshold[32];
  std::snprintf(threshold, sizeof threshold, "%g", phrase.threshold);
  return phrase.words + " /" + threshold + "/\n";
}

std::string composeTranscript(const std::vector<Segment>& words,
                              const std::vector<Segment>& spotted,
                              const std::vector<Keyphrase>& phrases) {
  // The engine spells a detection the way its keyphrase list does, spacing included.
  std::vector<Segment> detections = spotted;
  for (Segment& d : detections) d.word = joinWords(d.word);
  struct Placed {
    int start_frame;
    std::string text;
  };
  std::vector<const Segment*> kept;
  for (const Segment& d : detections) {
    auto phrase = std::find_if(phrases.begin(), phrases.end(),
                               [&](const Keyphrase& p) { return p.words == d.word; });
    if (phrase == phrases.end()) continue;
    bool inside = std::any_of(detections.begin(), detections.end(), [&](const Segment& other) {
      bool contains = other.start_frame <= d.start_frame && d.end_frame <= other.end_frame;
      bool larger =
          other.end_frame - other.start_frame > d.end_frame - d.start_frame ||
          (other.end_frame - other.start_frame == d.end_frame - d.start_frame && &other < &d);
      return &other != &d && contains && larger;
    });
    if (!inside) kept.push_back(&d);
  }
  std::vector<Placed> placed;
  for (const Segment* d : kept) {
    auto phrase = std::find_if(phrases.begin(), phrases.end(),
                               [&](const Keyphrase& p) { return p.words == d->word; });
    placed.push_back({d->start_frame, phrase->text});
  }
  for (const Segment& w : words) {
    if (isFiller(w.word)) continue;
    // Midpoints in doubled frames keep the arithmetic whole.
    int middle = w.start_frame + w.end_frame;
    bool covered = std::any_of(kept.begin(), kept.end(), [&](const Segment* d) {
      return 2 * d->start_frame <= middle && middle <= 2 * d->end_frame;
    });
    if (!covered) placed.push_back({w.start_frame, std::string(baseWord(w.word))});
  }
  std::stable_sort(placed.begin(), placed.end(),
                   [](const Placed& a, const Placed& b) { return a.start_frame < b.start_frame; });
  std::string text;
  for (const Placed& p : placed) text += (text.empty() ? "" : " ") + p.text;
  return text;
}

}  // namespace speech
