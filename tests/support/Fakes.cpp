#include "Fakes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <regex>

#include "Process.h"
#include "SimDnsReply.h"
#include "Wire.h"

namespace fakes {

FileDescriptor BindLoopback(int family, int type, const std::string& address, int& port) {
    FileDescriptor fd(socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage ss{};
    auto* sa = reinterpret_cast<sockaddr*>(&ss);
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    auto* sun = reinterpret_cast<sockaddr_un*>(&ss);
    const bool local = family == AF_UNIX, six = family == AF_INET6;
    const std::string name = !address.empty() ? address : six ? "::1" : "127.0.0.1";
    ss.ss_family = static_cast<sa_family_t>(family);
    sin->sin_port = htons(static_cast<uint16_t>(port));  // where sin6_port is, too
    if (local)  // a path, or an abstract name ("@name"), exactly as long as it is
        std::memcpy(sun->sun_path, name.data(), std::min(name.size(), sizeof sun->sun_path - 1));
    if (local && name[0] == '@')
        sun->sun_path[0] = '\0';
    const socklen_t named = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    socklen_t length = local ? named + (name[0] != '@') : six ? sizeof *sin6 : sizeof *sin;
    void* ip = six ? static_cast<void*>(&sin6->sin6_addr) : &sin->sin_addr;
    const int one = 1;  // a fixed port is free again at once after an earlier server's close
    if (!fd.ok() ||
        (local ? unlink(name.c_str()) != 0 && errno != ENOENT
               : inet_pton(family, name.c_str(), ip) != 1) ||
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd.get(), sa, length) != 0 || getsockname(fd.get(), sa, &length) != 0)
        return FileDescriptor();
    port = local ? 0 : ntohs(sin->sin_port);
    return fd;
}

LoopbackServer::LoopbackServer(int family, int type, int port, const std::string& address)
    : port_(port), fd_(BindLoopback(family, type, address, port_)) {}

std::vector<std::string> LoopbackServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void LoopbackServer::Start(std::function<void()> serve) {
    if (fd_.ok() && stop_.ok())
        thread_ = std::thread(std::move(serve));
}

// The stop leaves the event readable for good.
void LoopbackServer::Stop() {
    if (thread_.joinable() && eventfd_write(stop_.get(), 1) == 0)
        thread_.join();
}

bool LoopbackServer::Wait(int fd, int timeoutMs) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    return poll(fds, 2, timeoutMs) > 0 && fds[1].revents == 0 &&
           (fds[0].revents & (POLLIN | POLLHUP)) != 0;
}

TcpFake::TcpFake(int family, int port, HttpReply reply)
    : LoopbackServer(family, SOCK_STREAM, port), reply_(std::move(reply)) {
    if (fd_.ok() && listen(fd_.get(), 16) != 0)
        fd_.Reset();
    Start([this] {
        while (Wait(fd_.get(), -1)) {
            FileDescriptor client(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client.ok())
                Answer(client.get());
        }
    });
}

void TcpFake::Answer(int client) {
    char chunk[4096];  // a request is one write of at most 4 KiB
    const ssize_t n = Wait(client, 5000) ? recv(client, chunk, sizeof chunk, 0) : 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.emplace_back(chunk, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    const size_t step = reply_.trickleMs > 0 ? 1 : reply_.bytes.size();
    // A trickle ends at the first write after the client gave up.
    for (size_t done = 0; done < reply_.bytes.size(); done += step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(reply_.trickleMs));
        if (send(client, reply_.bytes.data() + done, step, MSG_NOSIGNAL) != ssize_t(step))
            return;
    }
    // Until the client closes its side (or 60 s, or the end of the test).
    while (reply_.keepOpen && Wait(client, 60000) && recv(client, chunk, sizeof chunk, 0) > 0) {
    }
}

UdpFake::UdpFake(int port, Handler handler)
    : LoopbackServer(AF_INET, SOCK_DGRAM, port), handler_(std::move(handler)) {
    Start([this] {
        char buffer[65536];
        while (Wait(fd_.get(), -1)) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            auto* sa = reinterpret_cast<sockaddr*>(&peer);
            const ssize_t n = recvfrom(fd_.get(), buffer, sizeof buffer, 0, sa, &length);
            const std::string query(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            std::unique_lock<std::mutex> lock(mutex_);  // the query and the handler it meets
            received_.push_back(query);
            const Handler handler = handler_;
            lock.unlock();
            for (const Datagram& d : n < 0 ? std::vector<Datagram>{} : handler(query)) {
                int any = 0;  // a forger that cannot bind sends nothing
                const FileDescriptor forger = d.from.empty()
                                                  ? FileDescriptor()
                                                  : BindLoopback(AF_INET, SOCK_DGRAM, d.from, any);
                const int from = d.from.empty() ? fd_.get() : forger.get();
                sendto(from, d.bytes.data(), d.bytes.size(), 0, sa, length);
            }
        }
    });
}

void UdpFake::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::string Trace(const std::string& path) {
    std::string text;
    for (const std::string& line : wire::UndatedLines(path))
        text += line.substr(line.rfind("[FRAMEWORK] ", 0) == 0 ? 12 : 0) + "\n";
    return text;
}

std::vector<Datagram> LoopbackNames(const std::string& query) {
    sim::Question q;
    if (!sim::ParseQuestion(query, q))
        return {};
    const std::string label = q.name.substr(0, q.name.find('.'));
    const bool four = label == "v4" || label == "dual", six = label == "v6" || label == "dual";
    if ((q.type == 1 && four) || (q.type == 28 && six))
        return {{sim::BuildReply(query, {{q.name, q.type, q.type == 1 ? "127.0.0.1" : "::1"}})}};
    return {{sim::BuildReply(query, {})}};
}

namespace {

std::atomic<int> delivered{0};

void Note(int sig) {
    if (sig != SIGHUP)
        stop_requested = 1;
    delivered.fetch_add(1);
}

// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT", or "IDENT: TEXT" without a pid.
SyslogMessage ParseSyslog(const std::string& d) {
    static const std::regex head(R"(<(\d+)>.{15} (.*?)(?:\[(\d+)\])?: )");
    std::smatch m;
    if (!std::regex_search(d, m, head, std::regex_constants::match_continuous))
        return {-1, "", 0, d};
    return {std::stoi(m[1]), m[2], m[3].matched ? std::stoi(m[3]) : 0, m.suffix()};
}

}  // namespace

bool FailSyscall(unsigned nr, unsigned error, int firstArg) {
    const bool any = firstArg < 0;
    std::vector<sock_filter> f = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, static_cast<unsigned char>(any ? 1 : 3)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(firstArg), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    if (any)  // no check of the argument
        f.erase(f.begin() + 2, f.begin() + 4);
    sock_fprog program = {static_cast<unsigned short>(f.size()), f.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool InPpoll(const std::string& call) {
    return testproc::ReadFile(call).rfind(std::to_string(SYS_ppoll) + " ", 0) == 0;
}

int SignalsDelivered() {
    return delivered;
}

Signalled UnderSignals(const std::function<bool()>& exchange, const std::vector<int>& signals,
                       int spacingMs) {
    struct sigaction action = {}, savedHup = {}, savedInt = {};
    action.sa_handler = Note;  // no SA_RESTART, as in the service
    sigaction(SIGHUP, &action, &savedHup);
    sigaction(SIGINT, &action, &savedInt);
    delivered = 0;
    Signalled r{false, true};
    std::atomic<bool> finished{false};
    auto last = std::chrono::steady_clock::now();
    // Where the calling thread's system call shows, its number first.
    const std::string call = "/proc/self/task/" + std::to_string(gettid()) + "/syscall";
    std::thread sender([&, self = pthread_self()] {
        for (int sig : signals) {
            std::this_thread::sleep_for(std::chrono::milliseconds(spacingMs));
            r.waited &= testproc::WaitUntil(
                [&] { return finished || (delivered == r.sent && InPpoll(call)); }, 5000);
            if (finished)
                break;
            last = std::chrono::steady_clock::now();
            ++r.sent;
            pthread_kill(self, sig);  // sent even when no wait was seen, so that it ends
        }
    });
    r.ok = exchange();
    const auto end = std::chrono::steady_clock::now();
    finished = true;
    sender.join();
    r.latency = end - last;
    r.waited &= r.sent == static_cast<int>(signals.size());
    sigaction(SIGHUP, &savedHup, nullptr);
    sigaction(SIGINT, &savedInt, nullptr);
    return r;
}

// The thread keeps the queue short (a sender blocks once ten datagrams wait), whether or
// not the test reads.
SyslogCapture::SyslogCapture() : LoopbackServer(AF_UNIX, SOCK_DGRAM, 0, "/dev/log") {
    Start([this] {
        while (Wait(fd_.get(), -1))
            Drain();
    });
}

SyslogCapture::~SyslogCapture() {
    Stop();
    unlink("/dev/log");
}

// Readers drain too, so a read sees every message sent before it, whether or not the
// thread has run since.
void SyslogCapture::Drain() const {
    std::lock_guard<std::mutex> lock(mutex_);
    char buffer[8192];
    for (ssize_t n; fd_.ok() && (n = recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        received_.emplace_back(buffer, static_cast<size_t>(n));
}

std::vector<SyslogMessage> SyslogCapture::messages() const {
    Drain();
    std::vector<SyslogMessage> out;
    for (const std::string& d : received())
        out.push_back(ParseSyslog(d));
    return out;
}

std::vector<std::string> SyslogCapture::texts() const {
    std::vector<std::string> out;
    for (const SyslogMessage& m : messages())
        out.push_back(m.text);
    return out;
}

}  // namespace fakes
