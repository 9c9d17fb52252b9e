#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Proper names, looked up by their lower-case form. A word list names a word when it lists it
// capitalised ("Susan") and not also in lower case ("mark" and "Mark" are both listed, so "mark"
// is left alone). Held as one string of sorted names: the 9,000 names of the Debian list take
// about 100 KB (resident memory grows by some 360 KB while the list is read).
class NameList {
 public:
  NameList() = default;
  // Reads a word list, one word a line (the form of /usr/share/dict/words). Throws std::runtime_error
  // naming the file when it cannot be read.
  static NameList load(const std::string& path);
  // The names of a list given in memory, as load() would take them.
  static NameList fromWords(const std::vector<std::string_view>& words);
  // American English from Debian's wamerican, loaded on first use and kept for the process; safe
  // from any thread. Throws std::runtime_error when the list is missing (and again on the next call).
  static const NameList& installed();

  bool contains(std::string_view lower) const;
  std::size_t size() const { return starts_.size(); }

 private:
  std::string names_;                  // lower case, sorted, one after another
  std::vector<std::uint32_t> starts_;  // where each begins in names_; it ends where the next begins
};

inline constexpr std::string_view kInstalledWordList = "/usr/share/dict/american-english";

}  // namespace text
