#include "MyHTTP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "FileDescriptor.h"
#include "MyDNS.h"
#include "MyString.h"
#include "Socket.h"
#include "Wait.h"

int MyHTTP::timeoutSeconds = 60;
bool MyHTTP::preferPublicSource = false;

namespace {

// linux/in6.h's value; that header cannot be included beside netinet/in.h.
constexpr int kPreferSourcePublic = 0x0002;  // IPV6_PREFER_SRC_PUBLIC

const char kScheme[] = "http://";
const char kHeaderEnd[] = "\r\n\r\n";
const char kContentLength[] = "content-length:";
const size_t kMaxRead = MyHTTP::responseSize - 1;  // the last byte stays zero

const char kErrorOpening[] = "Error opening socket.";
const char kErrorConnecting[] = "Error connecting.";
const char kErrorWriting[] = "Error writing message to socket.";
const char kErrorReading[] = "Error reading response from socket.";
const char kErrorStoring[] = "Error storing complete response from socket.";
const char kErrorParsing[] = "Error parsing response.";
const char kErrorNoRoute[] = "No route to host.";
const char kErrorTooLong[] = "Request too long.";
const char kErrorInvalidUrl[] = "Invalid URL.";

using Socket::Trace;

// Turns a caught exception into the call's result; nothing may escape from here.
bool Fail(const std::exception& e, std::string& error, bool verbose) {
    try {
        Trace(MyString::Escape(e.what()), verbose);
        error = e.what();
    } catch (...) {
    }
    return false;
}

Wait::Clock::time_point Deadline() {
    return Wait::After(MyHTTP::timeoutSeconds);
}

// The socket is non-blocking: every wait happens here, where a stop ends it at once.
bool WaitFor(int fd, short events, Wait::Clock::time_point deadline) {
    return Wait::ForDescriptor(fd, events, deadline) == Wait::Result::ready;
}

bool Connect(int fd, const sockaddr* peer, socklen_t length) {
    if (Wait::CycleEnds())
        return false;
    const auto deadline = Deadline();
    if (connect(fd, peer, length) == 0)
        return true;
    short revents = 0;
    if (errno != EINPROGRESS ||
        Wait::ForDescriptor(fd, POLLOUT, deadline, &revents) != Wait::Result::ready)
        return false;
    if ((revents & (POLLERR | POLLHUP)) == 0)
        return true;  // writable and no error: connected
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// One send or receive on the non-blocking socket: the bytes moved, 0 when the peer has
// ended, -1 on failure. A call that would block first waits for `events`.
template <typename Call>
ssize_t Transfer(int fd, short events, Wait::Clock::time_point deadline, Call call) {
    for (;;) {
        if (Wait::CycleEnds())
            return -1;
        const ssize_t n = call();
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(fd, events, deadline))
            return -1;
    }
}

// Sends all of `length` bytes within the time-out; a peer that takes nothing more ends
// the sending early.
bool SendAll(int fd, const char* data, size_t length) {
    const auto deadline = Deadline();
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = Transfer(fd, POLLOUT, deadline, [&] {
            return send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        });
        if (n < 0)
            return false;
        if (n == 0)
            break;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes, the announced body is complete or the buffer is full.
// The time-out bounds the whole response: a peer that trickles bytes cannot hold it longer.
bool ReceiveAll(int fd, char* buffer, size_t* received) {
    const auto deadline = Deadline();
    // The request has only just left: there is nothing to read before the peer answers.
    if (!WaitFor(fd, POLLIN, deadline))
        return false;
    size_t got = 0;
    while (got < kMaxRead) {
        const ssize_t n = Transfer(fd, POLLIN, deadline,
                                   [&] { return recv(fd, buffer + got, kMaxRead - got, 0); });
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
        if (MyHTTP::IsComplete(buffer, got))
            break;
    }
    *received = got;
    return true;
}

struct Peer {
    sockaddr_storage address;
    socklen_t length;
};

bool MakePeer(int family, const std::string& ipAddress, int port, Peer& peer) {
    std::memset(&peer.address, 0, sizeof peer.address);
    if (family == AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&peer.address);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(static_cast<uint16_t>(port));
        peer.length = sizeof(sockaddr_in6);
        return inet_pton(AF_INET6, ipAddress.c_str(), &sa->sin6_addr) == 1;
    }
    auto* sa = reinterpret_cast<sockaddr_in*>(&peer.address);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(static_cast<uint16_t>(port));
    peer.length = sizeof(sockaddr_in);
    return inet_pton(AF_INET, ipAddress.c_str(), &sa->sin_addr) == 1;
}

// One GET exchange with a numeric address of `family`.
bool Exchange(int family, const std::string& ipAddress, const std::string& request, int port,
              std::string& body, std::string& error, bool verbose) {
    if (request.size() >= MyHTTP::requestSize) {
        error = kErrorTooLong;
        return false;
    }
    char requestBuffer[MyHTTP::requestSize];
    std::memcpy(requestBuffer, request.c_str(), request.size() + 1);

    try {
        FileDescriptor sock = Socket::Open(family, SOCK_STREAM, verbose);
        if (!sock.ok()) {
            error = kErrorOpening;
            if (family == AF_INET) {
                (void)std::fputs("Error opening socket.\n", stdout);
                (void)std::fflush(stdout);
            }
            return false;
        }

        if (family == AF_INET6 && MyHTTP::preferPublicSource) {
            const int preference = kPreferSourcePublic;
            (void)setsockopt(sock.get(), IPPROTO_IPV6, IPV6_ADDR_PREFERENCES, &preference,
                             sizeof preference);  // refused: the kernel's choice stands
        }
        Peer peer;
        bool converted = MakePeer(family, ipAddress, port, peer);
        Trace("Connecting socket.", verbose);
        if (!converted ||
            !Connect(sock.get(), reinterpret_cast<const sockaddr*>(&peer.address), peer.length)) {
            error = kErrorConnecting;
            return false;
        }

        Trace("Sending request.", verbose);
        if (!SendAll(sock.get(), requestBuffer, request.size())) {
            error = kErrorWriting;
            return false;
        }

        Trace("Receiving response.", verbose);
        char response[MyHTTP::responseSize];
        std::memset(response, 0, sizeof response);
        size_t received = 0;
        if (!ReceiveAll(sock.get(), response, &received)) {
            error = kErrorReading;
            return false;
        }
        if (received == kMaxRead) {
            error = kErrorStoring;
            return false;
        }

        Trace("Closing socket.", verbose);
        sock.Reset();

        Trace("Parsing response.", verbose);
        return MyHTTP::ExtractBody(response, received, body, error);
    } catch (const std::exception& e) {
        return Fail(e, error, verbose);
    }
}

// Whether the header line at `line` is "Content-Length:", in any case.
bool IsContentLength(const char* line, size_t available) {
    const size_t n = sizeof kContentLength - 1;
    if (available < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != kContentLength[i])
            return false;
    }
    return true;
}

// The value of the header line's Content-Length: digits between optional blanks.
// False when it is not a plain decimal number.
bool ParseLength(const char* p, const char* end, size_t* value) {
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    size_t v = 0;
    bool digits = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        // Anything past the buffer's size can never be complete; stop counting there.
        if (v <= MyHTTP::responseSize)
            v = v * 10 + static_cast<size_t>(*p - '0');
        digits = true;
    }
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    if (!digits || p != end)
        return false;
    *value = v;
    return true;
}

const char* Find(const char* begin, const char* end, const char* needle) {
    const size_t n = std::strlen(needle);
    for (const char* p = begin; p <= end && static_cast<size_t>(end - p) >= n; ++p) {
        if (std::memcmp(p, needle, n) == 0)
            return p;
    }
    return nullptr;
}

// The body length the header of `data` announces; false when the header is not complete
// or holds no length to trust. `bodyStart` is where the body begins.
bool AnnouncedLength(const char* data, size_t length, size_t* announced, size_t* bodyStart) {
    const char* end = data + length;
    const char* headerEnd = Find(data, end, kHeaderEnd);
    if (headerEnd == nullptr)
        return false;
    const char* body = headerEnd + 4;

    // Header lines start after each CR LF up to the empty line; the status line is skipped.
    bool found = false;
    for (const char* line = Find(data, body, "\r\n"); line != nullptr && line < headerEnd;
         line = Find(line + 2, body, "\r\n")) {
        const char* start = line + 2;
        const char* lineEnd = Find(start, body, "\r\n");
        if (!IsContentLength(start, static_cast<size_t>(lineEnd - start)))
            continue;
        size_t value = 0;
        const char* valueStart = start + sizeof kContentLength - 1;
        // A malformed or contradicting length cannot be trusted: wait for the close.
        if (!ParseLength(valueStart, lineEnd, &value) || (found && value != *announced))
            return false;
        found = true;
        *announced = value;
    }
    *bodyStart = static_cast<size_t>(body - data);
    return found;
}

// A blank, a line end or another control byte in the host or target would let a URL
// write request lines of its own.
bool IsSendable(const std::string& text) {
    for (char c : text) {
        if (!MyString::IsRequestByte(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// The request with `authorization` as the Basic credentials; none when it is empty.
std::string RequestText(const std::string& host, const std::string& target,
                        const std::string& authorization) {
    std::string request =
        "GET " + target + " HTTP/1.1\r\nUser-Agent: Zelmar.Linux\r\nHost: " + host + "\r\n";
    if (!authorization.empty())
        request += "Authorization: Basic " + authorization + "\r\n";
    request += "\r\n";
    return request;
}

}  // namespace

bool MyHTTP::SplitUrl(const std::string& url, std::string& host, std::string& target) {
    std::string rest = url;
    if (rest.find(kScheme) == 0)
        rest.erase(0, sizeof kScheme - 1);
    size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    if (slash == std::string::npos) {
        target.clear();
        return false;
    }
    target = rest.substr(slash);
    return true;
}

std::string MyHTTP::BuildRequest(const std::string& host, const std::string& target,
                                 const std::string& credentials) {
    return RequestText(host, target,
                       credentials.empty() ? "" : MyString::Base64Encode(credentials));
}

bool MyHTTP::IsComplete(const char* data, size_t length) {
    size_t announced = 0;
    size_t bodyStart = 0;
    return AnnouncedLength(data, length, &announced, &bodyStart) && length - bodyStart >= announced;
}

bool MyHTTP::ExtractBody(const char* data, size_t length, std::string& body, std::string& error) {
    std::string text(data, strnlen(data, length));
    size_t headerEnd = text.find(kHeaderEnd);
    if (headerEnd == std::string::npos) {
        error = kErrorParsing;
        return false;
    }
    body = text.substr(headerEnd + 4);
    // Bytes past the announced length are not part of this response.
    size_t announced = 0;
    size_t bodyStart = 0;
    if (AnnouncedLength(text.data(), text.size(), &announced, &bodyStart) &&
        body.size() > announced)
        body.resize(announced);
    return true;
}

bool MyHTTP::PrepareRequest(const std::string& url, const std::string& credentials,
                            std::string& host, std::string& target, std::string& request,
                            std::string& error, bool verbose) {
    Trace("Url: " + MyString::Escape(url), verbose);
    bool valid = SplitUrl(url, host, target);
    Trace("Hostname: " + MyString::Escape(host), verbose);
    if (!valid || !IsSendable(host) || !IsSendable(target)) {
        error = kErrorInvalidUrl;
        return false;
    }
    Trace("Query String: " + MyString::Escape(target), verbose);

    request = BuildRequest(host, target, credentials);
    // The header works as the password: the log shows only that it was sent.
    Trace("HTTP Request: " + RequestText(MyString::Escape(host), MyString::Escape(target),
                                         credentials.empty() ? "" : "<hidden>"),
          verbose);
    if (request.size() >= requestSize) {
        error = kErrorTooLong;
        return false;
    }
    return true;
}

bool MyHTTP::GetUrl(std::string url, int port, std::string credentials, std::string& body,
                    std::string& error, bool verbose) {
    try {
        std::string host;
        std::string target;
        std::string request;
        if (!PrepareRequest(url, credentials, host, target, request, error, verbose))
            return false;

        std::string address = MyDNS::GetIPv4Address(host, "", verbose);
        if (!address.empty()) {
            Trace("IPv4 Address: " + address, verbose);
            return GetIPv4Url(address, target, request, port, body, error, verbose);
        }
        Trace("No IPv4 address found for hostname " + MyString::Escape(host) + ".", verbose);
        address = MyDNS::GetIPv6Address(host, "", verbose);
        if (!address.empty()) {
            Trace("IPv6 Address: " + address, verbose);
            return GetIPv6Url(address, target, request, port, body, error, verbose);
        }
        Trace("No IPv6 address found for hostname " + MyString::Escape(host) + ".", verbose);
        error = kErrorNoRoute;
        return false;
    } catch (const std::exception& e) {
        return Fail(e, error, verbose);
    }
}

bool MyHTTP::GetIPv4Url(std::string ipAddress, std::string /*requestTarget*/, std::string request,
                        int port, std::string& body, std::string& error, bool verbose) {
    return Exchange(AF_INET, ipAddress, request, port, body, error, verbose);
}

bool MyHTTP::GetIPv6Url(std::string ipAddress, std::string /*requestTarget*/, std::string request,
                        int port, std::string& body, std::string& error, bool verbose) {
    return Exchange(AF_INET6, ipAddress, request, port, body, error, verbose);
}
