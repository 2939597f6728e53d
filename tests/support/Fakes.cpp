#include "Fakes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>

namespace fakes {
namespace {

// Binds a socket of `type` to the loopback address of `family`.
int BindLoopback(int family, int type, int port, const std::string& address, int* boundPort) {
    int fd = socket(family, type, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss;
    std::memset(&ss, 0, sizeof ss);
    socklen_t len;
    if (family == AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(port);
        inet_pton(AF_INET6, address.empty() ? "::1" : address.c_str(), &sa->sin6_addr);
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        len = sizeof(sockaddr_in6);
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(port);
        inet_pton(AF_INET, address.empty() ? "127.0.0.1" : address.c_str(), &sa->sin_addr);
        len = sizeof(sockaddr_in);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0)) {
        close(fd);
        return -1;
    }
    len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    *boundPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return fd;
}

// Runs `serve` on a new thread and returns once that thread runs. A test that then
// starves the process (of descriptors, say) cannot catch the thread before it started,
// when even the sanitizers' checks of its start may fail.
template <typename Serve>
std::thread Started(Serve serve) {
    auto running = std::make_shared<std::promise<void>>();
    std::future<void> ready = running->get_future();
    std::thread thread([running, serve] {
        running->set_value();
        serve();
    });
    ready.wait();
    return thread;
}

// Waits for `fd` to be readable; false when `stopFd` fired or `timeoutMs` passed.
bool WaitReadable(int fd, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int n = poll(fds, 2, timeoutMs);
    return n > 0 && (fds[1].revents & POLLIN) == 0 && (fds[0].revents & (POLLIN | POLLHUP));
}

bool Stopped(int stopFd) {
    pollfd p = {stopFd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void Stop(int stopPipe[2], std::thread& thread) {
    if (stopPipe[1] >= 0 && write(stopPipe[1], "x", 1) < 0) {
        // the thread also ends when the pipe closes below
    }
    if (thread.joinable())
        thread.join();
    for (int i = 0; i < 2; ++i)
        if (stopPipe[i] >= 0)
            close(stopPipe[i]);
}

void WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

TcpFake::TcpFake(int family, int port, Handler handler) : handler_(std::move(handler)) {
    listenFd_ = BindLoopback(family, SOCK_STREAM, port, "", &port_);
    if (listenFd_ < 0 || pipe(stopPipe_) != 0)
        return;
    thread_ = Started([this] { Serve(); });
}

TcpFake::~TcpFake() {
    Stop(stopPipe_, thread_);
    if (listenFd_ >= 0)
        close(listenFd_);
}

std::vector<std::string> TcpFake::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void TcpFake::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void TcpFake::Serve() {
    while (WaitReadable(listenFd_, stopPipe_[0], -1)) {
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0)
            continue;
        Answer(fd);
        close(fd);
    }
}

void TcpFake::Answer(int fd) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        if (!WaitReadable(fd, stopPipe_[0], 5000))
            break;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        request.append(chunk, static_cast<size_t>(n));
    }
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        handler = handler_;
    }
    HttpReply reply = handler ? handler(request) : HttpReply{};
    if (reply.delayMs > 0 && Stopped(stopPipe_[0]))
        return;
    if (reply.delayMs > 0) {
        pollfd p = {stopPipe_[0], POLLIN, 0};
        if (poll(&p, 1, reply.delayMs) > 0)
            return;
    }
    if (reply.trickleMs <= 0)
        WriteAll(fd, reply.bytes);
    for (size_t i = 0; reply.trickleMs > 0 && i < reply.bytes.size(); ++i) {
        pollfd p = {stopPipe_[0], POLLIN, 0};
        if (poll(&p, 1, reply.trickleMs) > 0 || send(fd, &reply.bytes[i], 1, MSG_NOSIGNAL) != 1)
            return;
    }
    if (reply.reset) {
        linger l = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return;
    }
    if (reply.keepOpen) {
        // Wait for the client to close its side (or 60 s, or the end of the test).
        while (WaitReadable(fd, stopPipe_[0], 60000)) {
            if (recv(fd, chunk, sizeof chunk, 0) <= 0)
                break;
        }
    }
}

UdpFake::UdpFake(int port, Handler handler) : handler_(std::move(handler)) {
    fd_ = BindLoopback(AF_INET, SOCK_DGRAM, port, "", &port_);
    if (fd_ < 0 || pipe(stopPipe_) != 0)
        return;
    thread_ = Started([this] { Serve(); });
}

UdpFake::~UdpFake() {
    Stop(stopPipe_, thread_);
    if (fd_ >= 0)
        close(fd_);
}

std::vector<std::string> UdpFake::queries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
}

void UdpFake::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void UdpFake::Serve() {
    std::vector<unsigned char> buffer(65536);
    while (WaitReadable(fd_, stopPipe_[0], -1)) {
        sockaddr_in from;
        socklen_t fromLen = sizeof from;
        ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            continue;
        std::string query(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queries_.push_back(query);
            handler = handler_;
        }
        if (!handler)
            continue;
        for (const Datagram& d : handler(query)) {
            int sender = fd_;
            int ignored;
            if (d.fromOtherPort || !d.fromAddress.empty())
                sender = BindLoopback(AF_INET, SOCK_DGRAM, 0, d.fromAddress, &ignored);
            if (sender < 0)
                continue;
            sendto(sender, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   fromLen);
            if (sender != fd_)
                close(sender);
        }
    }
}

SyslogMessage ParseSyslog(const std::string& d) {
    // "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT", or "IDENT: TEXT" without a pid.
    SyslogMessage m;
    m.text = d;
    size_t close = d.find('>');
    if (d.empty() || d[0] != '<' || close == std::string::npos)
        return m;
    m.priority = std::atoi(d.substr(1, close - 1).c_str());
    size_t identStart = close + 1 + 16;
    size_t colon = d.find(": ", identStart);
    if (identStart > d.size() || colon == std::string::npos)
        return m;
    m.ident = d.substr(identStart, colon - identStart);
    size_t bracket = m.ident.find('[');
    if (bracket != std::string::npos && m.ident.back() == ']') {
        m.pid = std::atoi(m.ident.c_str() + bracket + 1);
        m.ident.resize(bracket);
    }
    m.text = d.substr(colon + 2);
    return m;
}

SyslogCapture::SyslogCapture() {
    unlink("/dev/log");
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, "/dev/log");
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0 || pipe(stopPipe_) != 0)
        return;
    thread_ = Started([this] { Serve(); });
}

SyslogCapture::~SyslogCapture() {
    Stop(stopPipe_, thread_);
    if (fd_ >= 0)
        close(fd_);
    unlink("/dev/log");
}

// Receives whatever is queued; the caller holds the lock. Readers drain too, so a
// read sees every message sent before it, whether or not the thread has run since.
void SyslogCapture::DrainLocked() const {
    char buffer[8192];
    for (;;) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            return;
        messages_.push_back(ParseSyslog(std::string(buffer, static_cast<size_t>(n))));
    }
}

// Keeps the queue short (a sender blocks once ten datagrams wait), whether or not
// the test reads.
void SyslogCapture::Serve() {
    while (WaitReadable(fd_, stopPipe_[0], -1)) {
        std::lock_guard<std::mutex> lock(mutex_);
        DrainLocked();
    }
}

std::vector<SyslogMessage> SyslogCapture::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0)
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
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (const std::string& t : texts())
            if (t == text)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

}  // namespace fakes
