// The provider simulator as the end-to-end tests see it: its binary, its sockets
// and its control input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Process.h"
#include "SimDnsReply.h"

namespace {

// Basic authorization of alice: alice:md5("secret"), and alice:0*32.
const char aliceToken[] = "YWxpY2U6NWViZTIyOTRlY2QwZTBmMDhlYWI3NjkwZDJhNmVlNjk=";
const char wrongToken[] = "YWxpY2U6MDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDA=";

// The simulator with two accounts (each test process has a /tmp of its own).
struct Sim {
    bool written = testproc::WriteFile("/tmp/accounts", "alice secret home work\nbob pw\n");
    testproc::Child child{{DODODUZOD_SIM, "--accounts", "/tmp/accounts"}};
    bool WaitFor(const std::string& text) {
        return testproc::WaitUntil([&] { return child.Out().find(text) != std::string::npos; },
                                   5000);
    }
    bool Control(const std::string& line, const std::string& answer) {
        return child.Write(line + "\n") && WaitFor(answer);
    }
};

// A socket that sent `bytes` to 127.0.0.1:port; closed by its owner.
struct Socket {
    Socket(int type, int port, const std::string& bytes) : fd(socket(AF_INET, type, 0)) {
        timeval timeout{5, 0};
        sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
             connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
             send(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    }
    ~Socket() { close(fd); }
    // One datagram, or the stream until the peer closes it; empty when nothing came.
    std::string Answer() const {
        char buffer[4096];
        ssize_t n = ok ? recv(fd, buffer, sizeof buffer, MSG_WAITALL) : -1;
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }
    int fd;
    bool ok = false;
};

// The body of a "200 OK" answer to a GET; the whole response when the status differs.
std::string Get(int port, const std::string& target, const std::string& token = "") {
    std::string auth = token.empty() ? "" : "Authorization: Basic " + token + "\r\n";
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n";
    std::string got = Socket(SOCK_STREAM, port, request).Answer();
    size_t end = got.find("\r\n\r\n");
    bool ok = got.compare(0, 17, "HTTP/1.1 200 OK\r\n") == 0 && end != std::string::npos;
    return ok ? got.substr(end + 4) : got;
}

std::string Update(const std::string& location, const std::string& v4, const std::string& v6) {
    return "/nic/clientupdate?location=" + location + "&myipv4=" + v4 + "&myipv6=" + v6 + "&uin=";
}

// Guards against the simulator binding an address off loopback.
TEST(SimulatorTest, RefusesListenAddressesOffLoopback) {
    const char* const args[][2] = {
        {"--listen4", "10.0.0.1"}, {"--listen4", "localhost"}, {"--listen6", "::"}};
    for (auto& a : args) {
        testproc::Result r = testproc::Run({DODODUZOD_SIM, a[0], a[1]});
        EXPECT_TRUE(r.exited && r.status == 2 && r.out.empty()) << a[1];
        EXPECT_NE(r.err.find(a[0] + std::string(" ") + a[1] + ": not"), std::string::npos) << r.err;
    }
}

// Guards the credential check, the change detection, the reply's bytes, and that
// accepted addresses, and only they, reach the records and the name server.
TEST(SimulatorTest, UpdatesAndPublishesTheAccountsAddresses) {
    Sim sim;
    ASSERT_TRUE(sim.WaitFor("ready\n"));
    struct UpdateCase {
        std::string token, location, v4, v6, status, heldV4, heldV6;
    } updates[] = {
        {wrongToken, "", "203.0.113.7", "no", "Bad Authentication", "null", "null"},
        {aliceToken, "", "203.0.113.7", "no", "Good", R"("203.0.113.7")", "null"},
        {aliceToken, "", "203.0.113.7", "no", "No Change", R"("203.0.113.7")", "null"},
        // An empty value (a failed lookup) keeps what is held; a new one is news.
        {aliceToken, "", "", "2001:DB8::7", "Good", R"("203.0.113.7")", R"("2001:db8::7")"},
        {aliceToken, "work", "198.51.100.1", "no", "Good", R"("198.51.100.1")", "null"},
    };
    for (const UpdateCase& u : updates) {
        std::string body = Get(8245, Update(u.location, u.v4, u.v6), u.token);
        ASSERT_EQ(body.find_first_not_of("0123456789abcdef", 15), 31u) << body;  // 16-digit id
        EXPECT_EQ(body.substr(0, 15) + body.substr(31),
                  R"({"responseId":"","statusCode":")" + u.status + R"(","updatedIPv4Address":)" +
                      u.heldV4 + R"(,"updatedIPv6Address":)" + u.heldV6 + "}");
    }
    EXPECT_TRUE(sim.WaitFor("http 127.0.0.1:8245 " + Update("", "203.0.113.7", "no") +
                            " user=alice -> 200 No Change\n"));

    EXPECT_TRUE(sim.Control("records",
                            "record alice.tag.azelmar.example A 203.0.113.7\n"
                            "record alice.tag.azelmar.example AAAA 2001:db8::7\n"
                            "record work.alice.tag.azelmar.example A 198.51.100.1\nend\n"))
        << sim.child.Out();
    struct Query {
        std::string name;
        int type, rcode;
        std::vector<sim::Record> answers;
    } queries[] = {
        {"alice.tag.azelmar.example", 1, 0, {{"alice.tag.azelmar.example", 1, "203.0.113.7"}}},
        {"ALICE.tag.azelmar.example", 28, 0, {{"ALICE.tag.azelmar.example", 28, "2001:db8::7"}}},
        {"work.alice.tag.azelmar.example", 28, 0, {}},
        {"bob.tag.bzelmar.example", 1, 0, {}},
        {"carol.tag.czelmar.example", 1, 3, {}},
        {"checkip.zelmar.example", 1, 3, {}},  // the resolver's name, not the name server's
    };
    for (const Query& q : queries) {
        std::string ask = std::string("\x12\x34\x01\0\0\x01\0\0\0\0\0\0", 12) +
                          sim::EncodeName(q.name) +
                          std::string{'\0', static_cast<char>(q.type), '\0', '\1'};
        EXPECT_EQ(Socket(SOCK_DGRAM, 5353, ask).Answer(), sim::BuildReply(ask, q.answers, q.rcode))
            << q.name;
    }
    EXPECT_TRUE(sim.WaitFor("ns 127.0.0.1:5353 A alice.tag.azelmar.example -> 203.0.113.7\n"));

    // A location counts only for its own, authenticated account.
    struct Location {
        std::string location, token, body;
    } locations[] = {
        {"home", aliceToken, "true"}, {"work", aliceToken, "true"},  {"Home", aliceToken, "false"},
        {"", aliceToken, "false"},    {"home", wrongToken, "false"}, {"home", "", "false"},
    };
    for (const Location& l : locations)
        EXPECT_EQ(Get(80, "/nic/locationcheck?location=" + l.location, l.token), l.body)
            << l.location << " " << l.token;
}

// Guards that SIGINT ends the event loop even with a request held unanswered.
TEST(SimulatorTest, StopsWhileHoldingAStalledRequest) {
    Sim sim;
    ASSERT_TRUE(sim.WaitFor("ready\n") &&
                sim.Control("fault stall-http on", "ok fault stall-http on\n"));
    Socket s(SOCK_STREAM, 8245, "GET /ipcheck.asp HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(s.ok);
    // Two turns of the event loop: the request has been taken in by then.
    ASSERT_TRUE(sim.Control("delay 5", "ok delay 5\n") && sim.Control("delay 6", "ok delay 6\n"));
    ASSERT_TRUE(sim.child.Signal(SIGINT));
    testproc::Result r = sim.child.Wait(5000);
    EXPECT_TRUE(r.exited && r.status == 0) << r.signal;
    EXPECT_EQ(s.Answer(), "");  // closed unanswered
}

}  // namespace
