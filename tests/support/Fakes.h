// Loopback stand-ins for the provider's servers, run on threads of the test process.
#ifndef DODODUZOD_TEST_FAKES_H
#define DODODUZOD_TEST_FAKES_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fakes {

struct HttpReply {
    std::string bytes;      // written as they are
    int delayMs = 0;        // wait before answering
    bool keepOpen = false;  // leave the connection open until the client closes it
    bool reset = false;     // end with a TCP reset instead of a close
    int trickleMs = 0;      // write the bytes one at a time, this far apart
};

inline HttpReply ReplyOf(std::string bytes) {
    HttpReply reply;
    reply.bytes = std::move(bytes);
    return reply;
}

// An HTTP server on 127.0.0.1 or ::1 that answers each request through a handler.
class TcpFake {
  public:
    using Handler = std::function<HttpReply(const std::string& request)>;

    TcpFake(int family, int port, Handler handler);  // port 0: any free port
    ~TcpFake();
    TcpFake(const TcpFake&) = delete;
    TcpFake& operator=(const TcpFake&) = delete;

    bool ok() const { return listenFd_ >= 0; }
    int port() const { return port_; }
    std::vector<std::string> requests() const;
    void SetHandler(Handler handler);

  private:
    void Serve();
    void Answer(int fd);

    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

struct Datagram {
    std::string bytes;
    bool fromOtherPort = false;  // sent from another socket, as a forger would
    std::string fromAddress;     // loopback address to send from; empty: the server's
};

inline Datagram DatagramOf(std::string bytes) {
    Datagram datagram;
    datagram.bytes = std::move(bytes);
    return datagram;
}

// A UDP DNS server on 127.0.0.1 that answers each query through a handler.
class UdpFake {
  public:
    using Handler = std::function<std::vector<Datagram>(const std::string& query)>;

    UdpFake(int port, Handler handler);  // port 0: any free port
    ~UdpFake();
    UdpFake(const UdpFake&) = delete;
    UdpFake& operator=(const UdpFake&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    std::vector<std::string> queries() const;
    void SetHandler(Handler handler);

  private:
    void Serve();

    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> queries_;
    std::thread thread_;
};

struct SyslogMessage {
    int priority = -1;  // facility * 8 + level
    std::string ident;
    int pid = 0;
    std::string text;
};

// Receives what syslog(3) sends to /dev/log (the sandbox gives a private /dev).
// Every read first takes in what is queued, so once a sender has exited or has
// shown a later sign of life, its messages are all there.
class SyslogCapture {
  public:
    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::vector<SyslogMessage> messages() const;
    std::vector<std::string> texts() const;
    // Waits until a message with this text arrived; false after `timeoutMs`.
    bool WaitFor(const std::string& text, int timeoutMs) const;

  private:
    void Serve();
    void DrainLocked() const;

    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    mutable std::vector<SyslogMessage> messages_;
    std::thread thread_;
};

SyslogMessage ParseSyslog(const std::string& datagram);

}  // namespace fakes

#endif
