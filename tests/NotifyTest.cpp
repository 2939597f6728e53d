// What the service tells a service manager: the datagrams that arrive at the
// NOTIFY_SOCKET of a fake manager while dododuzod runs against the simulator or
// the in-process fakes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <set>

#include "FakeProvider.h"
#include "MyFunctions.h"
#include "Process.h"
#include "Wire.h"

namespace {

const std::string bin = DODODUZOD_BIN;
const std::string simBin = DODODUZOD_SIM;
const std::string nextCheck = "[ENGINE] IP address check completed. Next check at ";

// The manager's end: a datagram socket at a path, or at an abstract name ("@...").
class NotifyCapture {
  public:
    explicit NotifyCapture(const std::string& name)
        : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                      name.size() + (name[0] == '/'));
        bound_ = fd_.ok() && bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0;
    }
    bool ok() const { return bound_; }
    // Every datagram so far, in order of arrival.
    std::vector<std::string> Messages() {
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
            messages_.emplace_back(buffer, static_cast<size_t>(n));
        return messages_;
    }

  private:
    FileDescriptor fd_;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

unsigned long long MonotonicMicroseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
}

// The message with its variable part checked and replaced: a STATUS line's local
// time must be a second of [from, to] ("(TIME)"), and a reload's monotonic time a
// moment of [usecFrom, usecTo] ("N").
std::string Checked(const std::string& message, time_t from, time_t to, unsigned long long usecFrom,
                    unsigned long long usecTo) {
    std::smatch m;
    static const std::regex status("(STATUS=.*) \\((.*)\\)");
    if (std::regex_match(message, m, status)) {
        std::set<std::string> seconds;
        for (time_t t = from; t <= to; ++t)
            seconds.insert(MyFunctions::FormatDate(t, 0));
        return m[1].str() + (seconds.count(m[2].str()) != 0 ? " (TIME)" : " (" + m[2].str() + ")");
    }
    static const std::regex reloading("RELOADING=1\nMONOTONIC_USEC=([0-9]+)");
    if (std::regex_match(message, m, reloading)) {
        const unsigned long long usec = std::strtoull(m[1].str().c_str(), nullptr, 10);
        return usec >= usecFrom && usec <= usecTo ? "RELOADING=1\nMONOTONIC_USEC=N" : message;
    }
    return message;
}

class NotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("NOTIFY_SOCKET");  // only what a test sets may reach the client
        dir = testproc::MakeTempDir();
        conf = dir + "/dododuzod.conf";
        log = dir + "/dododuzod.log";
        ASSERT_TRUE(testproc::WriteFile(dir + "/accounts", "alice secret\n"));
        from = time(nullptr);
        usecFrom = MonotonicMicroseconds();
    }

    void StartSim(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {simBin, "--accounts", dir + "/accounts"};
        argv.insert(argv.end(), args.begin(), args.end());
        sim = std::make_unique<testproc::Child>(argv);
        ASSERT_TRUE(testproc::WaitUntil([&] { return !sim->Out().empty(); }, 5000)) << sim->Err();
    }

    void StartClient(const std::string& notifySocket) {
        std::vector<std::string> env = {"DODODUZOD_RESOLVER=127.0.0.1",
                                        "DODODUZOD_NAMESERVER=127.0.0.1:5353"};
        if (!notifySocket.empty())
            env.push_back("NOTIFY_SOCKET=" + notifySocket);
        client = std::make_unique<testproc::Child>(
            std::vector<std::string>{bin, "-c", conf, "-l", log}, env);
    }

    bool WaitForMessages(NotifyCapture& capture, size_t count) {
        return testproc::WaitUntil([&] { return capture.Messages().size() >= count; }, 10000);
    }

    bool WaitForSleep() const {
        return testproc::WaitUntil(
            [&] {
                for (const std::string& l : wire::Lines(testproc::ReadFile(log)))
                    if (wire::Undated(l).compare(0, nextCheck.size(), nextCheck) == 0)
                        return true;
                return false;
            },
            10000);
    }

    int Stop() {
        client->Signal(SIGINT);
        testproc::Result r = client->Wait(5000);
        return r.exited ? r.status : -1;
    }

    std::vector<std::string> Received(NotifyCapture& capture) {
        std::vector<std::string> out;
        const time_t to = time(nullptr);
        const unsigned long long usecTo = MonotonicMicroseconds();
        for (const std::string& m : capture.Messages())
            out.push_back(Checked(m, from, to, usecFrom, usecTo));
        return out;
    }

    std::string dir, conf, log;
    time_t from = 0;
    unsigned long long usecFrom = 0;
    std::unique_ptr<testproc::Child> sim;
    std::unique_ptr<testproc::Child> client;
};

TEST_F(NotifyTest, FirstCycleReloadAndStop) {
    NotifyCapture manager(dir + "/notify");
    ASSERT_TRUE(manager.ok());
    ASSERT_TRUE(
        testproc::WriteFile(conf, "username alice\npassword secret\nipv4 true\nipv6 true\n"));
    StartSim({});
    StartClient(dir + "/notify");
    ASSERT_TRUE(WaitForMessages(manager, 2));
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForMessages(manager, 5));
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Received(manager),
              (std::vector<std::string>{
                  "READY=1", "STATUS=Updated: IPv4 203.0.113.7, IPv6 2001:db8::7 (TIME)",
                  "RELOADING=1\nMONOTONIC_USEC=N", "READY=1",
                  "STATUS=No change: IPv4 203.0.113.7, IPv6 2001:db8::7 (TIME)", "STOPPING=1"}));
}

// One cycle, then a stop: what the status says for each way a cycle can end.
TEST_F(NotifyTest, OneCycleThenStop) {
    enum class Provider { simulator, fakes, none };
    struct Case {
        std::string name;  // of the socket; empty: NOTIFY_SOCKET unset
        Provider provider;
        std::vector<std::string> simArgs;
        std::string settings;
        std::string updateBody;  // what the fakes answer to the update
        std::vector<std::string> expected;
        std::string account = "username alice\npassword secret\n";
    } cases[] = {
        {"@dododuzod-notify-test",
         Provider::simulator,
         {"--fault", "status-bad-auth"},
         "ipv4 true\n",
         "",
         {"READY=1", "STATUS=Update refused by the provider: Bad Authentication (TIME)",
          "STOPPING=1"}},
        {"/notify",
         Provider::none,
         {},
         "ipv4 true\nipv6 true\n",
         "",
         {"READY=1", "STATUS=Address check failed for IPv4 and IPv6 (TIME)", "STOPPING=1"}},
        {"/notify",
         Provider::none,
         {},
         "ipv4 false\nipv6 false\n",
         "",
         {"READY=1", "STATUS=IPv4 and IPv6 updates are both disabled (TIME)", "STOPPING=1"}},
        // Provider text cannot break the line: control bytes arrive escaped.
        {"/notify",
         Provider::fakes,
         {},
         "ipv4 true\n",
         "{\"responseId\":\"0123456789abcdef\",\"statusCode\":\"Bad\tLogin\x01\x7f\","
         "\"updatedIPv4Address\":null,\"updatedIPv6Address\":null}",
         {"READY=1", "STATUS=Update refused by the provider: Bad\\x09Login\\x01\\x7f (TIME)",
          "STOPPING=1"}},
        {"/notify",
         Provider::none,
         {},
         "ipv4 true\n",
         "",
         {"READY=1", "STATUS=Invalid configuration file " + conf + " (TIME)", "STOPPING=1"},
         "username \npassword \n"},
        {"", Provider::simulator, {}, "ipv4 true\ndebug true\n", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.settings);
        const std::string name = c.name.empty() || c.name[0] == '@' ? c.name : dir + c.name;
        // Unset, the manager still listens: nothing may arrive all the same.
        const std::string listening = c.name.empty() ? dir + "/notify" : name;
        unlink(listening.c_str());
        unlink(log.c_str());
        NotifyCapture manager(listening);
        ASSERT_TRUE(manager.ok());
        ASSERT_TRUE(testproc::WriteFile(conf, c.account + c.settings));
        std::unique_ptr<fakes::FakeProvider> fake;
        if (c.provider == Provider::simulator)
            StartSim(c.simArgs);
        if (c.provider == Provider::fakes) {
            fake = std::make_unique<fakes::FakeProvider>();
            ASSERT_TRUE(fake->ok());
            fake->SetUpdateBody(c.updateBody);
        }
        StartClient(name);
        ASSERT_TRUE(c.expected.empty() ? WaitForSleep() : WaitForMessages(manager, 2));
        EXPECT_EQ(Stop(), 0);
        EXPECT_EQ(Received(manager), c.expected);
        sim.reset();
    }
}

}  // namespace
