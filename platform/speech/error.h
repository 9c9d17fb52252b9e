#pragma once

#include <stdexcept>
#include <string>

namespace speech {

// Every failure of the speech services; what() names what failed, in the engine's own words
// where it gave any.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace speech
