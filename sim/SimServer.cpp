#include "SimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "FileDescriptor.h"
#include "SimControl.h"
#include "SimDns.h"
#include "SimHttp.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

enum {
    maxConnections = 64,
    headTimeoutMs = 5000,   // for the client to send its request head
    writeTimeoutMs = 5000,  // for the client to take the answer
    drainTimeoutMs = 2000,  // for the client to close after the answer
    maxControlLine = 1024,
    resolverPort = 53,
    nameServerPort = 5353,
};

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

struct Endpoint {
    int family = AF_INET;
    std::string address;
    int port = 0;

    std::string Label() const {
        std::string host = family == AF_INET6 ? "[" + address + "]" : address;
        return host + ":" + std::to_string(port);
    }
};

// A socket of `type` bound to `at`; not ok, with `error` set, on failure.
FileDescriptor Bind(const Endpoint& at, int type, std::string& error) {
    union {
        sockaddr_in v4;
        sockaddr_in6 v6;
    } addr;
    std::memset(&addr, 0, sizeof addr);
    socklen_t length = 0;
    error = "bad address " + at.address;
    if (at.family == AF_INET) {
        addr.v4.sin_family = AF_INET;
        addr.v4.sin_port = htons(static_cast<uint16_t>(at.port));
        if (inet_pton(AF_INET, at.address.c_str(), &addr.v4.sin_addr) != 1)
            return FileDescriptor();
        length = sizeof addr.v4;
    } else {
        addr.v6.sin6_family = AF_INET6;
        addr.v6.sin6_port = htons(static_cast<uint16_t>(at.port));
        if (inet_pton(AF_INET6, at.address.c_str(), &addr.v6.sin6_addr) != 1)
            return FileDescriptor();
        length = sizeof addr.v6;
    }
    const char* what = type == SOCK_STREAM ? "TCP " : "UDP ";
    FileDescriptor fd(socket(at.family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int on = 1;
    if (!fd.ok() ||
        (type == SOCK_STREAM &&
         setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) ||
        (at.family == AF_INET6 &&
         setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        (type == SOCK_STREAM && listen(fd.get(), 64) != 0)) {
        error = std::string("cannot bind ") + what + at.Label() + ": " + std::strerror(errno);
        return FileDescriptor();
    }
    return fd;
}

// The address of a peer as text; empty for a family other than IPv4 and IPv6.
std::string AddressText(const sockaddr_storage& at) {
    char text[INET6_ADDRSTRLEN];
    const void* raw =
        at.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(at).sin6_addr)
            : &reinterpret_cast<const sockaddr_in&>(at).sin_addr;
    return (at.ss_family == AF_INET || at.ss_family == AF_INET6) &&
                   inet_ntop(at.ss_family, raw, text, sizeof text) != nullptr
               ? text
               : "";
}

int writeEnd = -1;  // of the signal pipe, for the handler

void OnSignal(int) {
    int saved = errno;
    char byte = 1;
    if (writeEnd >= 0 && write(writeEnd, &byte, 1) < 0) {
        // A full pipe already holds a wake-up.
    }
    errno = saved;
}

struct Listener {
    Endpoint at;
    FileDescriptor fd;
};

struct Udp {
    Endpoint at;
    FileDescriptor fd;
    bool authority;  // the name server's names, or else the resolver's
};

enum class Phase { reading, waiting, stalled, writing, draining };

struct Connection {
    FileDescriptor fd;
    std::string local;  // the listener's label
    bool overIPv6 = false;
    std::string peer;  // the client's address
    Phase phase = Phase::reading;
    std::string in;  // the request head so far, at most maxHeadBytes
    std::string out;
    size_t sent = 0;
    Clock::time_point deadline;
};

class Server {
  public:
    explicit Server(State& state) : state_(state) {}
    ~Server() {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        writeEnd = -1;
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Open(std::string& error);
    void Run();

  private:
    bool OpenSignals(std::string& error);
    bool OpenSockets(std::string& error);
    int PollTimeout() const;
    void OnStdin();
    void Control(const std::string& line);
    void OnUdp(Udp& u);
    void OnAccept(Listener& l);
    void OnConnection(Connection& c, short events);
    void HeadComplete(Connection& c);
    void Respond(Connection& c, const HttpAnswer& answer);
    void Write(Connection& c);
    void OnDeadline(Connection& c);

    State& state_;
    FileDescriptor signalRead_, signalWrite_;
    std::vector<Udp> udp_;
    std::vector<Listener> listeners_;
    std::vector<Connection> connections_;
    bool stdinOpen_ = true;
    bool discarding_ = false;  // the rest of an overlong control line
    std::string control_;
    bool running_ = true;
};

bool Server::OpenSignals(std::string& error) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("cannot make the signal pipe: ") + std::strerror(errno);
        return false;
    }
    signalRead_ = FileDescriptor(fds[0]);
    signalWrite_ = FileDescriptor(fds[1]);
    writeEnd = signalWrite_.get();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction ignore = action;
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0 ||
        sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        error = std::string("cannot install the signal handlers: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Every role on every listen address.
bool Server::OpenSockets(std::string& error) {
    for (const std::string& address : state_.listen) {
        const int family = IsIPv6(address) ? AF_INET6 : AF_INET;
        for (int port : {resolverPort, nameServerPort}) {
            udp_.push_back({{family, address, port}, FileDescriptor(), port == nameServerPort});
            udp_.back().fd = Bind(udp_.back().at, SOCK_DGRAM, error);
            if (!udp_.back().fd.ok())
                return false;
        }
        for (int port : {8245, 80}) {
            listeners_.push_back({{family, address, port}, FileDescriptor()});
            listeners_.back().fd = Bind(listeners_.back().at, SOCK_STREAM, error);
            if (!listeners_.back().fd.ok())
                return false;
        }
    }
    return true;
}

bool Server::Open(std::string& error) {
    return OpenSignals(error) && OpenSockets(error);
}

int Server::PollTimeout() const {
    bool any = false;
    Clock::time_point first;
    for (const Connection& c : connections_) {
        if (c.phase == Phase::stalled)
            continue;
        if (!any || c.deadline < first)
            first = c.deadline;
        any = true;
    }
    if (!any)
        return -1;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(ms + 1);
}

void Server::Control(const std::string& line) {
    for (const std::string& l : RunControl(state_, line))
        Say(l);
}

void Server::OnStdin() {
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        // End of input is not a stop: tests and the demo run with /dev/null or a fifo.
        stdinOpen_ = false;
        if (!discarding_ && !control_.empty())
            Control(control_);
        control_.clear();
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
            if (!discarding_)
                Control(control_);
            control_.clear();
            discarding_ = false;
        } else if (!discarding_ && control_.size() >= maxControlLine) {
            Say("error line too long");
            control_.clear();
            discarding_ = true;
        } else if (!discarding_) {
            control_.push_back(buffer[i]);
        }
    }
}

void Server::OnUdp(Udp& u) {
    static char buffer[65536];
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage from;
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(u.fd.get(), buffer, sizeof buffer, 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return;
        DnsOutcome outcome =
            AnswerQuery(state_, u.authority, std::string(buffer, static_cast<size_t>(n)));
        Say((u.authority ? "ns " : "dns ") + u.at.Label() + " " + outcome.log);
        if (!outcome.reply.empty() && sendto(u.fd.get(), outcome.reply.data(), outcome.reply.size(),
                                             0, reinterpret_cast<sockaddr*>(&from), length) < 0) {
            // A client that has gone away loses its answer; nothing to do.
        }
    }
}

void Server::OnAccept(Listener& l) {
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    FileDescriptor fd(accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.ok())
        return;
    Connection c;
    c.fd = std::move(fd);
    c.local = l.at.Label();
    c.overIPv6 = l.at.family == AF_INET6;
    c.peer = AddressText(peer);
    c.deadline = Clock::now() + std::chrono::milliseconds(headTimeoutMs);
    connections_.push_back(std::move(c));
}

void Server::HeadComplete(Connection& c) {
    c.in.resize(HeadLength(c.in));
    if (state_.faults.stallHttp) {
        c.phase = Phase::stalled;
    } else if (state_.faults.delayMs > 0) {
        c.phase = Phase::waiting;
        c.deadline = Clock::now() + std::chrono::milliseconds(state_.faults.delayMs);
    } else {
        Respond(c, Answer(state_, c.in, c.overIPv6, c.peer, std::time(nullptr)));
    }
}

void Server::Respond(Connection& c, const HttpAnswer& answer) {
    Say("http " + c.local + " " + answer.log);
    c.out = Render(answer);
    c.sent = 0;
    c.phase = Phase::writing;
    c.deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs);
    Write(c);
}

void Server::Write(Connection& c) {
    while (c.sent < c.out.size()) {
        ssize_t n = send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            c.fd.Reset();
            return;
        }
        c.sent += static_cast<size_t>(n);
    }
    // Close only after the client did, so that unread request bytes cannot turn
    // the close into a reset that destroys the answer.
    shutdown(c.fd.get(), SHUT_WR);
    c.phase = Phase::draining;
    c.deadline = Clock::now() + std::chrono::milliseconds(drainTimeoutMs);
}

void Server::OnConnection(Connection& c, short events) {
    if (c.phase == Phase::writing) {
        if (events & (POLLOUT | POLLERR | POLLHUP))
            Write(c);
        return;
    }
    char buffer[4096];
    size_t room = c.phase == Phase::reading ? maxHeadBytes - c.in.size() : sizeof buffer;
    ssize_t n = read(c.fd.get(), buffer, std::min(room, sizeof buffer));
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        if (c.phase == Phase::waiting || c.phase == Phase::stalled) {
            HttpRequest r;
            std::string target = ParseRequest(c.in, r) ? Printable(r.target) : "(bad request)";
            Say("http " + c.local + " " + target + " -> closed by the client before the answer");
        }
        c.fd.Reset();
        return;
    }
    if (c.phase != Phase::reading)
        return;  // bytes past the head are not looked at
    c.in.append(buffer, static_cast<size_t>(n));
    if (HeadLength(c.in) > 0)
        HeadComplete(c);
    else if (c.in.size() >= maxHeadBytes)
        Respond(c, Refusal(400, "request head too long"));
}

void Server::OnDeadline(Connection& c) {
    switch (c.phase) {
        case Phase::reading:
            if (state_.faults.stallHttp)
                c.deadline = Clock::now() + std::chrono::milliseconds(headTimeoutMs);
            else
                Respond(c, Refusal(408, "no request head in time"));
            break;
        case Phase::waiting:
            Respond(c, Answer(state_, c.in, c.overIPv6, c.peer, std::time(nullptr)));
            break;
        case Phase::stalled:
            break;
        case Phase::writing:
        case Phase::draining:
            c.fd.Reset();
            break;
    }
}

enum class Kind { signal, input, udp, listener, connection };

void Server::Run() {
    Say("ready");
    std::vector<pollfd> fds;
    std::vector<std::pair<Kind, size_t>> owners;
    while (running_) {
        fds.clear();
        owners.clear();
        auto add = [&](int fd, short events, Kind kind, size_t index) {
            fds.push_back({fd, events, 0});
            owners.push_back({kind, index});
        };
        add(signalRead_.get(), POLLIN, Kind::signal, 0);
        if (stdinOpen_)
            add(STDIN_FILENO, POLLIN, Kind::input, 0);
        for (size_t i = 0; i < udp_.size(); ++i)
            add(udp_[i].fd.get(), POLLIN, Kind::udp, i);
        if (connections_.size() < maxConnections)
            for (size_t i = 0; i < listeners_.size(); ++i)
                if (listeners_[i].fd.ok())
                    add(listeners_[i].fd.get(), POLLIN, Kind::listener, i);
        for (size_t i = 0; i < connections_.size(); ++i)
            add(connections_[i].fd.get(),
                connections_[i].phase == Phase::writing ? POLLOUT : POLLIN, Kind::connection, i);

        int ready = poll(fds.data(), fds.size(), PollTimeout());
        if (ready < 0 && errno != EINTR) {
            Say(std::string("error poll: ") + std::strerror(errno));
            return;
        }
        for (size_t i = 0; ready > 0 && i < fds.size() && running_; ++i) {
            short events = fds[i].revents;
            if (events == 0)
                continue;
            size_t index = owners[i].second;
            switch (owners[i].first) {
                case Kind::signal:
                    running_ = false;
                    break;
                case Kind::input:
                    OnStdin();
                    break;
                case Kind::udp:
                    OnUdp(udp_[index]);
                    break;
                case Kind::listener:
                    if (listeners_[index].fd.ok())
                        OnAccept(listeners_[index]);
                    break;
                case Kind::connection:
                    if (connections_[index].fd.ok())
                        OnConnection(connections_[index], events);
                    break;
            }
        }
        Clock::time_point now = Clock::now();
        for (Connection& c : connections_)
            if (c.fd.ok() && c.phase != Phase::stalled && c.deadline <= now)
                OnDeadline(c);
        std::vector<Connection> open;
        for (Connection& c : connections_)
            if (c.fd.ok())
                open.push_back(std::move(c));
        connections_.swap(open);
    }
}

}  // namespace

int Serve(State& state) {
    Server server(state);
    std::string error;
    if (!server.Open(error)) {
        std::fprintf(stderr, "dododuzod-sim: %s\n", error.c_str());
        return 1;
    }
    server.Run();
    return 0;
}

}  // namespace sim
