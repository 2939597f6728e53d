// Forced check cycles of the engine, through its network seam, with address-check pages
// that answer arbitrary bytes and an arbitrary update template and location. The request
// the HTTP client would send for the update must stay one request: no line end but the
// header's own, so no second request line. No I/O.
//
// Input: one byte of flags (IPv4 on, IPv6 on, port 8245 of the IPv4 page fails, of the
// IPv6 page), then the IPv4 page, the IPv6 page, the update template (the built-in one when
// empty) and the location, separated by zero bytes.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "MyHTTP.h"
#include "MyIPUpdate.h"
#include "MyString.h"

namespace {

const int primaryPort = 8245;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool IsSendable(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const unsigned char byte = static_cast<unsigned char>(c);
        return byte < 0x21 || byte == 0x7f;
    });
}

bool IsAddress(int family, const std::string& text) {
    unsigned char parsed[sizeof(in6_addr)];
    return text.find('\0') == std::string::npos && inet_pton(family, text.c_str(), parsed) == 1;
}

// The request GetUrl would send for `url`: the request line, User-Agent, Host and, with
// credentials, Authorization, each ended by CR LF, then the empty line; nothing else.
void CheckRequest(const std::string& url, const std::string& credentials) {
    std::string host, target, request, error;
    if (!MyHTTP::PrepareRequest(url, credentials, host, target, request, error, false)) {
        Check(error == "Invalid URL." || error == "Request too long.");
        return;
    }
    Check(IsSendable(host) && IsSendable(target) && target[0] == '/');
    const std::string head =
        "GET " + target + " HTTP/1.1\r\nUser-Agent: Zelmar.Linux\r\nHost: " + host + "\r\n";
    const std::string authorization =
        credentials.empty()
            ? ""
            : "Authorization: Basic " + MyString::Base64Encode(credentials) + "\r\n";
    Check(request == head + authorization + "\r\n");
    const size_t lines = credentials.empty() ? 4 : 5;
    Check(static_cast<size_t>(std::count(request.begin(), request.end(), '\r')) == lines);
    Check(static_cast<size_t>(std::count(request.begin(), request.end(), '\n')) == lines);
    Check(request.find(" HTTP/") == request.find("\r\n") - 9);
    Check(request.find(" HTTP/", request.find("\r\n")) == std::string::npos);
}

std::vector<std::string> Split(const std::string& text, size_t parts) {
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < parts) {
        const size_t end = text.find('\0', start);
        if (end == std::string::npos)
            break;
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    out.push_back(start <= text.size() ? text.substr(start) : "");
    out.resize(parts);
    return out;
}

struct Call {
    std::string url;
    int port;
    bool ok;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const unsigned flags = data[0];
    const std::vector<std::string> parts =
        Split(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), 4);

    MyIPUpdate engine;
    engine.username = "alice";
    engine.password = "secret";
    engine.quiet = true;  // no log file
    engine.ipv4Enabled = (flags & 1) != 0;
    engine.ipv6Enabled = (flags & 2) != 0;
    if (!parts[2].empty())
        engine.updateUrl = parts[2];
    engine.location = parts[3];

    std::vector<Call> pages;
    int updates = 0;
    engine.fetchUrl = [&](std::string url, int port, std::string credentials, std::string& body,
                          std::string& error, bool) {
        if (!credentials.empty()) {  // only the update carries credentials
            ++updates;
            CheckRequest(url, credentials);
            return false;
        }
        const bool ipv4 = url == engine.ipv4CheckUrl;
        const bool ok = port != primaryPort || (flags & (ipv4 ? 4u : 8u)) == 0;
        pages.push_back({url, port, ok});
        if (!ok) {
            error = "Error connecting.";
            return false;
        }
        body = ipv4 ? parts[0] : parts[1];
        return true;
    };
    engine.askNameServer = [](int, std::string, std::string, std::vector<std::string>&, bool) {
        Check(false);  // a forced cycle never asks the name server
        return false;
    };

    engine.CheckIP(true);
    // An update is sent on 8245 and, as it fails here, again on 80.
    Check(updates == ((engine.ipv4Enabled || engine.ipv6Enabled) ? 2 : 0));
    // Port 80 is asked only after port 8245 failed as an exchange.
    for (size_t i = 0; i < pages.size(); ++i)
        Check(pages[i].port == primaryPort ||
              (i > 0 && pages[i - 1].url == pages[i].url && !pages[i - 1].ok));

    const std::string ipv4 = engine.GetIPv4Address();
    const std::string ipv6 = engine.GetIPv6Address();
    Check(ipv4.empty() || IsAddress(AF_INET, ipv4));
    Check(ipv6.empty() || IsAddress(AF_INET6, ipv6));
    return 0;
}
