// The process level's one harness: a fresh directory with the service's configuration,
// the provider simulator, dododuzod in the foreground, and syslog captured at /dev/log.
#ifndef DODODUZOD_TEST_SERVICE_H
#define DODODUZOD_TEST_SERVICE_H

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>

#include "Fakes.h"
#include "Process.h"
#include "Wire.h"

namespace service {

using Lines = std::vector<std::string>;
inline const std::string kBin = DODODUZOD_BIN;
enum { kInfo = 3 << 3 | 6, kErr = 3 << 3 | 3 };  // LOG_DAEMON with LOG_INFO, LOG_ERR
// The line that ends a cycle, up to the time, and the debug lines of a reload and a stop.
inline const char kNextCheck[] = "[ENGINE] IP address check completed. Next check at ";
inline const char kReloading[] = "Debug: reloading dododuzod config file ...";
inline const char kStopping[] = "Debug: stopping dododuzod ...";
// The provider's servers on loopback.
inline const Lines kEnv = {"DODODUZOD_RESOLVER=127.0.0.1", "DODODUZOD_NAMESERVER=127.0.0.1:5353"};

class Test : public ::testing::Test {
  protected:
    Test() {
        EXPECT_TRUE(syslog.ok() && testproc::WriteFile(dir + "/accounts", "alice secret home\n"));
        WriteConf();
    }
    // `settings`, then (the first of a name counts) the account, both families and debug.
    void WriteConf(const std::string& settings = "") {
        EXPECT_TRUE(testproc::WriteFile(
            conf,
            settings + "username alice\npassword secret\nipv4 true\nipv6 true\ndebug true\n"));
    }
    // The simulator with `args`, once it is ready; accounts "alice secret home". Its
    // address checks report public addresses rather than loopback, as a provider would.
    void StartSim(const Lines& args = {}) {
        Lines argv = {DODODUZOD_SIM, "--accounts",    dir + "/accounts", "--public-ipv4",
                      "203.0.113.7", "--public-ipv6", "2001:db8::7"};
        argv.insert(argv.end(), args.begin(), args.end());
        sim = std::make_unique<testproc::Child>(argv);
        ASSERT_TRUE(testproc::WaitUntil([&] { return !SimLines().empty(); }, 5000)) << sim->Err();
        ASSERT_EQ(SimLines()[0], "ready");
    }
    // `wrapper`, then dododuzod -c conf with `args`, in the foreground.
    void StartClient(const Lines& args = {}, const Lines& env = {},
                     const std::function<void()>& beforeExec = {}) {
        Lines argv = wrapper, all = kEnv;
        argv.insert(argv.end(), {kBin, "-c", conf});
        argv.insert(argv.end(), args.begin(), args.end());
        all.insert(all.end(), env.begin(), env.end());
        client = std::make_unique<testproc::Child>(argv, all, beforeExec);
    }
    // Sends `sig` and waits for the end (killed after `timeoutMs`).
    testproc::Result Stop(int sig = SIGINT, int timeoutMs = 5000) {
        client->Signal(sig);
        return client->Wait(timeoutMs);
    }

    // Whether the client waits in ppoll(2) within 5 s: for a peer, or for its next cycle.
    bool WaitForClientInPpoll() const {
        const std::string call = "/proc/" + std::to_string(client->pid()) + "/syscall";
        return testproc::WaitUntil([&] { return fakes::InPpoll(call); }, 5000);
    }
    // The simulator's lines, or those that hold `part`; its update lines.
    Lines SimLines(const std::string& part = "") const {
        Lines out;
        for (const std::string& l : wire::Lines(sim->Out()))
            if (l.find(part) != std::string::npos)
                out.push_back(l);
        return out;
    }
    Lines Updates() const { return SimLines(" /nic/clientupdate?"); }
    // Lines (undated) of the log, or of the file `path`, that start with `prefix`.
    size_t CountLog(const std::string& prefix, const std::string& path = "") const {
        const Lines lines = wire::UndatedLines(path.empty() ? log : path);
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        }));
    }
    bool WaitForLog(const std::string& prefix, size_t count = 1, int timeoutMs = 10000,
                    const std::string& path = "") const {
        return testproc::WaitUntil([&] { return CountLog(prefix, path) >= count; }, timeoutMs);
    }
    // Syslog from the `from`th message on: the priority of the `count`th with `text` once
    // it arrived (-1 after 5 s), and the texts.
    size_t Mark() const { return syslog.messages().size(); }
    int WaitSyslog(const std::string& text, size_t from = 0, int count = 1) const {
        int priority = -1;
        testproc::WaitUntil(
            [&] {
                const std::vector<fakes::SyslogMessage> m = syslog.messages();
                for (size_t i = from, seen = 0; i < m.size() && priority == -1; ++i)
                    if (m[i].text == text && ++seen == static_cast<size_t>(count))
                        priority = m[i].priority;
                return priority != -1;
            },
            5000);
        return priority;
    }
    Lines SyslogSince(size_t from) const {
        const Lines t = syslog.texts();
        return Lines(t.begin() + static_cast<long>(std::min(from, t.size())), t.end());
    }

    std::string dir = testproc::MakeTempDir(), conf = dir + "/dododuzod.conf", log = dir + "/log";
    // What syslog and the line log say of an invalid configuration, and syslog of a reload.
    const std::string invalid = "Invalid configuration file. " + conf,
                      invalidLog = "[SERVICE] Invalid configuation file. " + conf,
                      reloaded = "Reloaded configuration file " + conf + " of " + kBin;
    Lines wrapper;
    fakes::SyslogCapture syslog;
    std::unique_ptr<testproc::Child> sim, client;
};

}  // namespace service

#endif
