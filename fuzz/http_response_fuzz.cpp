// Feeds arbitrary bytes to the HTTP client's response framing and body cutting, and the
// first line of them as a URL (the rest as credentials) to the request builder. No I/O.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "MyHTTP.h"
#include "Outcome.h"

namespace http_response_fuzz {

using fuzzing::Quoted;
using fuzzing::Require;

// "complete" or not, then the body or the error.
std::string Response(const std::string& input) {
    const char* data = input.data();
    // What the read loop sees: a response that is complete stays complete as bytes arrive.
    const bool whole = MyHTTP::IsComplete(data, input.size());
    Require(!MyHTTP::IsComplete(data, input.size() / 2) || whole);
    std::string body = "unset", error;
    if (!MyHTTP::ExtractBody(data, input.size(), body, error)) {
        Require(body == "unset" && error == "Error parsing response.");
        return std::string(whole ? "complete, " : "") + error;
    }
    // The body starts after the first empty line and may stop short of the text's end
    // (the first zero byte), where the announced length says so.
    const std::string text(data, strnlen(data, input.size()));
    const size_t start = text.find("\r\n\r\n");
    Require(error.empty() && start != std::string::npos);
    Require(text.compare(start + 4, body.size(), body) == 0 && body.size() <= text.size() - start);
    return std::string(whole ? "complete, " : "") + "body " + Quoted(body);
}

// How the URL is cut, then the request or the refusal.
std::string Url(const std::string& input) {
    const size_t newline = input.find('\n');
    const std::string url = input.substr(0, newline);
    const std::string credentials = newline == std::string::npos ? "" : input.substr(newline + 1);
    std::string host, target, request, error;
    const bool split = MyHTTP::SplitUrl(url, host, target);
    Require(host.find('/') == std::string::npos && (!split || target[0] == '/'));
    std::string out = (split ? "url " : "unsplit url ") + Quoted(host) + " " + Quoted(target);
    if (!MyHTTP::PrepareRequest(url, credentials, host, target, request, error, false))
        return out + ", " + error;
    // The credentials go out only as the Base64 of the last header.
    const std::string auth = "\r\nAuthorization: Basic ";
    const size_t at = request.size() - 4 - (credentials.size() + 2) / 3 * 4 - auth.size();
    Require(request.rfind(auth) == (credentials.empty() ? std::string::npos : at));
    return out + ", sends " + Quoted(request);
}

std::string Outcome(const std::string& input) {
    return Response(input) + "; " + Url(input);
}

}  // namespace http_response_fuzz

#ifndef DODODUZOD_REPLAY  // a test replays the corpus through Outcome instead
FUZZ_ENTRY_FOR(http_response_fuzz::Outcome)
#endif
