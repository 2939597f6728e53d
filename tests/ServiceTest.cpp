// The real service end to end: dododuzod in the foreground against the provider
// simulator, with syslog captured and signals sent as an operator would.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Service.h"
#include "Wire.h"

namespace {

using service::kBin;
using service::kNextCheck;
using service::Lines;

class ServiceTest : public service::Test {
  protected:
    // The update line the simulator logs for a forced update from IPv4 `v4`.
    static std::string Update(const std::string& v4, const std::string& status,
                              const std::string& location = "") {
        return "http 127.0.0.1:8245 " + wire::UpdateTarget(v4, "2001:db8::7", true, location) +
               " user=alice -> 200 " + status;
    }
};

// The whole exchange of the first cycle, and of a reload's once the address changed; syslog
// says what the provider took.
TEST_F(ServiceTest, FirstCycleThenAReloadSendsTheNewAddress) {
    StartSim();
    StartClient({"-l", log});
    ASSERT_TRUE(WaitForLog(kNextCheck));
    ASSERT_TRUE(sim->Write("public-ipv4 198.51.100.9\n"));
    ASSERT_TRUE(testproc::WaitUntil(
        [&] { return SimLines().back() == "ok public-ipv4 198.51.100.9"; }, 5000));
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(kNextCheck, 2));
    const pid_t pid = client->pid();
    EXPECT_EQ(Stop().status, 0);
    Lines requests = {"ready"};
    for (const std::string v4 : {"203.0.113.7", "198.51.100.9"})
        requests.insert(requests.end(),
                        {"dns 127.0.0.1:53 A checkip.zelmar.example -> 127.0.0.1",
                         "http 127.0.0.1:8245 /ipcheck.asp -> 200 ip" + v4,
                         "dns 127.0.0.1:53 A checkipv6.zelmar.example -> NODATA",
                         "dns 127.0.0.1:53 AAAA checkipv6.zelmar.example -> ::1",
                         "http [::1]:8245 /ipcheck.asp -> 200 ip2001:db8::7",
                         "dns 127.0.0.1:53 A api.zelmar.example -> 127.0.0.1", Update(v4, "Good")});
    requests.insert(requests.begin() + 8, "ok public-ipv4 198.51.100.9");
    EXPECT_EQ(SimLines(), requests);
    EXPECT_EQ(CountLog(service::kReloading), 1u);  // buffered, flushed at the stop
    ASSERT_NE(WaitSyslog("Stopped " + kBin), -1);
    EXPECT_EQ(
        SyslogSince(0),
        (Lines{"Started " + kBin, "Configuration of " + kBin + " read from file " + conf,
               "{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }", reloaded,
               "{ IPv4 Address: 198.51.100.9, IPv6 Address: 2001:db8::7 }", "Stopped " + kBin}));
    for (const fakes::SyslogMessage& m : syslog.messages())
        EXPECT_TRUE(m.priority == service::kInfo && m.ident == kBin && m.pid == pid) << m.text;
}

// Signals during an exchange wait for its end: a reload then runs its cycle at once, with
// no next-check line and no sleep before it, and a stop runs no further cycle.
TEST_F(ServiceTest, SignalsDuringASlowExchangeWaitForItsEnd) {
    StartSim({"--delay-ms", "700"});
    WriteConf("location home\n");
    StartClient({"-l", log});
    ASSERT_TRUE(WaitForLog("[ENGINE] Checking if IP update is required."));
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(2));
    ASSERT_TRUE(WaitForLog(kNextCheck));
    const size_t served = SimLines().size();
    client->Signal(SIGHUP);
    // The reload's location check has resolved the provider and waits for the answer.
    ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > served; }, 5000));
    usleep(100 * 1000);
    EXPECT_EQ(Stop().status, 0);
    EXPECT_EQ(CountLog("[ENGINE] Checking if IP update is required."), 2u);
    EXPECT_EQ(CountLog(kNextCheck), 1u);
    EXPECT_EQ(Updates(), (Lines{Update("203.0.113.7", "Good", "home"),
                                Update("203.0.113.7", "No Change", "home")}));
}

// A stop while the provider holds the answer is prompt (the HTTP time-out is 60 s), by
// SIGINT as by SIGTERM; -t is no service: Ctrl-C during its location check ends it.
TEST_F(ServiceTest, StopDuringAStalledExchangeIsPrompt) {
    StartSim({"--stall"});
    const struct {
        std::string arg, settings;
        int sig, status;
    } rows[] = {{"-l", "", SIGINT, 0},
                {"-l", "", SIGTERM, 0},
                {"-t", "location home\n", SIGINT, 128 + SIGINT}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arg + " " + strsignal(row.sig));
        const size_t served = SimLines().size(), mark = Mark();
        WriteConf(row.settings);
        StartClient({row.arg, row.arg == "-t" ? conf : log});
        ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > served; }, 5000));
        usleep(200 * 1000);  // let the exchange block; the result is the same if it has not yet
        const testproc::Result r = Stop(row.sig);
        EXPECT_EQ(r.status, row.status);
        EXPECT_TRUE(Updates().empty());
        EXPECT_EQ(CountLog("[ENGINE] IP address update initiated."), 0u);
        EXPECT_EQ(r.out.find("Configuration is valid."), std::string::npos) << r.out;
        EXPECT_NE(row.arg == "-t" ? 0 : WaitSyslog("Stopped " + kBin, mark), -1);
    }
}

// What reloads meet: a configuration invalid, fixed, naming a location the provider
// denies and then one it knows; the configuration deleted, the provider gone for a cycle
// (its location check failing is no denial) and back.
TEST_F(ServiceTest, ReloadsSurviveWhatTheSurroundingsDo) {
    StartSim();
    const std::string ignoring = "You can map hostnames to locations in the control panel.";
    WriteConf("location office\n");
    EXPECT_EQ(testproc::Run({kBin, "-t", conf}, service::kEnv).out,
              "Username: 'alice'\nPassword: 'secret'\nLocation: 'office'\nIPv4: '1'\nIPv6: "
              "'1'\nPoll Interval: '120'\nDebug: '1'\nQuiet: '0'\nLocation office does not exist "
              "and will be ignored. " +
                  ignoring + "\nConfiguration is valid.\n");
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    StartClient({"-l", log});
    EXPECT_EQ(WaitSyslog(invalid), service::kErr);
    ASSERT_TRUE(WaitForLog(invalidLog));
    EXPECT_EQ(SimLines().size(), 3u);  // ready and the location check of -t: nothing new
    for (const std::string location : {"office", "home"}) {
        WriteConf("location " + location + "\n");
        client->Signal(SIGHUP);
        ASSERT_TRUE(WaitForUpdates(location == "office" ? 1 : 2));
    }
    EXPECT_EQ(WaitSyslog("Ignoring invalid location. " + ignoring), service::kInfo);
    EXPECT_EQ(Updates(),
              (Lines{Update("203.0.113.7", "Good"), Update("203.0.113.7", "Good", "home")}));
    ASSERT_EQ(unlink(conf.c_str()), 0);  // the reload fails, the settings stay
    client->Signal(SIGHUP);
    EXPECT_EQ(
        WaitSyslog("Can not open config file: " + conf + ", error: No such file or directory"),
        service::kErr);
    ASSERT_TRUE(WaitForLog("[ENGINE] No change detected."));  // still valid, not forced
    sim.reset();
    WriteConf("location home\n");
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(kNextCheck, 4));
    StartSim();
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForUpdates(1));
    EXPECT_EQ(Stop().status, 0);
    EXPECT_EQ(Updates(), Lines{Update("203.0.113.7", "Good", "home")});
    EXPECT_EQ(CountLog("[SERVICE] Ignoring invalid location. " + ignoring), 1u);  // office's
}

// Hostile starting states, with a configuration that makes no traffic: a signal pending
// at exec is recorded, never fatal; standard descriptors closed at exec are /dev/null at
// once, so that the syslog socket or the -l file never stands in for them; a standard
// output whose reader is gone loses the lines, not the service.
TEST_F(ServiceTest, HostileStartingStates) {
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    const std::string fifo = dir + "/out.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const int pending : {SIGHUP, SIGTERM}) {
        SCOPED_TRACE(pending);
        const size_t mark = Mark();
        const bool stops = pending == SIGTERM;  // and writes to the pipe that nobody reads
        FileDescriptor reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        const FileDescriptor writer(open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
        reader.Reset();
        StartClient(stops ? Lines{} : Lines{"-l", log}, {}, [&] {
            signal(SIGPIPE, SIG_DFL);  // as a shell leaves it
            if (stops)
                dup2(writer.get(), 1);
            for (int fd = 0; fd <= 2 && !stops; ++fd)
                close(fd);
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, pending);
            if (sigprocmask(SIG_BLOCK, &set, nullptr) == 0)
                kill(getpid(), pending);  // lands once the service lets it in
        });
        ASSERT_NE(stops ? 0 : WaitSyslog(reloaded, mark), -1);
        ASSERT_NE(stops ? 0 : WaitSyslog(invalid, mark), -1);  // by then syslog and -l are open
        const std::string at = "/proc/" + std::to_string(client->pid()) + "/fd/";
        for (int fd = 0; fd <= 2 && !stops; ++fd)
            EXPECT_EQ(std::filesystem::read_symlink(at + std::to_string(fd)), "/dev/null");
        const testproc::Result r = stops ? client->Wait(5000) : Stop();
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
    }
}

}  // namespace
