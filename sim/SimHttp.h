// The simulated provider's web service: request parsing and the answers.
#ifndef DODODUZOD_SIM_HTTP_H
#define DODODUZOD_SIM_HTTP_H

#include <ctime>
#include <string>

#include "SimState.h"

namespace sim {

struct HttpRequest {
    std::string method;
    std::string target;         // path and query, as sent
    std::string path;           // the target up to its '?'
    std::string authorization;  // the Basic credentials token; empty when absent
};

enum { maxHeadBytes = 8192 };

// Bytes of the request head in `data`, its blank line included; 0 while incomplete.
size_t HeadLength(const std::string& data);
// False when the head does not start with "METHOD /target HTTP/x".
bool ParseRequest(const std::string& head, HttpRequest& request);
// The value of `key` in the query of `target`, the first one when it repeats;
// empty when absent.
std::string QueryValue(const std::string& target, const std::string& key);

struct HttpAnswer {
    int code = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::string log;  // "TARGET [user=NAME] -> CODE WHAT"
};

// Answers one request head that came over IPv4 or IPv6 from `peer`, an address
// text. Updates change `state`.
HttpAnswer Answer(State& state, const std::string& head, bool overIPv6, const std::string& peer,
                  time_t now);
// For a client whose head never comes (408) or does not fit (400); `why` in words.
HttpAnswer Refusal(int code, const std::string& why);
// The whole response: status line, headers, body.
std::string Render(const HttpAnswer& answer);

// 16 hexadecimal digits from the clock and a counter.
std::string ResponseId(uint64_t counter, time_t now);
// The update reply; an empty address is written as null.
std::string UpdateReply(const std::string& responseId, const std::string& status,
                        const std::string& ipv4, const std::string& ipv6);

}  // namespace sim

#endif
