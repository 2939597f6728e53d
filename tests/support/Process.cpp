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

#include "Wire.h"

namespace testproc {
namespace {

int counter = 0;

std::string TempPath(const std::string& what) {
    return "/tmp/child." + std::to_string(getpid()) + "." + std::to_string(++counter) + "." + what;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::function<void()>& beforeExec) {
    outPath_ = TempPath("out");
    errPath_ = TempPath("err");
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ != 0) {
        close(in[0]);
        stdin_ = in[1];
        return;
    }
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0)
        _exit(127);
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string& e : env)
        putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (beforeExec)
        beforeExec();
    execv(args[0], args.data());
    _exit(127);
}

Child::~Child() {
    if (stdin_ >= 0)
        close(stdin_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Child::Write(const std::string& text) const {
    return stdin_ >= 0 &&
           write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool Child::Signal(int sig) const {
    return pid_ > 0 && kill(pid_, sig) == 0;
}

Result Child::Wait(int timeoutMs) {
    Result r;
    int status = 0;
    pid_t done = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0 && (done = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (pid_ > 0 && done == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        r.out = Out();
        r.err = Err();
        return r;
    }
    pid_ = -1;
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = Out();
    r.err = Err();
    return r;
}

std::string Child::Out() const {
    return ReadFile(outPath_);
}
std::string Child::Err() const {
    return ReadFile(errPath_);
}

Result Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
           int timeoutMs) {
    Child child(argv, env);
    return child.Wait(timeoutMs);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& text, int mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    fchmod(fd, mode);
    close(fd);
    return ok;
}

std::string MakeTempDir() {
    char name[] = "/tmp/dodotest.XXXXXX";
    char* made = mkdtemp(name);
    return made ? made : "";
}

bool WaitForLine(const std::string& path, const std::string& line, int timeoutMs) {
    return WaitUntil(
        [&] {
            for (const std::string& l : wire::Lines(ReadFile(path)))
                if (l == line || wire::Undated(l) == line)
                    return true;
            return false;
        },
        timeoutMs);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testproc
