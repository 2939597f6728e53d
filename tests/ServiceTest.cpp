// The real service end to end: dododuzod in the foreground against the provider
// simulator (or the in-process fakes where the wire bytes are checked), with
// syslog captured at /dev/log and signals sent as an operator would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "FakeProvider.h"
#include "Fakes.h"
#include "MyFunctions.h"
#include "Process.h"
#include "Wire.h"

namespace {

const std::string bin = DODODUZOD_BIN;
const std::string simBin = DODODUZOD_SIM;
const std::vector<std::string> env = {"DODODUZOD_RESOLVER=127.0.0.1",
                                      "DODODUZOD_NAMESERVER=127.0.0.1:5353"};
const std::string nextCheck = "[ENGINE] IP address check completed. Next check at ";
const int daemonInfo = 3 << 3 | 6;  // LOG_DAEMON | LOG_INFO
const int daemonErr = 3 << 3 | 3;   // LOG_DAEMON | LOG_ERR

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = testproc::MakeTempDir();
        conf = dir + "/dododuzod.conf";
        log = dir + "/dododuzod.log";
        accounts = dir + "/accounts";
        ASSERT_TRUE(syslog.ok());
        ASSERT_TRUE(testproc::WriteFile(accounts, "alice secret home\n"));
        WriteConf("");
    }

    void WriteConf(const std::string& extra) {
        ASSERT_TRUE(testproc::WriteFile(
            conf, "username alice\npassword secret\nipv4 true\nipv6 true\ndebug true\n" + extra));
    }

    void StartSim(const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = {simBin, "--accounts", accounts};
        argv.insert(argv.end(), args.begin(), args.end());
        sim = std::make_unique<testproc::Child>(argv);
        ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > 0; }, 5000)) << sim->Err();
        ASSERT_EQ(SimLines()[0], "ready") << sim->Err();
    }

    void StartClient(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {bin, "-c", conf, "-l", log};
        argv.insert(argv.end(), extra.begin(), extra.end());
        client = std::make_unique<testproc::Child>(argv, env);
    }

    std::vector<std::string> SimLines() const { return wire::Lines(sim->Out()); }
    std::vector<std::string> LogLines() const {
        std::vector<std::string> out;
        for (const std::string& l : wire::Lines(testproc::ReadFile(log)))
            out.push_back(wire::Undated(l));
        return out;
    }
    // Update requests the simulator served, as "<target> user=..." texts.
    std::vector<std::string> Updates() const {
        std::vector<std::string> out;
        for (const std::string& l : SimLines())
            if (l.find(" /nic/clientupdate?") != std::string::npos)
                out.push_back(l);
        return out;
    }
    bool WaitForLog(const std::string& line, size_t count = 1, int timeoutMs = 10000) const {
        return testproc::WaitUntil([&] { return Count(LogLines(), line) >= count; }, timeoutMs);
    }
    // Waits until the client sleeps: its cycle ended with the next-check line.
    bool WaitForSleep(size_t count = 1) const {
        return testproc::WaitUntil(
            [&] {
                size_t n = 0;
                for (const std::string& l : LogLines())
                    n += l.compare(0, nextCheck.size(), nextCheck) == 0;
                return n >= count;
            },
            10000);
    }
    bool WaitForUpdates(size_t count, int timeoutMs = 10000) const {
        return testproc::WaitUntil([&] { return Updates().size() >= count; }, timeoutMs);
    }
    // Waits for a syslog message with `text` after the first `from`.
    bool WaitForSyslogSince(size_t from, const std::string& text, int timeoutMs = 5000) const {
        return testproc::WaitUntil(
            [&] {
                const std::vector<std::string> t = syslog.texts();
                return std::find(t.begin() + static_cast<long>(std::min(from, t.size())), t.end(),
                                 text) != t.end();
            },
            timeoutMs);
    }
    int Priority(const std::string& text) const {
        for (const fakes::SyslogMessage& m : syslog.messages())
            if (m.text == text)
                return m.priority;
        return -1;
    }
    // SIGINT or `sig`, then the exit status; -1 when the client did not stop within `timeoutMs`.
    int Stop(int timeoutMs = 5000, int sig = SIGINT) {
        client->Signal(sig);
        testproc::Result r = client->Wait(timeoutMs);
        return r.exited ? r.status : -1;
    }

    std::string dir, conf, log, accounts;
    fakes::SyslogCapture syslog;
    std::unique_ptr<testproc::Child> sim;
    std::unique_ptr<testproc::Child> client;
};

TEST_F(ServiceTest, FirstCycleOnTheWire) {
    fakes::FakeProvider provider;
    ASSERT_TRUE(provider.ok());
    provider.SetUpdateBody(
        "{\"responseId\":\"0123456789abcdef\",\"statusCode\":\"Good\",\"updatedIPv4Address\":"
        "\"203.0.113.7\",\"updatedIPv6Address\":\"2001:db8::7\"}");
    StartClient();
    ASSERT_TRUE(WaitForLog("[ENGINE] Current IPv6 Address: 2001:db8::7"));
    const std::string head = " HTTP/1.1\r\nUser-Agent: Zelmar.Linux\r\nHost: ";
    EXPECT_EQ(
        provider.Requests(AF_INET, 8245),
        (std::vector<std::string>{
            "GET /ipcheck.asp" + head + "checkip.zelmar.example\r\n\r\n",
            "GET /nic/clientupdate?location=&myipv4=203.0.113.7&myipv6=2001:db8::7&uin=1" + head +
                "api.zelmar.example\r\nAuthorization: Basic "
                "YWxpY2U6NWViZTIyOTRlY2QwZTBmMDhlYWI3NjkwZDJhNmVlNjk=\r\n\r\n"}));
    EXPECT_EQ(
        provider.Requests(AF_INET6, 8245),
        std::vector<std::string>{"GET /ipcheck.asp" + head + "checkipv6.zelmar.example\r\n\r\n"});
    ASSERT_TRUE(syslog.WaitFor("{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }", 5000));
    ASSERT_TRUE(WaitForSleep());  // the next-check line is asserted below
    EXPECT_EQ(Stop(), 0);
    ASSERT_TRUE(syslog.WaitFor("Stopped " + bin, 5000));

    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.begin() + 4),
        (std::vector<std::string>{
            "[ENGINE] Checking if IP update is required.", "[ENGINE] IPv4 address: 203.0.113.7",
            "[ENGINE] IPv6 address: 2001:db8::7", "[ENGINE] IP address update initiated."}));
    EXPECT_EQ(lines[9].substr(0, nextCheck.size()), nextCheck);
    EXPECT_EQ(lines.back(), "Debug: stopping dododuzod ...");  // log_stream, flushed at close
    std::vector<fakes::SyslogMessage> messages = syslog.messages();
    std::vector<std::string> texts = syslog.texts();
    EXPECT_EQ(texts,
              (std::vector<std::string>{
                  "Started " + bin, "Configuration of " + bin + " read from file " + conf,
                  "{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }", "Stopped " + bin}));
    for (const fakes::SyslogMessage& m : messages) {
        EXPECT_EQ(m.priority, daemonInfo) << m.text;
        EXPECT_EQ(m.ident, bin);
        EXPECT_EQ(m.pid, client->pid() > 0 ? client->pid() : m.pid);
    }
}

TEST_F(ServiceTest, ReloadInTheSleepSendsTheNewAddressAtOnce) {
    StartSim();
    StartClient();
    ASSERT_TRUE(WaitForLog("[ENGINE] Status Code: Good"));
    ASSERT_TRUE(WaitForLog("[ENGINE] Current IPv4 Address: 203.0.113.7"));
    sim->Write("public-ipv4 198.51.100.9\n");
    ASSERT_TRUE(WaitForSleep());
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(2));
    EXPECT_NE(Updates()[1].find(
                  "/nic/clientupdate?location=&myipv4=198.51.100.9&myipv6=2001:db8::7&uin=1"),
              std::string::npos)
        << Updates()[1];
    ASSERT_TRUE(syslog.WaitFor("Reloaded configuration file " + conf + " of " + bin, 5000));
    EXPECT_EQ(Priority("Reloaded configuration file " + conf + " of " + bin), daemonInfo);
    ASSERT_TRUE(syslog.WaitFor("{ IPv4 Address: 198.51.100.9, IPv6 Address: 2001:db8::7 }", 5000));
    EXPECT_EQ(Stop(), 0);
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(Count(lines, "Debug: reloading dododuzod config file ..."), 1u);
    EXPECT_EQ(lines.back(), "Debug: stopping dododuzod ...");
}

TEST_F(ServiceTest, SignalsDuringABlockedCycleWaitForItsEnd) {
    StartSim({"--fault", "delay", "--delay-ms", "700"});
    StartClient();
    // The first address check is under way: a reload must not cut it short.
    ASSERT_TRUE(WaitForLog("[ENGINE] Checking if IP update is required."));
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(2, 20000));
    EXPECT_NE(Updates()[0].find("myipv4=203.0.113.7&myipv6=2001:db8::7&uin=1"), std::string::npos)
        << Updates()[0];
    EXPECT_NE(Updates()[1].find("myipv4=203.0.113.7&myipv6=2001:db8::7&uin=1"), std::string::npos)
        << Updates()[1];
    EXPECT_TRUE(syslog.WaitFor("Reloaded configuration file " + conf + " of " + bin, 5000));
    // The first cycle went straight on to the reload, with no next-check line and no
    // sleep; only the reload's cycle ends in one.
    ASSERT_TRUE(WaitForSleep());
    EXPECT_EQ(Stop(), 0);
    size_t nextChecks = 0;
    for (const std::string& l : LogLines())
        nextChecks += l.compare(0, nextCheck.size(), nextCheck) == 0;
    EXPECT_EQ(nextChecks, 1u);
}

TEST_F(ServiceTest, StopDuringAReloadRunsNoFurtherCycle) {
    StartSim({"--fault", "delay", "--delay-ms", "700"});
    WriteConf("location home\n");
    StartClient();
    ASSERT_TRUE(WaitForSleep());
    const size_t served = SimLines().size();
    client->Signal(SIGHUP);
    // The reload's location check has resolved the provider and waits for the answer.
    ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > served; }, 5000));
    usleep(100 * 1000);
    EXPECT_EQ(Stop(5000), 0);
    EXPECT_EQ(Count(LogLines(), "[ENGINE] Checking if IP update is required."), 1u);
    EXPECT_TRUE(syslog.WaitFor("Stopped " + bin, 2000));
}

// SIGTERM stops as SIGINT does.
TEST_F(ServiceTest, StopDuringAStalledCycleIsPrompt) {
    StartSim({"--fault", "stall-http"});
    size_t round = 0;
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        const size_t served = SimLines().size();
        const size_t before = syslog.messages().size();
        StartClient();
        ASSERT_TRUE(WaitForLog("[ENGINE] Checking if IP update is required.", ++round));
        ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > served; }, 5000));
        usleep(200 * 1000);  // let the exchange block; the result is the same if it has not yet
        EXPECT_EQ(Stop(5000, sig), 0);  // the HTTP time-out is 60 s: stopping must not wait for it
        EXPECT_TRUE(Updates().empty());
        EXPECT_FALSE(Contains(LogLines(), "[ENGINE] IP address update initiated."));
        EXPECT_TRUE(WaitForSyslogSince(before, "Stopped " + bin, 2000));
    }
}

TEST_F(ServiceTest, InvalidConfigurationIsReportedWithoutTraffic) {
    StartSim();
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    StartClient();
    ASSERT_TRUE(syslog.WaitFor("Invalid configuration file. " + conf, 5000));
    EXPECT_EQ(Priority("Invalid configuration file. " + conf), daemonErr);
    ASSERT_TRUE(WaitForLog("[SERVICE] Invalid configuation file. " + conf));
    EXPECT_EQ(SimLines(), std::vector<std::string>{"ready"});  // nothing reached the provider
    // Fixing the file and reloading starts a forced cycle at once.
    WriteConf("");
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(1));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, LocationCheckAtLoadAndInTheTest) {
    StartSim();
    struct Case {
        std::string location;
        bool denied;
    };
    for (const Case& c : {Case{"office", true}, Case{"home", false}}) {
        WriteConf("location " + c.location + "\n");
        testproc::Result t = testproc::Run({bin, "-t", conf}, env);
        ASSERT_TRUE(t.exited);
        EXPECT_EQ(t.status, 0);
        const std::string denial = "Location " + c.location +
                                   " does not exist and will be ignored. You can map hostnames "
                                   "to locations in the control panel.\n";
        const std::string tail = c.denied ? denial + "Configuration is valid.\n"
                                          : std::string("Configuration is valid.\n");
        EXPECT_EQ(t.out.substr(t.out.size() - std::min(t.out.size(), tail.size())), tail);
        EXPECT_NE(t.out.find("Location: '" + c.location + "'\n"), std::string::npos);
    }

    WriteConf("location office\n");
    StartClient();
    const std::string ignoring =
        "Ignoring invalid location. You can map hostnames to locations in the control panel.";
    ASSERT_TRUE(WaitForLog("[SERVICE] " + ignoring));
    ASSERT_TRUE(WaitForUpdates(1));
    EXPECT_NE(Updates()[0].find("/nic/clientupdate?location=&myipv4="), std::string::npos);
    // The log line is written before the syslog message is sent: wait for the latter.
    ASSERT_TRUE(syslog.WaitFor(ignoring, 5000));
    EXPECT_EQ(Priority(ignoring), daemonInfo);

    WriteConf("location home\n");
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(2));
    EXPECT_NE(Updates()[1].find("/nic/clientupdate?location=home&myipv4="), std::string::npos);
    EXPECT_EQ(Stop(), 0);
}

// -t is no service: Ctrl-C during its location check ends it instead of a verdict.
TEST_F(ServiceTest, StopSignalEndsTheConfigurationTest) {
    StartSim({"--fault", "stall-http"});
    WriteConf("location home\n");
    testproc::Child test({bin, "-t", conf}, env);
    ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() >= 2; }, 5000));  // resolved
    ASSERT_TRUE(testproc::WaitUntil([&] { return !test.Out().empty(); }, 5000));
    test.Signal(SIGINT);
    testproc::Result r = test.Wait(5000);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.out.find("Configuration is valid."), std::string::npos);
}

TEST_F(ServiceTest, SurvivesLostLogFileConfigurationAndProvider) {
    StartSim();
    StartClient();
    ASSERT_TRUE(WaitForLog("[ENGINE] Status Code: Good"));

    // The log file moved away: the next line creates it again.
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog("[ENGINE] Status Code: No Change"));

    // The configuration deleted: the reload fails, the settings stay.
    ASSERT_EQ(unlink(conf.c_str()), 0);
    client->Signal(SIGHUP);
    const std::string cannot =
        "Can not open config file: " + conf + ", error: No such file or directory";
    ASSERT_TRUE(syslog.WaitFor(cannot, 5000));
    EXPECT_EQ(Priority(cannot), daemonErr);
    ASSERT_TRUE(WaitForLog("[ENGINE] No change detected."));  // still valid, not forced

    // The provider away for a few cycles, then back: the update goes through.
    sim.reset();
    WriteConf("");
    for (int i = 0; i < 3; ++i) {
        client->Signal(SIGHUP);
        ASSERT_TRUE(syslog.WaitFor("Reloaded configuration file " + conf + " of " + bin, 5000));
        ASSERT_TRUE(WaitForSleep(static_cast<size_t>(i + 3)));
    }
    StartSim();
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(1));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, FullLogDeviceLosesLinesButNotTheService) {
    StartSim();
    client = std::make_unique<testproc::Child>(
        std::vector<std::string>{bin, "-c", conf, "-l", "/dev/full"}, env);
    ASSERT_TRUE(WaitForUpdates(1));
    ASSERT_TRUE(syslog.WaitFor("{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }", 5000));
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(2));
    EXPECT_EQ(Stop(), 0);
}

// A signal that arrives as main begins is recorded, never fatal. It is made pending, and
// blocked, before exec, so that it lands the moment the service lets its signals through.
TEST_F(ServiceTest, SignalsAtTheVeryStartAreRecorded) {
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));  // no traffic without a password
    const std::string stopping = "Debug: stopping dododuzod ...\n";
    const struct {
        int sig;
        std::string out;
    } rows[] = {
        {SIGHUP, "Debug: reloading dododuzod config file ...\n" + stopping},
        {SIGINT, stopping},
        {SIGTERM, stopping},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(strsignal(row.sig));
        const size_t before = syslog.messages().size();
        const int sig = row.sig;
        client = std::make_unique<testproc::Child>(std::vector<std::string>{bin, "-c", conf}, env,
                                                   [sig] {
                                                       sigset_t set;
                                                       sigemptyset(&set);
                                                       sigaddset(&set, sig);
                                                       sigprocmask(SIG_BLOCK, &set, nullptr);
                                                       kill(getpid(), sig);
                                                   });
        if (sig == SIGHUP) {  // reloaded, and still running
            ASSERT_TRUE(
                WaitForSyslogSince(before, "Reloaded configuration file " + conf + " of " + bin));
            ASSERT_TRUE(WaitForSyslogSince(before, "Invalid configuration file. " + conf));
            client->Signal(SIGINT);
        }
        testproc::Result r = client->Wait(5000);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, row.out);
        EXPECT_TRUE(WaitForSyslogSince(before, "Stopped " + bin));
    }
}

// A standard descriptor closed at exec goes to /dev/null at once, so that the syslog
// socket or the -l file never stands in for a standard stream.
TEST_F(ServiceTest, StandardDescriptorsClosedAtExecAreDevNull) {
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    const std::vector<std::vector<int>> rows = {{0}, {1}, {2}, {0, 1, 2}};
    for (const std::vector<int>& closed : rows) {
        SCOPED_TRACE(testing::Message() << "closed from " << closed[0] << ", " << closed.size());
        const size_t before = syslog.messages().size();
        client = std::make_unique<testproc::Child>(
            std::vector<std::string>{bin, "-c", conf, "-l", log}, env, [&closed] {
                for (int fd : closed)
                    close(fd);
            });
        // By then the syslog socket and the -l stream are open.
        ASSERT_TRUE(WaitForSyslogSince(before, "Invalid configuration file. " + conf));
        for (int fd : closed) {
            const std::string link =
                "/proc/" + std::to_string(client->pid()) + "/fd/" + std::to_string(fd);
            char target[256];
            const ssize_t n = readlink(link.c_str(), target, sizeof target);
            EXPECT_EQ(std::string(target, static_cast<size_t>(std::max<ssize_t>(n, 0))),
                      "/dev/null")
                << fd;
        }
        EXPECT_EQ(Stop(), 0);
        ASSERT_TRUE(WaitForSyslogSince(before, "Stopped " + bin));
    }
}

// A reader that has gone from standard output or from the -l pipe loses the debug lines,
// not the service: at the latest they meet it when flushed at the stop, which completes.
TEST_F(ServiceTest, VanishedPipeReaderIsNotFatal) {
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    const std::string fifo = dir + "/log.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (bool toFifo : {false, true}) {
        SCOPED_TRACE(toFifo ? "-l FIFO" : "standard output");
        std::vector<std::string> argv = {bin, "-c", conf};
        FileDescriptor reader;
        FileDescriptor writer;
        if (toFifo) {
            reader = FileDescriptor(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            argv.insert(argv.end(), {"-l", fifo});
        } else {
            int ends[2];
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            reader = FileDescriptor(ends[0]);
            writer = FileDescriptor(ends[1]);
        }
        ASSERT_TRUE(reader.ok());
        const size_t before = syslog.messages().size();
        const int out = writer.get();
        // SIGPIPE as a shell leaves it, not ignored as in this test process.
        client = std::make_unique<testproc::Child>(argv, env, [out] {
            signal(SIGPIPE, SIG_DFL);
            if (out >= 0)
                dup2(out, 1);
        });
        writer.Reset();
        ASSERT_TRUE(WaitForSyslogSince(before, "Invalid configuration file. " + conf));
        reader.Reset();  // the reader goes
        EXPECT_EQ(Stop(), 0);
        EXPECT_TRUE(WaitForSyslogSince(before, "Stopped " + bin));
    }
}

}  // namespace
