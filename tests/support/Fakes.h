// Loopback stand-ins for the provider's servers and for syslog, run on threads of the
// test process.
#ifndef DODODUZOD_TEST_FAKES_H
#define DODODUZOD_TEST_FAKES_H

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MyFunctions.h"

namespace fakes {

// A socket bound on loopback (or, for AF_UNIX, at the path `address`) and the thread that
// serves it: started before the constructor returns, so a test that then starves the
// process of descriptors cannot catch it starting, and ended by a stop pipe.
class LoopbackServer {
  public:
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    bool ok() const { return thread_.joinable(); }
    int port() const { return port_; }

  protected:
    LoopbackServer(int family, int type, int port, const std::string& address = "");
    ~LoopbackServer() { Stop(); }
    void Start(std::function<void()> serve);
    // Every subclass calls it first in its destructor: the thread uses the subclass's members.
    void Stop();
    // Whether `fd` became readable (or hung up) within `timeoutMs`, before a stop.
    bool Wait(int fd, int timeoutMs) const;
    // Whether a stop came within `timeoutMs`.
    bool Stopped(int timeoutMs) const;

    int port_ = 0;  // before fd_: binding sets it
    FileDescriptor fd_;

  private:
    FileDescriptor stopRead_;
    FileDescriptor stopWrite_;
    std::thread thread_;
};

// Binds a socket of `type` to `address` (empty: the family's loopback address).
FileDescriptor BindLoopback(int family, int type, int port, const std::string& address,
                            int* boundPort);

// A loopback server that hands every message it receives to a handler and keeps a copy.
template <typename H>
class Scripted : public LoopbackServer {
  public:
    using Handler = H;
    using LoopbackServer::LoopbackServer;
    void SetHandler(Handler handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = std::move(handler);
    }
    std::vector<std::string> received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  protected:
    Handler Received(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(message);
        return handler_;
    }

  private:
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> received_;
};

struct HttpReply {
    std::string bytes;      // written as they are
    int delayMs = 0;        // wait before answering
    bool keepOpen = false;  // leave the connection open until the client closes it
    bool reset = false;     // end with a TCP reset instead of a close
    int trickleMs = 0;      // write the bytes one at a time, this far apart
};

inline HttpReply ReplyOf(std::string bytes) {
    return HttpReply{std::move(bytes), 0, false, false, 0};
}

// An HTTP server on 127.0.0.1 or ::1 that answers each request through a handler.
class TcpFake : public Scripted<std::function<HttpReply(const std::string& request)>> {
  public:
    TcpFake(int family, int port, Handler handler);  // port 0: any free port
    ~TcpFake() { Stop(); }
    std::vector<std::string> requests() const { return received(); }

  private:
    void Answer(int client);
};

struct Datagram {
    std::string bytes;
    bool fromOtherPort = false;  // sent from another socket, as a forger would
    std::string fromAddress;     // loopback address to send from; empty: the server's
};

inline Datagram DatagramOf(std::string bytes) {
    return Datagram{std::move(bytes), false, ""};
}

// A UDP DNS server on 127.0.0.1 that answers each query through a handler.
class UdpFake : public Scripted<std::function<std::vector<Datagram>(const std::string& query)>> {
  public:
    UdpFake(int port, Handler handler);  // port 0: any free port
    ~UdpFake() { Stop(); }
    std::vector<std::string> queries() const { return received(); }
};

// A resolver's handler: v4.* has only an A record (127.0.0.1), v6.* only AAAA (::1), dual.*
// both; other names none.
std::vector<Datagram> LoopbackNames(const std::string& query);

struct Signalled {
    bool ok = false;                                // what the exchange returned
    bool waited = false;                            // each signal came while it waited in ppoll(2)
    int sent = 0;                                   // signals sent before it ended
    std::chrono::steady_clock::duration latency{};  // from the last signal to its end
};

// Runs `exchange` on the calling thread while another thread sends that thread `signals`
// in turn, each `spacingMs` after the one before and once the exchange waits in ppoll
// (again, after the handler of the one before ran). As in the service, SIGHUP's handler
// only notes a reload and the others' ask to stop; `flags` are their sigaction flags.
Signalled UnderSignals(const std::function<bool()>& exchange, const std::vector<int>& signals,
                       int flags, int spacingMs = 0);

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
    // Waits until a message with this text arrived; false after `timeoutMs`.
    bool WaitFor(const std::string& text, int timeoutMs) const;

  private:
    void DrainLocked() const;

    mutable std::mutex mutex_;
    mutable std::vector<SyslogMessage> messages_;
};

}  // namespace fakes

#endif
