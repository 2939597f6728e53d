#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace testproc {
namespace {

FileDescriptor Create(const std::string& path, int mode) {
    return FileDescriptor(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::function<void()>& beforeExec) {
    pid_ = fork();
    if (pid_ != 0)
        return;
    const FileDescriptor in(open("/dev/null", O_RDONLY | O_CLOEXEC)), out = Create(outPath_, 0600),
                                                                      err = Create(errPath_, 0600);
    if (!in.ok() || !out.ok() || !err.ok() || dup2(in.get(), 0) < 0 || dup2(out.get(), 1) < 0 ||
        dup2(err.get(), 2) < 0)
        _exit(127);
    for (const std::string& e : env)
        putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (beforeExec)
        beforeExec();
    execvp(args[0], args.data());
    _exit(127);
}

Child::~Child() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
        waitpid(pid_, nullptr, 0);
}

Result Child::Wait(int timeoutMs) {
    int status = 0;
    const bool ended =
        pid_ > 0 && WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, timeoutMs);
    if (pid_ > 0 && !ended && kill(pid_, SIGKILL) == 0)
        waitpid(pid_, nullptr, 0);
    pid_ = -1;
    const int code = !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return Result{code, Out(), Err()};
}

Result Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
           int timeoutMs) {
    return Child(argv, env).Wait(timeoutMs);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& text, int mode) {
    const FileDescriptor fd = Create(path, mode);
    struct stat st;  // an existing file gets `mode` too; one in /proc keeps its own
    return fd.ok() &&
           write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
           fstat(fd.get(), &st) == 0 &&
           ((st.st_mode & 07777) == static_cast<mode_t>(mode) ||
            fchmod(fd.get(), static_cast<mode_t>(mode)) == 0);
}

std::string MakeTempDir() {
    char name[] = "/tmp/dodotest.XXXXXX";
    return mkdtemp(name) != nullptr ? name : "";
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testproc
