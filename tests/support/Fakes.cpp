#include "Fakes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>

#include "Process.h"
#include "SimDnsReply.h"

namespace fakes {

FileDescriptor BindLoopback(int family, int type, int port, const std::string& address,
                            int* boundPort) {
    FileDescriptor fd(socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage ss{};
    socklen_t length = sizeof(sockaddr_in);
    const int one = 1;
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (family == AF_UNIX) {
        unlink(address.c_str());
        auto* sun = reinterpret_cast<sockaddr_un*>(&ss);
        sun->sun_family = AF_UNIX;
        std::strncpy(sun->sun_path, address.c_str(), sizeof sun->sun_path - 1);
        length = sizeof(sockaddr_un);
    } else if (family == AF_INET6) {
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        inet_pton(AF_INET6, address.empty() ? "::1" : address.c_str(), &sin6->sin6_addr);
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        length = sizeof(sockaddr_in6);
    } else {
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        inet_pton(AF_INET, address.empty() ? "127.0.0.1" : address.c_str(), &sin->sin_addr);
    }
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd.ok() || bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), length) != 0 ||
        (type == SOCK_STREAM && listen(fd.get(), 16) != 0) ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&ss), &length) != 0)
        return FileDescriptor();
    *boundPort =
        family == AF_UNIX ? 0 : ntohs(family == AF_INET6 ? sin6->sin6_port : sin->sin_port);
    return fd;
}

LoopbackServer::LoopbackServer(int family, int type, int port, const std::string& address)
    : fd_(BindLoopback(family, type, port, address, &port_)) {
    int ends[2];
    if (fd_.ok() && pipe2(ends, O_CLOEXEC) == 0) {
        stopRead_ = FileDescriptor(ends[0]);
        stopWrite_ = FileDescriptor(ends[1]);
    }
}

void LoopbackServer::Start(std::function<void()> serve) {
    if (!stopRead_.ok())
        return;
    std::promise<void> running;
    std::future<void> ready = running.get_future();
    thread_ = std::thread([serve, running = std::move(running)]() mutable {
        running.set_value();
        serve();
    });
    ready.wait();
}

// Closing the pipe's write end is the stop: the read end then stays readable.
void LoopbackServer::Stop() {
    stopWrite_.Reset();
    if (thread_.joinable())
        thread_.join();
}

bool LoopbackServer::Wait(int fd, int timeoutMs) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    return poll(fds, 2, timeoutMs) > 0 && fds[1].revents == 0 &&
           (fds[0].revents & (POLLIN | POLLHUP)) != 0;
}

bool LoopbackServer::Stopped(int timeoutMs) const {
    pollfd stop = {stopRead_.get(), POLLIN, 0};
    return poll(&stop, 1, timeoutMs) != 0;
}

TcpFake::TcpFake(int family, int port, Handler handler) : Scripted(family, SOCK_STREAM, port) {
    SetHandler(std::move(handler));
    Start([this] {
        while (Wait(fd_.get(), -1)) {
            FileDescriptor client(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client.ok())
                Answer(client.get());
        }
    });
}

void TcpFake::Answer(int client) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
           Wait(client, 5000)) {
        const ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        request.append(chunk, static_cast<size_t>(n));
    }
    const Handler handler = Received(request);
    const HttpReply reply = handler ? handler(request) : HttpReply{};
    if (reply.delayMs > 0 && Stopped(reply.delayMs))
        return;
    for (size_t done = 0; done < reply.bytes.size();) {
        if (reply.trickleMs > 0 && Stopped(reply.trickleMs))
            return;
        const size_t most = reply.trickleMs > 0 ? 1 : reply.bytes.size() - done;
        const ssize_t n = send(client, reply.bytes.data() + done, most, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
    if (reply.reset) {
        const linger abort = {1, 0};  // the close then sends a reset
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    // Until the client closes its side (or 60 s, or the end of the test).
    while (reply.keepOpen && !reply.reset && Wait(client, 60000) &&
           recv(client, chunk, sizeof chunk, 0) > 0) {
    }
}

UdpFake::UdpFake(int port, Handler handler) : Scripted(AF_INET, SOCK_DGRAM, port) {
    SetHandler(std::move(handler));
    Start([this] {
        std::string buffer(65536, '\0');
        while (Wait(fd_.get(), -1)) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(fd_.get(), &buffer[0], buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0)
                continue;
            const std::string query = buffer.substr(0, static_cast<size_t>(n));
            const Handler handler = Received(query);
            for (const Datagram& d : handler ? handler(query) : std::vector<Datagram>{}) {
                const bool forged = d.fromOtherPort || !d.fromAddress.empty();
                int ignored = 0;
                FileDescriptor other =
                    forged ? BindLoopback(AF_INET, SOCK_DGRAM, 0, d.fromAddress, &ignored)
                           : FileDescriptor();
                if (!forged || other.ok())
                    sendto(forged ? other.get() : fd_.get(), d.bytes.data(), d.bytes.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), fromLength);
            }
        }
    });
}

std::vector<Datagram> LoopbackNames(const std::string& query) {
    sim::Question q;
    if (!sim::ParseQuestion(query, q))
        return {};
    const std::string label = q.name.substr(0, q.name.find('.'));
    std::vector<sim::Record> answers;
    if (q.type == 1 && (label == "v4" || label == "dual"))
        answers.push_back({q.name, 1, "127.0.0.1"});
    if (q.type == 28 && (label == "v6" || label == "dual"))
        answers.push_back({q.name, 28, "::1"});
    return {DatagramOf(sim::BuildReply(query, answers))};
}

namespace {

std::atomic<int> delivered{0};

void Note(int sig) {
    if (sig != SIGHUP)
        stop_requested = 1;
    delivered.fetch_add(1);
}

bool InPpoll(pid_t tid) {
    const std::string call =
        testproc::ReadFile("/proc/self/task/" + std::to_string(tid) + "/syscall");
    return call.rfind(std::to_string(SYS_ppoll) + " ", 0) == 0;
}

}  // namespace

Signalled UnderSignals(const std::function<bool()>& exchange, const std::vector<int>& signals,
                       int flags, int spacingMs) {
    using Clock = std::chrono::steady_clock;
    const int kinds[] = {SIGHUP, SIGINT, SIGTERM};
    struct sigaction action {};
    struct sigaction saved[3];
    action.sa_handler = Note;
    action.sa_flags = flags;
    for (int i = 0; i < 3; ++i)
        sigaction(kinds[i], &action, &saved[i]);
    delivered = 0;
    Signalled r;
    r.waited = true;
    std::atomic<bool> finished{false};
    Clock::time_point last = Clock::now();
    std::thread sender([&, self = pthread_self(), tid = static_cast<pid_t>(gettid())] {
        for (int sig : signals) {
            std::this_thread::sleep_for(std::chrono::milliseconds(spacingMs));
            const int before = r.sent;
            r.waited &= testproc::WaitUntil(
                [&] { return finished || (delivered == before && InPpoll(tid)); }, 5000);
            if (finished)
                break;
            last = Clock::now();
            ++r.sent;
            pthread_kill(self, sig);  // sent even when no wait was seen, so that it ends
        }
    });
    r.ok = exchange();
    const Clock::time_point end = Clock::now();
    finished = true;
    sender.join();
    r.latency = end - last;
    r.waited &= r.sent == static_cast<int>(signals.size());
    for (int i = 0; i < 3; ++i)
        sigaction(kinds[i], &saved[i], nullptr);
    return r;
}

namespace {

// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT", or "IDENT: TEXT" without a pid.
SyslogMessage ParseSyslog(const std::string& d) {
    SyslogMessage m;
    m.text = d;
    const size_t close = d.find('>');
    if (d.empty() || d[0] != '<' || close == std::string::npos)
        return m;
    m.priority = std::atoi(d.substr(1, close - 1).c_str());
    const size_t identStart = close + 1 + 16;
    const size_t colon = d.find(": ", identStart);
    if (identStart > d.size() || colon == std::string::npos)
        return m;
    m.ident = d.substr(identStart, colon - identStart);
    const size_t bracket = m.ident.find('[');
    if (bracket != std::string::npos && m.ident.back() == ']') {
        m.pid = std::atoi(m.ident.c_str() + bracket + 1);
        m.ident.resize(bracket);
    }
    m.text = d.substr(colon + 2);
    return m;
}

}  // namespace

// The thread keeps the queue short (a sender blocks once ten datagrams wait), whether or
// not the test reads.
SyslogCapture::SyslogCapture() : LoopbackServer(AF_UNIX, SOCK_DGRAM, 0, "/dev/log") {
    Start([this] {
        while (Wait(fd_.get(), -1)) {
            std::lock_guard<std::mutex> lock(mutex_);
            DrainLocked();
        }
    });
}

SyslogCapture::~SyslogCapture() {
    Stop();
    unlink("/dev/log");
}

// Readers drain too, so a read sees every message sent before it, whether or not the
// thread has run since.
void SyslogCapture::DrainLocked() const {
    char buffer[8192];
    for (ssize_t n; fd_.ok() && (n = recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        messages_.push_back(ParseSyslog(std::string(buffer, static_cast<size_t>(n))));
}

std::vector<SyslogMessage> SyslogCapture::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    DrainLocked();
    return messages_;
}

std::vector<std::string> SyslogCapture::texts() const {
    std::vector<std::string> out;
    for (const SyslogMessage& m : messages())
        out.push_back(m.text);
    return out;
}

bool SyslogCapture::WaitFor(const std::string& text, int timeoutMs) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (const std::string& t : texts())
            if (t == text)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

}  // namespace fakes
