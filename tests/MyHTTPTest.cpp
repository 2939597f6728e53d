// The HTTP client against loopback fakes: request bytes, framing, limits, failures, waits
// and stops, log lines. The crafted responses and URLs are the fuzz seeds, replayed here.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "Fakes.h"
#include "MyFunctions.h"
#include "MyHTTP.h"
#include "Process.h"
#include "Wire.h"
#define DODODUZOD_REPLAY
#include "../fuzz/Replay.h"
#include "../fuzz/http_response_fuzz.cpp"

namespace {

using fakes::HttpReply;
using fakes::ReplyOf;

const char kLog[] = "/var/log/dododuzod.log";
const char kHost[] = "v4.zelmar.example";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
const std::string kV4 = "http://v4.zelmar.example/";
// The account's credentials as the client sends them: wire::kAuthorization.
const std::string kCredentials = std::string(wire::kUser) + ":5ebe2294ecd0e0f08eab7690d2a6ee69";
// The request for "/" + kPad is 4095 bytes, the longest that fits the buffer.
const std::string kPad(MyHTTP::requestSize - 1 - wire::Get("/", kHost, false).size(), 'a');

TEST(HttpCorpus, FramingBodiesUrlsAndRequests) {
    ReplayCorpus("http_response", http_response_fuzz::Outcome);
}

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dns_.ok());
        unlink(kLog);
        stop_requested = 0;
    }
    void TearDown() override { MyHTTP::timeoutSeconds = 60; }
    // Sentinels show that a failure leaves `body` and a success leaves `error` alone.
    bool Get(const std::string& url, int port, const std::string& credentials = "",
             bool verbose = true) {
        body_ = "untouched body";
        error_ = "untouched error";
        return MyHTTP::GetUrl(url, port, credentials, body_, error_, verbose);
    }
    bool GetIPv4(int port, const std::string& request) {
        return MyHTTP::GetIPv4Url("127.0.0.1", "/", request, port, body_, error_, false);
    }

    fakes::UdpFake dns_{53, fakes::LoopbackNames};
    std::string body_;
    std::string error_;
};

// Each peer and input gives its body or its own error text, after exactly the request
// for its URL (or none); nothing is logged without verbose.
TEST_F(HttpTest, SendsTheRequestAndReportsEachOutcome) {
    const std::string fill(MyHTTP::responseSize - 2 - kOk.size(), 'x');
    const std::string reading = "Error reading response from socket.";
    struct Case {
        std::string url;
        HttpReply reply;
        bool ok;
        std::string text;  // the body, or the error
        bool sent = true;
        int family = AF_INET;
        std::string credentials = "";
    } cases[] = {
        {kV4 + "ipcheck.asp", ReplyOf(wire::HttpResponse("badauth", "401 Unauthorized")), true,
         "badauth", true, AF_INET, kCredentials},
        {kV4 + kPad, ReplyOf(kOk + fill), true, fill},
        {kV4, ReplyOf(kOk + fill + "x"), false, "Error storing complete response from socket."},
        {kV4, HttpReply{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nip", true}, true, "ip"},
        {kV4, HttpReply{kOk + "x", true}, false, reading},
        // A byte at a time keeps every read short of its time-out, but not the whole exchange.
        {kV4, HttpReply{kOk + "slow", false, 150}, false, reading},
        {kV4, ReplyOf("HTTP/1.1 200 OK\r\n"), false, "Error parsing response."},
        {"http://none.zelmar.example/", ReplyOf(""), false, "No route to host.", false},
        {kV4 + kPad + "a", ReplyOf(""), false, "Request too long.", false},
        {"http://v6.zelmar.example/", ReplyOf(kOk + "six"), true, "six", true, AF_INET6},
        // Refused over IPv4, and IPv6 is not tried after that.
        {"http://dual.zelmar.example/", ReplyOf(kOk), false, "Error connecting.", false, AF_INET6},
    };
    MyHTTP::timeoutSeconds = 1;  // a read waiting for a close fails instead of hanging
    for (const Case& c : cases) {
        fakes::TcpFake server(c.family, 0, [&c](const std::string&) { return c.reply; });
        ASSERT_TRUE(server.ok());
        EXPECT_EQ(Get(c.url, server.port(), c.credentials, false), c.ok) << c.text;
        EXPECT_EQ(c.ok ? body_ : error_, c.text);
        EXPECT_EQ(c.ok ? error_ : body_, c.ok ? "untouched error" : "untouched body") << c.text;
        const size_t slash = c.url.find('/', 7);
        const std::string request =
            wire::Get(c.url.substr(slash), c.url.substr(7, slash - 7), !c.credentials.empty());
        EXPECT_EQ(server.requests(),
                  c.sent ? std::vector<std::string>{request} : std::vector<std::string>{});
    }
    EXPECT_NE(access(kLog, F_OK), 0);
}

// Out of descriptors both families fail, and only IPv4 also tells standard output; a
// pending stop keeps the exchange from connecting at all.
TEST_F(HttpTest, FailsBeforeConnectingWithoutASocketOrWhileStopping) {
    fakes::TcpFake server(AF_INET, 0, [](const std::string&) { return ReplyOf(kOk); });
    const std::string request = wire::Get("/", "h", false);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none = {0, saved.rlim_max};
    const std::tuple<bool, bool, std::string, std::string> cases[] = {
        // IPv6, stopping, then what standard output and the error say
        {false, false, "Error opening socket.\n", "Error opening socket."},
        {true, false, "", "Error opening socket."},
        {false, true, "", "Error connecting."},
    };
    for (const auto& [ipv6, stopping, out, error] : cases) {
        stop_requested = stopping;
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, stopping ? &saved : &none), 0);
        const bool ok =
            ipv6 ? MyHTTP::GetIPv6Url("::1", "/", request, server.port(), body_, error_, false)
                 : GetIPv4(server.port(), request);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), out);
        EXPECT_FALSE(ok);
        EXPECT_EQ(error_, error);
    }
    EXPECT_TRUE(server.requests().empty());
}

// A loopback listener that never accepts. `full`: two connections take its accept
// queue, so a further connect never completes. `narrow`: each connection takes about
// 2 KiB in segments of 88 bytes, then closes its window.
struct Listener {
    int port = 0;
    FileDescriptor fd{fakes::BindLoopback(AF_INET, SOCK_STREAM, "", port)};
    std::vector<FileDescriptor> fillers;
};

void Listen(Listener& l, bool full, bool narrow) {
    const int smallest = 1, segment = 88;
    ASSERT_TRUE(l.fd.ok());
    if (narrow) {
        ASSERT_EQ(setsockopt(l.fd.get(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest), 0);
        ASSERT_EQ(setsockopt(l.fd.get(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment), 0);
    }
    ASSERT_EQ(listen(l.fd.get(), full ? 0 : 4), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(l.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; full && i < 2; ++i) {
        l.fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(l.fillers.back().ok());
        // Completes in the background.
        connect(l.fillers.back().get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    if (full)
        usleep(100 * 1000);  // let the fillers' handshakes take the accept queue
}

// A stop that comes while the exchange already waits, in connect, send or receive, ends it
// within a second; a reload signal that comes first does not end it. Nor do reloads stretch
// a connect that hangs (the handshake never completes) past its time-out: one every 200 ms
// would outlast them all, were each to restart a wait that did not keep its deadline.
TEST_F(HttpTest, AStopEndsEachKindOfWaitAndReloadsDoNotStretchIt) {
    const std::string get = wire::Get("/", "h", false);
    const std::vector<int> reloadThenStop = {SIGHUP, SIGINT};
    const struct {
        const char* wait;
        bool full, narrow;
        std::string request;
        const char* error;
        std::vector<int> signals;
        int spacingMs, timeoutSeconds;
    } cases[] = {
        {"connect", true, false, get, "Error connecting.", reloadThenStop, 0, 10},
        {"send", false, true, wire::Get("/" + kPad, kHost, false),
         "Error writing message to socket.", reloadThenStop, 0, 10},
        {"receive", false, false, get, "Error reading response from socket.", reloadThenStop, 0,
         10},
        {"hanging connect", true, false, get, "Error connecting.", std::vector<int>(30, SIGHUP),
         200, 1},
    };
    // Every new TCP socket's send buffer at 4 KiB, in this test's own network namespace.
    const char* const wmem = "/proc/sys/net/ipv4/tcp_wmem";
    const std::string saved = testproc::ReadFile(wmem);
    ASSERT_TRUE(testproc::WriteFile(wmem, "4096 4096 4096\n"));
    for (const auto& c : cases) {
        // 10 s: a stop that is missed shows, without a minute's wait.
        MyHTTP::timeoutSeconds = c.timeoutSeconds;
        for (int round = 0; round < 3; ++round) {
            Listener peer;
            ASSERT_NO_FATAL_FAILURE(Listen(peer, c.full, c.narrow));
            stop_requested = 0;
            // No SA_RESTART: the hanging connect sees EINTR.
            const fakes::Signalled r = fakes::UnderSignals(
                [&] { return GetIPv4(peer.port, c.request); }, c.signals, 0, c.spacingMs);
            EXPECT_EQ(r.waited, c.signals == reloadThenStop)
                << c.wait << ": a signal without a wait in ppoll, a reload that ended it, or "
                << r.sent << " reloads that stretched it";
            EXPECT_GE(r.sent, 2) << c.wait << ": it did not wait";
            EXPECT_FALSE(r.ok) << c.wait;
            EXPECT_EQ(error_, c.error);
            EXPECT_LT(r.latency, std::chrono::seconds(1)) << c.wait;
        }
    }
    testproc::WriteFile(wmem, saved);
}

// Each exchange's trace, without dates and tags. A URL that could add request lines of its
// own is refused before anything is sent, and its lines stay one line each. A successful
// exchange logs every step, the resolver's among them; the Authorization header works as
// the password, and the trace only shows that it was sent.
TEST_F(HttpTest, LogsEachStepAndRefusesAUrlThatCouldAddRequestLines) {
    fakes::TcpFake server(AF_INET, 0, [](const std::string&) { return ReplyOf(kOk + "sent"); });
    const std::string url = kV4 + "ipcheck.asp";
    std::string hidden = wire::Get("/ipcheck.asp", kHost, true);
    const size_t secret = hidden.find("Basic ") + 6;
    hidden.replace(secret, hidden.size() - 4 - secret, "<hidden>");
    const std::string head =
        "Url: " + url + "\nHostname: v4.zelmar.example\nQuery String: /ipcheck.asp\n";
    const std::string steps =
        "\nName Server: 127.0.0.1\nName Server IP Address: 127.0.0.1\nRRType: 1\n"
        "Performing DNS query.\nCreating socket.\nSetting socket timeout.\n"
        "Creating destination socket.\nApplying destination socket address.\n"
        "Applying destination socket port.\nCreating DNS packet.\nCreating DNS question.\n"
        "Sending DNS question.\nReceiving DNS answer.\nParsing 1 DNS answers.\n"
        "Answer RRType: \nParsing A answer.\nParsed A answer.\nParsed Answer.\n"
        "Parsed 1 DNS answers.\nCompleted DNS query.\nIPv4 Address: 127.0.0.1\n"
        "Creating socket.\nSetting socket timeout.\nConnecting socket.\nSending request.\n"
        "Receiving response.\nClosing socket.\nParsing response.\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // the URL, the credentials, the log
        {kV4 + "ip HTTP/1.1\r\nHost: x\r\n\r\nGET /nic/evil?x=", "",
         "Url: " + kV4 +
             "ip HTTP/1.1\\x0d\\x0aHost: x\\x0d\\x0a\\x0d\\x0aGET /nic/evil?x=\n"
             "Hostname: v4.zelmar.example\n"},
        {"http://v4.zelmar.example\r\nX: y/", "",
         "Url: http://v4.zelmar.example\\x0d\\x0aX: y/\nHostname: v4.zelmar.example\\x0d\\x0aX: "
         "y\n"},
        {kV4 + std::string("a\0b", 3), "", "Url: " + kV4 + "a\\x00b\nHostname: " + kHost + "\n"},
        {url, "", head + "HTTP Request: " + wire::Get("/ipcheck.asp", kHost, false) + steps},
        {url, kCredentials, head + "HTTP Request: " + hidden + steps},
    };
    for (const auto& [url, credentials, expected] : cases) {
        unlink(kLog);
        const bool sent = expected.find(steps) != std::string::npos;
        EXPECT_EQ(Get(url, server.port(), credentials), sent);
        EXPECT_EQ(error_ + "|" + body_,
                  sent ? "untouched error|sent" : "Invalid URL.|untouched body");
        std::string log;
        for (const std::string& line : wire::UndatedLines(kLog))
            log += line.substr(line.rfind("[FRAMEWORK] ", 0) == 0 ? 12 : 0) + "\n";
        EXPECT_EQ(log, expected);
    }
    EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
