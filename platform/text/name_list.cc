#include "platform/text/name_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <stdexcept>

namespace text {
namespace {

bool isLowerWord(std::string_view w) {
  return !w.empty() && std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// "Susan": a capital, then lower-case letters; possessives and other forms are left out.
bool isCapitalisedWord(std::string_view w) {
  return w.size() > 1 && w[0] >= 'A' && w[0] <= 'Z' && isLowerWord(w.substr(1));
}

}  // namespace

NameList NameList::fromWords(const std::vector<std::string_view>& words) {
  std::vector<std::string_view> lower_words;
  std::vector<std::string> candidates;
  for (std::string_view w : words) {
    if (isLowerWord(w)) lower_words.push_back(w);
  }
  std::sort(lower_words.begin(), lower_words.end());
  for (std::string_view w : words) {
    if (!isCapitalisedWord(w)) continue;
    std::string lower(w);
    lower[0] = static_cast<char>(lower[0] - 'A' + 'a');
    if (!std::binary_search(lower_words.begin(), lower_words.end(), lower)) {
      candidates.push_back(std::move(lower));
    }
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  NameList list;
  std::size_t bytes = 0;
  for (const std::string& c : candidates) bytes += c.size();
  list.names_.reserve(bytes);
  list.starts_.reserve(candidates.size());
  for (const std::string& c : candidates) {
    list.starts_.push_back(static_cast<std::uint32_t>(list.names_.size()));
    list.names_ += c;
  }
  return list;
}

NameList NameList::load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read the word list " + path + ": " + std::strerror(errno));
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw std::runtime_error("cannot read the word list " + path);
  std::vector<std::string_view> words;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    words.push_back(line);
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return fromWords(words);
}

const NameList& NameList::installed() {
  static const NameList list = [] {
    try {
      return load(std::string(kInstalledWordList));
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(std::string(e.what()) + " (the package wamerican installs it)");
    }
  }();
  return list;
}

bool NameList::contains(std::string_view lower) const {
  std::size_t low = 0, high = starts_.size();
  while (low < high) {
    std::size_t mid = (low + high) / 2;
    std::size_t end = mid + 1 < starts_.size() ? starts_[mid + 1] : names_.size();
    std::string_view name(names_.data() + starts_[mid], end - starts_[mid]);
    if (name == lower) return true;
    if (name < lower) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return false;
}

}  // namespace text
