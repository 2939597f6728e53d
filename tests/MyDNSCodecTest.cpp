// The DNS client's byte layer: names, the query, and the answer walk on hostile replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "MyDNS.h"
#include "SimDnsReply.h"

namespace {

using namespace std::string_literals;
using Bytes = std::string;

Bytes U16(unsigned v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

const Bytes kHostExample = "\4host\7example\0"s;
const Bytes kToQuestion = "\xc0\x0c"s;
const Bytes kAddress = "\xc0\x00\x02\x07"s;

// A reply header with the given ANCOUNT, followed by the question for host.example A.
Bytes Reply(unsigned ancount) {
    return "\x12\x34\x81\x80\0\1"s + U16(ancount) + "\0\0\0\0"s + kHostExample + "\0\1\0\1"s;
}

// One resource record; `rdlength` overrides the length of `rdata` when not -1.
Bytes Record(const Bytes& owner, unsigned type, const Bytes& rdata, int rdlength = -1) {
    unsigned length = rdlength < 0 ? static_cast<unsigned>(rdata.size()) : rdlength;
    return owner + U16(type) + U16(1) + U16(0) + U16(60) + U16(length) + rdata;
}

// The encoder writes exactly the label form and appends the dot to its input.
TEST(NameEncoding, WritesLabelsAndAppendsTheDotInPlace) {
    const std::pair<const char*, Bytes> cases[] = {
        {"host.example", kHostExample}, {"host.example.", kHostExample + "\0"s}, {"", "\0\0"s}};
    for (const auto& [name, wire] : cases) {
        unsigned char host[32] = {};
        std::strcpy(reinterpret_cast<char*>(host), name);
        std::vector<unsigned char> out(32, 0xaa);
        MyDNS::changetoDnsNameFormat(out.data(), host);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + wire.size()), wire) << name;
        EXPECT_EQ(out[wire.size()], 0xaa) << name;
        EXPECT_EQ(reinterpret_cast<char*>(host), std::string(name) + ".");
    }
}

// The exact query bytes; a name that would not go on the wire as written is refused.
TEST(QueryBuild, LaysOutHeaderNameAndQuestion) {
    const Bytes header = "\xbe\xef\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"s;
    const std::string label(63, 'a'), longest = label + "." + label + "." + label + "." + label;
    const std::tuple<std::string, int, Bytes> cases[] = {
        {"host.example", 1, header + kHostExample + "\x00\x01\x00\x01"s},
        {"host.example", 28, header + kHostExample + "\x00\x1c\x00\x01"s},
        {"Host.Example", 1, header + "\4Host\7Example\0\0\1\0\1"s},
        {"host.example.", 1, ""},
        {"", 1, ""},
    };
    std::vector<unsigned char> buffer(MyDNS::bufferSize, 0xaa);
    for (const auto& [host, type, expected] : cases) {
        size_t n = MyDNS::BuildQuery(buffer.data(), host, type, 0xbeef);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(buffer.data()), n), expected) << host;
    }
    EXPECT_EQ(MyDNS::BuildQuery(buffer.data(), longest.substr(2), 1, 1), 12u + 255 + 4);
}

// What is refused and why: the text is the verbose line of a refused query.
TEST(QueryBuild, RefusesNamesThatWouldAskForAnother) {
    const std::string label(63, 'a'), longest = label + "." + label + "." + label + "." + label;
    const char* const empty = "Host name has an empty label.";
    const char* const byte = "Host name holds a byte outside printable ASCII.";
    const std::pair<std::string, const char*> cases[] = {
        {"host.example", nullptr},
        {"_tag.x-1.example", nullptr},
        {longest.substr(2), nullptr},
        {label + ".example", nullptr},
        {"!~", nullptr},
        {"", "Host name is empty."},
        {longest.substr(1), "Host name is longer than 253 bytes."},
        {label + "a.example", "Host name has a label longer than 63 bytes."},
        {".bob", empty},
        {"home.", empty},
        {"a..b", empty},
        {".", empty},
        {"a\0b"s, byte},
        {"a b", byte},
        {"a\x7f", byte},
        {"caf\xc3\xa9", byte},
        {"\xc0\x0c", byte},
    };
    std::vector<unsigned char> buffer(MyDNS::bufferSize);
    for (const auto& [host, reason] : cases) {
        const char* fault = MyDNS::HostNameFault(host);
        EXPECT_STREQ(fault, reason) << host;
        EXPECT_EQ(MyDNS::BuildQuery(buffer.data(), host, 1, 1) == 0, reason != nullptr) << host;
    }
}

// Which datagrams count as the reply to a query for host.example A.
TEST(ReplyMatch, TakesOnlyAnAnswerToTheQuestionAsked) {
    std::vector<unsigned char> buffer(MyDNS::bufferSize);
    const Bytes query(reinterpret_cast<char*>(buffer.data()),
                      MyDNS::BuildQuery(buffer.data(), "host.example", 1, 0xbeef));
    const Bytes good = sim::BuildReply(query, {{"host.example", 1, "192.0.2.7"}});
    const Bytes answer = Record(kToQuestion, 1, kAddress);
    auto patched = [&good](size_t at, char byte) {
        Bytes reply = good;
        reply[at] = byte;
        return reply;
    };
    const std::tuple<const char*, Bytes, bool> cases[] = {
        {"the reply", good, true},
        {"name in other case", patched(13, 'H'), true},
        {"bare header without answers", "\xbe\xef\x81\x83\0\0\0\0\0\0\0\0"s, true},
        {"no answers", Reply(0).replace(0, 2, "\xbe\xef"), true},
        {"no answers, to another name", Reply(0).replace(0, 2, "\xbe\xef").replace(13, 1, "g"),
         true},
        {"other ID", patched(1, '\xee'), false},
        {"QR clear", patched(2, '\x01'), false},
        {"eleven bytes", good.substr(0, 11), false},
        {"answers without a question", "\xbe\xef\x81\x80\0\0\0\1\0\0\0\0"s + answer, false},
        {"two questions", patched(5, '\2'), false},
        {"other name", patched(13, 'g'), false},
        {"name cut short", good.substr(0, 20), false},
        {"other type", patched(27, '\x1c'), false},
        {"other class", patched(29, '\3'), false},
        {"question cut short", good.substr(0, 29), false},
    };
    for (const auto& [what, reply, taken] : cases) {
        std::vector<unsigned char> exact(reply.begin(), reply.end());
        EXPECT_EQ(MyDNS::IsReplyTo(buffer.data(), query.size(), exact.data(), exact.size()), taken)
            << what;
    }
}

// Text and wire length of plain, pointer-only and chained names.
TEST(ReadName, FollowsPointersAndCountsTheBytesAtTheStart) {
    // At 12: host.example; at 26: "abc" then a pointer to 12; at 32: a pointer to 26;
    // at 34: the root name; at 35: a pointer to the pointer at 32.
    const Bytes bytes = Reply(0).substr(0, 12) + kHostExample + "\3abc\xc0\x0c\xc0\x1a\0\xc0\x20"s;
    std::vector<unsigned char> m(bytes.begin(), bytes.end());
    const std::tuple<size_t, const char*, int> cases[] = {{12, "host.example", 14},
                                                          {26, "abc.host.example", 6},
                                                          {32, "abc.host.example", 2},
                                                          {34, "", 1},
                                                          {35, "abc.host.example", 2}};
    for (const auto& [at, text, wire] : cases) {
        int count = 0;
        auto name = MyDNS::readName(m.data() + at, m.data(), m.size(), &count);
        ASSERT_NE(name, nullptr) << at;
        EXPECT_STREQ(reinterpret_cast<char*>(name.get()), text) << at;
        EXPECT_EQ(count, wire) << at;
    }
}

// Run on exactly sized heap copies, so that any read past the reply is an ASan error.
TEST(AnswerWalk, DecodesRecordsAndEndsAtTheFirstFault) {
    const Bytes good = Record(kToQuestion, 1, kAddress), two = Reply(2) + good;
    const std::string A = "host.example 1 192.0.2.7";
    const Bytes label = "\x3f" + Bytes(63, 'x'), longName = label + label + label + label + label;
    Bytes thirty = Reply(30);
    for (int i = 0; i < 30; ++i)
        thirty += good;
    struct Case {
        const char* what;
        Bytes reply;
        std::vector<std::string> kept;
        int ancount = 2;
        bool ok = true;
    } cases[] = {
        {"CNAME then A and AAAA",
         sim::BuildReply(Reply(0), {{"host.example", 5, "edge.example"},
                                    {"edge.example", 1, "192.0.2.1"},
                                    {"edge.example", 28, "2001:db8::7"}}),
         {"host.example 5 edge.example", "edge.example 1 192.0.2.1", "edge.example 28 2001:db8::7"},
         3},
        {"no answers", Reply(0), {}, 0},
        {"header cut short", Reply(1).substr(0, 7), {}, 0, false},
        {"bare header", Reply(0).substr(0, 12), {}, 0},
        {"question name cut short", Reply(1).substr(0, 16), {}, 1, false},
        {"question info cut short", Reply(1).substr(0, 28), {}, 1, false},
        {"ANCOUNT beyond the records", Reply(3) + good, {A}, 3},
        {"pointer to itself", two + Record("\xc0\x2e"s, 1, kAddress), {A}},
        {"pointer loop", two + Record("\xc0\x3e"s, 1, kAddress) + "\xc0\x2e"s, {A}},
        {"pointer outside", two + Record("\xc3\xff"s, 1, kAddress), {A}},
        {"half a pointer", two + "\xc0"s, {A}},
        {"owner without its zero", two + "\4host"s, {A}},
        {"owner of 320 bytes", two + Record(longName + "\0"s, 1, kAddress), {A}},
        {"30 answers", thirty, std::vector<std::string>(20, A), 30},
        {"RDLENGTH past the end", two + Record(kToQuestion, 1, kAddress, 40), {A}},
        {"A of 5 bytes", two + Record(kToQuestion, 1, kAddress + "x"), {A}},
        {"AAAA of 4 bytes", two + Record(kToQuestion, 28, kAddress), {A}},
        {"record info cut short", two + kToQuestion + U16(1), {A}},
        // A target that cannot be read is kept empty; RDLENGTH still leads to the next record.
        {"CNAME target loops",
         Reply(2) + Record(kToQuestion, 5, "\xc0\x2a"s) + good,
         {"host.example 5 ", A}},
        {"TXT before the address",
         Reply(2) + Record(kToQuestion, 16, "\5hello"s) + good,
         {"host.example 16 hello.host.example", A}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> exact(c.reply.begin(), c.reply.end());
        std::vector<DnsAnswer> answers;
        int ancount = -1;
        bool ok = MyDNS::ParseAnswers(exact.data(), exact.size(), answers, &ancount);
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_EQ(ancount, c.ancount) << c.what;
        std::vector<std::string> kept;  // "owner type text", text: the address or RDATA as a name
        for (const DnsAnswer& a : answers)
            kept.push_back(a.name + " " + std::to_string(a.type) + " " +
                           (a.type == 1 || a.type == 28 ? MyDNS::AnswerText(a) : a.rdata));
        EXPECT_EQ(kept, c.kept) << c.what;
    }
}

}  // namespace
