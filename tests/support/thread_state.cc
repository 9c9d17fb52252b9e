#include "tests/support/thread_state.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace testing_support {
namespace {

std::string taskFile(pid_t tid, const char* name) {
  return "/proc/self/task/" + std::to_string(tid) + "/" + name;
}

// Whether the thread sleeps in `call`; none once the thread is gone.
std::optional<bool> sleepsIn(pid_t tid, long call) {
  std::ifstream stat(taskFile(tid, "stat"));
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The state follows the command name, which is in parentheses and may hold anything.
  std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos || name_end + 2 >= line.size()) return std::nullopt;
  char state = line[name_end + 2];
  if (state != 'S' && state != 'D') return false;
  // "running", or the number of the system call the thread is in and its arguments.
  std::ifstream syscall(taskFile(tid, "syscall"));
  long number = -1;
  if (!(syscall >> number)) return false;
  return number == call;
}

}  // namespace

pid_t currentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool waitUntilBlockedIn(pid_t tid, long call, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::optional<bool> asleep = sleepsIn(tid, call);
    if (!asleep) return false;
    if (*asleep) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace testing_support
