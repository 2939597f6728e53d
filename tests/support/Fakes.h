// Loopback stand-ins for the provider's servers and for syslog, run on threads of the
// test process.
#ifndef DODODUZOD_TEST_FAKES_H
#define DODODUZOD_TEST_FAKES_H

#include <sys/eventfd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FileDescriptor.h"
#include "Wait.h"

namespace fakes {

// A socket of `type` bound to `address` (empty: the family's loopback address; for AF_UNIX,
// the path, or "@name" for an abstract name) and `port` (0: any free one), which then holds the
// port it got. Not listening.
FileDescriptor BindLoopback(int family, int type, const std::string& address, int& port);

// A bound socket and the thread that serves it, ended by a stop event. It keeps a copy of every
// message it receives.
class LoopbackServer {
  public:
    bool ok() const { return thread_.joinable(); }
    int port() const { return port_; }
    std::vector<std::string> received() const;

  protected:
    LoopbackServer(int family, int type, int port, const std::string& address = "");
    ~LoopbackServer() { Stop(); }
    // Runs `serve` on the thread, if the socket and the stop event are there.
    void Start(std::function<void()> serve);
    // Every subclass calls it first in its destructor: the thread uses the subclass's members.
    void Stop();
    // Whether `fd` became readable (or hung up) within `timeoutMs`, before a stop.
    bool Wait(int fd, int timeoutMs) const;

    mutable std::mutex mutex_;  // guards received_ and what subclasses share with the thread
    mutable std::vector<std::string> received_;
    int port_;  // before fd_: binding sets it
    FileDescriptor fd_;

  private:
    FileDescriptor stop_{eventfd(0, EFD_CLOEXEC)};
    std::thread thread_;
};

// Built by a constructor: g++ takes a table of the bare aggregate for uninitialized.
struct HttpReply {
    HttpReply(std::string b, bool open = false, int ms = 0)
        : bytes(std::move(b)), keepOpen(open), trickleMs(ms) {}
    std::string bytes;  // written as they are
    bool keepOpen;      // then the connection stays open until the client closes it
    int trickleMs;      // written a byte at a time, this far apart
};

// An HTTP server on 127.0.0.1 or ::1 that answers each request with the same reply; received()
// holds the requests.
class TcpFake : public LoopbackServer {
  public:
    TcpFake(int family, int port, HttpReply reply);  // port 0: any free port
    ~TcpFake() { Stop(); }

  private:
    void Answer(int client);
    const HttpReply reply_;
};

struct Datagram {
    std::string bytes;
    // A loopback address to send from, on a port of its own, as a forger would; empty:
    // the server's socket.
    std::string from = "";
};

// A UDP DNS server on 127.0.0.1 that answers each query through a handler; received() holds
// the queries.
class UdpFake : public LoopbackServer {
  public:
    using Handler = std::function<std::vector<Datagram>(const std::string& query)>;
    UdpFake(int port, Handler handler);  // port 0: any free port
    ~UdpFake() { Stop(); }
    // A query that arrives after this meets the new handler.
    void SetHandler(Handler handler);

  private:
    Handler handler_;
};

// A resolver's handler: v4.* has only an A record (127.0.0.1), v6.* only AAAA (::1), dual.*
// both; other names none.
std::vector<Datagram> LoopbackNames(const std::string& query);

// The client's trace in the log at `path`, one message a line, without dates and without the
// FRAMEWORK tag (another tag stays, to mismatch).
std::string Trace(const std::string& path);

struct Signalled {
    bool ok = false;                                // what the exchange returned
    bool waited = false;                            // each signal came while it waited in ppoll(2)
    int sent = 0;                                   // signals sent before it ended
    std::chrono::steady_clock::duration latency{};  // from the last signal to its end
};

// Makes the system call `nr` fail with `error` in the calling thread and what it starts,
// or only where its first argument is `firstArg` (when not negative).
bool FailSyscall(unsigned nr, unsigned error, int firstArg = -1);

// Whether the thread whose /proc/.../syscall file is `call` now waits in ppoll(2).
bool InPpoll(const std::string& call);

// Runs `exchange` on the calling thread while another thread sends that thread `signals`
// in turn, each `spacingMs` after the one before and once the exchange waits in ppoll
// (again, after the handler of the one before ran). As in the service, SIGHUP's handler
// only notes a reload and SIGINT's asks to stop.
Signalled UnderSignals(const std::function<bool()>& exchange, const std::vector<int>& signals,
                       int spacingMs = 0);
// The signals UnderSignals has seen handled so far.
int SignalsDelivered();

struct SyslogMessage {
    int priority = -1;  // facility * 8 + level
    std::string ident;
    int pid = 0;
    std::string text;
};

// Receives what syslog(3) sends to /dev/log (the sandbox gives a private /dev).
// Every read first takes in what is queued, so once a sender has exited or has
// shown a later sign of life, its messages are all there.
class SyslogCapture : public LoopbackServer {
  public:
    SyslogCapture();
    ~SyslogCapture();
    std::vector<SyslogMessage> messages() const;
    std::vector<std::string> texts() const;

  private:
    // Takes in what is queued.
    void Drain() const;
};

}  // namespace fakes

#endif
