// What the service tells a service manager: the datagrams that arrive at the
// NOTIFY_SOCKET of a fake manager while dododuzod runs against the simulator.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cstring>
#include <regex>

#include "Service.h"

namespace {

using Lines = std::vector<std::string>;

// The manager's end: a datagram socket at a path, or at an abstract name ("@...").
class Manager {
  public:
    explicit Manager(const std::string& name) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::memcpy(at.sun_path, name.data(), name.size());
        at.sun_path[0] = name[0] == '@' ? '\0' : name[0];
        const size_t size = offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '/');
        ok = fd_.ok() &&
             bind(fd_.get(), reinterpret_cast<sockaddr*>(&at), static_cast<socklen_t>(size)) == 0;
    }
    // Every datagram so far; a STATUS line's time must be a second of [from, now]
    // and a reload's monotonic time a moment of [usecFrom, now].
    Lines Messages(time_t from, unsigned long long usecFrom) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            got_.emplace_back(buffer, static_cast<size_t>(n));
        Lines out;
        std::smatch m;
        for (std::string text : got_) {
            bool inTime = false;
            if (std::regex_match(text, m, std::regex("(STATUS=.*) \\((.*)\\)")))
                for (time_t t = from; t <= time(nullptr); ++t)
                    inTime = inTime || m[2] == MyFunctions::FormatDate(t, 0);
            if (inTime)
                text = m[1].str() + " (TIME)";
            if (std::regex_match(text, m, std::regex("RELOADING=1\nMONOTONIC_USEC=([0-9]+)")) &&
                std::stoull(m[1]) >= usecFrom && std::stoull(m[1]) <= Usec())
                text = "RELOADING=1\nMONOTONIC_USEC=N";
            out.push_back(text);
        }
        return out;
    }
    static unsigned long long Usec() {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
               static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    }
    bool ok = false;

  private:
    FileDescriptor fd_;
    Lines got_;
};

using NotifyTest = service::Test;

// One cycle, or a reload and its cycle too, then a stop: what the status says for each
// way a cycle can end. Provider text cannot break the line: control bytes arrive escaped.
TEST_F(NotifyTest, CyclesReloadAndStop) {
    unsetenv("NOTIFY_SOCKET");  // only what a row sets may reach the client
    const std::string none = "-", upd = "Updated: IPv4 203.0.113.7, IPv6 2001:db8::7";
    const struct {
        std::string name;              // of the socket; empty: NOTIFY_SOCKET unset
        std::vector<std::string> sim;  // "-": no provider
        std::string settings;
        Lines expected;
    } rows[] = {
        {"/notify",
         {},
         "",
         {"READY=1", "STATUS=" + upd + " (TIME)", "RELOADING=1\nMONOTONIC_USEC=N", "READY=1",
          "STATUS=No change: IPv4 203.0.113.7, IPv6 2001:db8::7 (TIME)", "STOPPING=1"}},
        {"@dododuzod-notify-test",
         {"--status", "Bad Authentication"},
         "ipv6 false\n",
         {"READY=1", "STATUS=Update refused by the provider: Bad Authentication (TIME)",
          "STOPPING=1"}},
        {"/notify",
         {"--status", "Bad\tLogin\x01\x7f"},
         "ipv6 false\n",
         {"READY=1", "STATUS=Update refused by the provider: Bad\\x09Login\\x01\\x7f (TIME)",
          "STOPPING=1"}},
        {"/notify",
         {none},
         "",
         {"READY=1", "STATUS=Address check failed for IPv4 and IPv6 (TIME)", "STOPPING=1"}},
        {"/notify",
         {none},
         "ipv4 false\nipv6 false\n",
         {"READY=1", "STATUS=IPv4 and IPv6 updates are both disabled (TIME)", "STOPPING=1"}},
        {"/notify",
         {none},
         "username \npassword \n",
         {"READY=1", "STATUS=Invalid configuration file " + conf + " (TIME)", "STOPPING=1"}},
        {"", {}, "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name + " " + row.settings);
        const time_t from = time(nullptr);
        const unsigned long long usecFrom = Manager::Usec();
        // Unset, the manager still listens: nothing may arrive all the same.
        const std::string at = row.name[0] == '@' ? row.name : dir + "/notify";
        unlink(at.c_str());
        unlink(log.c_str());
        Manager manager(at);
        ASSERT_TRUE(manager.ok);
        WriteConf(row.settings);
        if (row.sim != Lines{none})
            StartSim(row.sim);
        StartClient({"-l", log}, row.name.empty() ? Lines{} : Lines{"NOTIFY_SOCKET=" + at});
        ASSERT_TRUE(WaitForLog(row.settings[0] == 'u' ? "[SERVICE] Invalid" : service::kNextCheck));
        if (row.expected.size() > 3) {
            client->Signal(SIGHUP);
            ASSERT_TRUE(WaitForLog(service::kNextCheck, 2));
        }
        EXPECT_EQ(Stop(), 0);
        EXPECT_EQ(manager.Messages(from, usecFrom), row.expected);
        sim.reset();
    }
}

}  // namespace
