#include "SimHttp.h"

#include <cstdio>

namespace sim {
namespace {

const char* Reason(int code) {
    switch (code) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        default:
            return "Internal Server Error";
    }
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
}

HttpAnswer Plain(int code, const std::string& body, const std::string& log) {
    HttpAnswer a;
    a.code = code;
    a.body = body;
    a.log = log;
    return a;
}

std::string UserField(const std::string& user) {
    return " user=" + (user.empty() ? std::string("-") : Printable(user));
}

std::string Json(const std::string& address) {
    return address.empty() ? "null" : "\"" + address + "\"";
}

HttpAnswer ClientUpdate(State& state, const HttpRequest& r, time_t now) {
    std::string status = "Bad Authentication";
    const Host* held = nullptr;
    Account* account =
        state.faults.status.empty() ? state.accounts.Authenticate(r.authorization) : nullptr;
    if (!state.faults.status.empty())
        status = state.faults.status;
    if (account != nullptr) {
        switch (Accounts::Update(*account, QueryValue(r.target, "location"),
                                 QueryValue(r.target, "myipv4"), QueryValue(r.target, "myipv6"),
                                 &held)) {
            case Outcome::good:
                status = "Good";
                break;
            case Outcome::noChange:
                status = "No Change";
                break;
            case Outcome::badLocation:
                status = "Invalid Location";
                break;
        }
    }
    std::string id = ResponseId(++state.updates, now);
    HttpAnswer a = Plain(200, "",
                         Printable(r.target) + UserField(ClaimedUser(r.authorization)) +
                             " -> 200 " + Printable(status));
    a.contentType = "application/json";
    a.body = UpdateReply(id, status, held ? held->ipv4 : "", held ? held->ipv6 : "");
    return a;
}

HttpAnswer LocationCheck(State& state, const HttpRequest& r) {
    const Account* account = state.accounts.Authenticate(r.authorization);
    bool known =
        account != nullptr && Accounts::HasLocation(*account, QueryValue(r.target, "location"));
    std::string body = known ? "true" : "false";
    return Plain(200, body,
                 Printable(r.target) + UserField(ClaimedUser(r.authorization)) + " -> 200 " + body);
}

}  // namespace

size_t HeadLength(const std::string& data) {
    size_t crlf = data.find("\r\n\r\n");
    size_t lf = data.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf))
        return crlf + 4;
    return lf == std::string::npos ? 0 : lf + 2;
}

bool ParseRequest(const std::string& head, HttpRequest& request) {
    size_t end = head.find('\n');
    std::string line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (first == 0 || second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0 ||
        line.find(' ', second + 1) != std::string::npos)
        return false;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    if (request.target.empty() || request.target[0] != '/')
        return false;
    request.path = request.target.substr(0, request.target.find('?'));
    request.authorization.clear();
    while (end != std::string::npos) {
        size_t next = head.find('\n', end + 1);
        std::string header = head.substr(end + 1, next - end - 1);
        end = next;
        size_t colon = header.find(':');
        if (colon == std::string::npos || Lower(header.substr(0, colon)) != "authorization")
            continue;
        std::string value = Trim(header.substr(colon + 1));
        if (Lower(value.substr(0, 6)) == "basic ")
            request.authorization = Trim(value.substr(6));
    }
    return true;
}

std::string QueryValue(const std::string& target, const std::string& key) {
    size_t question = target.find('?');
    if (question == std::string::npos)
        return "";
    std::string query = target.substr(question + 1);
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        if (amp == std::string::npos)
            amp = query.size();
        std::string pair = query.substr(start, amp - start);
        if (pair.compare(0, key.size() + 1, key + "=") == 0)
            return pair.substr(key.size() + 1);
        start = amp + 1;
    }
    return "";
}

HttpAnswer Answer(State& state, const std::string& head, bool overIPv6, const std::string& peer,
                  time_t now) {
    HttpRequest r;
    if (!ParseRequest(head, r))
        return Refusal(400, "bad request");
    if (r.method != "GET")
        return Plain(405, "GET only\n", Printable(r.target) + " -> 405 Method Not Allowed");
    if (r.path == "/ipcheck.asp") {
        std::string body = "ip" + (overIPv6 ? state.publicIPv6 : state.publicIPv4).value_or(peer);
        return Plain(200, body, Printable(r.target) + " -> 200 " + Printable(body));
    }
    if (r.path == "/nic/clientupdate")
        return ClientUpdate(state, r, now);
    if (r.path == "/nic/locationcheck")
        return LocationCheck(state, r);
    return Plain(404, "not found\n", Printable(r.target) + " -> 404 Not Found");
}

HttpAnswer Refusal(int code, const std::string& why) {
    return Plain(code, why + "\n", "(" + why + ") -> " + std::to_string(code) + " " + Reason(code));
}

std::string Render(const HttpAnswer& a) {
    return "HTTP/1.1 " + std::to_string(a.code) + " " + Reason(a.code) +
           "\r\nContent-Type: " + a.contentType +
           "\r\nContent-Length: " + std::to_string(a.body.size()) +
           "\r\nConnection: close\r\n\r\n" + a.body;
}

std::string ResponseId(uint64_t counter, time_t now) {
    char id[17];
    std::snprintf(id, sizeof id, "%08x%08x", static_cast<unsigned>(now & 0xffffffff),
                  static_cast<unsigned>(counter & 0xffffffff));
    return id;
}

std::string UpdateReply(const std::string& responseId, const std::string& status,
                        const std::string& ipv4, const std::string& ipv6) {
    return "{\"responseId\":\"" + responseId + "\",\"statusCode\":\"" + status +
           "\",\"updatedIPv4Address\":" + Json(ipv4) + ",\"updatedIPv6Address\":" + Json(ipv6) +
           "}";
}

}  // namespace sim
