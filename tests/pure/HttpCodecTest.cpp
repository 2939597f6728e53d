// The HTTP client's text layer: how crafted responses are framed and cut, and how URLs are
// split into the request the client would send, or refused.
#include <gtest/gtest.h>

#include <string>

#include "Codec.h"
#include "Wire.h"

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\n";

// The announced length ends the body and makes the response complete; without one, or with
// one that cannot be read, the body runs to the text's end (its first zero byte).
TEST(HttpCodec, FramingAndBodies) {
    const struct {
        const char* name;
        std::string bytes;
        bool complete;
        std::string body;  // empty with the error
        const char* error = "";
    } rows[] = {
        {"no length", kOk + "\r\nhello", false, "hello"},
        {"length met", kOk + "Content-Length: 5\r\n\r\nhello", true, "hello"},
        {"short by one", kOk + "Content-Length: 5\r\n\r\nhell", false, "hell"},
        {"length cuts what follows", kOk + "Content-Length: 3\r\n\r\nabcEXTRA", true, "abc"},
        {"length beyond the body", kOk + "Content-Length: 9\r\n\r\nabc", false, "abc"},
        {"length not a number", kOk + "Content-Length: x\r\n\r\nabcEXTRA", false, "abcEXTRA"},
        {"length overflows", kOk + "Content-Length: 99999999999999999999999\r\n\r\nx", false, "x"},
        {"two lengths", kOk + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxx", false, "xx"},
        {"length in any case, zero", kOk + "content-LENGTH:0\r\n\r\n", true, ""},
        {"body holds an empty line", kOk + "\r\na\r\n\r\nb", false, "a\r\n\r\nb"},
        {"zero byte in the body", kOk + "\r\nab" + std::string(1, '\0') + "cd", false, "ab"},
        {"no empty line", kOk + "No-End: here\r\n", false, "", "Error parsing response."},
        {"zero byte first", std::string(1, '\0') + kOk + "\r\nx", false, "",
         "Error parsing response."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const codec::Response r = codec::ReadResponse(row.bytes);
        EXPECT_EQ(r.complete, row.complete);
        EXPECT_EQ(r.body, row.body);
        EXPECT_EQ(r.error, row.error);
        EXPECT_EQ(r.broken, "");
    }
}

// A URL splits at the first '/' after the scheme; one whose host or target holds a byte
// that could end the request line or add lines of its own is refused.
TEST(HttpCodec, UrlsAndRequests) {
    const std::string v4 = "v4.zelmar.example", update = "/nic/clientupdate?location=&myipv4=1";
    const std::string credentials = std::string(wire::kUser) + ":5ebe2294ecd0e0f08eab7690d2a6ee69";
    const struct {
        std::string url, credentials, host, target;
        bool refused;
    } rows[] = {
        {"http://a.zelmar.example/ipcheck.asp", "", "a.zelmar.example", "/ipcheck.asp", false},
        {"http://a.zelmar.example:8245/", "", "a.zelmar.example:8245", "/", false},
        {"a.zelmar.example/x?y=1&z=/", "", "a.zelmar.example", "/x?y=1&z=/", false},
        {"http://" + v4 + update, credentials, v4, update, false},
        {"http://" + v4 + "/caf\xc3\xa9", "", v4, "/caf\xc3\xa9", false},
        {"http://a.zelmar.example", "", "a.zelmar.example", "", true},
        {"http://" + v4 + " /", "", v4 + " ", "/", true},
        {"http://" + v4 + "/ip HTTP/1.1", "", v4, "/ip HTTP/1.1", true},
        {"http://" + v4 + "\rX: y/", "", v4 + "\rX: y", "/", true},
        {"http://" + v4 + "/a\tb", "", v4, "/a\tb", true},
        {"http://" + v4 + "/a\x7f", "", v4, "/a\x7f", true},
        {"http://" + v4 + std::string("/a\0b", 4), "", v4, std::string("/a\0b", 4), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const codec::Request r = codec::PrepareRequest(row.url, row.credentials);
        EXPECT_EQ(r.split, !row.target.empty());
        EXPECT_EQ(r.host + " " + r.target, row.host + " " + row.target);
        EXPECT_EQ(r.request + r.error,
                  row.refused ? "Invalid URL."
                              : wire::Get(row.target, row.host, !row.credentials.empty()));
        EXPECT_EQ(r.broken, "");
    }
}

}  // namespace
