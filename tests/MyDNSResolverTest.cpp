// The DNS client against a scripted name server on loopback: the wire, the trace, forged
// replies, stops. The crafted reply bytes are the fuzz seeds that MyDNSCodecTest replays.
#include <gmock/gmock.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
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
#include "SimDnsReply.h"
#include "Wire.h"

namespace {

using namespace std::string_literals;
using namespace fakes;
using ::testing::EndsWith;
using Texts = std::vector<std::string>;

const char* const kLog = "/var/log/dododuzod.log";

// The log's messages, one a line; a line of another tag than FRAMEWORK keeps it, to mismatch.
std::string Logged() {
    std::string text;
    for (const std::string& line : wire::UndatedLines(kLog))
        text += (line.rfind("[FRAMEWORK] ", 0) == 0 ? line.substr(12) : line) + "\n";
    return text;
}

UdpFake::Handler Answer(std::vector<sim::Record> records, int rcode = sim::rcodeOk) {
    return [records, rcode](const std::string& query) {
        return std::vector<Datagram>{{sim::BuildReply(query, records, rcode)}};
    };
}

Datagram Reply(const std::string& query, const std::string& address) {
    return Answer({{"host.example", 1, address}})(query)[0];
}

// Makes getrandom(2) fail in the calling thread as it does before the kernel's generator is
// seeded.
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
        ASSERT_TRUE(fake_.ok());
        unlink(kLog);
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

// A handler that sends a datagram that carries 198.51.100.66, from `from` (empty: the
// server's socket) and with byte `at` moved by `by`, ahead of the true reply (192.0.2.1).
UdpFake::Handler ForgedFirst(size_t at, int by, const std::string& from = "") {
    return [=](const std::string& query) {
        std::vector<Datagram> sent = {Reply(query, "198.51.100.66"), Reply(query, "192.0.2.1")};
        sent[0].bytes[at] = static_cast<char>(sent[0].bytes[at] + by);
        sent[0].from = from;
        return sent;
    };
}

// Exact query bytes; the asked type only, in reply order; silence unless verbose. A forged
// reply is dropped and the true one taken within the same time-out; a genuine one (its name
// in other capitals) is taken.
TEST_F(Resolver, SendsTheQueryAndTakesOnlyTheAnswersToIt) {
    const std::vector<sim::Record> mixed = {{"host.example", 5, "edge.example"},
                                            {"edge.example", 1, "192.0.2.2"},
                                            {"edge.example", 28, "2001:db8::1"},
                                            {"edge.example", 1, "192.0.2.1"}};
    const Texts ours = {"192.0.2.1"};
    const std::tuple<int, UdpFake::Handler, Texts> cases[] = {
        {1, Answer(mixed), {"192.0.2.2", "192.0.2.1"}},
        {28, Answer(mixed), {"2001:db8::1"}},
        {28, Answer({}, sim::rcodeNameError), {}},  // ANCOUNT 0 is an answer too
        {1, ForgedFirst(1, 1), ours},               // another ID
        {1, ForgedFirst(27, 27), ours},             // another type asked
        {1, ForgedFirst(0, 0, "127.0.0.1"), ours},  // from another port
        {1, ForgedFirst(0, 0, "127.0.0.2"), ours},  // from another address
        {1, ForgedFirst(13, 'H' - 'h'), {"198.51.100.66"}},
    };
    for (const auto& [type, server, expected] : cases) {
        fake_.SetHandler(server);
        out_ = {"stale"};
        EXPECT_TRUE(MyDNS::GetIPAddresses(type, "host.example", Server(), out_, false)) << type;
        EXPECT_EQ(out_, expected) << type;
        EXPECT_EQ(fake_.received().back().substr(2),
                  "\1\0\0\1\0\0\0\0\0\0\4host\7example\0\0"s + static_cast<char>(type) + "\0\1"s);
    }
    std::set<std::string> ids;
    for (const std::string& query : fake_.received())
        ids.insert(query.substr(0, 2));
    EXPECT_GT(ids.size(), 1u) << "every query of the process carried the same ID";
    EXPECT_EQ(Logged(), "") << "verbose false must write nothing";
}

// Where each query's trace ends. A server named as the system resolver knows it is asked;
// one without an address fails after two lines and empties the stale list; a refused name
// (each reason is a seed of the query corpus) is logged with its reason. Only the first
// sends anything; nor does a query without a fresh random ID: its draw fails in a thread of
// its own, as the filter stays for the thread's life.
TEST_F(Resolver, LogsWhereItStopped) {
    const std::string unresolved = "Name Server IP Address: \nRRType: 1\n";
    const std::string question = "Creating DNS question.\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {Server("ns.zelmar.example"), "host.example",
         "Parsed 1 DNS answers.\nCompleted DNS query.\n"},
        {"nosuch.zelmar.example", "host.example", unresolved},
        {"127.0.0.1:0", "host.example", unresolved},
        {"127.0.0.1:dns", "host.example", unresolved},
        {"", "a..b", question + MyDNS::HostNameFault("a..b") + "\n"},
        {"", "host.example\0.evil"s,
         question + MyDNS::HostNameFault("host.example\0.evil"s) + "\n"},
    };
    for (const auto& [server, host, log] : cases) {
        unlink(kLog);
        const bool ok = log.find("Completed") != std::string::npos;
        EXPECT_EQ(Query(true, host, server), ok) << server << host;
        EXPECT_EQ(out_, ok ? Texts{"192.0.2.1"} : Texts{}) << server << host;
        EXPECT_THAT(Logged(), EndsWith(log));
    }
    unlink(kLog);
    std::thread([this] { EXPECT_TRUE(FailGetrandom() && !Query(true)); }).join();
    EXPECT_THAT(Logged(), EndsWith("Creating DNS packet.\nRandom query ID could not be drawn.\n"));
    EXPECT_EQ(fake_.received().size(), 1u);
}

// A stop already requested asks neither the system resolver (it knows other.zelmar.example)
// nor the name server; one that comes during the system resolver's lookup sends no query
// after it. A stop ends the reply wait already under way within 1 s, and a reload does not
// end it at all; a port where nothing listens ends it long before its time-out.
TEST_F(Resolver, AStopEndsEachWaitAReloadDoesNot) {
    UdpFake system(53, [](const std::string& query) {
        stop_requested = 1;  // a stop comes during every lookup
        return Answer({{"other.zelmar.example", 1, "127.0.0.1"}})(query);
    });
    ASSERT_TRUE(system.ok());
    // The reply comes well after the signal: only a reload lets it come.
    fake_.SetHandler([](const std::string& query) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return std::vector<Datagram>{Reply(query, "192.0.2.1")};
    });
    const std::string other = Server("other.zelmar.example");
    // The server; the signal sent once the reply wait is under way; 1: a stop comes first,
    // 2: during the system resolver's lookup, as always.
    const std::tuple<std::string, int, int> cases[] = {
        {other, 0, 1},         {other, 0, 2},         {Server(), SIGINT, 0},
        {Server(), SIGHUP, 0}, {"127.0.0.1:9", 0, 0},
    };
    for (const auto& [server, sig, stop] : cases) {
        const size_t lookups = system.received().size();
        stop_requested = stop == 1;
        const Signalled r =
            UnderSignals([&, server = server] { return Query(false, "host.example", server); },
                         sig ? std::vector<int>{sig} : std::vector<int>{});
        const std::string name = server + (sig ? strsignal(sig) : "");
        EXPECT_EQ(r.ok, sig == SIGHUP) << name;
        EXPECT_TRUE(r.waited) << name << ": the query never waited in ppoll";
        EXPECT_EQ(out_, sig == SIGHUP ? Texts{"192.0.2.1"} : Texts{}) << name;
        EXPECT_TRUE(sig == SIGHUP || r.latency < std::chrono::seconds(1)) << name;
        EXPECT_EQ(system.received().size() > lookups, stop == 2) << name;
    }
    EXPECT_EQ(fake_.received().size(), 2u);
}

}  // namespace
