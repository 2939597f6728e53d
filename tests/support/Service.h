// The process level's one harness: a fresh directory with the service's configuration,
// the provider simulator, dododuzod in the foreground, and syslog captured at /dev/log.
#ifndef DODODUZOD_TEST_SERVICE_H
#define DODODUZOD_TEST_SERVICE_H

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "Fakes.h"
#include "Process.h"

namespace service {

using Lines = std::vector<std::string>;
extern const std::string kBin;
enum { kInfo = 3 << 3 | 6, kErr = 3 << 3 | 3 };  // LOG_DAEMON with LOG_INFO, LOG_ERR
extern const char kNextCheck[];                  // the line that ends a cycle, up to the time
extern const char kStopping[];                   // the debug line of a stop
extern const Lines kEnv;                         // the provider's servers on loopback

class Test : public ::testing::Test {
  protected:
    Test();
    // `settings`, then (the first of a name counts) the account, both families and debug.
    void WriteConf(const std::string& settings = "");
    // The simulator with `args`, once it is ready; accounts "alice secret home".
    void StartSim(const Lines& args = {});
    // `wrapper`, then dododuzod -c conf with `args`, in the foreground.
    void StartClient(const Lines& args = {}, const Lines& env = {},
                     const std::function<void()>& beforeExec = {});
    // Sends `sig` and waits for the end (killed after `timeoutMs`).
    testproc::Result Stop(int sig = SIGINT, int timeoutMs = 5000);

    Lines SimLines() const;
    Lines Updates() const;  // the simulator's update lines
    // Log lines (undated) that start with `prefix`.
    size_t CountLog(const std::string& prefix) const;
    bool WaitForLog(const std::string& prefix, size_t count = 1, int timeoutMs = 10000) const;
    bool WaitForUpdates(size_t count) const;
    // Syslog from the `from`th message on: the priority of the first with `text` once it
    // arrived (-1 after 5 s), and the texts.
    size_t Mark() const { return syslog.messages().size(); }
    int WaitSyslog(const std::string& text, size_t from = 0) const;
    Lines SyslogSince(size_t from) const;

    std::string dir, conf, log;
    Lines wrapper;
    fakes::SyslogCapture syslog;
    std::unique_ptr<testproc::Child> sim, client;
};

}  // namespace service

#endif
