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

using ServiceTest = service::Test;

// The update line the simulator logs for a forced update of alice's addresses.
std::string Update(const std::string& status, const std::string& location = "") {
    return "http 127.0.0.1:8245 " +
           wire::UpdateTarget("203.0.113.7", "2001:db8::7", true, location) +
           " user=alice -> 200 " + status;
}

// The whole exchange of the first cycle, and what syslog hears of it.
TEST_F(ServiceTest, FirstCycle) {
    StartSim();
    StartClient({"-l", log});
    ASSERT_TRUE(WaitForLog(kNextCheck));
    const pid_t pid = client->pid();
    EXPECT_EQ(Stop().status, 0);
    EXPECT_EQ(SimLines(),
              (Lines{"ready", "dns 127.0.0.1:53 A checkip.zelmar.example -> 127.0.0.1",
                     "http 127.0.0.1:8245 /ipcheck.asp -> 200 ip203.0.113.7",
                     "dns 127.0.0.1:53 A checkipv6.zelmar.example -> NODATA",
                     "dns 127.0.0.1:53 AAAA checkipv6.zelmar.example -> ::1",
                     "http [::1]:8245 /ipcheck.asp -> 200 ip2001:db8::7",
                     "dns 127.0.0.1:53 A api.zelmar.example -> 127.0.0.1", Update("Good")}));
    EXPECT_EQ(CountLog(service::kStopping), 1u);  // buffered, flushed at the stop
    ASSERT_NE(WaitSyslog("Stopped " + kBin), -1);
    EXPECT_EQ(
        SyslogSince(0),
        (Lines{"Started " + kBin, "Configuration of " + kBin + " read from file " + conf,
               "{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }", "Stopped " + kBin}));
    for (const fakes::SyslogMessage& m : syslog.messages())
        EXPECT_TRUE(m.priority == service::kInfo && m.ident == kBin && m.pid == pid) << m.text;
}

// A reload during an exchange cuts it short, as a stop does: its cycle reports and stores
// nothing, and the reload's cycle runs at once, with no next-check line and no sleep before
// it; a stop during the reload's location check runs no further cycle.
TEST_F(ServiceTest, SignalsDuringASlowExchangeCutItShort) {
    StartSim({"--delay-ms", "700"});
    WriteConf("location home\n");
    StartClient({"-l", log});
    ASSERT_TRUE(WaitForLog("[ENGINE] Checking if IP update is required."));
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(kNextCheck, 1, 20000));
    const size_t served = SimLines().size();
    client->Signal(SIGHUP);
    // The reload's location check has resolved the provider and waits for the answer.
    ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > served; }, 5000));
    ASSERT_TRUE(WaitForClientInPpoll());
    EXPECT_EQ(Stop().status, 0);
    EXPECT_EQ(CountLog("[ENGINE] Checking if IP update is required."), 2u);
    EXPECT_EQ(CountLog("[ENGINE] Status Code: "), 1u);
    EXPECT_EQ(CountLog(kNextCheck), 1u);
    EXPECT_EQ(Updates(), (Lines{Update("Good", "home")}));
}

// A stop while the provider holds the answer is prompt (the HTTP time-out is 60 s); -t is
// no service: Ctrl-C during its location check ends it.
TEST_F(ServiceTest, StopDuringAStalledExchangeIsPrompt) {
    StartSim({"--stall"});
    const struct {
        std::string arg, settings;
        int status;
    } rows[] = {{"-l", "", 0}, {"-t", "location home\n", 128 + SIGINT}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arg);
        const size_t served = SimLines().size(), mark = Mark();
        WriteConf(row.settings);
        StartClient({row.arg, row.arg == "-t" ? conf : log});
        ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().size() > served; }, 5000));
        ASSERT_TRUE(WaitForClientInPpoll());  // the exchange blocks
        const testproc::Result r = Stop();
        EXPECT_EQ(r.status, row.status);
        EXPECT_TRUE(Updates().empty());
        EXPECT_EQ(CountLog("[ENGINE] IP address update initiated."), 0u);
        EXPECT_EQ(r.out.find("Configuration is valid."), std::string::npos) << r.out;
        EXPECT_NE(row.arg == "-t" ? 0 : WaitSyslog("Stopped " + kBin, mark), -1);
    }
}

// What reloads meet: a configuration invalid, fixed, naming a location the provider
// denies and then one it knows; the provider gone (its location check failing is no
// denial); the configuration deleted (the settings stay); the -l file renamed by a log
// rotation (the reload opens a new one at the path, the renamed file gets no more lines).
TEST_F(ServiceTest, ReloadsSurviveWhatTheSurroundingsDo) {
    StartSim();
    const std::string ignoring = "You can map hostnames to locations in the control panel.";
    WriteConf("location office\n");
    EXPECT_NE(testproc::Run({kBin, "-t", conf}, service::kEnv)
                  .out.find("\nLocation office does not exist and will be ignored. " + ignoring +
                            "\nConfiguration is valid.\n"),
              std::string::npos);
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    StartClient({"-l", log});
    ASSERT_TRUE(WaitForLog(invalidLog));
    EXPECT_EQ(SimLines().size(), 3u);  // ready and the location check of -t: nothing new
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    for (const std::string location : {"office", "home"}) {
        WriteConf("location " + location + "\n");
        client->Signal(SIGHUP);
        ASSERT_TRUE(WaitForLog("[ENGINE] Status Code: ", location == "office" ? 1 : 2));
    }
    EXPECT_EQ(WaitSyslog("Ignoring invalid location. " + ignoring), service::kInfo);
    EXPECT_TRUE(WaitForLog(service::kReloading, 2));
    EXPECT_EQ(wire::UndatedLines(log + ".1"), Lines{invalidLog});
    EXPECT_EQ(Updates(), (Lines{Update("Good"), Update("Good", "home")}));
    sim.reset();
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(kNextCheck, 3));
    ASSERT_EQ(unlink(conf.c_str()), 0);  // the reload fails, the settings stay
    client->Signal(SIGHUP);
    EXPECT_EQ(
        WaitSyslog("Can not open config file: " + conf + ", error: No such file or directory"),
        service::kErr);
    ASSERT_TRUE(WaitForLog(kNextCheck, 4));
    EXPECT_EQ(Stop().status, 0);
    EXPECT_EQ(CountLog("[SERVICE] Ignoring invalid location. " + ignoring), 1u);  // office's
}

// A hostile starting state, with a configuration that makes no traffic: a reload pending
// at exec is recorded, never fatal; standard descriptors closed at exec are /dev/null at
// once, so that the syslog socket never stands in for them; a standard output whose reader
// is gone loses the lines, not the service.
TEST_F(ServiceTest, HostileStartingState) {
    ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const FileDescriptor writer(ends[1]);
    FileDescriptor{ends[0]}.Reset();  // the reader is gone
    StartClient({}, {}, [&] {
        signal(SIGPIPE, SIG_DFL);  // as a shell leaves it
        dup2(writer.get(), 1);
        close(0);
        close(2);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        if (sigprocmask(SIG_BLOCK, &set, nullptr) == 0)
            raise(SIGHUP);  // lands once the service lets it in
    });
    ASSERT_EQ(WaitSyslog(invalid), service::kErr);  // by then syslog is open
    const std::string at = "/proc/" + std::to_string(client->pid()) + "/fd/";
    for (const char* fd : {"0", "2"})
        EXPECT_EQ(std::filesystem::read_symlink(at + fd), "/dev/null") << fd;
    EXPECT_EQ(Stop().status, 0);  // its debug lines meet the pipe at the end
    ASSERT_NE(WaitSyslog("Stopped " + kBin), -1);
    EXPECT_EQ(SyslogSince(0),
              (Lines{"Started " + kBin, "Configuration of " + kBin + " read from file " + conf,
                     reloaded, invalid, "Stopped " + kBin}));
}

}  // namespace
