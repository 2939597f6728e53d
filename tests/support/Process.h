// Starting the program's binaries from tests, and small file helpers.
#ifndef DODODUZOD_TEST_PROCESS_H
#define DODODUZOD_TEST_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "FileDescriptor.h"

namespace testproc {

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& text, int mode = 0644);
// A fresh directory under /tmp.
std::string MakeTempDir();
// Polls `condition` every 10 ms; false when `timeoutMs` passes first.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

struct Result {
    int status = -1;  // the exit status, 128 + the signal that ended it, -1 at the deadline
    std::string out, err;
};

// A child (its program looked up on PATH) whose standard input is /dev/null and whose
// standard output and error go to files. `env` entries ("NAME=value") are added to the
// environment; `beforeExec` runs in the child just before exec, to start it in a state of the
// test's choosing.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
          const std::function<void()>& beforeExec = {});
    ~Child();  // kills a child that is still running
    pid_t pid() const { return pid_; }
    bool Signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }
    // Waits for the end; after `timeoutMs` the child is killed.
    Result Wait(int timeoutMs);
    std::string Out() const { return ReadFile(outPath_); }
    const std::string& OutPath() const { return outPath_; }
    std::string Err() const { return ReadFile(errPath_); }

  private:
    pid_t pid_ = -1;
    const std::string dir_ = MakeTempDir(), outPath_ = dir_ + "/out", errPath_ = dir_ + "/err";
};

// Runs a command to its end (killed after `timeoutMs`).
Result Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
           int timeoutMs = 20000);

}  // namespace testproc

#endif
