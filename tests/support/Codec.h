// What the client's codecs make of one input, with the rules every input must keep,
// written apart from the code. The fuzz targets feed them arbitrary bytes and abort at a
// broken rule; the codec tests feed them crafted cases and compare what comes out.
// `broken` names the first broken rule, and stays empty while all hold.
#ifndef DODODUZOD_TEST_CODEC_H
#define DODODUZOD_TEST_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace codec {

using Bytes = std::vector<unsigned char>;

// Bytes and pieces of bytes, joined in order.
Bytes operator+(Bytes a, const Bytes& b);
std::string Text(const Bytes& bytes);
std::string Text(const uint8_t* data, size_t size);
// A fuzz target's end for an input that broke a rule: the rule on stderr, then a crash.
void Hold(const std::string& broken);

// The query for `host` (ID 0x5eed; type A for a name of even length, AAAA for odd), or why
// the name is refused. Rules: a name is refused exactly when it is not dot-separated labels
// of 1 to 63 printable ASCII bytes, 253 bytes at most; the question names exactly the host
// and ends with the type and class IN.
struct Query {
    std::string bytes, refusal, broken;
};
Query BuildQuery(const std::string& host);

// A reply as the client reads it after its query for host.example, type A, ID 0x1234:
// whether it is taken as the reply, whether the answer walk got through, and the answers
// walked, "owner type text" (text: the address, or RDATA read as a name).
struct Reply {
    bool reply = false, walked = false;
    std::vector<std::string> answers;
};
Reply ReadReply(const Bytes& bytes);

// A response as the read loop frames it: complete, and the body or the error. Rules: a
// response complete at half its bytes is complete whole; the body comes from after the
// first empty line, within the text before any zero byte; a failure leaves the body alone.
struct Response {
    bool complete = false;
    std::string body, error, broken;
};
Response ReadResponse(const std::string& bytes);

// The request for `url` with `credentials`, and how the URL was cut; or its refusal. Rules:
// no '/' in the host, a target that starts with '/'; credentials go out only as the last
// header.
struct Request {
    bool split = false;
    std::string host, target, request, error, broken;
};
Request PrepareRequest(const std::string& url, const std::string& credentials);

// A forced check cycle of the engine behind the scripted provider, with these address
// pages, update template (empty: the built-in one) and location, and questions that fail
// on port 8245 when they start with an entry of `failing`. Rules: nothing below 0x21 nor
// DEL in the update's target and host; port 80 only right after the same question failed
// on 8245; no question to the name server; an address taken is one of the page's family.
struct Cycle {
    bool ipv4 = true, ipv6 = true;
    std::string page4, page6, updateUrl, location;
    std::vector<std::string> failing;
};
struct Outcome {
    std::string ipv4, ipv6;  // the addresses taken
    std::string asked;       // "IPv4 page on 8245, ...", or "nothing"
    std::string sent;        // "TARGET to HOST", the refusal, or "no update"
    std::string broken;
};
Outcome RunCycle(const Cycle& cycle);

}  // namespace codec

#endif
