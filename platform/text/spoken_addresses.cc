#include "platform/text/spoken_addresses.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "platform/text/spoken_marks.h"

namespace text {
namespace {

constexpr std::array<std::string_view, 9> kTopLevel = {"com", "org", "net", "edu", "gov",
                                                       "io",  "co",  "uk",  "info"};

// Before "at" these are the sentence's words, not the name of a mailbox: "look at example dot
// com", "email me at ...".
constexpr std::array<std::string_view, 16> kNotMailbox = {
    "me", "us",  "him", "her",  "them", "you",  "it",    "look",
    "is", "are", "was", "were", "be",   "here", "there", "online"};

struct Sign {
  std::string_view word;
  char sign;
};

constexpr std::array<Sign, 5> kSigns = {
    {{"dot", '.'}, {"underscore", '_'}, {"dash", '-'}, {"hyphen", '-'}, {"at", '@'}}};

char signOf(std::string_view lower) {
  for (const Sign& s : kSigns) {
    if (s.word == lower) return s.sign;
  }
  return 0;
}

bool alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// A part of an address as said or as the engine wrote it: "jane", "example.com", "tom-lee".
bool isLabel(std::string_view lower) {
  if (lower.empty() || !alnum(lower.front()) || !alnum(lower.back()) || signOf(lower) != 0) {
    return false;
  }
  return std::all_of(lower.begin(), lower.end(),
                     [](char c) { return alnum(c) || c == '.' || c == '-' || c == '_'; });
}

// Ends in ".com" and the like: a domain, whole or as its last part.
bool endsInTopLevel(std::string_view address) {
  std::size_t dot = address.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view last = address.substr(dot + 1);
  return std::find(kTopLevel.begin(), kTopLevel.end(), last) != kTopLevel.end();
}

class AddressReader {
 public:
  explicit AddressReader(const FormatTokens& tokens) : tokens_(tokens) {}

  // The address that begins at token i, and one past its last token.
  std::optional<std::pair<std::string, std::size_t>> readAt(std::size_t i) const {
    std::size_t j = i;
    std::string text;
    if (std::size_t after = readWww(i); after > i) {
      text = "www.";
      j = after;
    }
    std::optional<std::pair<std::string, std::size_t>> found;
    bool mailbox = false;
    for (bool first = true; usable(j, first && text.empty()); first = false) {
      std::string w = lowered(tokens_[j].text);
      if (!isLabel(w) || (first && text.empty() && isDeterminer(w))) break;
      text += w;
      ++j;
      if (endsInTopLevel(text)) found = std::pair{text, j};
      if (!joins(j - 1)) break;
      char sign = signOf(lowered(tokens_[j].text));
      if (sign == 0 || (sign == '@' && (mailbox || !mayOwnMailbox(text)))) break;
      mailbox = mailbox || sign == '@';
      text += sign;
      ++j;
    }
    if (found) found->second = readPath(found->second, found->first);
    return found;
  }

 private:
  // Token i may be part of an address; only its first token may have a quote or bracket before.
  bool usable(std::size_t i, bool first) const {
    if (i >= tokens_.size()) return false;
    const FormatToken& t = tokens_[i];
    return !t.is_break && !t.foreign && !t.settled && (first || t.lead.empty());
  }
  // The address may go on after token i: nothing is written after it, and a word follows.
  bool joins(std::size_t i) const { return tokens_[i].trail.empty() && usable(i + 1, false); }
  bool is(std::size_t i, std::string_view lower) const {
    return usable(i, false) && isWord(tokens_[i].text, lower);
  }

  static bool mayOwnMailbox(std::string_view local) {
    return local.find('@') == std::string_view::npos &&
           std::find(kNotMailbox.begin(), kNotMailbox.end(), local) == kNotMailbox.end();
  }

  // "w w w dot" (the engine may write more or fewer w's) or "www dot": the token after the dot.
  std::size_t readWww(std::size_t i) const {
    std::size_t j = i;
    if (usable(i, true) && isWord(tokens_[i].text, "www")) {
      j = i + 1;
    } else {
      while (usable(j, j == i) && isWord(tokens_[j].text, "w") && tokens_[j].trail.empty()) ++j;
      if (j - i < 2) return i;
    }
    if (!tokens_[j - 1].trail.empty() || !is(j, "dot") || !joins(j)) return i;
    return j + 1;
  }

  // "slash news slash today" after the domain; the end of the address.
  std::size_t readPath(std::size_t end, std::string& text) const {
    while (joins(end - 1) && is(end, "slash") && joins(end) &&
           isLabel(lowered(tokens_[end + 1].text))) {
      text += '/' + lowered(tokens_[end + 1].text);
      end += 2;
    }
    return end;
  }

  const FormatTokens& tokens_;
};

}  // namespace

void writeAddresses(FormatTokens& tokens) {
  // Every address has a dot, said or written: most results have none and need no more reading.
  bool dotted = std::any_of(tokens.begin(), tokens.end(), [](const FormatToken& t) {
    return isWord(t.text, "dot") || t.text.find('.') != std::string::npos;
  });
  if (!dotted) return;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::optional<std::pair<std::string, std::size_t>> address = AddressReader(tokens).readAt(i);
    if (!address) continue;
    auto [text, end] = *address;
    FormatToken& first = tokens[i];
    first.text = text;
    first.trail = tokens[end - 1].trail;
    first.settled = true;
    first.keep_case = true;
    tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i + 1),
                 tokens.begin() + static_cast<std::ptrdiff_t>(end));
  }
}

}  // namespace text
