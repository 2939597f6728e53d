// Feeds arbitrary bytes to the HTTP client's response framing and body cutting, and
// the first line of them as a URL to the request builder. No I/O.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "MyHTTP.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void FuzzResponse(const char* data, size_t size) {
    // What the read loop sees: a response that is complete stays complete as bytes arrive.
    bool whole = MyHTTP::IsComplete(data, size);
    Check(!MyHTTP::IsComplete(data, size / 2) || whole);

    std::string body = "unset";
    std::string error;
    if (MyHTTP::ExtractBody(data, size, body, error)) {
        std::string text(data, strnlen(data, size));
        Check(error.empty());
        // The body starts after the first empty line and may stop short of the end,
        // where the announced length says so.
        size_t start = text.find("\r\n\r\n");
        Check(start != std::string::npos);
        start += 4;
        Check(body.size() <= text.size() - start);
        Check(text.compare(start, body.size(), body) == 0);
    } else {
        Check(body == "unset");
        Check(error == "Error parsing response.");
    }
}

void FuzzUrl(const char* data, size_t size) {
    std::string input(data, size);
    size_t newline = input.find('\n');
    std::string url = input.substr(0, newline);
    std::string credentials = newline == std::string::npos ? "" : input.substr(newline + 1);

    std::string host, target;
    if (!MyHTTP::SplitUrl(url, host, target)) {
        Check(host.find('/') == std::string::npos);
        return;
    }
    Check(!target.empty() && target[0] == '/' && host.find('/') == std::string::npos);
    std::string request = MyHTTP::BuildRequest(host, target, credentials);
    std::string head =
        "GET " + target + " HTTP/1.1\r\nUser-Agent: Zelmar.Linux\r\nHost: " + host + "\r\n";
    Check(request.compare(0, head.size(), head) == 0);
    std::string rest = request.substr(head.size());
    if (credentials.empty()) {
        Check(rest == "\r\n");
        return;
    }
    const std::string auth = "Authorization: Basic ";
    Check(rest.compare(0, auth.size(), auth) == 0);
    Check(rest.size() >= auth.size() + 4 && rest.compare(rest.size() - 4, 4, "\r\n\r\n") == 0);
    std::string encoded = rest.substr(auth.size(), rest.size() - auth.size() - 4);
    Check(encoded.size() % 4 == 0 && encoded.size() / 4 == (credentials.size() + 2) / 3);
    Check(encoded.find_first_not_of(
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
          std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    FuzzResponse(text, size);
    FuzzUrl(text, size);
    return 0;
}
