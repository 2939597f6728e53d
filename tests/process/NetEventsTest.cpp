// The network event watch end to end: dododuzod in this test's network namespace, the
// simulator in a second one, the two joined by a veth pair (documentation ranges only). The
// poll interval is an hour, so only a network event can explain a check after the first.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cstddef>

#include "Service.h"

namespace {

using service::kNextCheck;
using service::Lines;

const char kChecking[] = "[ENGINE] Checking if IP update is required.";
const char kChange[] = "[ENGINE] Network change: ";
const std::string kRefused =
    "Can not watch the network for changes, error: Permission denied; polling only";

// Makes socket(AF_NETLINK, ...) fail with EACCES in the client.
void RefuseNetlink() {
    if (!fakes::FailSyscall(SYS_socket, EACCES, AF_NETLINK))
        _exit(126);
}

class NetEventsTest : public service::Test {
  protected:
    // The client: 192.0.2.2/24 and 2001:db8:1::2/64 on veth-c; the provider: 192.0.2.1/24,
    // 2001:db8:1::1/64 and 198.51.100.1/32 on veth-p. All of 2001:db8::/32 is on-link.
    NetEventsTest() {
        EXPECT_EQ(mount("tmpfs", "/run", "tmpfs", MS_NOSUID, "mode=0755,size=1m"), 0);
        EXPECT_TRUE(Ip(
            {"netns add provider", "link add veth-c type veth peer name veth-p netns provider"}));
        EXPECT_TRUE(
            Ip({"link set lo up", "link set veth-p up", "addr add 192.0.2.1/24 dev veth-p",
                "addr add 198.51.100.1/32 dev veth-p", "addr add 2001:db8:1::1/64 dev veth-p nodad",
                "route add 2001:db8::/32 dev veth-p"},
               "provider"));
        EXPECT_TRUE(Ip({"link set veth-c up", "addr add 192.0.2.2/24 dev veth-c",
                        "addr add 2001:db8:1::2/64 dev veth-c nodad",
                        "route add 2001:db8::/32 dev veth-c"}));
        EXPECT_TRUE(testproc::WriteFile(dir + "/accounts", "alice secret\n"));
    }
    ~NetEventsTest() override { Ip({"netns del provider"}); }

    // `ip -batch` with `commands`, here or in the namespace `ns`.
    bool Ip(const Lines& commands, const std::string& ns = "") {
        std::string batch;
        for (const std::string& c : commands)
            batch += c + "\n";
        const std::string file = dir + "/batch";
        Lines argv = {"ip", "-batch", file};
        if (!ns.empty())
            argv.insert(argv.begin() + 1, {"-n", ns});
        return testproc::WriteFile(file, batch) && testproc::Run(argv).status == 0;
    }
    bool Shell(const std::string& script) {
        return testproc::Run({"sh", "-c", script}, {}, 60000).status == 0;
    }
    // The simulator on `listen`, reporting the address each request came from.
    void StartLinkSim(const std::string& listen = "192.0.2.1") {
        sim = std::make_unique<testproc::Child>(
            Lines{"ip", "netns", "exec", "provider", DODODUZOD_SIM, "--accounts", dir + "/accounts",
                  "--listen", listen, "--listen", "2001:db8:1::1"});
        ASSERT_TRUE(testproc::WaitUntil([&] { return !SimLines().empty(); }, 5000)) << sim->Err();
        ASSERT_EQ(SimLines()[0], "ready");
    }
    // dododuzod polling hourly with `settings`, once its first cycle has ended.
    void StartLinkClient(const std::string& settings, const std::string& provider = "192.0.2.1",
                         const std::function<void()>& beforeExec = {}) {
        WriteConf("pollinterval 3600\n" + settings);
        unlink(log.c_str());
        StartClient(
            {"-l", log},
            {"DODODUZOD_RESOLVER=" + provider, "DODODUZOD_NAMESERVER=" + provider + ":5353"},
            beforeExec);
        ASSERT_TRUE(WaitForLog(kNextCheck, 1, 20000));
    }
    Lines Changes() const {
        Lines out;
        for (const std::string& l : wire::UndatedLines(log))
            if (l.rfind(kChange, 0) == 0)
                out.push_back(l.substr(sizeof kChange - 1));
        return out;
    }
    size_t CountSyslog(const std::string& text) const {
        const Lines t = syslog.texts();
        return static_cast<size_t>(std::count(t.begin(), t.end(), text));
    }
};

// An address replaced on the client's link reaches the provider in one update, with no
// signal and no reload.
TEST_F(NetEventsTest, ChangedAddressReachesTheProvider) {
    StartLinkSim();
    const struct {
        Lines commands;
        std::string reason, stored;  // how the logged reason starts; the update holds
    } rows[] = {
        {{"addr del 192.0.2.2/24 dev veth-c", "addr add 192.0.2.3/24 dev veth-c"},
         "IPv4 address ",
         "myipv4=192.0.2.3&"},
        {{"addr add 2001:db8:2::2/64 dev veth-c nodad", "addr del 2001:db8:1::2/64 dev veth-c"},
         "IPv6 address ",
         "myipv6=2001:db8:2::2&"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored);
        StartLinkClient("");
        const size_t updates = Updates().size();
        ASSERT_TRUE(Ip(row.commands));
        ASSERT_TRUE(WaitForLog(kNextCheck, 2, 30000));
        EXPECT_EQ(Stop().status, 0);
        const Lines after = Updates();
        ASSERT_EQ(after.size(), updates + 1);
        EXPECT_NE(after.back().find(row.stored), std::string::npos) << after.back();
        EXPECT_NE(after.back().find("-> 200 Good"), std::string::npos) << after.back();
        const Lines changes = Changes();  // the kernel tells of the added one when it is ready
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(changes[0].rfind(row.reason, 0), 0u) << changes[0];
        EXPECT_NE(changes[0].find("d on veth-c."), std::string::npos) << changes[0];
        EXPECT_EQ(CountSyslog(reloaded), 0u);
    }
}

// The provider is off-link, behind the default route: with the route gone a cycle fails;
// the route back (from another source address) brings the update without a signal, once the
// minute between early checks is over.
TEST_F(NetEventsTest, DefaultRouteBackAfterAFailedCycle) {
    ASSERT_TRUE(
        Ip({"addr add 192.0.2.3/24 dev veth-c", "route add default via 192.0.2.1 src 192.0.2.2"}));
    StartLinkSim("198.51.100.1");
    StartLinkClient("ipv6 false\n", "198.51.100.1");
    ASSERT_TRUE(Ip({"route del default"}));
    ASSERT_TRUE(WaitForLog(kNextCheck, 2, 90000));  // the early check, failing
    EXPECT_EQ(Updates().size(), 1u);
    ASSERT_TRUE(Ip({"route add default via 192.0.2.1 src 192.0.2.3"}));
    ASSERT_TRUE(WaitForLog(kNextCheck, 3, 90000));
    EXPECT_EQ(Stop().status, 0);
    const Lines updates = Updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_NE(updates[1].find("myipv4=192.0.2.3&"), std::string::npos) << updates[1];
    EXPECT_EQ(Changes(), (Lines{"IPv4 default route removed on veth-c.",
                                "IPv4 default route added on veth-c."}));
    EXPECT_EQ(CountSyslog(reloaded), 0u);
}

// Lifetime refreshes, as router advertisements bring them, call for no check (a real
// change after them brings exactly one); a flapping link for no more than one a minute.
TEST_F(NetEventsTest, NoiseBringsNoMoreChecksThanTheSpacingAllows) {
    StartLinkSim();
    const struct {
        std::string settings, noise;
        Lines after;  // then, waited for its one check
        std::string firstChange;
        size_t changes;  // the burst before the early check, and the events after it
    } rows[] = {
        {"",
         "for i in $(seq 40); do ip -6 addr change 2001:db8:1::2/64 dev veth-c valid_lft 1800 "
         "preferred_lft 900 || exit 1; sleep 0.25; done",
         {"addr add 192.0.2.9/24 dev veth-c"},
         "IPv4 address added on veth-c.",
         1},
        {"ipv6 false\n",
         "for i in $(seq 10); do ip link set veth-c down && sleep 1 && ip link set veth-c up && "
         "sleep 1 || exit 1; done",
         {},
         "link veth-c lost its carrier.",
         2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.noise);
        StartLinkClient(row.settings);
        ASSERT_TRUE(Shell(row.noise));
        if (!row.after.empty()) {
            ASSERT_TRUE(Ip(row.after));
            ASSERT_TRUE(WaitForLog(kNextCheck, 2, 30000));
        }
        EXPECT_EQ(CountLog(kChecking), 2u);
        EXPECT_EQ(Stop().status, 0);
        const Lines changes = Changes();
        ASSERT_EQ(changes.size(), row.changes);
        EXPECT_EQ(changes[0], row.firstChange);
    }
}

// The IPv6 check goes out from the stable address, not from a temporary one the kernel
// would prefer (use_tempaddr 2; the temporary address made by the kernel from a
// mngtmpaddr address, as SLAAC would); with ipv6temporary true, from the kernel's choice.
TEST_F(NetEventsTest, TheStableIPv6AddressIsPublished) {
    ASSERT_TRUE(Ip({"addr del 2001:db8:1::2/64 dev veth-c"}));
    ASSERT_TRUE(testproc::WriteFile("/proc/sys/net/ipv6/conf/veth-c/use_tempaddr", "2\n"));
    ASSERT_TRUE(Ip({"addr add 2001:db8:1::2/64 dev veth-c mngtmpaddr nodad"}));
    std::string temporary;
    ASSERT_TRUE(testproc::WaitUntil(
        [&] {
            const std::string shown = testproc::Run({"ip", "-6", "-o", "addr", "show", "dev",
                                                     "veth-c", "temporary", "-tentative"})
                                          .out;
            const size_t at = shown.find("inet6 ");
            temporary =
                at == std::string::npos ? "" : shown.substr(at + 6, shown.find('/', at) - at - 6);
            return !temporary.empty();
        },
        10000));
    StartLinkSim();
    const struct {
        std::string settings, stored;
    } rows[] = {{"", "2001:db8:1::2"}, {"ipv6temporary true\n", temporary}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored);
        StartLinkClient(row.settings);
        EXPECT_EQ(Stop().status, 0);
        EXPECT_NE(Updates().back().find("&myipv6=" + row.stored + "&"), std::string::npos)
            << Updates().back();
    }
}

// Without the watch, turned off or refused by the kernel, the service polls as before; a
// refusal is said once in syslog, as a warning.
TEST_F(NetEventsTest, WithoutTheWatchTheServicePolls) {
    StartLinkSim();
    const struct {
        std::string settings;
        bool refused;
    } rows[] = {{"netevents false\n", false}, {"", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.settings);
        const size_t mark = Mark();
        StartLinkClient(row.settings, "192.0.2.1", row.refused ? RefuseNetlink : nullptr);
        ASSERT_TRUE(Ip({"addr add 192.0.2.9/24 dev veth-c", "addr del 192.0.2.9/24 dev veth-c"}));
        client->Signal(SIGHUP);  // a reload does not try again
        ASSERT_TRUE(WaitForLog(kNextCheck, 2, 20000));
        // A watch logs the change within milliseconds.
        EXPECT_FALSE(WaitForLog(kChange, 1, 3000));
        EXPECT_EQ(Stop().status, 0);
        const Lines texts = SyslogSince(mark);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), kRefused), row.refused ? 1 : 0);
        const int warning = 3 << 3 | 4;  // LOG_DAEMON, LOG_WARNING
        EXPECT_EQ(row.refused ? WaitSyslog(kRefused, mark) : warning, warning);
    }
}

}  // namespace
