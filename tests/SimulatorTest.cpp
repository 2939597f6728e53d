// The provider simulator as the end-to-end tests see it: its sockets and its control input.
#include <arpa/inet.h>
#include <sys/socket.h>

#include "Service.h"
#include "SimDnsReply.h"
#include "Wire.h"

namespace {

// Basic authorization of alice: alice:md5("secret"), and alice:0*32.
const char aliceToken[] = "YWxpY2U6NWViZTIyOTRlY2QwZTBmMDhlYWI3NjkwZDJhNmVlNjk=";
const char wrongToken[] = "YWxpY2U6MDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDA=";

// What 127.0.0.1:port answers to `bytes`: one datagram, or the stream until it closes.
std::string Ask(int type, int port, const std::string& bytes) {
    const FileDescriptor fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    timeval timeout{5, 0};
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    char buffer[4096];
    ssize_t n = -1;
    if (fd.ok() && setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
        connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd.get(), bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()))
        n = recv(fd.get(), buffer, sizeof buffer, MSG_WAITALL);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

// The body of a "200 OK" answer to a GET; the whole response when the status differs.
std::string Get(int port, const std::string& target, const std::string& token = "") {
    const std::string auth = token.empty() ? "" : "Authorization: Basic " + token + "\r\n";
    const std::string got =
        Ask(SOCK_STREAM, port, "GET " + target + " HTTP/1.1\r\n" + auth + "\r\n");
    const size_t end = got.find("\r\n\r\n");
    const bool ok = got.compare(0, 17, "HTTP/1.1 200 OK\r\n") == 0 && end != std::string::npos;
    return ok ? got.substr(end + 4) : got;
}

using SimulatorTest = service::Test;

// Guards the credential check, the change detection, the reply's bytes, and that
// accepted addresses, and only they, reach the records and the name server.
TEST_F(SimulatorTest, UpdatesAndPublishesTheAccountsAddresses) {
    ASSERT_TRUE(testproc::WriteFile(dir + "/accounts", "alice secret home work\nbob pw\n"));
    StartSim();
    const struct {
        std::string token, location, v4, v6, status, heldV4, heldV6;
    } updates[] = {
        {wrongToken, "", "203.0.113.7", "no", "Bad Authentication", "null", "null"},
        {aliceToken, "", "203.0.113.7", "no", "Good", "203.0.113.7", "null"},
        {aliceToken, "", "203.0.113.7", "no", "No Change", "203.0.113.7", "null"},
        // An empty value (a failed lookup) keeps what is held; a new one is news.
        {aliceToken, "", "", "2001:DB8::7", "Good", "203.0.113.7", "2001:db8::7"},
        {aliceToken, "work", "198.51.100.1", "no", "Good", "198.51.100.1", "null"},
    };
    for (const auto& u : updates) {
        const std::string target = wire::UpdateTarget(u.v4, u.v6, false, u.location);
        std::string body = Get(8245, target, u.token);
        ASSERT_EQ(body.find_first_not_of("0123456789abcdef", 15), 31u) << body;  // 16-digit id
        EXPECT_EQ(body.replace(15, 16, "ID"), wire::ReplyJson(u.status, u.heldV4, u.heldV6, "ID"));
        EXPECT_EQ(SimLines().back(),
                  "http 127.0.0.1:8245 " + target + " user=alice -> 200 " + u.status);
    }
    ASSERT_TRUE(sim->Write("records\n"));
    ASSERT_TRUE(testproc::WaitUntil([&] { return SimLines().back() == "end"; }, 5000));
    const std::vector<std::string> lines = SimLines();
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 4, lines.end()),
        (std::vector<std::string>{"record alice.tag.azelmar.example A 203.0.113.7",
                                  "record alice.tag.azelmar.example AAAA 2001:db8::7",
                                  "record work.alice.tag.azelmar.example A 198.51.100.1", "end"}));
    const struct {
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
    for (const auto& q : queries) {
        const std::string ask = std::string("\x12\x34\x01\0\0\x01\0\0\0\0\0\0", 12) +
                                sim::EncodeName(q.name) +
                                std::string{'\0', static_cast<char>(q.type), '\0', '\1'};
        EXPECT_EQ(Ask(SOCK_DGRAM, 5353, ask), sim::BuildReply(ask, q.answers, q.rcode)) << q.name;
    }
    EXPECT_EQ(SimLines()[lines.size()],
              "ns 127.0.0.1:5353 A alice.tag.azelmar.example -> 203.0.113.7");
    // A location counts only for its own, authenticated account.
    const struct {
        std::string location, token, body;
    } locations[] = {
        {"home", aliceToken, "true"}, {"work", aliceToken, "true"},  {"Home", aliceToken, "false"},
        {"", aliceToken, "false"},    {"home", wrongToken, "false"}, {"home", "", "false"},
    };
    for (const auto& l : locations)
        EXPECT_EQ(Get(80, "/nic/locationcheck?location=" + l.location, l.token), l.body)
            << l.location << " " << l.token;
}

}  // namespace
