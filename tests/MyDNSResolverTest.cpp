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

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
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
    std::string Server() const { return "127.0.0.1:" + std::to_string(fake_.port()); }
    bool Query(bool verbose, const std::string& host = "host.example") {
        out_ = {"stale"};
        return MyDNS::GetIPAddresses(1, host, Server(), out_, verbose);
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

// The server comes from the environment, named as the system resolver knows it.
TEST_F(Resolver, LogsEveryStepOfASuccessfulQuery) {
    const std::string server = "ns.zelmar.example:" + std::to_string(fake_.port());
    ASSERT_EQ(setenv("DODODUZOD_RESOLVER", server.c_str(), 1), 0);
    std::string found = MyDNS::GetIPv4Address("host.example", "", true);
    setenv("DODODUZOD_RESOLVER", "127.0.0.1", 1);
    EXPECT_EQ(found, "192.0.2.1");
    EXPECT_EQ(Logged(),
              "Name Server: " + server +
                  "\nName Server IP Address: 127.0.0.1\nRRType: 1\nPerforming DNS query.\n"
                  "Creating socket.\nSetting socket timeout.\nCreating destination socket.\n"
                  "Applying destination socket address.\nApplying destination socket port.\n"
                  "Creating DNS packet.\nCreating DNS question.\nSending DNS question.\n"
                  "Receiving DNS answer.\nParsing 1 DNS answers.\nAnswer RRType: \n"
                  "Parsing A answer.\nParsed A answer.\nParsed Answer.\n"
                  "Parsed 1 DNS answers.\nCompleted DNS query.\n");
}

// No address for the server: two lines, a failure, and the stale list gone.
TEST_F(Resolver, UnresolvableServerFailsAfterTwoLines) {
    for (const char* server : {"nosuch.zelmar.example", "127.0.0.1:0", "127.0.0.1:dns"}) {
        unlink(kLog);
        out_ = {"stale"};
        EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", server, out_, true)) << server;
        EXPECT_TRUE(out_.empty()) << server;
        EXPECT_EQ(Logged(), "Name Server IP Address: \nRRType: 1\n") << server;
    }
}

// A refused name (each reason is a seed of the query corpus) is logged with its reason and
// sends nothing; nor does a query without a fresh random ID. The ID draw fails in a child:
// the filter stays for life.
TEST_F(Resolver, SendsNothingForARefusedNameOrWithoutAnId) {
    for (const std::string& host : {"a..b"s, "host.example\0.evil"s}) {
        unlink(kLog);
        EXPECT_FALSE(Query(true, host));
        EXPECT_TRUE(out_.empty());
        EXPECT_THAT(Logged(), testing::EndsWith("\nCreating DNS question.\n"s +
                                                MyDNS::HostNameFault(host) + "\n"));
    }
    unlink(kLog);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(FailGetrandom() && !Query(true) ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(Logged(), testing::EndsWith("\nCreating DNS packet.\n"
                                            "Random query ID could not be drawn.\n"));
    EXPECT_TRUE(fake_.queries().empty());
}

// Each datagram comes before the true reply (192.0.2.1) and carries 198.51.100.66. A
// forged one is dropped and the true one taken within the same time-out; a genuine one is
// taken. Forgeries alone: the wait runs out, and no query is sent twice.
TEST_F(Resolver, TakesOnlyTheReplyToItsQuestion) {
    using Forge = std::function<void(Datagram&)>;
    const std::tuple<Forge, Texts> cases[] = {
        {[](Datagram& d) { d.bytes[1] = static_cast<char>(d.bytes[1] ^ 0x5a); }, {"192.0.2.1"}},
        {[](Datagram& d) { d.bytes[27] = '\x1c'; }, {"192.0.2.1"}},
        {[](Datagram& d) { d.fromOtherPort = true; }, {"192.0.2.1"}},
        {[](Datagram& d) { d.fromAddress = "127.0.0.2"; }, {"192.0.2.1"}},
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
    const size_t before = fake_.queries().size();
    unlink(kLog);
    EXPECT_FALSE(Query(true));
    EXPECT_TRUE(out_.empty());
    EXPECT_THAT(Logged(), testing::EndsWith("\nReceiving DNS answer.\n"));
    EXPECT_EQ(fake_.queries().size(), before + 1);
}

// A stop ends the reply wait that is already under way within 1 s, and a reload does
// not end it at all; a port where nothing listens ends it before its time-out.
TEST_F(Resolver, AStopEndsTheWaitAReloadDoesNot) {
    size_t asked = 0;  // queries sent so far, one a round
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
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
        for (int round = 0; round < (answered ? 1 : 20); ++round, ++asked) {
            stop_requested = 0;
            const Signalled r = UnderSignals([&] { return Query(false); }, {sig}, SA_RESTART);
            EXPECT_EQ(r.ok, answered) << strsignal(sig);
            ASSERT_TRUE(r.waited) << strsignal(sig) << ": the query never waited in ppoll";
            EXPECT_EQ(out_, answered ? Texts{"192.0.2.1"} : Texts{}) << strsignal(sig);
            EXPECT_TRUE(answered || r.latency < std::chrono::seconds(1)) << strsignal(sig);
        }
    }
    stop_requested = 0;
    MyDNS::timeoutSeconds = 3;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", "127.0.0.1:9", out_, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// A stop already requested asks neither the system resolver nor the name server; one
// that comes during the system resolver's lookup sends no query after it.
TEST_F(Resolver, AStopSkipsTheLookupAndTheQuery) {
    for (bool duringLookup : {false, true}) {
        UdpFake system(53, [duringLookup](const std::string& query) {
            if (duringLookup)
                stop_requested = 1;
            return std::vector<Datagram>{
                DatagramOf(sim::BuildReply(query, {{"other.zelmar.example", 1, "127.0.0.1"}}))};
        });
        ASSERT_TRUE(system.ok());
        stop_requested = duringLookup ? 0 : 1;
        const std::string server = "other.zelmar.example:" + std::to_string(fake_.port());
        EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", server, out_, false));
        EXPECT_TRUE(out_.empty());
        EXPECT_EQ(system.queries().empty(), !duringLookup);
    }
    EXPECT_TRUE(fake_.queries().empty());
}

}  // namespace
