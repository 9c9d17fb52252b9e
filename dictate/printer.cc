#include "dictate/printer.h"

#include "dictate/output.h"

namespace dictate {

runtime::Task<> printResults(runtime::Stream<speech::SpeechTranscriber::Result> results,
                             std::string& done) {
  while (std::optional<speech::SpeechTranscriber::Result> result = co_await results.next()) {
    // Committed text is appended as it comes: the recognizer puts the spaces between segments.
    if (result->isFinal) done += result->text;
    std::string line = done;
    if (!result->isFinal) line += result->text;
    say(line);
  }
}

}  // namespace dictate
