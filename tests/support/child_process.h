// Runs a piece of a program in a child process, so that its exit status and everything it
// writes on standard output and standard error can be checked.
#pragma once

#include <functional>
#include <string>

namespace testing_support {

struct ChildResult {
  int status = -1;  // exit status, or 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

// Forks; the child runs `body` with standard output and standard error captured and standard
// input from `stdin_bytes`, and is killed after `timeout_s` seconds. A body that returns exits
// with status 99.
ChildResult runInChild(const std::function<void()>& body, const std::string& stdin_bytes = "",
                       unsigned timeout_s = 60);

}  // namespace testing_support
