#include "platform/text/format_tokens.h"

#include <algorithm>
#include <array>

namespace text {
namespace {

constexpr std::string_view kLeadPunctuation = "\"([{";
constexpr std::string_view kTrailPunctuation = ".,;:!?\"')]}";
// Their full stop belongs to the word, so it neither ends a sentence nor meets a spoken mark.
constexpr std::array<std::string_view, 11> kAbbreviations = {"mr", "mrs", "ms",   "dr",  "st", "jr",
                                                             "sr", "vs",  "prof", "a.m", "p.m"};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void addWord(std::string_view piece, bool (*splittable)(std::string_view),
             bool (*tail)(std::string_view), FormatTokens& out) {
  FormatToken token;
  std::size_t begin = 0;
  while (begin < piece.size() && kLeadPunctuation.find(piece[begin]) != std::string_view::npos) {
    ++begin;
  }
  std::size_t end = piece.size();
  while (end > begin && kTrailPunctuation.find(piece[end - 1]) != std::string_view::npos) --end;
  token.lead = piece.substr(0, begin);
  token.text = piece.substr(begin, end - begin);
  token.trail = piece.substr(end);
  token.foreign = std::any_of(piece.begin(), piece.end(),
                              [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  std::string lower = lowered(token.text);
  if (!token.trail.empty() && token.trail[0] == '.' &&
      std::find(kAbbreviations.begin(), kAbbreviations.end(), lower) != kAbbreviations.end()) {
    token.text += '.';
    token.trail.erase(0, 1);
  }
  if (token.text.find('-') != std::string::npos && !token.foreign) {
    std::vector<std::string_view> parts;
    std::string_view rest = lower;
    for (std::size_t dash; (dash = rest.find('-')) != std::string_view::npos;) {
      parts.push_back(rest.substr(0, dash));
      rest.remove_prefix(dash + 1);
    }
    parts.push_back(rest);
    bool whole = std::none_of(parts.begin(), parts.end(),
                              [](std::string_view part) { return part.empty(); });
    if (whole && (std::all_of(parts.begin(), parts.end(), splittable) || tail(parts.back()))) {
      std::size_t at = 0;
      for (std::size_t i = 0; i < parts.size(); ++i) {
        FormatToken part;
        part.text = token.text.substr(at, parts[i].size());
        at += parts[i].size() + 1;
        if (i == 0) part.lead = token.lead;
        if (i + 1 == parts.size()) part.trail = token.trail;
        out.push_back(std::move(part));
      }
      return;
    }
  }
  out.push_back(std::move(token));
}

}  // namespace

FormatTokens tokenize(std::string_view text, bool (*splittable)(std::string_view lower),
                      bool (*tail)(std::string_view lower)) {
  FormatTokens out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (isSpace(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !isSpace(text[end])) ++end;
    addWord(text.substr(i, end - i), splittable, tail, out);
    i = end;
  }
  return out;
}

std::string render(const FormatTokens& tokens) {
  std::string out;
  bool after_break = true;
  for (const FormatToken& token : tokens) {
    if (token.is_break) {
      out += token.text;
      after_break = true;
      continue;
    }
    // A word whose marks a spoken one replaced may have nothing left ("..." before "dash").
    if (token.lead.empty() && token.text.empty() && token.trail.empty()) continue;
    if (!after_break) out += ' ';
    out += token.lead;
    out += token.text;
    out += token.trail;
    after_break = false;
  }
  return out;
}

std::string lowered(std::string_view word) {
  std::string lower(word);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool isWord(std::string_view word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool isMark(char c) { return std::string_view(".,;:!?").find(c) != std::string_view::npos; }

void putMark(FormatToken& token, char mark) {
  std::string rest = token.trail;
  std::erase_if(rest, isMark);
  bool bracket = !rest.empty() && (rest.back() == ')' || rest.back() == ']');
  token.trail = bracket ? rest + mark : mark + rest;
}

bool endsSentence(const FormatToken& token) {
  if (token.is_break) return true;
  for (char c : token.trail) {
    if (c == '.' || c == '?' || c == '!') return true;
  }
  return false;
}

void capitalize(FormatToken& token) {
  if (token.foreign || token.keep_case || token.text.empty()) return;
  char& first = token.text[0];
  if (first >= 'a' && first <= 'z') first = static_cast<char>(first - 'a' + 'A');
}

}  // namespace text
