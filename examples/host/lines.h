// Reading the helpers' output: whole lines out of pipe reads, and the text out of a transcript
// line. Pure functions of their input, so a host can test its side of the protocol without
// starting a process.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Cuts the bytes of one pipe into lines. A read may end anywhere, in the middle of a line or of a
// UTF-8 sequence; a line is handed out only once its line feed has arrived.
class LineSplitter {
 public:
  // Takes the bytes of one read; returns the lines they complete, without their line feeds.
  std::vector<std::string> push(std::string_view bytes);

  // At end of file: what followed the last line feed, if anything did. The helpers always end
  // their lines, so a rest means the writer died in the middle of one.
  std::optional<std::string> finish();

 private:
  std::string partial_;
};

// The text of a transcript line, `{"text":"..."}` with its JSON escapes decoded into UTF-8; none
// when the line is anything else (another key, extra members, bad escapes, trailing bytes).
// Whitespace between the tokens is accepted although vorlin-dictate writes none.
std::optional<std::string> transcriptText(std::string_view line);

}  // namespace host
