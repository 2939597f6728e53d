// The DNS client against a scripted name server on loopback: the wire, the log, forged replies.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Fakes.h"
#include "MyDNS.h"
#include "MyFunctions.h"
#include "Process.h"
#include "SimDnsReply.h"

namespace {

using fakes::Datagram;
using fakes::UdpFake;

const char* const kLog = "/var/log/dododuzod.log";

// Name lookups of this process stay on the machine: a hosts file that knows the
// test's name server, and a resolver that is loopback only.
bool LoopbackNameFiles() {
    static const bool done = [] {
        const char* const hosts = "/tmp/dnstest.hosts";
        const char* const resolv = "/tmp/dnstest.resolv.conf";
        return testproc::WriteFile(hosts, "127.0.0.1 localhost ns.zelmar.example\n") &&
               testproc::WriteFile(resolv,
                                   "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n") &&
               mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
               mount(resolv, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    }();
    return done;
}

std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const std::string& line : testproc::Lines(testproc::ReadFile(kLog)))
        lines.push_back(testproc::Undated(line));
    return lines;
}

std::vector<std::string> Framework(std::vector<std::string> messages) {
    for (std::string& m : messages)
        m = "[FRAMEWORK] " + m;
    return messages;
}

std::string Id() {
    unsigned id = static_cast<unsigned>(getpid()) & 0xffff;
    return {static_cast<char>(id >> 8), static_cast<char>(id & 0xff)};
}

Datagram Reply(std::string bytes) {
    Datagram d;
    d.bytes = std::move(bytes);
    return d;
}

UdpFake::Handler Answer(std::vector<sim::Record> records, int rcode = sim::rcodeOk) {
    return [records, rcode](const std::string& query) {
        return std::vector<Datagram>{Reply(sim::BuildReply(query, records, rcode))};
    };
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
    void TearDown() override {
        MyDNS::timeoutSeconds = 10;
        stop_requested = 0;
    }
    std::string Server() const { return "127.0.0.1:" + std::to_string(fake_.port()); }

    UdpFake fake_{0, nullptr};
    std::vector<std::string> out_{"stale"};
};

TEST_F(Resolver, SendsTheQueryAndKeepsAnswersInReplyOrder) {
    fake_.SetHandler(Answer({{"host.example", 5, "edge.example"},
                             {"edge.example", 1, "192.0.2.2"},
                             {"edge.example", 1, "192.0.2.1"}}));
    ASSERT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
    EXPECT_EQ(out_, (std::vector<std::string>{"192.0.2.2", "192.0.2.1"}));
    ASSERT_EQ(fake_.queries().size(), 1u);
    EXPECT_EQ(fake_.queries()[0], Id() + std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                                     "\x04host\x07"
                                                     "example\x00\x00\x01\x00\x01",
                                                     28));
    EXPECT_NE(access(kLog, F_OK), 0) << "verbose false must write nothing";
}

TEST_F(Resolver, KeepsOnlyTheAskedType) {
    fake_.SetHandler(Answer({{"host.example", 1, "192.0.2.1"},
                             {"host.example", 28, "2001:db8::1"},
                             {"host.example", 1, "192.0.2.3"},
                             {"host.example", 28, "2001:db8::2"}}));
    ASSERT_TRUE(MyDNS::GetIPAddresses(28, "host.example", Server(), out_, false));
    EXPECT_EQ(out_, (std::vector<std::string>{"2001:db8::1", "2001:db8::2"}));
    EXPECT_EQ(MyDNS::GetIPv4Address("host.example", Server(), false), "192.0.2.1");
}

TEST_F(Resolver, ReplyWithoutAnswersIsASuccess) {
    fake_.SetHandler(Answer({}, sim::rcodeNameError));
    EXPECT_TRUE(MyDNS::GetIPAddresses(28, "host.example", Server(), out_, false));
    EXPECT_TRUE(out_.empty());
    EXPECT_EQ(MyDNS::GetIPv6Address("host.example", Server(), false), "");
}

TEST_F(Resolver, LogsEveryStepOfASuccessfulQuery) {
    fake_.SetHandler(Answer({{"host.example", 1, "192.0.2.1"}}));
    ASSERT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, true));
    EXPECT_EQ(
        LogLines(),
        Framework({"Name Server IP Address: 127.0.0.1", "RRType: 1", "Performing DNS query.",
                   "Creating socket.", "Setting socket timeout.", "Creating destination socket.",
                   "Applying destination socket address.", "Applying destination socket port.",
                   "Creating DNS packet.", "Creating DNS question.", "Sending DNS question.",
                   "Receiving DNS answer.", "Parsing 1 DNS answers.",
                   "Answer RRType: ", "Parsing A answer.", "Parsed A answer.", "Parsed Answer.",
                   "Parsed 1 DNS answers.", "Completed DNS query."}));
}

TEST_F(Resolver, TakesTheServerFromTheEnvironmentAndNamesByTheSystemResolver) {
    fake_.SetHandler(Answer({{"host.example", 1, "192.0.2.1"}}));
    ASSERT_EQ(setenv("DODODUZOD_RESOLVER", Server().c_str(), 1), 0);
    EXPECT_EQ(MyDNS::GetIPv4Address("host.example", "", true), "192.0.2.1");
    setenv("DODODUZOD_RESOLVER", "127.0.0.1", 1);
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[FRAMEWORK] Name Server: " + Server());
    EXPECT_EQ(lines[1], "[FRAMEWORK] Name Server IP Address: 127.0.0.1");

    std::string byName = "ns.zelmar.example:" + std::to_string(fake_.port());
    EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", byName, out_, false));
    EXPECT_EQ(out_, std::vector<std::string>{"192.0.2.1"});
    EXPECT_EQ(fake_.queries().size(), 2u);
}

TEST_F(Resolver, UnresolvableServerFailsAfterTwoLines) {
    for (const char* server : {"nosuch.zelmar.example", "127.0.0.1:0", "127.0.0.1:dns"}) {
        unlink(kLog);
        out_ = {"stale"};
        EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", server, out_, true)) << server;
        EXPECT_TRUE(out_.empty()) << server;
        EXPECT_EQ(LogLines(), Framework({"Name Server IP Address: ", "RRType: 1"})) << server;
    }
}

TEST_F(Resolver, RefusesAnOverlongHostWithoutSending) {
    fake_.SetHandler(Answer({{"host.example", 1, "192.0.2.1"}}));
    EXPECT_FALSE(MyDNS::GetIPAddresses(1, std::string(256, 'a'), Server(), out_, true));
    EXPECT_TRUE(out_.empty());
    std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[FRAMEWORK] Host name is longer than 255 bytes.");
    // The next query's reply comes after anything the refused one could have sent.
    EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
    EXPECT_EQ(fake_.queries().size(), 1u);
}

TEST_F(Resolver, FailsWithoutSendingOnceAStopIsRequested) {
    fake_.SetHandler(Answer({{"host.example", 1, "192.0.2.1"}}));
    stop_requested = 1;
    EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
    stop_requested = 0;
    EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
    EXPECT_EQ(fake_.queries().size(), 1u);
}

TEST_F(Resolver, NoReplyIsAFailure) {
    MyDNS::timeoutSeconds = 1;
    EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, true));
    EXPECT_TRUE(out_.empty());
    EXPECT_EQ(LogLines().back(), "[FRAMEWORK] Receiving DNS answer.");
    EXPECT_EQ(fake_.queries().size(), 1u);
}

// A forged reply carries another address than the true one, which follows it.
Datagram Forged(const std::string& query, const std::string& kind) {
    Datagram d = Reply(sim::BuildReply(query, {{"host.example", 1, "198.51.100.66"}}));
    if (kind == "wrong ID")
        d.bytes[1] = static_cast<char>(d.bytes[1] ^ 0x5a);
    if (kind == "other port")
        d.fromOtherPort = true;
    if (kind == "other address")
        d.fromAddress = "127.0.0.2";
    return d;
}

TEST_F(Resolver, IgnoresForgedRepliesAndWaitsForTheTrueOne) {
    for (std::string kind : {"wrong ID", "other port", "other address"}) {
        fake_.SetHandler([kind](const std::string& query) {
            return std::vector<Datagram>{
                Forged(query, kind),
                Reply(sim::BuildReply(query, {{"host.example", 1, "192.0.2.1"}}))};
        });
        EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false)) << kind;
        EXPECT_EQ(out_, std::vector<std::string>{"192.0.2.1"}) << kind;
    }
    MyDNS::timeoutSeconds = 1;
    fake_.SetHandler([](const std::string& query) {
        return std::vector<Datagram>{Forged(query, "wrong ID"), Forged(query, "other port"),
                                     Forged(query, "other address")};
    });
    EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
    EXPECT_TRUE(out_.empty());
}

void KeepWaiting(int) {}
void AskToStop(int) {
    stop_requested = 1;
}

// Sends SIGUSR1, caught by `handler` without SA_RESTART, to the constructing thread
// while it waits for a reply that the server holds back.
class Interrupter {
  public:
    explicit Interrupter(void (*handler)(int)) {
        struct sigaction sa {};
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &old_);
        pthread_t waiter = pthread_self();
        thread_ = std::thread([waiter] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(waiter, SIGUSR1);
        });
    }
    ~Interrupter() {
        thread_.join();
        sigaction(SIGUSR1, &old_, nullptr);
    }

  private:
    struct sigaction old_ {};
    std::thread thread_;
};

TEST_F(Resolver, ASignalInterruptsTheWaitOnlyWhenItAsksToStop) {
    fake_.SetHandler([](const std::string& query) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return std::vector<Datagram>{
            Reply(sim::BuildReply(query, {{"host.example", 1, "192.0.2.1"}}))};
    });
    {
        Interrupter signal(KeepWaiting);
        EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
        EXPECT_EQ(out_, std::vector<std::string>{"192.0.2.1"});
    }
    {
        Interrupter signal(AskToStop);
        EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
        EXPECT_TRUE(out_.empty());
    }
}

}  // namespace
