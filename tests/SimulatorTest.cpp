// The provider simulator as the end-to-end tests see it: its binary, its sockets
// and its control input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "Process.h"
#include "SimDnsReply.h"

namespace {

// Basic authorization of user alice with password secret: alice:md5("secret").
const char aliceToken[] = "YWxpY2U6NWViZTIyOTRlY2QwZTBmMDhlYWI3NjkwZDJhNmVlNjk=";
const char wrongToken[] = "YWxpY2U6MDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDA=";  // alice:0*32

// The simulator with an accounts file, fed commands through a fifo.
class Sim {
  public:
    explicit Sim(const std::vector<std::string>& extra = {}) {
        std::string dir = testproc::MakeTempDir();
        std::string accounts = dir + "/accounts";
        std::string fifo = dir + "/control";
        testproc::WriteFile(accounts,
                            "# user password locations\nalice secret home work\nbob pw\n");
        mkfifo(fifo.c_str(), 0600);
        control_ = open(fifo.c_str(), O_RDWR);  // never blocks, unlike a write-only open
        std::string command = "exec " DODODUZOD_SIM " --accounts " + accounts;
        for (const std::string& arg : extra)
            command += " '" + arg + "'";
        child_ = std::make_unique<testproc::Child>(
            std::vector<std::string>{"/bin/sh", "-c", command + " < " + fifo});
        ready_ = WaitFor("ready\n");
    }
    ~Sim() {
        if (control_ >= 0)
            close(control_);
    }

    bool ready() const { return ready_; }
    testproc::Child& child() { return *child_; }
    bool WaitFor(const std::string& text) {
        return testproc::WaitUntil([&] { return child_->Out().find(text) != std::string::npos; },
                                   5000);
    }
    // Sends one control line and waits for the answer that ends with `until`.
    bool Control(const std::string& line, const std::string& until) {
        std::string text = line + "\n";
        return write(control_, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
               WaitFor(until);
    }

  private:
    int control_ = -1;
    std::unique_ptr<testproc::Child> child_;
    bool ready_ = false;
};

// One HTTP exchange over 127.0.0.1; the whole response, empty on failure.
std::string Get(int port, const std::string& target, const std::string& token = "") {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return "";
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string request = "GET " + target + " HTTP/1.1\r\nUser-Agent: Zelmar.Linux\r\nHost: x\r\n";
    if (!token.empty())
        request += "Authorization: Basic " + token + "\r\n";
    request += "\r\n";
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            response.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return response;
}

std::string Body(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

// One DNS query over UDP to 127.0.0.1; the reply, empty when none came.
std::string Ask(int port, const std::string& query) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return "";
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char buffer[1500];
    ssize_t n = -1;
    if (sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
        n = recv(fd, buffer, sizeof buffer, 0);
    close(fd);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

std::string Query(const std::string& name, int type) {
    std::string q("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    q += sim::EncodeName(name);
    q += std::string{'\0', static_cast<char>(type), '\0', '\1'};
    return q;
}

std::string Update(const std::string& location, const std::string& v4, const std::string& v6) {
    return "/nic/clientupdate?location=" + location + "&myipv4=" + v4 + "&myipv6=" + v6 + "&uin=";
}

// The update reply with its responseId blanked out, after checking that the id
// is 16 lower-case hexadecimal digits.
std::string Reply(const std::string& response) {
    const std::string head = "{\"responseId\":\"";
    std::string body = Body(response);
    bool ok = body.compare(0, head.size(), head) == 0 && body.size() > head.size() + 17 &&
              body[head.size() + 16] == '"' &&
              body.find_first_not_of("0123456789abcdef", head.size()) == head.size() + 16;
    return ok ? head + "ID" + body.substr(head.size() + 16) : "unexpected reply: " + body;
}

TEST(SimulatorTest, RefusesListenAddressesOffLoopback) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--listen4", "10.0.0.1"},
                                               {"--listen4", "0.0.0.0"},
                                               {"--listen6", "::"},
                                               {"--listen6", "2001:db8::1"},
                                               {"--listen4", "localhost"}}) {
        std::vector<std::string> argv{DODODUZOD_SIM};
        argv.insert(argv.end(), args.begin(), args.end());
        testproc::Result r = testproc::Run(argv);
        EXPECT_TRUE(r.exited) << args[1];
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_NE(r.err.find(args[0] + " " + args[1] + ": not"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << args[1];
    }
}

TEST(SimulatorTest, UpdateChecksCredentialsAndReportsChange) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    struct Case {
        std::string token, target, reply;
    } cases[] = {
        {"", Update("", "203.0.113.7", "no"),
         R"({"responseId":"ID","statusCode":"Bad Authentication","updatedIPv4Address":null,"updatedIPv6Address":null})"},
        {wrongToken, Update("", "203.0.113.7", "no"),
         R"({"responseId":"ID","statusCode":"Bad Authentication","updatedIPv4Address":null,"updatedIPv6Address":null})"},
        {aliceToken, Update("", "203.0.113.7", "no"),
         R"({"responseId":"ID","statusCode":"Good","updatedIPv4Address":"203.0.113.7","updatedIPv6Address":null})"},
        {aliceToken, Update("", "203.0.113.7", "no"),
         R"({"responseId":"ID","statusCode":"No Change","updatedIPv4Address":"203.0.113.7","updatedIPv6Address":null})"},
        // An empty value (a failed lookup) keeps what is held; a new one is news.
        {aliceToken, Update("", "", "2001:db8::7"),
         R"({"responseId":"ID","statusCode":"Good","updatedIPv4Address":"203.0.113.7","updatedIPv6Address":"2001:db8::7"})"},
        {aliceToken, Update("home", "198.51.100.1", "no"),
         R"({"responseId":"ID","statusCode":"Good","updatedIPv4Address":"198.51.100.1","updatedIPv6Address":null})"},
    };
    for (const Case& c : cases) {
        std::string response = Get(8245, c.target, c.token);
        EXPECT_EQ(response.substr(0, 17), "HTTP/1.1 200 OK\r\n");
        EXPECT_EQ(Reply(response), c.reply) << c.target;
    }
    EXPECT_TRUE(sim.WaitFor("http 127.0.0.1:8245 " + Update("", "203.0.113.7", "no") +
                            " user=alice -> 200 No Change\n"));
    EXPECT_TRUE(sim.WaitFor(" user=- -> 200 Bad Authentication\n"));
}

TEST(SimulatorTest, PublishesAcceptedAddresses) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    ASSERT_NE(Get(80, Update("", "203.0.113.7", "2001:DB8::7"), aliceToken), "");
    ASSERT_NE(Get(80, Update("work", "198.51.100.1", "no"), aliceToken), "");

    EXPECT_TRUE(sim.Control("records", "\nend\n"));
    std::string out = sim.child().Out();
    EXPECT_NE(out.find("record alice.tag.azelmar.example A 203.0.113.7\n"
                       "record alice.tag.azelmar.example AAAA 2001:db8::7\n"
                       "record work.alice.tag.azelmar.example A 198.51.100.1\n"
                       "end\n"),
              std::string::npos)
        << out;

    struct Case {
        std::string name;
        int type;
        std::vector<sim::Record> answers;
        int rcode;
    } cases[] = {
        {"alice.tag.azelmar.example", 1, {{"alice.tag.azelmar.example", 1, "203.0.113.7"}}, 0},
        {"ALICE.tag.azelmar.example", 28, {{"ALICE.tag.azelmar.example", 28, "2001:db8::7"}}, 0},
        {"work.alice.tag.azelmar.example", 28, {}, 0},
        {"home.alice.tag.azelmar.example", 1, {}, 0},
        {"bob.tag.bzelmar.example", 1, {}, 0},
        {"carol.tag.czelmar.example", 1, {}, 3},
        {"checkip.zelmar.example", 1, {}, 3},  // the resolver's name, not the name server's
    };
    for (const Case& c : cases) {
        std::string query = Query(c.name, c.type);
        EXPECT_EQ(Ask(5353, query), sim::BuildReply(query, c.answers, c.rcode)) << c.name;
    }
    EXPECT_TRUE(sim.WaitFor("ns 127.0.0.1:5353 A alice.tag.azelmar.example -> 203.0.113.7\n"));
}

TEST(SimulatorTest, LocationCheckNeedsTheAccountsLocation) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    struct Case {
        std::string location, token, body;
    } cases[] = {
        {"home", aliceToken, "true"}, {"work", aliceToken, "true"},  {"Home", aliceToken, "false"},
        {"", aliceToken, "false"},    {"home", wrongToken, "false"}, {"home", "", "false"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Body(Get(80, "/nic/locationcheck?location=" + c.location, c.token)), c.body)
            << c.location << " " << c.token;
}

TEST(SimulatorTest, StopsWhileHoldingAStalledRequest) {
    Sim sim({"--fault", "stall-http"});
    ASSERT_TRUE(sim.ready());
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8245);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const char request[] = "GET /ipcheck.asp HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(write(fd, request, sizeof request - 1), static_cast<ssize_t>(sizeof request - 1));
    // Two turns of the event loop: the request has been taken in by then.
    ASSERT_TRUE(sim.Control("delay 5", "ok delay 5\n"));
    ASSERT_TRUE(sim.Control("delay 6", "ok delay 6\n"));
    ASSERT_TRUE(sim.child().Signal(SIGTERM));
    testproc::Result r = sim.child().Wait(5000);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    char byte;
    EXPECT_LE(read(fd, &byte, 1), 0);  // closed unanswered
    close(fd);
}

}  // namespace
