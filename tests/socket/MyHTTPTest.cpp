// The HTTP client against loopback fakes: request bytes, framing, limits, failures, waits
// and stops, the trace. The crafted responses and URLs are in HttpCodecTest.
#include <gtest/gtest.h>
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
#include "Wire.h"

namespace {

using fakes::HttpReply;

const char kLog[] = "/var/log/dododuzod.log";
const char kHost[] = "v4.zelmar.example";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
const std::string kV4 = "http://v4.zelmar.example/";
// The account's credentials as the client sends them: wire::kAuthorization.
const std::string kCredentials = std::string(wire::kUser) + ":5ebe2294ecd0e0f08eab7690d2a6ee69";
// The request for "/" + kPad is 4095 bytes, the longest that fits the buffer.
const std::string kPad(MyHTTP::requestSize - 1 - wire::Get("/", kHost, false).size(), 'a');

bool GetIPv4(int port, std::string& error) {
    std::string body;
    return MyHTTP::GetIPv4Url("127.0.0.1", "/", wire::Get("/", "h", false), port, body, error,
                              false);
}

// Each peer and input gives its body or its own error text, after exactly the request
// for its URL (or none). The trace starts as shown, or is not written at all without
// verbose: the Authorization header works as the password, so the trace only shows that it
// was sent, and a URL that could add request lines of its own is refused, logged escaped.
TEST(HttpTest, SendsTheRequestAndReportsEachOutcome) {
    fakes::UdpFake dns(53, fakes::LoopbackNames);
    ASSERT_TRUE(dns.ok());
    const std::string fill(MyHTTP::responseSize - 2 - kOk.size(), 'x');
    std::string hidden = wire::Get("/ipcheck.asp", kHost, true);
    const size_t at = hidden.find("Basic ") + 6;
    const std::string secret = hidden.substr(at, hidden.size() - 4 - at);
    hidden.replace(at, secret.size(), "<hidden>");
    const std::string asked = "Url: " + kV4 + "ipcheck.asp\nHostname: " + kHost +
                              "\nQuery String: /ipcheck.asp\nHTTP Request: " + hidden;
    const HttpReply badauth = {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 7\r\n\r\nbadauth"};
    const std::string evil = "ip HTTP/1.1\r\nHost: x\r\n\r\nGET /nic/evil?x=";
    const std::string escaped =
        "Url: " + kV4 + "ip HTTP/1.1\\x0d\\x0aHost: x\\x0d\\x0a\\x0d\\x0aGET /nic/evil?x=\n";
    struct Case {
        std::string url;
        HttpReply reply;
        bool ok;
        std::string text;  // the body, or the error
        bool sent = true;
        int family = AF_INET;
        std::string credentials = "";
        std::string trace = "";  // verbose when not empty
    } cases[] = {
        {kV4 + "ipcheck.asp", badauth, true, "badauth", true, AF_INET, kCredentials, asked},
        {kV4 + evil, {""}, false, "Invalid URL.", false, AF_INET, "", escaped},
        {kV4 + kPad, {kOk + fill}, true, fill},
        {kV4, {kOk + fill + "x"}, false, "Error storing complete response from socket."},
        {kV4, {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nip", true}, true, "ip"},
        // A byte at a time keeps every read short of its time-out, but not the whole exchange.
        {kV4, {kOk + "slow", false, 150}, false, "Error reading response from socket."},
        {"http://none.zelmar.example/", {""}, false, "No route to host.", false},
        {kV4 + kPad + "a", {""}, false, "Request too long.", false},
        {"http://v6.zelmar.example/", {kOk + "six"}, true, "six", true, AF_INET6},
        // Refused over IPv4, and IPv6 is not tried after that.
        {"http://dual.zelmar.example/", {kOk}, false, "Error connecting.", false, AF_INET6},
    };
    MyHTTP::timeoutSeconds = 1;  // a read waiting for a close fails instead of hanging
    for (const Case& c : cases) {
        unlink(kLog);
        fakes::TcpFake server(c.family, 0, c.reply);
        ASSERT_TRUE(server.ok());
        std::string body = "untouched body", error = "untouched error";
        const bool verbose = !c.trace.empty();
        EXPECT_EQ(MyHTTP::GetUrl(c.url, server.port(), c.credentials, body, error, verbose), c.ok);
        // A failure leaves the body alone, and a success the error.
        EXPECT_EQ(body + "|" + error,
                  c.ok ? c.text + "|untouched error" : "untouched body|" + c.text);
        const size_t slash = c.url.find('/', 7);
        const std::string request =
            wire::Get(c.url.substr(slash), c.url.substr(7, slash - 7), !c.credentials.empty());
        EXPECT_EQ(server.received(), std::vector<std::string>(c.sent, request));
        const std::string log = fakes::Trace(kLog);
        EXPECT_EQ(log.substr(0, c.trace.size()), c.trace);
        EXPECT_EQ(log.empty(), !verbose);
        EXPECT_EQ(log.find(secret), std::string::npos);
    }
}

// Out of descriptors both families fail, and only IPv4 also tells standard output.
TEST(HttpTest, FailsWithoutASocket) {
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none = {0, saved.rlim_max};
    for (const bool ipv6 : {false, true}) {
        std::string body, error;
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
        const bool ok = ipv6 ? MyHTTP::GetIPv6Url("::1", "/", "GET", 80, body, error, false)
                             : GetIPv4(80, error);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), ipv6 ? "" : "Error opening socket.\n");
        EXPECT_TRUE(!ok && error == "Error opening socket.") << error;
    }
}

// A stop already requested keeps the exchange from connecting at all. One that comes while
// it already waits, to receive or to connect, ends it within a second; a reload signal that
// comes first does not end it. Nor do reloads stretch a connect that hangs past its
// time-out: one every 200 ms would outlast them all, were each to restart the wait.
TEST(HttpTest, AStopEndsAWaitAndReloadsDoNotStretchIt) {
    // A listener that never accepts: the first connection waits for a response, then stays in
    // the queue, which it fills, so that every later connect hangs.
    int port = 0;
    const FileDescriptor listener(fakes::BindLoopback(AF_INET, SOCK_STREAM, "", port));
    ASSERT_EQ(listen(listener.get(), 0), 0);
    const std::vector<int> reloadThenStop = {SIGHUP, SIGINT};
    const std::tuple<std::string, std::vector<int>, int, int> cases[] = {
        // the error, the signals (none: a stop comes first), their spacing in ms, the
        // time-out in s
        {"Error connecting.", {}, 0, 10},
        {"Error reading response from socket.", reloadThenStop, 0, 10},
        {"Error connecting.", reloadThenStop, 0, 10},
        {"Error connecting.", std::vector<int>(10, SIGHUP), 200, 1},
    };
    for (const auto& [error, signals, spacingMs, timeoutSeconds] : cases) {
        MyHTTP::timeoutSeconds = timeoutSeconds;
        stop_requested = signals.empty();
        std::string e;
        const fakes::Signalled r =
            fakes::UnderSignals([&] { return GetIPv4(port, e); }, signals, spacingMs);
        EXPECT_EQ(r.waited, spacingMs == 0)
            << error << ": a signal without a wait in ppoll, a reload that ended it, or " << r.sent
            << " reloads that stretched it";
        EXPECT_EQ(r.sent >= 2, !signals.empty()) << error << ": it did not wait";
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(e, error);
        EXPECT_LT(r.latency, std::chrono::seconds(1)) << error;
    }
    stop_requested = 0;
}

}  // namespace
