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
        {kV4, HttpReply{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nip", 0, true}, true, "ip"},
        {kV4, HttpReply{kOk + "x", 0, true}, false, reading},
        // A byte at a time keeps every read short of its time-out, but not the whole exchange.
        {kV4, HttpReply{kOk + "slow", 0, false, false, 150}, false, reading},
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

// A pending stop keeps the exchange from connecting at all.
TEST_F(HttpTest, DoesNotConnectWhileStopping) {
    fakes::TcpFake server(AF_INET, 0, [](const std::string&) { return ReplyOf(kOk); });
    stop_requested = 1;
    EXPECT_FALSE(GetIPv4(server.port(), wire::Get("/", "h", false)));
    EXPECT_EQ(error_, "Error connecting.");
    EXPECT_TRUE(server.requests().empty());
}

// A loopback listener that never accepts. `full`: two connections take its accept
// queue, so a further connect never completes. `narrow`: each connection takes about
// 2 KiB in segments of 88 bytes, then closes its window.
struct Listener {
    FileDescriptor fd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::vector<FileDescriptor> fillers;
    int port = 0;
};

void Listen(Listener& l, bool full, bool narrow) {
    const int smallest = 1, segment = 88;
    if (narrow) {
        ASSERT_EQ(setsockopt(l.fd.get(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest), 0);
        ASSERT_EQ(setsockopt(l.fd.get(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment), 0);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* sa = reinterpret_cast<sockaddr*>(&address);
    ASSERT_EQ(bind(l.fd.get(), sa, length), 0);
    ASSERT_EQ(listen(l.fd.get(), full ? 0 : 4), 0);
    ASSERT_EQ(getsockname(l.fd.get(), sa, &length), 0);
    l.port = ntohs(address.sin_port);
    for (int i = 0; full && i < 2; ++i) {
        l.fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(l.fillers.back().ok());
        connect(l.fillers.back().get(), sa, length);  // completes in the background
    }
    if (full)
        usleep(100 * 1000);  // let the fillers' handshakes take the accept queue
}

// Signals that are not a stop must not stretch the connect past its time-out: with a
// listener whose accept queue is full the handshake never completes, and a signal every
// 200 ms would restart a wait that did not keep its deadline.
TEST_F(HttpTest, SignalsDoNotStretchAConnectThatHangs) {
    Listener peer;
    ASSERT_NO_FATAL_FAILURE(Listen(peer, true, false));
    MyHTTP::timeoutSeconds = 1;
    const int most = 30;
    const fakes::Signalled r = fakes::UnderSignals(
        [&] { return GetIPv4(peer.port, wire::Get("/", "h", false)); },
        std::vector<int>(most, SIGHUP), 0, 200);  // no SA_RESTART: the connect sees EINTR
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(error_, "Error connecting.");
    EXPECT_LT(r.sent, most) << "the connect outlasted every signal";
    EXPECT_GE(r.sent, 2) << "the connect did not wait for the handshake";
}

// A stop that comes while the exchange already waits, in connect, send or receive, ends it
// within a second; a reload signal that comes first does not end it.
TEST_F(HttpTest, AStopEndsEachKindOfWaitAndAReloadDoesNot) {
    const struct {
        const char* wait;
        bool full, narrow;
        std::string request;
        const char* error;
    } cases[] = {
        {"connect", true, false, wire::Get("/", "h", false), "Error connecting."},
        {"send", false, true, wire::Get("/" + kPad, kHost, false),
         "Error writing message to socket."},
        {"receive", false, false, wire::Get("/", "h", false),
         "Error reading response from socket."},
    };
    // Every new TCP socket's send buffer at 4 KiB, in this test's own network namespace.
    const char* const wmem = "/proc/sys/net/ipv4/tcp_wmem";
    const std::string saved = testproc::ReadFile(wmem);
    ASSERT_TRUE(testproc::WriteFile(wmem, "4096 4096 4096\n"));
    MyHTTP::timeoutSeconds = 10;  // a stop that is missed shows, without a minute's wait
    for (const auto& c : cases) {
        for (int round = 0; round < 3; ++round) {
            Listener peer;
            ASSERT_NO_FATAL_FAILURE(Listen(peer, c.full, c.narrow));
            stop_requested = 0;
            const fakes::Signalled r = fakes::UnderSignals(
                [&] { return GetIPv4(peer.port, c.request); }, {SIGHUP, SIGINT}, 0);
            EXPECT_TRUE(r.waited) << c.wait << ": no wait in ppoll, or the reload ended it";
            EXPECT_FALSE(r.ok) << c.wait;
            EXPECT_EQ(error_, c.error);
            EXPECT_LT(r.latency, std::chrono::seconds(1)) << c.wait;
        }
    }
    testproc::WriteFile(wmem, saved);
}

// Out of descriptors both families fail; only IPv4 also tells standard output.
TEST_F(HttpTest, ReportsASocketThatCannotBeMade) {
    const std::string request = wire::Get("/", "h", false);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none = {0, saved.rlim_max};
    for (bool ipv6 : {false, true}) {
        error_.clear();
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
        bool ok = ipv6 ? MyHTTP::GetIPv6Url("::1", "/", request, 80, body_, error_, false)
                       : GetIPv4(80, request);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), ipv6 ? "" : "Error opening socket.\n");
        EXPECT_FALSE(ok);
        EXPECT_EQ(error_, "Error opening socket.");
    }
}

// A URL that could add request lines of its own is refused before anything is sent, and
// its trace lines stay one line each.
TEST_F(HttpTest, RefusesAUrlThatCouldAddRequestLines) {
    fakes::TcpFake server(AF_INET, 0, [](const std::string&) { return ReplyOf(kOk + "sent"); });
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        // the URL, then how the "Url: " and "Hostname: " lines show it
        {kV4 + "ip HTTP/1.1\r\nHost: x\r\n\r\nGET /nic/evil?x=",
         kV4 + "ip HTTP/1.1\\x0d\\x0aHost: x\\x0d\\x0a\\x0d\\x0aGET /nic/evil?x=", kHost},
        {"http://v4.zelmar.example\r\nX: y/", "http://v4.zelmar.example\\x0d\\x0aX: y/",
         "v4.zelmar.example\\x0d\\x0aX: y"},
        {kV4 + std::string("a\0b", 3), kV4 + "a\\x00b", kHost},
    };
    for (const auto& [url, shown, host] : cases) {
        unlink(kLog);
        EXPECT_FALSE(Get(url, server.port()));
        EXPECT_EQ(error_ + "|" + body_, "Invalid URL.|untouched body");
        EXPECT_EQ(wire::UndatedLines(kLog),
                  (std::vector<std::string>{"[FRAMEWORK] Url: " + shown,
                                            "[FRAMEWORK] Hostname: " + host}));
    }
    EXPECT_TRUE(server.requests().empty());
}

// The lines of a successful exchange in order, around the resolver's own lines. The
// Authorization header works as the password: the trace only shows that it was sent.
TEST_F(HttpTest, LogsEachStepOfAnExchange) {
    fakes::TcpFake server(AF_INET, 0, [](const std::string&) { return ReplyOf(kOk); });
    for (const std::string& credentials : {std::string(), kCredentials}) {
        unlink(kLog);
        ASSERT_TRUE(Get(kV4 + "ipcheck.asp", server.port(), credentials)) << error_;
        std::string log;
        for (const std::string& line : wire::UndatedLines(kLog))
            log += line + "\n";
        std::string traced = wire::Get("/ipcheck.asp", kHost, !credentials.empty());
        const size_t secret = traced.find("Basic ") + 6;
        if (!credentials.empty())
            traced.replace(secret, traced.size() - 4 - secret, "<hidden>");
        const std::string head =
            "[FRAMEWORK] Url: http://v4.zelmar.example/ipcheck.asp\n"
            "[FRAMEWORK] Hostname: v4.zelmar.example\n[FRAMEWORK] Query String: /ipcheck.asp\n"
            "[FRAMEWORK] HTTP Request: " +
            traced + "\n[FRAMEWORK] ";
        const std::string tail =
            "\n[FRAMEWORK] IPv4 Address: 127.0.0.1\n[FRAMEWORK] Creating socket.\n"
            "[FRAMEWORK] Setting socket timeout.\n[FRAMEWORK] Connecting socket.\n"
            "[FRAMEWORK] Sending request.\n[FRAMEWORK] Receiving response.\n"
            "[FRAMEWORK] Closing socket.\n[FRAMEWORK] Parsing response.\n";
        ASSERT_GE(log.size(), head.size() + tail.size()) << log;
        EXPECT_EQ(log.substr(0, head.size()), head);
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    }
}

}  // namespace
