// Builds the DNS client's query from any host name: a name that can be asked for must
// come back from the query's question unchanged, and anything else must be refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MyDNS.h"

namespace {

// The rule, written apart from the client's: dot-separated labels of 1 to 63 bytes
// of printable ASCII, at most 253 bytes in all.
bool CanBeAsked(const std::string& host) {
    if (host.empty() || host.size() > 253)
        return false;
    size_t start = 0;
    for (;;) {
        size_t dot = host.find('.', start);
        size_t end = dot == std::string::npos ? host.size() : dot;
        if (end == start || end - start > 63)
            return false;
        for (size_t i = start; i < end; ++i) {
            if (host[i] < 0x21 || host[i] > 0x7e)
                return false;
        }
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

void Require(bool holds) {
    if (!holds)
        std::abort();
}

char OtherCase(char c) {
    if (c >= 'a' && c <= 'z')
        return static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<unsigned char> buffer(MyDNS::bufferSize);
    const std::string host(reinterpret_cast<const char*>(data), size);
    const int type = size % 2 == 0 ? MyDNS::typeA : MyDNS::typeAAAA;
    const size_t length = MyDNS::BuildQuery(buffer.data(), host, type, 0x5eed);
    const bool refused = MyDNS::HostNameFault(host) != nullptr;
    Require(refused == (length == 0));
    Require(refused != CanBeAsked(host));
    if (refused)
        return 0;

    // The question names exactly the host, and the query ends with its type and class.
    Require(length == MyDNS::headerSize + host.size() + 2 + 4);
    int count = 0;
    auto name = MyDNS::readName(buffer.data() + MyDNS::headerSize, buffer.data(), length, &count);
    Require(name != nullptr && count == static_cast<int>(host.size()) + 2);
    Require(host == reinterpret_cast<const char*>(name.get()));
    const unsigned char info[] = {0, static_cast<unsigned char>(type), 0, 1};
    Require(std::memcmp(buffer.data() + length - 4, info, 4) == 0);

    // The question echoed with an answer, its letters in the other case, is a reply to it.
    std::vector<unsigned char> reply(buffer.begin(), buffer.begin() + length);
    reply[2] |= 0x80;
    reply[7] = 1;
    for (size_t i = MyDNS::headerSize; i < length - 4; ++i)
        reply[i] = static_cast<unsigned char>(OtherCase(static_cast<char>(reply[i])));
    Require(MyDNS::IsReplyTo(buffer.data(), length, reply.data(), reply.size()));
    return 0;
}
