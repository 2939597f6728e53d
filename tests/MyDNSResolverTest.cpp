// The DNS client against a scripted name server on loopback: the wire, the log, forged replies.
#include <gmock/gmock.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
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
#include <future>
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
    for (const std::string& line : testproc::Lines(testproc::ReadFile(kLog))) {
        std::string undated = testproc::Undated(line);
        text += (undated.rfind("[FRAMEWORK] ", 0) == 0 ? undated.substr(12) : undated) + "\n";
    }
    return text;
}

UdpFake::Handler Answer(std::vector<sim::Record> records, int rcode = sim::rcodeOk) {
    return [records, rcode](const std::string& query) {
        return std::vector<Datagram>{DatagramOf(sim::BuildReply(query, records, rcode))};
    };
}

const std::vector<sim::Record> kOneA = {{"host.example", 1, "192.0.2.1"}};

void AskToStop(int) {
    stop_requested = 1;
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

    // Queries while a watchdog sends a SIGUSR1 that asks to stop (no SA_RESTART) to this
    // thread if the query still runs after `delayMs`; `fired_` tells whether it did.
    bool GetUnderSignal(int delayMs, const std::string& server) {
        struct sigaction sa = {}, old = {};
        sa.sa_handler = AskToStop;
        sigaction(SIGUSR1, &sa, &old);
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        std::thread watchdog([&, waiter = pthread_self()] {
            fired_ = finished.wait_for(std::chrono::milliseconds(delayMs)) ==
                     std::future_status::timeout;
            if (fired_)
                pthread_kill(waiter, SIGUSR1);
        });
        bool ok = MyDNS::GetIPAddresses(1, "host.example", server, out_, false);
        done.set_value();
        watchdog.join();
        sigaction(SIGUSR1, &old, nullptr);
        return ok;
    }

    UdpFake fake_{0, nullptr};
    Texts out_{"stale"};
    bool fired_ = false;
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
        ASSERT_FALSE(fake_.queries().empty());
        const std::string query = fake_.queries().back();
        EXPECT_EQ(query.substr(2),
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
    fake_.SetHandler(Answer(kOneA));
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

// Each refusal says why, and sends nothing: the next query is the first the server sees.
TEST_F(Resolver, RefusesMalformedHostsWithoutSending) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string(254, 'a'), "Host name is longer than 253 bytes."},
        {std::string(64, 'a') + ".example", "Host name has a label longer than 63 bytes."},
        {"", "Host name is empty."},
        {".bob", "Host name has an empty label."},
        {"home.", "Host name has an empty label."},
        {"a..b", "Host name has an empty label."},
        {"host.example\0.evil"s, "Host name holds a byte outside printable ASCII."},
    };
    fake_.SetHandler(Answer(kOneA));
    for (const auto& [host, reason] : cases) {
        unlink(kLog);
        out_ = {"stale"};
        EXPECT_FALSE(MyDNS::GetIPAddresses(1, host, Server(), out_, true)) << host;
        EXPECT_TRUE(out_.empty()) << host;
        EXPECT_THAT(Logged(), testing::EndsWith("\nCreating DNS question.\n"s + reason + "\n"))
            << host;
    }
    EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false));
    EXPECT_EQ(fake_.queries().size(), 1u);
}

// Without a fresh random ID no query goes out. Run in a child: the filter stays for life.
TEST_F(Resolver, AFailedIdDrawSendsNothing) {
    fake_.SetHandler(Answer(kOneA));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(FailGetrandom() && !MyDNS::GetIPAddresses(1, "host.example", Server(), out_, true)
                  ? 0
                  : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(Logged(), testing::EndsWith("\nCreating DNS packet.\n"
                                            "Random query ID could not be drawn.\n"));
    EXPECT_TRUE(fake_.queries().empty());
}

// Each datagram comes before the true reply (192.0.2.1) and carries 198.51.100.66.
// A forged one is dropped and the true one taken within the same time-out; a genuine
// one is taken, even a bare header that says there are no answers.
TEST_F(Resolver, TakesOnlyTheReplyToItsQuestion) {
    using Forge = std::function<void(Datagram&)>;
    auto at = [](size_t i, char byte) { return [=](Datagram& d) { d.bytes[i] = byte; }; };
    const std::tuple<const char*, Forge, Texts> cases[] = {
        {"other ID",
         [](Datagram& d) { d.bytes[1] = static_cast<char>(d.bytes[1] ^ 0x5a); },
         {"192.0.2.1"}},
        {"QR clear", at(2, '\x01'), {"192.0.2.1"}},
        {"other source port", [](Datagram& d) { d.fromOtherPort = true; }, {"192.0.2.1"}},
        {"other source address", [](Datagram& d) { d.fromAddress = "127.0.0.2"; }, {"192.0.2.1"}},
        {"no question",
         [](Datagram& d) { d.bytes.erase(12, 18).replace(4, 2, "\0\0"s); },
         {"192.0.2.1"}},
        {"other name", at(13, 'g'), {"192.0.2.1"}},
        {"other type", at(27, '\x1c'), {"192.0.2.1"}},
        {"other class", at(29, '\x03'), {"192.0.2.1"}},
        {"cut inside the header", [](Datagram& d) { d.bytes.resize(11); }, {"192.0.2.1"}},
        {"name in other case", at(13, 'H'), {"198.51.100.66"}},
        {"bare header, no answers",
         [](Datagram& d) {
             d.bytes.resize(12);
             d.bytes[7] = 0;
         },
         {}},
    };
    std::vector<Forge> forgeries;
    for (const auto& [what, forge, expected] : cases) {
        fake_.SetHandler([forge = forge](const std::string& query) {
            std::vector<Datagram> sent = Answer({{"host.example", 1, "198.51.100.66"}})(query);
            forge(sent[0]);
            sent.push_back(Answer(kOneA)(query)[0]);
            return sent;
        });
        out_ = {"stale"};
        EXPECT_TRUE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, false)) << what;
        EXPECT_EQ(out_, expected) << what;
        if (expected == Texts{"192.0.2.1"})
            forgeries.push_back(forge);
    }
    // Forgeries alone: the wait runs out, and no query is sent twice.
    MyDNS::timeoutSeconds = 1;
    fake_.SetHandler([&forgeries](const std::string& query) {
        std::vector<Datagram> sent;
        for (const Forge& forge : forgeries) {
            sent.push_back(Answer({{"host.example", 1, "198.51.100.66"}})(query)[0]);
            forge(sent.back());
        }
        return sent;
    });
    const size_t before = fake_.queries().size();
    EXPECT_FALSE(MyDNS::GetIPAddresses(1, "host.example", Server(), out_, true));
    EXPECT_TRUE(out_.empty());
    EXPECT_THAT(Logged(), testing::EndsWith("\nReceiving DNS answer.\n"));
    EXPECT_EQ(fake_.queries().size(), before + 1);
}

// The wait ends at once when nothing listens at the port, or when a signal asks to stop;
// either way the watchdog would otherwise fire, or the held-back reply arrive.
TEST_F(Resolver, TheWaitEndsAtARefusalOrAStop) {
    MyDNS::timeoutSeconds = 600;
    EXPECT_FALSE(GetUnderSignal(5000, "127.0.0.1:9"));
    EXPECT_FALSE(fired_) << "waited for a reply from a closed port";
    fake_.SetHandler([](const std::string& query) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return Answer(kOneA)(query);
    });
    EXPECT_FALSE(GetUnderSignal(100, Server()));
    EXPECT_TRUE(fired_);
    EXPECT_TRUE(out_.empty());
}

}  // namespace
