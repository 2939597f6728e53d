// The DNS client's byte layer: the query built for each name or the reason it is refused,
// and on crafted replies the reply check and the answer walk. The replies are written as
// on the wire, one field a line, from the pieces below.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Codec.h"
#include "MyDNS.h"

namespace {

using codec::Bytes;
using codec::operator+;
using Texts = std::vector<std::string>;

unsigned char Hi(unsigned n) {
    return static_cast<unsigned char>(n >> 8);
}
unsigned char Lo(unsigned n) {
    return static_cast<unsigned char>(n & 0xff);
}

const unsigned kOurId = 0x1234, kAnswered = 0x8180;  // flags: QR (a response), RD, RA
const unsigned kA = 1, kCname = 5, kTxt = 16, kAaaa = 28;

Bytes Header(unsigned ancount, unsigned id = kOurId, unsigned flags = kAnswered,
             unsigned qdcount = 1) {
    return {
        Hi(id),      Lo(id),       // ID
        Hi(flags),   Lo(flags),    // flags
        Hi(qdcount), Lo(qdcount),  // QDCOUNT
        Hi(ancount), Lo(ancount),  // ANCOUNT
        0,           0,            // NSCOUNT
        0,           0,            // ARCOUNT
    };
}

// The question the client asked, at offset 12; the answers start at 30.
const Bytes kQuestion = {
    4, 'h', 'o', 's', 't',                 // label "host"
    7, 'e', 'x', 'a', 'm', 'p', 'l', 'e',  // label "example"
    0,                                     // the root label
    0, 1,                                  // QTYPE A
    0, 1,                                  // QCLASS IN
};
const Bytes kToQuestion = {0xc0, 12};  // a name that points to the question's
const Bytes kAddress = {192, 0, 2, 7};
const Bytes kAddress6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};

Bytes Record(const Bytes& owner, unsigned type, const Bytes& rdata, unsigned rdlength = ~0u) {
    rdlength = rdlength == ~0u ? static_cast<unsigned>(rdata.size()) : rdlength;
    // clang-format off
    const Bytes fields = {
        Hi(type), Lo(type),          // TYPE
        0, 1,                        // CLASS IN
        0, 0, 0, 60,                 // TTL
        Hi(rdlength), Lo(rdlength),  // RDLENGTH
    };
    // clang-format on
    return owner + fields + rdata;
}
const Bytes kAnswer = Record(kToQuestion, kA, kAddress);  // 16 bytes, at 30

// The bytes with the one at `at` replaced; the first `n` of them; them `n` times.
Bytes With(Bytes b, size_t at, unsigned char byte) {
    b.at(at) = byte;
    return b;
}
Bytes First(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + n);
}
Bytes Times(const Bytes& b, int n) {
    return n == 0 ? Bytes{} : b + Times(b, n - 1);
}

// A refusal for each way a name can break the rules, and the longest names that keep them.
TEST(DnsCodec, QueryForEachName) {
    const std::string a63(63, 'a'), longest = a63 + "." + a63 + "." + a63 + "." + a63.substr(2);
    const char *empty = "Host name is empty.", *label = "Host name has an empty label.",
               *outside = "Host name holds a byte outside printable ASCII.";
    const struct {
        std::string host;
        std::string refusal;  // empty: asked for
    } rows[] = {
        {"", empty},
        {"a b", outside},
        {"a\x7f", outside},
        {std::string("a\0b", 3), outside},
        {"caf\xc3\xa9.example", outside},
        {".", label},
        {"a..b", label},
        {".bob", label},
        {"host.example.", label},
        {std::string(64, 'c') + ".example", "Host name has a label longer than 63 bytes."},
        {longest + "a", "Host name is longer than 253 bytes."},
        {a63 + ".example", ""},
        {longest, ""},
        {"Host.Example", ""},  // as it is: a reply must echo it
        {"_tag.x-1.example", ""},
        {"!~", ""},
        {"www.example", ""},  // odd length: asked as AAAA
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        const codec::Query q = codec::BuildQuery(row.host);
        EXPECT_EQ(q.refusal, row.refusal);
        EXPECT_EQ(q.broken, "");
    }
    // ID 0x5eed, flags: a standard query, RD; one question, the same as a reply echoes.
    const Bytes query = Header(0, 0x5eed, 0x0100) + kQuestion;
    EXPECT_EQ(codec::BuildQuery("host.example").bytes, codec::Text(query));
}

enum Verdict { kRefused, kTaken };
enum Walk { kNotWalked, kWalked };

// Only a reply to the query is taken: its ID, QR set, and the question echoed in any case
// of letters; a reply without answers has nothing to mislead.
TEST(DnsCodec, ReplyCheck) {
    const struct {
        const char* name;
        Verdict verdict;
        Bytes bytes;
    } rows[] = {
        {"our reply", kTaken, Header(1) + kQuestion + kAnswer},
        {"name in other capitals", kTaken, Header(1) + With(kQuestion, 1, 'H') + kAnswer},
        {"without answers", kTaken, Header(0) + kQuestion},
        {"bare header, name error", kTaken, Header(0, kOurId, 0x8183, 0)},
        {"another ID", kRefused, Header(1, kOurId + 1) + kQuestion + kAnswer},
        {"QR clear", kRefused, Header(1, kOurId, 0x0180) + kQuestion + kAnswer},
        {"another name", kRefused, Header(1) + With(kQuestion, 1, 'g') + kAnswer},
        {"another type", kRefused, Header(1) + With(kQuestion, 15, kAaaa) + kAnswer},
        {"another class", kRefused, Header(1) + With(kQuestion, 17, 3) + kAnswer},
        {"two questions", kRefused, Header(1, kOurId, kAnswered, 2) + kQuestion + kAnswer},
        {"answers without the question", kRefused, Header(1, kOurId, kAnswered, 0) + kAnswer},
        {"question cut", kRefused, Header(1) + First(kQuestion, 17)},
        {"eleven bytes", kRefused, First(Header(1), 11)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(codec::ReadReply(row.bytes).reply, row.verdict == kTaken);
    }
}

// The answers are walked to the first record that breaks the format, 20 at most; a reply
// cut before its answers is not walked at all.
TEST(DnsCodec, AnswerWalk) {
    const std::string ours = "host.example 1 192.0.2.7";
    // A CNAME's target is "edge" then a pointer to the question's name; the record after it
    // is owned by that target, two pointers deep.
    const Bytes edge = {4, 'e', 'd', 'g', 'e', 0xc0, 12}, toEdge = {0xc0, 42};
    const Bytes label63 = Bytes{63} + Bytes(63, 'x'), ourReply = Header(2) + kQuestion + kAnswer;
    const struct {
        const char* name;
        Texts answers;
        Bytes bytes;
        Walk walk = kWalked;
    } rows[] = {
        {"AAAA and A", Texts{"host.example 28 2001:db8::7", ours},
         Header(2) + kQuestion + Record(kToQuestion, kAaaa, kAddress6) + kAnswer},
        {"alias, then its target",
         Texts{"host.example 5 edge.host.example", "edge.host.example 1 192.0.2.7"},
         Header(2) + kQuestion + Record(kToQuestion, kCname, edge) + Record(toEdge, kA, kAddress)},
        {"TXT stepped over by RDLENGTH", Texts{"host.example 16 edge.host.example", ours},
         Header(2) + kQuestion + Record(kToQuestion, kTxt, First(edge, 5), 5) + kAnswer},
        {"alias pointing at itself", Texts{"host.example 5 ", ours},
         Header(2) + kQuestion + Record(kToQuestion, kCname, toEdge) + kAnswer},
        {"more announced than sent", Texts{ours}, Header(3) + kQuestion + kAnswer},
        {"30 answers", Texts(20, ours), Header(30) + kQuestion + Times(kAnswer, 30)},
        // The second record breaks the format; the walk keeps the first.
        {"A of 5 bytes", Texts{ours}, ourReply + Record(kToQuestion, kA, kAddress + Bytes{7})},
        {"AAAA of 4 bytes", Texts{ours}, ourReply + Record(kToQuestion, kAaaa, kAddress)},
        {"RDLENGTH past the end", Texts{ours}, ourReply + Record(kToQuestion, kA, kAddress, 40)},
        {"record cut", Texts{ours}, ourReply + Bytes{0xc0, 12, 0, 1}},
        {"half a pointer", Texts{ours}, ourReply + Bytes{0xc0}},
        {"owner pointing at itself", Texts{ours}, ourReply + Record({0xc0, 46}, kA, kAddress)},
        {"owners pointing at each other", Texts{ours},
         ourReply + Record({0xc0, 62}, kA, kAddress) + Bytes{0xc0, 46}},
        {"pointer outside", Texts{ours}, ourReply + Record({0xc3, 0xff}, kA, kAddress)},
        {"owner without an end", Texts{ours}, ourReply + First(kQuestion, 5)},
        {"owner of 320 bytes", Texts{ours},
         ourReply + Times(label63, 5) + Bytes{0} + Record({}, kA, kAddress)},
        {"question name cut", Texts{}, Header(1) + First(kQuestion, 4), kNotWalked},
        {"eleven bytes", Texts{}, First(Header(1), 11), kNotWalked},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const codec::Reply r = codec::ReadReply(row.bytes);
        EXPECT_EQ(r.walked, row.walk == kWalked);
        EXPECT_EQ(r.answers, row.answers);
    }
}

}  // namespace
