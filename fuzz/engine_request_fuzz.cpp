// Forced check cycles of the engine behind the tests' scripted provider (EngineSeam.h), with
// address-check pages that answer arbitrary bytes and an arbitrary update template and
// location. The update request the HTTP client would send must stay one request: nothing in
// its target or host below 0x21, so no line end of its own and no second request line. Port
// 80 is asked only right after the same question failed on 8245, a forced cycle never asks
// the name server, and an address taken is one of the page's family. No I/O.
//
// Input: one byte of flags (1 IPv4 on, 2 IPv6 on; port 8245 fails for 4 the IPv4 page, 8 the
// IPv6 page, 16 the update; 32 the rest is one page that both checks answer), then the IPv4
// page, the IPv6 page, the update template (the built-in one when empty) and the location,
// separated by zero bytes. The update is answered empty, which changes nothing.
//
// Outcome: the address taken from the IPv4 and from the IPv6 page, the cycle's questions
// (which page or the update, on which port), then the update request's target and host as
// the client would send them, or its refusal.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "EngineSeam.h"
#include "MyHTTP.h"
#include "MyIPUpdate.h"
#include "Outcome.h"

namespace engine_request_fuzz {

using fuzzing::Quoted;
using fuzzing::Require;

// What the HTTP client makes of the update: the account's GET, with no byte below 0x21 nor
// DEL in its target and host; or its refusal.
std::string Request(const std::string& url, const std::string& credentials) {
    std::string host, target, request, error;
    if (!MyHTTP::PrepareRequest(url, credentials, host, target, request, error, false)) {
        Require(error == "Invalid URL." || error == "Request too long.");
        return error;
    }
    const std::string sent = host + target;
    Require(
        std::all_of(sent.begin(), sent.end(), [](unsigned char c) { return c > 32 && c != 127; }));
    Require(target[0] == '/' && request == wire::Get(target, host, true));
    return "sends " + Quoted(target) + " to " + Quoted(host);
}

std::string Outcome(const std::string& input) {
    const unsigned flags = input.empty() ? 0 : static_cast<unsigned char>(input[0]);
    const std::string rest = input.substr(input.empty() ? 0 : 1);
    std::vector<std::string> parts = {rest, rest, "", ""};
    std::istringstream in(rest);
    for (size_t i = 0; i < parts.size() && (flags & 32) == 0; ++i)
        if (!std::getline(in, parts[i], '\0'))
            parts[i].clear();
    seam::Seam seam;
    MyIPUpdate e;
    seam.Install(e, "");
    e.quiet = true;
    e.ipv4Enabled = (flags & 1) != 0;
    e.ipv6Enabled = (flags & 2) != 0;
    e.updateUrl = parts[2].empty() ? e.updateUrl : parts[2];
    e.location = parts[3];
    seam.s = {parts[0], parts[1], "", "", {}, {}, {}};
    const std::string failing[] = {seam::P4, seam::P6, "8245 http://api."};
    for (unsigned bit = 0; bit < 3; ++bit)
        if (flags & (4u << bit))
            seam.s.failing.push_back(failing[bit]);
    e.CheckIP(true);

    std::string asked = "nothing", sent = "no update";
    for (size_t i = 0; i < seam.calls.size(); ++i) {
        const std::string& call = seam.calls[i];
        Require(seam.FellBack(i) && call[0] != 'A');  // no name server in a forced cycle
        const std::string url = call.substr(call.find(' ') + 1);
        const char* what = url == seam::kCheck4   ? "IPv4 page"
                           : url == seam::kCheck6 ? "IPv6 page"
                                                  : "update";
        if (url != seam::kCheck4 && url != seam::kCheck6)  // the update, credentials last
            sent = Request(url.substr(0, url.rfind(' ')), url.substr(url.rfind(' ') + 1));
        asked = (i > 0 ? asked + ", " : "") + what + " on " + call.substr(0, call.find(' '));
    }
    const std::string ipv4 = e.GetIPv4Address(), ipv6 = e.GetIPv6Address();
    for (const auto& [family, address] : {std::pair(AF_INET, ipv4), std::pair(AF_INET6, ipv6)}) {
        unsigned char parsed[sizeof(in6_addr)];  // an address taken is one of the page's family
        Require(address.empty() || (address.find('\0') == std::string::npos &&
                                    inet_pton(family, address.c_str(), parsed) == 1));
    }
    return "IPv4 " + Quoted(ipv4) + ", IPv6 " + Quoted(ipv6) + "; asks " + asked + "; " + sent;
}

}  // namespace engine_request_fuzz

#ifndef DODODUZOD_REPLAY  // a test replays the corpus through Outcome instead
FUZZ_ENTRY_FOR(engine_request_fuzz::Outcome)
#endif
