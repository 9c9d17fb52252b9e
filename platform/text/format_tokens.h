#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace text {

// One word of dictated text, or a line break, as the formatter's passes rewrite it.
struct FormatToken {
  std::string lead;   // punctuation written before the word: quotes, brackets
  std::string text;   // the word itself; for a break, its line feeds
  std::string trail;  // punctuation written after the word: marks, quotes, brackets
  bool is_break = false;
  // Holds bytes outside ASCII. Such a word is written exactly as the engine wrote it: its letters
  // cannot be cased or read as English without a Unicode library.
  bool foreign = false;
  // A pass chose how this word is written (a numeral, a title): later passes leave it alone.
  bool settled = false;
  // Written in the case it has, even where a sentence starts: an address.
  bool keep_case = false;
};

using FormatTokens = std::vector<FormatToken>;

// Splits text at spaces, tabs and line breaks, peels punctuation off each word and splits
// hyphenated words whose parts are all `splittable` ("twenty-five", "exclamation-point") or whose
// last part is a `tail` ("party-question" before "mark").
FormatTokens tokenize(std::string_view text, bool (*splittable)(std::string_view lower),
                      bool (*tail)(std::string_view lower));

// The tokens written out: words apart by one space, marks on their words, breaks between lines
// with no space around them.
std::string render(const FormatTokens& tokens);

// ASCII lower case; other bytes unchanged.
std::string lowered(std::string_view word);
// `word` is `lower` in any ASCII case: the check the rules make for every word, without a copy.
bool isWord(std::string_view word, std::string_view lower);
bool isMark(char c);                          // . , ; : ! ?
bool endsSentence(const FormatToken& token);  // a word closed by . ? !, or a break
// Writes `mark` (. , ; : ! ?) after the word in place of the marks it has, inside its closing
// quotes and outside its closing brackets: `"yes."`, `(yes).`.
void putMark(FormatToken& token, char mark);
// The word's first letter as a capital, when it is an ASCII lower-case letter and the word does
// not keep its case.
void capitalize(FormatToken& token);

}  // namespace text
