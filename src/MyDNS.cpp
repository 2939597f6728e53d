#include "MyDNS.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>

#include "FileDescriptor.h"
#include "MyString.h"
#include "Provider.h"
#include "Socket.h"
#include "Wait.h"

int MyDNS::timeoutSeconds = 10;

namespace {

constexpr int defaultPort = 53;
constexpr int maxJumps = 64;  // more pointers than any honest name needs
constexpr size_t recordInfoSize = 10;
constexpr size_t questionInfoSize = 4;

using Socket::Trace;

unsigned Get16(const unsigned char* at) {
    return (static_cast<unsigned>(at[0]) << 8) | at[1];
}

// Names compare without regard to the case of ASCII letters, whatever the locale.
unsigned char AsciiLower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

void Put16(unsigned char* at, unsigned value) {
    at[0] = static_cast<unsigned char>((value >> 8) & 0xff);
    at[1] = static_cast<unsigned char>(value & 0xff);
}

// "host" or "host:port"; false when the port is not a number from 1 to 65535.
bool SplitServer(const std::string& server, std::string& host, int& port) {
    size_t colon = server.rfind(':');
    host = server.substr(0, colon);
    port = defaultPort;
    if (colon == std::string::npos)
        return true;
    std::string digits = server.substr(colon + 1);
    if (digits.empty() || digits.size() > 5)
        return false;
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

// The socket is non-blocking: every wait is one that a stop ends at any instant.
bool SendQuery(int fd, const unsigned char* query, size_t length, const sockaddr_in& to) {
    // Connected, the socket hears at once when nothing listens there (instead of
    // waiting out the time-out), and the kernel drops datagrams of other senders.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return false;
    const Wait::Clock::time_point deadline = Wait::After(MyDNS::timeoutSeconds);
    for (;;) {
        if (Wait::CycleEnds())
            return false;
        ssize_t sent = send(fd, query, length, 0);
        if (sent >= 0)
            return static_cast<size_t>(sent) == length;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (Wait::ForDescriptor(fd, POLLOUT, deadline) != Wait::Result::ready)
            return false;
    }
}

// Waits until the deadline for the reply to `query`, dropping any other datagram. The
// socket is connected: the kernel drops what another sender sends. Returns the reply's
// length, or -1.
ssize_t ReceiveReply(int fd, unsigned char* buffer, const std::vector<unsigned char>& query) {
    const Wait::Clock::time_point deadline = Wait::After(MyDNS::timeoutSeconds);
    for (;;) {
        if (Wait::ForDescriptor(fd, POLLIN, deadline) != Wait::Result::ready)
            return -1;
        const ssize_t n = recv(fd, buffer, MyDNS::bufferSize, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return -1;
        }
        if (MyDNS::IsReplyTo(query.data(), query.size(), buffer, static_cast<size_t>(n)))
            return n;
    }
}

// A fresh ID for every query, from the kernel's generator, so that a forger who
// cannot see the query has to guess it (RFC 5452). The bytes are drawn for many
// queries at once. Never waits: before the generator is ready, early at boot, the
// query fails and the next cycle tries again.
bool DrawId(uint16_t& id) {
    thread_local unsigned char bytes[64];  // per thread: a test thread draws its own
    thread_local size_t used = sizeof bytes;
    if (used == sizeof bytes) {
        ssize_t n;
        do {
            n = getrandom(bytes, sizeof bytes, GRND_NONBLOCK);
        } while (n < 0 && errno == EINTR && !Wait::CycleEnds());
        if (n != static_cast<ssize_t>(sizeof bytes))
            return false;
        used = 0;
    }
    id = static_cast<uint16_t>(Get16(bytes + used));
    used += 2;
    return true;
}

// Adds the log lines and the texts of the answers of the asked type.
void CollectAnswers(const std::vector<DnsAnswer>& answers, int type, std::vector<std::string>& out,
                    bool verbose) {
    for (const DnsAnswer& answer : answers) {
        Trace("Answer RRType: ", verbose);
        if (answer.type == MyDNS::typeA && type == MyDNS::typeA) {
            Trace("Parsing A answer.", verbose);
            out.push_back(MyDNS::AnswerText(answer));
            Trace("Parsed A answer.", verbose);
        }
        if (answer.type == MyDNS::typeAAAA && type == MyDNS::typeAAAA) {
            Trace("Parsing AAAA answer.", verbose);
            out.push_back(MyDNS::AnswerText(answer));
            Trace("Parsed AAAA answer.", verbose);
        }
        Trace("Parsed Answer.", verbose);
    }
}

// Steps from the socket to the walked reply; the socket closes when this returns.
bool Query(int type, const std::string& host, const std::string& address, int port,
           std::vector<std::string>& out, bool verbose) {
    Trace("Performing DNS query.", verbose);
    FileDescriptor sock = Socket::Open(AF_INET, SOCK_DGRAM, verbose);
    if (!sock.ok()) {
        Trace("Socket could not be created.", verbose);
        return false;
    }
    Trace("Creating destination socket.", verbose);
    sockaddr_in server;
    std::memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    Trace("Applying destination socket address.", verbose);
    if (inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1) {
        Trace("Destination socket could not be created.", verbose);
        return false;
    }
    Trace("Applying destination socket port.", verbose);
    server.sin_port = htons(static_cast<uint16_t>(port));

    std::vector<unsigned char> buffer(MyDNS::bufferSize);
    Trace("Creating DNS packet.", verbose);
    uint16_t id = 0;
    if (!DrawId(id)) {
        Trace("Random query ID could not be drawn.", verbose);
        return false;
    }
    Trace("Creating DNS question.", verbose);
    if (const char* fault = MyDNS::HostNameFault(host)) {
        Trace(fault, verbose);
        return false;
    }
    size_t queryLength = MyDNS::BuildQuery(buffer.data(), host, type, id);
    // The reply overwrites the buffer; its question is compared with this copy.
    const std::vector<unsigned char> query(buffer.begin(), buffer.begin() + queryLength);
    Trace("Sending DNS question.", verbose);
    if (!SendQuery(sock.get(), query.data(), query.size(), server))
        return false;
    Trace("Receiving DNS answer.", verbose);
    ssize_t received = ReceiveReply(sock.get(), buffer.data(), query);
    if (received < 0)
        return false;

    std::vector<DnsAnswer> answers;
    int ancount = 0;
    if (!MyDNS::ParseAnswers(buffer.data(), static_cast<size_t>(received), answers, &ancount)) {
        Trace("DNS answer is too short to hold its question.", verbose);
        return false;
    }
    Trace("Parsing " + MyString::MakeString(ancount) + " DNS answers.", verbose);
    CollectAnswers(answers, type, out, verbose);
    Trace("Parsed " + MyString::MakeString(ancount) + " DNS answers.", verbose);
    return true;
}

// The server given, or else the resolver that host names are resolved at.
std::string ServerToAsk(const std::string& nameServer) {
    return nameServer.empty() ? Provider::Resolver() : nameServer;
}

std::string FirstAddress(int type, std::string host, std::string nameServer, bool verbose) {
    try {
        nameServer = ServerToAsk(nameServer);
        Trace("Name Server: " + nameServer, verbose);
        std::vector<std::string> found;
        if (MyDNS::GetIPAddresses(type, host, nameServer, found, verbose) && !found.empty())
            return found.front();
    } catch (...) {
    }
    return "";
}

}  // namespace

void MyDNS::changetoDnsNameFormat(unsigned char* dns, unsigned char* host) {
    char* name = reinterpret_cast<char*>(host);
    std::strcat(name, ".");
    size_t lock = 0;
    for (size_t i = 0; i < std::strlen(name); ++i) {
        if (host[i] != '.')
            continue;
        *dns++ = static_cast<unsigned char>((i - lock) & 0xff);
        for (; lock < i; ++lock)
            *dns++ = host[lock];
        lock = i + 1;
    }
    *dns = 0;
}

std::unique_ptr<unsigned char[]> MyDNS::readName(const unsigned char* reader,
                                                 const unsigned char* buffer, size_t length,
                                                 int* count) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t at = reinterpret_cast<uintptr_t>(reader);
    if (buffer == nullptr || at < start || at - start >= length)
        return nullptr;
    size_t pos = at - start;

    std::unique_ptr<unsigned char[]> name(new unsigned char[maxNameLength + 1]());
    size_t p = 0;
    int wire = 1;
    int jumps = 0;
    for (;;) {
        if (pos >= length)
            return nullptr;
        unsigned char byte = buffer[pos];
        if (byte == 0)
            break;
        if ((byte & compressionMarker) == compressionMarker) {
            if (pos + 1 >= length || ++jumps > maxJumps)
                return nullptr;
            pos = ((static_cast<size_t>(byte) << 8) | buffer[pos + 1]) & compressionMask;
            continue;
        }
        if (p >= maxNameLength)
            return nullptr;
        name[p++] = byte;
        ++pos;
        if (jumps == 0)
            ++wire;
    }
    if (jumps > 0)
        ++wire;

    // Label form to dotted text, in place: each length byte becomes the dot after its label.
    size_t i = 0;
    while (i < p) {
        size_t n = name[i];
        if (n > p - i - 1)
            n = p - i - 1;  // a label may not run past the name
        std::memmove(&name[i], &name[i + 1], n);
        i += n;
        name[i++] = '.';
    }
    if (p > 0)
        name[p - 1] = 0;
    *count = wire;
    return name;
}

const char* MyDNS::HostNameFault(const std::string& host) {
    if (host.empty())
        return "Host name is empty.";
    if (host.size() > maxHostLength)
        return "Host name is longer than 253 bytes.";
    size_t label = 0;
    for (char c : host) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (!MyString::IsHostNameByte(byte))
            return "Host name holds a byte outside printable ASCII.";
        if (byte != '.') {
            if (++label > maxLabelLength)
                return "Host name has a label longer than 63 bytes.";
            continue;
        }
        if (label == 0)
            return "Host name has an empty label.";
        label = 0;
    }
    return label == 0 ? "Host name has an empty label." : nullptr;
}

size_t MyDNS::BuildQuery(unsigned char* buffer, const std::string& host, int type, uint16_t id) {
    if (HostNameFault(host) != nullptr)
        return 0;
    std::memset(buffer, 0, headerSize);
    Put16(buffer, id);
    buffer[2] = 0x01;  // a standard query, recursion desired
    buffer[3] = 0x00;
    Put16(buffer + 4, 1);

    // Room for the name, the dot the encoder appends and the terminating zero.
    unsigned char work[maxNameLength + 2] = {};
    std::memcpy(work, host.data(), host.size());
    changetoDnsNameFormat(buffer + headerSize, work);

    size_t nameLength = std::strlen(reinterpret_cast<char*>(buffer + headerSize));
    unsigned char* info = buffer + headerSize + nameLength + 1;
    Put16(info, static_cast<unsigned>(type) & 0xffff);
    Put16(info + 2, 1);
    return headerSize + nameLength + 1 + questionInfoSize;
}

bool MyDNS::IsReplyTo(const unsigned char* query, size_t queryLength, const unsigned char* reply,
                      size_t replyLength) {
    if (query == nullptr || reply == nullptr || queryLength <= headerSize + questionInfoSize ||
        replyLength < headerSize)
        return false;
    if (Get16(reply) != Get16(query) || (reply[2] & 0x80) == 0)
        return false;
    if (Get16(reply + 6) == 0)
        return true;  // nothing in it to be misled by
    if (Get16(reply + 4) != 1 || replyLength < queryLength)
        return false;
    // Length bytes are below 64, so folding letters never makes one equal to a letter.
    const size_t nameEnd = queryLength - questionInfoSize;
    for (size_t i = headerSize; i < nameEnd; ++i) {
        if (AsciiLower(reply[i]) != AsciiLower(query[i]))
            return false;
    }
    return std::memcmp(reply + nameEnd, query + nameEnd, questionInfoSize) == 0;
}

bool MyDNS::ParseAnswers(const unsigned char* buffer, size_t length,
                         std::vector<DnsAnswer>& answers, int* ancount) {
    answers.clear();
    *ancount = 0;
    if (buffer == nullptr || length < headerSize)
        return false;
    *ancount = static_cast<int>(Get16(buffer + 6));
    if (*ancount == 0)
        return true;  // a bare header says "no answers" as well as one with its question

    // One question with an uncompressed name is assumed; the answers follow it.
    const void* zero = std::memchr(buffer + headerSize, 0, length - headerSize);
    if (zero == nullptr)
        return false;
    size_t pos = static_cast<size_t>(static_cast<const unsigned char*>(zero) - buffer) + 1 +
                 questionInfoSize;
    if (pos > length)
        return false;

    for (int i = 0; i < *ancount && i < maxAnswers; ++i) {
        DnsAnswer answer;
        int used = 0;
        std::unique_ptr<unsigned char[]> owner = readName(buffer + pos, buffer, length, &used);
        if (!owner)
            break;
        answer.name = reinterpret_cast<char*>(owner.get());
        pos += static_cast<size_t>(used);
        if (length - pos < recordInfoSize)
            break;
        answer.type = static_cast<int>(Get16(buffer + pos));
        size_t rdlength = Get16(buffer + pos + 8);
        pos += recordInfoSize;
        if (length - pos < rdlength)
            break;
        if (answer.type == typeA || answer.type == typeAAAA) {
            if (rdlength != (answer.type == typeA ? 4u : 16u))
                break;
            answer.rdata.assign(reinterpret_cast<const char*>(buffer + pos), rdlength);
            pos += rdlength;
        } else {
            // Read as a name, as a CNAME's target is; but step over RDLENGTH bytes, so
            // that a record of another kind (TXT, MX, ...) cannot derail the walk.
            std::unique_ptr<unsigned char[]> data = readName(buffer + pos, buffer, length, &used);
            if (data)
                answer.rdata = reinterpret_cast<char*>(data.get());
            pos += rdlength;
        }
        answers.push_back(std::move(answer));
    }
    return true;
}

std::string MyDNS::AnswerText(const DnsAnswer& answer) {
    char text[INET6_ADDRSTRLEN] = {};
    if (answer.type == typeA && answer.rdata.size() == 4)
        return inet_ntop(AF_INET, answer.rdata.data(), text, sizeof text) ? text : "";
    if (answer.type == typeAAAA && answer.rdata.size() == 16)
        return inet_ntop(AF_INET6, answer.rdata.data(), text, sizeof text) ? text : "";
    return "";
}

bool MyDNS::GetIPAddresses(int type, std::string host, std::string nameServer,
                           std::vector<std::string>& out, bool verbose) {
    out.clear();
    try {
        nameServer = ServerToAsk(nameServer);
        std::string serverHost;
        int port = defaultPort;
        std::string address;
        // A stop never waits for a lookup or a query that has not begun.
        if (Wait::CycleEnds())
            return false;
        in_addr literal;
        if (SplitServer(nameServer, serverHost, port) && !serverHost.empty())
            address = inet_pton(AF_INET, serverHost.c_str(), &literal) == 1
                          ? serverHost  // an address needs no lookup
                          : GetHostByName(serverHost);
        Trace("Name Server IP Address: " + address, verbose);
        Trace("RRType: " + MyString::MakeString(type), verbose);
        if (address.empty() || Wait::CycleEnds())
            return false;
        if (!Query(type, host, address, port, out, verbose))
            return false;
    } catch (const std::exception&) {
        Trace("Exception: ", verbose);
        return false;
    } catch (...) {
        return false;
    }
    Trace("Completed DNS query.", verbose);
    return true;
}

std::string MyDNS::GetIPv4Address(std::string host, std::string nameServer, bool verbose) {
    return FirstAddress(typeA, std::move(host), std::move(nameServer), verbose);
}

std::string MyDNS::GetIPv6Address(std::string host, std::string nameServer, bool verbose) {
    return FirstAddress(typeAAAA, std::move(host), std::move(nameServer), verbose);
}

std::string MyDNS::GetHostByName(std::string name) {
    hostent* entry = gethostbyname(name.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr)
        return "";
    in_addr address;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return inet_ntoa(address);
}
