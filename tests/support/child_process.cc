#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

std::string temporaryFile(const std::string& contents) {
  char path[] = "/tmp/vorlin-child-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  if (!contents.empty() && write(fd, contents.data(), contents.size()) < 0) {
    close(fd);
    throw std::runtime_error("cannot write temporary file");
  }
  close(fd);
  return path;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  unlink(path.c_str());
  return s.str();
}

void redirect(const std::string& path, int fd, int flags) {
  int file = open(path.c_str(), flags);
  if (file < 0 || dup2(file, fd) < 0) _exit(98);
  close(file);
}

}  // namespace

ChildResult runInChild(const std::function<void()>& body, const std::string& stdin_bytes,
                       unsigned timeout_s) {
  std::string in = temporaryFile(stdin_bytes);
  std::string out = temporaryFile("");
  std::string err = temporaryFile("");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    redirect(in, STDIN_FILENO, O_RDONLY);
    redirect(out, STDOUT_FILENO, O_WRONLY);
    redirect(err, STDERR_FILENO, O_WRONLY);
    alarm(timeout_s);
    body();
    std::fflush(nullptr);
    _exit(99);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  unlink(in.c_str());
  ChildResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = slurp(out);
  result.err = slurp(err);
  return result;
}

}  // namespace testing_support
