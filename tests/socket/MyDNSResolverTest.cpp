// The DNS client against a scripted name server on loopback: the wire, the trace, forged
// replies, stops. The crafted reply bytes are in DnsCodecTest.
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
#include "Process.h"
#include "SimDnsReply.h"
#include "Wire.h"

namespace {

using namespace std::string_literals;
using namespace fakes;
using ::testing::EndsWith;
using Texts = std::vector<std::string>;

const char* const kLog = "/var/log/dododuzod.log";

UdpFake::Handler Answer(std::vector<sim::Record> records, int rcode = sim::rcodeOk) {
    return [records, rcode](const std::string& query) {
        return std::vector<Datagram>{{sim::BuildReply(query, records, rcode)}};
    };
}

// A handler that sends a datagram that carries 198.51.100.66, from `from` (empty: the
// server's socket) and with byte `at` moved by `by`, ahead of the true reply (192.0.2.1).
UdpFake::Handler ForgedFirst(size_t at, int by, const std::string& from = "") {
    return [=](const std::string& query) {
        std::vector<Datagram> sent = Answer({{"host.example", 1, "198.51.100.66"}})(query);
        sent.push_back(Answer({{"host.example", 1, "192.0.2.1"}})(query)[0]);
        sent[0].bytes[at] = static_cast<char>(sent[0].bytes[at] + by);
        sent[0].from = from;
        return sent;
    };
}

// Exact query bytes, a fresh ID each time; the asked type only, in reply order. A forged
// reply is dropped and the true one taken within the same time-out; a genuine one (its name
// in other capitals) is taken. Verbose, the trace ends as shown; silent otherwise. A server
// named as the system resolver knows it is asked; one without an address fails after two
// lines and empties the stale list; a refused name (DnsCodecTest has each reason) is logged with
// its reason. Only a query that succeeds sends anything; nor does one without a random ID: its draw
// fails in a thread of its own, as the filter stays for the thread's life.
TEST(Resolver, AsksAndTakesOnlyTheAnswersToItsQuestion) {
    const std::string host = "host.example", done = "Completed DNS query.\n";
    const UdpFake::Handler plain = Answer({{host, 1, "192.0.2.1"}});
    UdpFake fake(0, plain);
    ASSERT_TRUE(fake.ok());
    const std::string at = "127.0.0.1:" + std::to_string(fake.port());
    const std::vector<sim::Record> mixed = {{host, 5, "e.example"},
                                            {"e.example", 1, "192.0.2.2"},
                                            {"e.example", 28, "2001:db8::1"},
                                            {"e.example", 1, "192.0.2.1"}};
    const Texts ours = {"192.0.2.1"};
    const std::string unresolved = "Name Server IP Address: \nRRType: 1\n";
    const std::string question = "Creating DNS question.\n", evil = "host.example\0.evil"s;
    // The type, the server's answer, the server, the name asked, the addresses, how the trace
    // ends (empty: not verbose); only a trace can show a failure.
    const std::tuple<int, UdpFake::Handler, std::string, std::string, Texts, std::string> cases[] =
        {
            {1, Answer(mixed), at, host, {"192.0.2.2", "192.0.2.1"}, ""},
            {28, Answer(mixed), at, host, {"2001:db8::1"}, ""},
            {28, Answer({}, sim::rcodeNameError), at, host, {}, ""},  // no answers, no failure
            {1, ForgedFirst(1, 1), at, host, ours, ""},               // another ID
            {1, ForgedFirst(27, 27), at, host, ours, ""},             // another type asked
            {1, ForgedFirst(0, 0, "127.0.0.1"), at, host, ours, ""},  // from another port
            {1, ForgedFirst(0, 0, "127.0.0.2"), at, host, ours, ""},  // from another address
            {1, ForgedFirst(13, 'H' - 'h'), at, host, {"198.51.100.66"}, ""},
            {1, plain, "ns.zelmar.example" + at.substr(9), host, ours,
             "Parsed 1 DNS answers.\n" + done},
            {1, plain, "nosuch.zelmar.example", host, {}, unresolved},
            {1, plain, "127.0.0.1:dns", host, {}, unresolved},
            {1, plain, at, "a..b", {}, question + MyDNS::HostNameFault("a..b") + "\n"},
            {1, plain, at, evil, {}, question + MyDNS::HostNameFault(evil) + "\n"},
        };
    for (const auto& [type, answer, server, name, expected, trace] : cases) {
        unlink(kLog);
        fake.SetHandler(answer);
        const size_t asked = fake.received().size();
        const bool ok = trace.empty() || trace.find(done) != std::string::npos;
        Texts out = {"stale"};
        EXPECT_EQ(MyDNS::GetIPAddresses(type, name, server, out, !trace.empty()), ok);
        EXPECT_EQ(out, expected) << name << server;
        EXPECT_THAT(Trace(kLog), EndsWith(trace));
        EXPECT_EQ(Trace(kLog).empty(), trace.empty());
        ASSERT_EQ(fake.received().size(), asked + ok) << name << server;
        EXPECT_TRUE(!ok ||
                    fake.received().back().substr(2) == "\1\0\0\1\0\0\0\0\0\0\4host\7example\0\0"s +
                                                            static_cast<char>(type) + "\0\1"s);
    }
    std::set<std::string> ids;
    for (const std::string& query : fake.received())
        ids.insert(query.substr(0, 2));
    EXPECT_GT(ids.size(), 1u) << "every query of the process carried the same ID";
    unlink(kLog);
    Texts out;
    std::thread([&] {
        // getrandom(2) fails as it does before the kernel's generator is seeded.
        EXPECT_TRUE(FailSyscall(SYS_getrandom, EAGAIN) &&
                    !MyDNS::GetIPAddresses(1, host, at, out, true));
    }).join();
    EXPECT_THAT(Trace(kLog),
                EndsWith("Creating DNS packet.\nRandom query ID could not be drawn.\n"));
    EXPECT_EQ(fake.received().size(), 9u);
}

// A stop already requested asks neither the system resolver (it knows other.zelmar.example)
// nor the name server; one that comes during the system resolver's lookup sends no query
// after it. A stop ends the reply wait already under way within 1 s, and a reload does not
// end it at all; a port where nothing listens ends it long before its time-out.
TEST(Resolver, AStopEndsEachWaitAReloadDoesNot) {
    // The reply comes after the signal: only a reload lets it come.
    UdpFake fake(0, [](const std::string& query) {
        testproc::WaitUntil([] { return SignalsDelivered() > 0; }, 5000);
        return Answer({{"host.example", 1, "192.0.2.1"}})(query);
    });
    UdpFake system(53, [](const std::string& query) {
        stop_requested = 1;  // a stop comes during every lookup
        return Answer({{"other.zelmar.example", 1, "127.0.0.1"}})(query);
    });
    ASSERT_TRUE(fake.ok() && system.ok());
    const std::string local = "127.0.0.1:" + std::to_string(fake.port());
    const std::string other = "other.zelmar.example" + local.substr(9);
    // The server; the signal sent once the reply wait is under way; 1: a stop comes first,
    // 2: during the system resolver's lookup, as always.
    const std::tuple<std::string, int, int> cases[] = {
        {other, 0, 1}, {other, 0, 2}, {local, SIGINT, 0}, {local, SIGHUP, 0}, {"127.0.0.1:9", 0, 0},
    };
    for (const auto& [server, sig, stop] : cases) {
        const size_t lookups = system.received().size();
        stop_requested = stop == 1;
        Texts out = {"stale"};
        const Signalled r = UnderSignals(
            [&, s = server] { return MyDNS::GetIPAddresses(1, "host.example", s, out, false); },
            sig ? std::vector<int>{sig} : std::vector<int>{});
        EXPECT_EQ(r.ok, sig == SIGHUP) << server << sig;
        EXPECT_TRUE(r.waited) << server << sig << ": the query never waited in ppoll";
        EXPECT_EQ(out, sig == SIGHUP ? Texts{"192.0.2.1"} : Texts{}) << server << sig;
        EXPECT_TRUE(sig == SIGHUP || r.latency < std::chrono::seconds(1)) << server << sig;
        EXPECT_EQ(system.received().size() > lookups, stop == 2) << server << sig;
    }
    EXPECT_EQ(fake.received().size(), 2u);
    stop_requested = 0;
}

}  // namespace
