// Builds the DNS client's query from any host name: a name that can be asked for must
// come back from the query's question unchanged, and anything else must be refused.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "MyDNS.h"
#include "Outcome.h"

namespace dns_query_fuzz {

using fuzzing::Require;

// The rule, written apart from the client's: dot-separated labels of 1 to 63 bytes
// of printable ASCII, at most 253 bytes in all.
bool CanBeAsked(const std::string& host) {
    size_t start = 0, dot = 0;
    for (; host.size() <= 253 && dot != std::string::npos; start = dot + 1) {
        dot = host.find('.', start);
        const size_t end = dot == std::string::npos ? host.size() : dot;
        for (size_t i = start; i < end; ++i)
            if (host[i] < 0x21 || host[i] > 0x7e)
                return false;
        if (end == start || end - start > 63)
            return false;
    }
    return host.size() <= 253;
}

// The refusal's reason, or the query's bytes: type A for a name of even length, AAAA for
// one of odd length, ID 0x5eed.
std::string Outcome(const std::string& host) {
    static std::vector<unsigned char> buffer(MyDNS::bufferSize);
    const int type = host.size() % 2 == 0 ? MyDNS::typeA : MyDNS::typeAAAA;
    const size_t length = MyDNS::BuildQuery(buffer.data(), host, type, 0x5eed);
    const char* fault = MyDNS::HostNameFault(host);
    Require((fault != nullptr) == (length == 0) && (fault != nullptr) != CanBeAsked(host));
    if (fault)
        return fault;

    // The question names exactly the host, and the query ends with its type and class.
    int count = 0;
    auto name = MyDNS::readName(buffer.data() + MyDNS::headerSize, buffer.data(), length, &count);
    Require(name != nullptr && length == MyDNS::headerSize + static_cast<size_t>(count) + 4);
    Require(host == reinterpret_cast<const char*>(name.get()));
    const unsigned char info[] = {0, static_cast<unsigned char>(type), 0, 1};
    Require(std::memcmp(buffer.data() + length - 4, info, 4) == 0);

    return "query " + fuzzing::Quoted(std::string(buffer.begin(), buffer.begin() + length));
}

}  // namespace dns_query_fuzz

#ifndef DODODUZOD_REPLAY  // a test replays the corpus through Outcome instead
FUZZ_ENTRY_FOR(dns_query_fuzz::Outcome)
#endif
