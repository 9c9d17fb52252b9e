#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace testing_support {

// Word-level edit distance: substitutions, insertions and deletions turning `ref` into `hyp`.
inline std::size_t wordErrors(const std::vector<std::string>& ref,
                              const std::vector<std::string>& hyp) {
  std::vector<std::size_t> row(hyp.size() + 1);
  for (std::size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= ref.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= hyp.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1])});
      diagonal = above;
    }
  }
  return row[hyp.size()];
}

}  // namespace testing_support
