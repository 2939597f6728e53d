// The DNS client against a scripted name server on loopback: the wire, the log, forged
// replies, stops. The crafted reply bytes are the fuzz seeds that MyDNSCodecTest replays.
#include <gmock/gmock.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Fakes.h"
#include "MyDNS.h"
#include "MyFunctions.h"
#include "Process.h"
#include "SimDnsReply.h"
#include "Wire.h"

namespace {

using namespace std::string_literals;
using namespace fakes;
using Texts = std::vector<std::string>;

const char* const kLog = "/var/log/dododuzod.log";
// The log of a query to 127.0.0.1, up to the step named last.
const std::string kUntilPacket =
    "Name Server IP Address: 127.0.0.1\nRRType: 1\nPerforming DNS query.\nCreating socket.\n"
    "Setting socket timeout.\nCreating destination socket.\nApplying destination socket "
    "address.\nApplying destination socket port.\nCreating DNS packet.\n";
const std::string kUntilReceiving =
    kUntilPacket + "Creating DNS question.\nSending DNS question.\nReceiving DNS answer.\n";

// Name lookups of this process stay on the machine: a hosts file that knows the
// test's name server, and a resolver that is loopback only.
bool LoopbackNameFiles() {
    static const bool done =
        testproc::WriteFile("/tmp/dnstest.hosts", "127.0.0.1 localhost ns.zelmar.example\n") &&
        testproc::WriteFile("/tmp/dnstest.resolv",
                            "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n") &&
        mount("/tmp/dnstest.hosts", "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
        mount("/tmp/dnstest.resolv", "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    return done;
}

// The log's messages, one a line; a line of another tag than FRAMEWORK keeps it, to mismatch.
std::string Logged() {
    std::string text;
    for (const std::string& line : wire::UndatedLines(kLog))
        text += (line.rfind("[FRAMEWORK] ", 0) == 0 ? line.substr(12) : line) + "\n";
    return text;
}

Datagram Reply(const std::string& query, const std::string& address) {
    return DatagramOf(sim::BuildReply(query, {{"host.example", 1, address}}));
}

UdpFake::Handler Answer(std::vector<sim::Record> records, int rcode = sim::rcodeOk) {
    return [records, rcode](const std::string& query) {
        return std::vector<Datagram>{DatagramOf(sim::BuildReply(query, records, rcode))};
    };
}

// Makes getrandom(2) fail in this process as it does before the kernel's generator is seeded.
bool FailGetrandom() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class Resolver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoopbackNameFiles());
        ASSERT_TRUE(fake_.ok());
        unlink(kLog);
        MyDNS::timeoutSeconds = 10;
        stop_requested = 0;
    }
    std::string Server(const std::string& name = "127.0.0.1") const {
        return name + ":" + std::to_string(fake_.port());
    }
    bool Query(bool verbose, const std::string& host = "host.example",
               const std::string& server = "") {
        out_ = {"stale"};
        return MyDNS::GetIPAddresses(1, host, server.empty() ? Server() : server, out_, verbose);
    }

    UdpFake fake_{0, Answer({{"host.example", 1, "192.0.2.1"}})};
    Texts out_;
};

// Exact query bytes; the asked type only, in reply order; silence unless verbose.
TEST_F(Resolver, SendsTheQueryAndKeepsAnswersOfTheAskedTypeInOrder) {
    const std::vector<sim::Record> mixed = {{"host.example", 5, "edge.example"},
                                            {"edge.example", 1, "192.0.2.2"},
                                            {"edge.example", 28, "2001:db8::1"},
                                            {"edge.example", 1, "192.0.2.1"}};
    const std::tuple<int, UdpFake::Handler, Texts> cases[] = {
        {1, Answer(mixed), {"192.0.2.2", "192.0.2.1"}},
        {28, Answer(mixed), {"2001:db8::1"}},
        {28, Answer({}, sim::rcodeNameError), {}},  // ANCOUNT 0 is an answer too
    };
    for (const auto& [type, server, expected] : cases) {
        fake_.SetHandler(server);
        out_ = {"stale"};
        EXPECT_TRUE(MyDNS::GetIPAddresses(type, "host.example", Server(), out_, false)) << type;
        EXPECT_EQ(out_, expected) << type;
        EXPECT_EQ(fake_.queries().back().substr(2),
                  "\1\0\0\1\0\0\0\0\0\0\4host\7example\0\0"s + static_cast<char>(type) + "\0\1"s);
        auto first = type == 1 ? MyDNS::GetIPv4Address : MyDNS::GetIPv6Address;
        EXPECT_EQ(first("host.example", Server(), false), expected.empty() ? "" : expected[0]);
    }
    std::set<std::string> ids;
    for (const std::string& query : fake_.queries())
        ids.insert(query.substr(0, 2));
    EXPECT_GT(ids.size(), 1u) << "every query of the process carried the same ID";
    EXPECT_EQ(Logged(), "") << "verbose false must write nothing";
}

// Every step of a query to a server named as the system resolver knows it. A server
// without an address fails after two lines and empties the stale list; a refused name (each
// reason is a seed of the query corpus) is logged with its reason. Neither sends anything,
// nor does a query without a fresh random ID: its draw fails in a child, as the filter stays
// for life.
TEST_F(Resolver, LogsEachStepOrWhereItStopped) {
    const std::string unresolved = "Name Server IP Address: \nRRType: 1\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {Server("ns.zelmar.example"), "host.example",
         kUntilReceiving + "Parsing 1 DNS answers.\nAnswer RRType: \nParsing A answer.\n"
                           "Parsed A answer.\nParsed Answer.\nParsed 1 DNS answers.\n"
                           "Completed DNS query.\n"},
        {"nosuch.zelmar.example", "host.example", unresolved},
        {"127.0.0.1:0", "host.example", unresolved},
        {"127.0.0.1:dns", "host.example", unresolved},
        {"", "a..b", kUntilPacket + "Creating DNS question.\n" + MyDNS::HostNameFault("a..b")},
        {"", "host.example\0.evil"s,
         kUntilPacket + "Creating DNS question.\n" + MyDNS::HostNameFault("host.example\0.evil"s)},
    };
    for (const auto& [server, host, log] : cases) {
        unlink(kLog);
        const bool ok = log.find("Completed") != std::string::npos;
        EXPECT_EQ(Query(true, host, server), ok) << server << host;
        EXPECT_EQ(out_, ok ? Texts{"192.0.2.1"} : Texts{}) << server << host;
        EXPECT_EQ(Logged(), log + (ok || log == unresolved ? "" : "\n"));
    }
    unlink(kLog);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(FailGetrandom() && !Query(true) ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Logged(), kUntilPacket + "Random query ID could not be drawn.\n");
    EXPECT_EQ(fake_.queries().size(), 1u);
}

// Each datagram comes before the true reply (192.0.2.1) and carries 198.51.100.66. A
// forged one is dropped and the true one taken within the same time-out; a genuine one is
// taken. Forgeries alone: the wait runs out, and no query is sent twice.
TEST_F(Resolver, TakesOnlyTheReplyToItsQuestion) {
    using Forge = std::function<void(Datagram&)>;
    const std::tuple<Forge, Texts> cases[] = {
        {[](Datagram& d) { d.bytes[1] = static_cast<char>(d.bytes[1] ^ 0x5a); }, {"192.0.2.1"}},
        {[](Datagram& d) { d.bytes[27] = '\x1c'; }, {"192.0.2.1"}},
        {[](Datagram& d) { d.from = "127.0.0.1"; }, {"192.0.2.1"}},  // from another port
        {[](Datagram& d) { d.from = "127.0.0.2"; }, {"192.0.2.1"}},
        {[](Datagram& d) { d.bytes[13] = 'H'; }, {"198.51.100.66"}},
    };
    std::vector<Forge> forgeries;
    for (const auto& [forge, expected] : cases) {
        fake_.SetHandler([forge = forge](const std::string& query) {
            std::vector<Datagram> sent = {Reply(query, "198.51.100.66"), Reply(query, "192.0.2.1")};
            forge(sent[0]);
            return sent;
        });
        EXPECT_TRUE(Query(false));
        EXPECT_EQ(out_, expected);
        if (expected == Texts{"192.0.2.1"})
            forgeries.push_back(forge);
    }
    MyDNS::timeoutSeconds = 1;
    fake_.SetHandler([&forgeries](const std::string& query) {
        std::vector<Datagram> sent(forgeries.size(), Reply(query, "198.51.100.66"));
        for (size_t i = 0; i < sent.size(); ++i)
            forgeries[i](sent[i]);
        return sent;
    });
    unlink(kLog);
    EXPECT_FALSE(Query(true));
    EXPECT_TRUE(out_.empty());
    EXPECT_EQ(Logged(), kUntilReceiving);
    EXPECT_EQ(fake_.queries().size(), std::size(cases) + 1);
}

// A stop already requested asks neither the system resolver (it knows other.zelmar.example)
// nor the name server; one that comes during the system resolver's lookup sends no query
// after it. A stop ends the reply wait already under way within 1 s, and a reload does not
// end it at all; a port where nothing listens ends it long before its time-out.
TEST_F(Resolver, AStopEndsEachWaitAReloadDoesNot) {
    std::atomic<bool> stopInLookup{false};
    UdpFake system(53, [&stopInLookup](const std::string& query) {
        stop_requested = stop_requested || stopInLookup;
        return std::vector<Datagram>{
            DatagramOf(sim::BuildReply(query, {{"other.zelmar.example", 1, "127.0.0.1"}}))};
    });
    ASSERT_TRUE(system.ok());
    const std::string other = Server("other.zelmar.example");
    // The server; the signal sent once the reply wait is under way; 1: a stop comes first,
    // 2: during the system resolver's lookup. Only a reload lets an answer come.
    const std::tuple<std::string, int, int> cases[] = {
        {other, 0, 1},          {other, 0, 2},         {Server(), SIGINT, 0},
        {Server(), SIGTERM, 0}, {Server(), SIGHUP, 0}, {"127.0.0.1:9", 0, 0},
    };
    size_t asked = 0;  // queries the name server received so far
    for (const auto& [server, sig, stop] : cases) {
        const bool answered = sig == SIGHUP;
        // A query of an earlier round still queued at the server must not meet this
        // case's handler: under load, delayed answers to many of them add up.
        ASSERT_TRUE(testproc::WaitUntil([&] { return fake_.queries().size() == asked; }, 5000));
        // The reply, when there is one, is held back until well after the signal.
        fake_.SetHandler([answered](const std::string& query) {
            if (answered)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return answered ? std::vector<Datagram>{Reply(query, "192.0.2.1")}
                            : std::vector<Datagram>{};
        });
        const size_t lookups = system.queries().size();
        stopInLookup = stop == 2;
        for (int round = 0; round < (sig == SIGINT || sig == SIGTERM ? 20 : 1); ++round) {
            stop_requested = stop == 1;
            const Signalled r =
                UnderSignals([&, server = server] { return Query(false, "host.example", server); },
                             sig ? std::vector<int>{sig} : std::vector<int>{}, SA_RESTART);
            const std::string name = sig ? strsignal(sig) : server;
            asked += sig != 0;
            EXPECT_EQ(r.ok, answered) << name;
            ASSERT_TRUE(r.waited) << name << ": the query never waited in ppoll";
            EXPECT_EQ(out_, answered ? Texts{"192.0.2.1"} : Texts{}) << name;
            EXPECT_TRUE(answered || r.latency < std::chrono::seconds(1)) << name;
        }
        EXPECT_EQ(system.queries().size() > lookups, stop == 2);
    }
    EXPECT_EQ(fake_.queries().size(), asked);
}

}  // namespace
