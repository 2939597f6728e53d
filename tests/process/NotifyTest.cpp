// What the service tells a service manager: the datagrams that arrive at the
// NOTIFY_SOCKET of a fake manager while dododuzod runs against the simulator.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <regex>

#include "MyFunctions.h"
#include "Service.h"

namespace {

using service::Lines;

bool IsProgress(const std::string& text) {
    return text.rfind("STATUS=Checking the ", 0) == 0 || text.rfind("STATUS=Sending the ", 0) == 0;
}

// The datagrams that came, with a STATUS time that is a second of [from, now] shown as
// "TIME" and a reload's monotonic time as "N"; the steps of a cycle only with `progress`.
Lines Received(const FileDescriptor& fd, time_t from, bool progress = false) {
    Lines out;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
        std::string text(buffer, static_cast<size_t>(n));
        if (!progress && IsProgress(text))
            continue;
        const size_t at = text.size() < 27 ? 0 : text.size() - 27;  // " (" date ")"
        for (time_t t = from; t <= time(nullptr); ++t)
            if (text.compare(at, 27, " (" + MyFunctions::FormatDate(t, 0) + ")") == 0)
                text.replace(at, 27, " (TIME)");
        out.push_back(
            std::regex_replace(text, std::regex("^(RELOADING=1\nMONOTONIC_USEC=)[0-9]+$"), "$1N"));
    }
    return out;
}

// A manager that reads only at the end must not lose the last datagrams of a run: the
// kernel keeps 10 unread ones by default (per network namespace, so only this test's).
class NotifyTest : public service::Test {
  protected:
    NotifyTest() { EXPECT_TRUE(testproc::WriteFile("/proc/sys/net/unix/max_dgram_qlen", "64\n")); }
};

// A cycle, a reload and its cycle, then a stop: what the status says for each way a cycle
// can end. Provider text cannot break the line: control bytes, bytes from 0x80 and the
// backslash arrive escaped.
TEST_F(NotifyTest, CyclesReloadAndStop) {
    unsetenv("NOTIFY_SOCKET");  // only what a row sets may reach the client
    const std::string addresses = "IPv4 203.0.113.7, IPv6 2001:db8::7",
                      refused = "Update refused by the provider: ", a222(222, 'a');
    const struct {
        // The socket (empty: NOTIFY_SOCKET unset), the provider's status ("-": no provider),
        // the settings, and the status of the first cycle and of the reload's when it differs.
        std::string name, sim, settings, status, again;
    } rows[] = {
        {"/notify", "", "", "Updated: " + addresses, "No change: " + addresses},
        {"@dodo-notify", "Bad\tLogin\x01\x7f\xff\xc2\x9b\xe2\x80\xae\\x0a", "",
         refused + "Bad\\x09Login\\x01\\x7f\\xff\\xc2\\x9b\\xe2\\x80\\xae\\x5cx0a", ""},
        // Cut at 256 bytes, but not inside the escape of the 255th byte: ASCII to the end.
        {"/notify", a222 + "\xe2\x80\xae", "", refused + a222 + "...", ""},
        {"/notify", "-", "", "Address check failed for IPv4 and IPv6", ""},
        {"/notify", "-", "ipv4 false\nipv6 false\n", "IPv4 and IPv6 updates are both disabled", ""},
        {"/notify", "-", "username \npassword \n", "Invalid configuration file " + conf, ""},
        {"", "-", "", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name + " " + row.settings);
        const time_t from = time(nullptr);
        // Unset, the manager still listens: nothing may arrive all the same.
        const std::string at = row.name[0] == '@' ? row.name : dir + "/notify";
        unlink(log.c_str());
        int none = 0;  // the manager's end, at a path or an abstract name
        const FileDescriptor manager = fakes::BindLoopback(AF_UNIX, SOCK_DGRAM, at, none);
        ASSERT_TRUE(manager.ok());
        WriteConf(row.settings);
        if (row.sim != "-")
            StartSim(row.sim.empty() ? Lines{} : Lines{"--status", row.sim});
        StartClient({"-l", log}, row.name.empty() ? Lines{} : Lines{"NOTIFY_SOCKET=" + at});
        const std::string ended = row.settings[0] == 'u' ? invalidLog : service::kNextCheck;
        ASSERT_TRUE(WaitForLog(ended));
        client->Signal(SIGHUP);
        ASSERT_TRUE(WaitForLog(ended, 2));
        EXPECT_EQ(Stop().status, 0);
        const Lines expected = {
            "READY=1",
            "STATUS=" + row.status + " (TIME)",
            "RELOADING=1\nMONOTONIC_USEC=N",
            "READY=1",
            "STATUS=" + (row.again.empty() ? row.status : row.again) + " (TIME)",
            "STOPPING=1"};
        EXPECT_EQ(Received(manager, from), row.name.empty() ? Lines{} : expected);
        sim.reset();
    }
}

// While a cycle runs the status says what it waits for; a reload cuts a stalled exchange
// short (the HTTP time-out is 60 s) and its forced cycle follows at once.
TEST_F(NotifyTest, StepsOfACycleAndAReloadThatCutsItShort) {
    const std::string at = dir + "/notify", lookup = " A checkip.zelmar.example ";
    const struct {
        bool stall;
        Lines expected;
    } rows[] = {
        {false,
         {"READY=1", "STATUS=Checking the IPv4 address (TIME)",
          "STATUS=Checking the IPv6 address (TIME)", "STATUS=Sending the update (TIME)",
          "STATUS=Updated: IPv4 203.0.113.7, IPv6 2001:db8::7 (TIME)", "STOPPING=1"}},
        {true,
         {"READY=1", "STATUS=Checking the IPv4 address (TIME)", "RELOADING=1\nMONOTONIC_USEC=N",
          "READY=1", "STATUS=Checking the IPv4 address (TIME)", "STOPPING=1"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stall);
        const time_t from = time(nullptr);
        unlink(at.c_str());
        int none = 0;
        const FileDescriptor manager = fakes::BindLoopback(AF_UNIX, SOCK_DGRAM, at, none);
        ASSERT_TRUE(manager.ok());
        StartSim(row.stall ? Lines{"--stall"} : Lines{});
        const size_t mark = Mark();
        StartClient({"-l", log}, {"NOTIFY_SOCKET=" + at});
        if (row.stall) {
            // The stalled request is never answered, so never logged: its lookup is.
            ASSERT_TRUE(testproc::WaitUntil([&] { return !SimLines(lookup).empty(); }, 10000));
            ASSERT_TRUE(WaitForClientInPpoll());
            client->Signal(SIGHUP);
            EXPECT_EQ(WaitSyslog(reloaded, mark), service::kInfo);
            ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines(lookup).size() == 2; }, 10000));
        } else {
            ASSERT_TRUE(WaitForLog(service::kNextCheck));
        }
        EXPECT_EQ(Stop().status, 0);
        EXPECT_EQ(Received(manager, from, true), row.expected);
        sim.reset();
    }
}

}  // namespace
