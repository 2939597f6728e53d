#include "Codec.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "EngineSeam.h"
#include "MyDNS.h"
#include "MyHTTP.h"
#include "MyIPUpdate.h"

namespace codec {
namespace {

// The rule's name while it is broken, else nothing.
std::string Rule(bool holds, const char* rule) {
    return holds ? "" : rule;
}

// The rule of names that can be asked for, written apart from the client's.
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

}  // namespace

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string Text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

void Hold(const std::string& broken) {
    if (broken.empty())
        return;
    std::fprintf(stderr, "broken rule: %s\n", broken.c_str());
    std::abort();
}

Query BuildQuery(const std::string& host) {
    Query q;
    unsigned char buffer[MyDNS::bufferSize];
    const int type = host.size() % 2 == 0 ? MyDNS::typeA : MyDNS::typeAAAA;
    const size_t length = MyDNS::BuildQuery(buffer, host, type, 0x5eed);
    const char* fault = MyDNS::HostNameFault(host);
    q.broken = Rule((fault != nullptr) == (length == 0) && (fault != nullptr) != CanBeAsked(host),
                    "a name is refused exactly when it cannot be asked for");
    if (fault != nullptr || !q.broken.empty()) {
        q.refusal = fault ? fault : "";
        return q;
    }
    q.bytes.assign(reinterpret_cast<char*>(buffer), length);
    int count = 0;
    auto name = MyDNS::readName(buffer + MyDNS::headerSize, buffer, length, &count);
    const unsigned char info[] = {0, static_cast<unsigned char>(type), 0, 1};
    q.broken = Rule(name != nullptr && host == reinterpret_cast<const char*>(name.get()) &&
                        length == MyDNS::headerSize + static_cast<size_t>(count) + 4 &&
                        std::memcmp(buffer + length - 4, info, 4) == 0,
                    "the question is the host, its type and class IN");
    return q;
}

Reply ReadReply(const Bytes& bytes) {
    static unsigned char query[MyDNS::bufferSize];
    static const size_t queryLength = MyDNS::BuildQuery(query, "host.example", 1, 0x1234);
    Reply r;
    // Exactly sized, so that any read past the reply is an AddressSanitizer error.
    const std::unique_ptr<unsigned char[]> m(new unsigned char[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), m.get());
    r.reply = MyDNS::IsReplyTo(query, queryLength, m.get(), bytes.size());
    std::vector<DnsAnswer> answers;
    int ancount = 0;
    r.walked = MyDNS::ParseAnswers(m.get(), bytes.size(), answers, &ancount);
    for (const DnsAnswer& a : answers)
        r.answers.push_back(a.name + " " + std::to_string(a.type) + " " +
                            (a.type == 1 || a.type == 28 ? MyDNS::AnswerText(a) : a.rdata));
    return r;
}

Response ReadResponse(const std::string& bytes) {
    Response r;
    const char* data = bytes.data();
    r.complete = MyHTTP::IsComplete(data, bytes.size());
    r.broken = Rule(!MyHTTP::IsComplete(data, bytes.size() / 2) || r.complete,
                    "a response complete at half its bytes is complete whole");
    r.body = "unset";
    if (!MyHTTP::ExtractBody(data, bytes.size(), r.body, r.error)) {
        r.broken += Rule(r.body == "unset" && r.error == "Error parsing response.",
                         "a failure sets the error and leaves the body");
        r.body.clear();
        return r;
    }
    const std::string text(data, strnlen(data, bytes.size()));
    const size_t start = text.find("\r\n\r\n");
    r.broken += Rule(r.error.empty() && start != std::string::npos &&
                         text.compare(start + 4, r.body.size(), r.body) == 0,
                     "the body follows the first empty line, before any zero byte");
    return r;
}

Request PrepareRequest(const std::string& url, const std::string& credentials) {
    Request r;
    r.split = MyHTTP::SplitUrl(url, r.host, r.target);
    r.broken = Rule(r.host.find('/') == std::string::npos && (!r.split || r.target[0] == '/'),
                    "the host holds no '/', the target starts with one");
    std::string host, target;
    if (!MyHTTP::PrepareRequest(url, credentials, host, target, r.request, r.error, false))
        return r;
    const std::string auth = "\r\nAuthorization: Basic ";
    const size_t at = r.request.size() - 4 - (credentials.size() + 2) / 3 * 4 - auth.size();
    r.broken += Rule(r.request.rfind(auth) == (credentials.empty() ? std::string::npos : at),
                     "credentials go out only as the last header");
    const std::string sent = host + target;
    r.broken += Rule(
        std::all_of(sent.begin(), sent.end(), [](unsigned char c) { return c > 32 && c != 127; }),
        "nothing below 0x21 nor DEL in the target and host");
    return r;
}

Outcome RunCycle(const Cycle& cycle) {
    seam::Seam seam;
    MyIPUpdate e;
    seam.Install(e, "");
    e.quiet = true;
    e.ipv4Enabled = cycle.ipv4;
    e.ipv6Enabled = cycle.ipv6;
    e.updateUrl = cycle.updateUrl.empty() ? e.updateUrl : cycle.updateUrl;
    e.location = cycle.location;
    seam.s.page4 = cycle.page4;
    seam.s.page6 = cycle.page6;
    seam.s.reply = "";  // changes nothing
    seam.s.failing = cycle.failing;
    e.CheckIP(true);

    Outcome o{"", "", "nothing", "no update", ""};
    for (size_t i = 0; i < seam.calls.size(); ++i) {
        const std::string& call = seam.calls[i];
        o.broken += Rule(seam.FellBack(i) && call[0] != 'A', "no port 80 but after 8245 failed");
        const std::string url = call.substr(call.find(' ') + 1);
        const char* what = url == seam::kCheck4   ? "IPv4 page"
                           : url == seam::kCheck6 ? "IPv6 page"
                                                  : "update";
        if (url != seam::kCheck4 && url != seam::kCheck6) {  // the update, credentials last
            const Request r =
                PrepareRequest(url.substr(0, url.rfind(' ')), url.substr(url.rfind(' ') + 1));
            o.broken += r.broken;
            o.sent = r.error.empty() ? r.target + " to " + r.host : r.error;
        }
        o.asked = (i > 0 ? o.asked + ", " : "") + what + " on " + call.substr(0, call.find(' '));
    }
    o.ipv4 = e.GetIPv4Address();  // asked again, after the cycle
    o.ipv6 = e.GetIPv6Address();
    for (const auto& [family, address] :
         {std::pair(AF_INET, o.ipv4), std::pair(AF_INET6, o.ipv6)}) {
        unsigned char parsed[sizeof(in6_addr)];
        o.broken += Rule(address.empty() || (address.find('\0') == std::string::npos &&
                                             inet_pton(family, address.c_str(), parsed) == 1),
                         "an address taken is one of the page's family");
    }
    return o;
}

}  // namespace codec
