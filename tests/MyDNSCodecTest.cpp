// The DNS client's byte layer: names, the query, and the answer walk on hostile replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MyDNS.h"
#include "SimDnsReply.h"

namespace {

using Bytes = std::string;

Bytes B(const char* bytes, size_t n) {
    return Bytes(bytes, n);
}

Bytes U16(unsigned v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

const Bytes kHostExample =
    B("\x04host\x07"
      "example\x00",
      14);

// A reply header with the given ANCOUNT, followed by the question for host.example A.
Bytes Reply(unsigned ancount) {
    return U16(0x1234) + U16(0x8180) + U16(1) + U16(ancount) + U16(0) + U16(0) + kHostExample +
           U16(1) + U16(1);
}

// One resource record; `rdlength` overrides the length of `rdata` when not -1.
Bytes Record(const Bytes& owner, unsigned type, const Bytes& rdata, int rdlength = -1) {
    unsigned length = rdlength < 0 ? static_cast<unsigned>(rdata.size()) : rdlength;
    return owner + U16(type) + U16(1) + U16(0) + U16(60) + U16(length) + rdata;
}

const Bytes kToQuestion = B("\xc0\x0c", 2);
const Bytes kAddress = B("\xc0\x00\x02\x07", 4);

// An exactly sized heap copy, so that a read past the reply is caught by the sanitizer.
std::vector<unsigned char> Exact(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

struct Walk {
    bool ok = false;
    int ancount = -1;
    std::vector<DnsAnswer> answers;
};

Walk Parse(const Bytes& reply) {
    std::vector<unsigned char> exact = Exact(reply);
    Walk w;
    w.ok = MyDNS::ParseAnswers(exact.data(), exact.size(), w.answers, &w.ancount);
    return w;
}

struct Read {
    bool ok = false;
    std::string text;
    int count = 0;
};

Read ReadAt(const Bytes& message, size_t offset) {
    std::vector<unsigned char> exact = Exact(message);
    Read r;
    auto name = MyDNS::readName(exact.data() + offset, exact.data(), exact.size(), &r.count);
    r.ok = name != nullptr;
    if (name)
        r.text = reinterpret_cast<char*>(name.get());
    return r;
}

TEST(NameEncoding, WritesLabelsAndAppendsTheDotInPlace) {
    struct Case {
        const char* name;
        Bytes wire;
    } cases[] = {
        {"host.example", kHostExample},
        {"host.example.", kHostExample + B("\x00", 1)},  // an empty last label
        {"", B("\x00\x00", 2)},
    };
    for (const Case& c : cases) {
        unsigned char host[32] = {};
        std::strcpy(reinterpret_cast<char*>(host), c.name);
        unsigned char out[32];
        std::memset(out, 0xaa, sizeof out);
        MyDNS::changetoDnsNameFormat(out, host);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), c.wire.size()), c.wire) << c.name;
        EXPECT_EQ(out[c.wire.size()], 0xaa) << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(host)), std::string(c.name) + ".");
    }
}

TEST(QueryBuild, LaysOutHeaderNameAndQuestion) {
    const Bytes header = U16(0xbeef) + B("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    struct Case {
        std::string host;
        int type;
        Bytes expected;
    } cases[] = {
        {"host.example", 1, header + kHostExample + B("\x00\x01\x00\x01", 4)},
        {"host.example", 28, header + kHostExample + B("\x00\x1c\x00\x01", 4)},
        {"host.example.", 1, header + kHostExample + B("\x00\x01\x00\x01", 4)},
        {"", 1, header + B("\x00\x00\x01\x00\x01", 5)},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> buffer(MyDNS::bufferSize, 0xaa);
        size_t n = MyDNS::BuildQuery(buffer.data(), c.host, c.type, 0xbeef);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(buffer.data()), n), c.expected) << c.host;
    }
}

TEST(QueryBuild, TakesNamesUpTo255Bytes) {
    std::string label(63, 'a');
    std::string longest = label + "." + label + "." + label + "." + label;  // 255 bytes
    std::vector<unsigned char> buffer(MyDNS::bufferSize);
    EXPECT_EQ(MyDNS::BuildQuery(buffer.data(), longest, 1, 1), 12u + 256 + 1 + 4);
    EXPECT_EQ(MyDNS::BuildQuery(buffer.data(), longest + "a", 1, 1), 0u);
}

TEST(ReadName, FollowsPointersAndCountsTheBytesAtTheStart) {
    // At 12: host.example; at 26: "abc" then a pointer to 12; at 32: a pointer to 26;
    // at 34: the root name; at 35: a pointer to the pointer at 32.
    const Bytes m = Reply(0).substr(0, 12) + kHostExample +
                    B("\x03"
                      "abc\xc0\x0c",
                      6) +
                    B("\xc0\x1a", 2) + B("\x00", 1) + B("\xc0\x20", 2);
    struct Case {
        size_t at;
        const char* text;
        int count;
    } cases[] = {
        {12, "host.example", 14},    {26, "abc.host.example", 6},
        {32, "abc.host.example", 2}, {34, "", 1},
        {35, "abc.host.example", 2},
    };
    for (const Case& c : cases) {
        Read r = ReadAt(m, c.at);
        ASSERT_TRUE(r.ok) << c.at;
        EXPECT_EQ(r.text, c.text) << c.at;
        EXPECT_EQ(r.count, c.count) << c.at;
    }
}

TEST(ReadName, RefusesNamesThatLeaveTheMessageOrNeverEnd) {
    const Bytes header = Reply(0).substr(0, 12);
    struct Case {
        const char* what;
        Bytes message;
    } cases[] = {
        {"pointer to itself", header + B("\xc0\x0c", 2)},
        {"pointers in a loop", header + B("\xc0\x0e\xc0\x0c", 4)},
        {"pointer past the end", header + B("\xff\xff", 2)},
        {"half a pointer", header + B("\xc0", 1)},
        {"no terminating zero", header + B("\x04host", 5)},
        {"name of 320 bytes", header +
                                  [] {
                                      Bytes n;
                                      for (int i = 0; i < 5; ++i)
                                          n += B("\x3f", 1) + Bytes(63, 'x');
                                      return n + B("\x00", 1);
                                  }()},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(ReadAt(c.message, 12).ok) << c.what;
    std::vector<unsigned char> m = Exact(header + kHostExample);
    int count = 0;
    EXPECT_EQ(MyDNS::readName(m.data() + m.size(), m.data(), m.size(), &count), nullptr);
}

TEST(AnswerWalk, DecodesCnameThenAddressesInReplyOrder) {
    std::vector<unsigned char> query(MyDNS::bufferSize);
    size_t n = MyDNS::BuildQuery(query.data(), "host.example", 1, 7);
    std::string reply = sim::BuildReply(std::string(reinterpret_cast<char*>(query.data()), n),
                                        {{"host.example", 5, "edge.example"},
                                         {"edge.example", 1, "192.0.2.1"},
                                         {"edge.example", 28, "2001:db8::7"}});
    Walk w = Parse(reply);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.ancount, 3);
    ASSERT_EQ(w.answers.size(), 3u);
    EXPECT_EQ(w.answers[0].name, "host.example");
    EXPECT_EQ(w.answers[0].type, 5);
    EXPECT_EQ(w.answers[0].rdata, "edge.example");
    EXPECT_EQ(MyDNS::AnswerText(w.answers[0]), "");
    EXPECT_EQ(w.answers[1].name, "edge.example");
    EXPECT_EQ(MyDNS::AnswerText(w.answers[1]), "192.0.2.1");
    EXPECT_EQ(MyDNS::AnswerText(w.answers[2]), "2001:db8::7");
}

TEST(AnswerWalk, EndsAtTheFirstFaultAndKeepsWhatCameBefore) {
    const Bytes good = Record(kToQuestion, 1, kAddress);
    const Bytes longName = [] {
        Bytes n;
        for (int i = 0; i < 5; ++i)
            n += B("\x3f", 1) + Bytes(63, 'x');
        return n + B("\x00", 1);
    }();
    const Bytes thirty = [&] {
        Bytes r = Reply(30);
        for (int i = 0; i < 30; ++i)
            r += good;
        return r;
    }();
    struct Case {
        const char* what;
        Bytes reply;
        bool ok;
        int ancount;
        size_t kept;
    } cases[] = {
        {"no answers", Reply(0), true, 0, 0},
        {"header cut short", Reply(1).substr(0, 7), false, 0, 0},
        {"question name cut short", Reply(1).substr(0, 16), false, 1, 0},
        {"question info cut short", Reply(1).substr(0, 28), false, 1, 0},
        {"ANCOUNT beyond the records", Reply(3) + good, true, 3, 1},
        {"pointer to itself", Reply(2) + good + Record(B("\xc0\x2e", 2), 1, kAddress), true, 2, 1},
        {"pointer loop", Reply(2) + good + Record(B("\xc0\x3e", 2), 1, kAddress) + B("\xc0\x2e", 2),
         true, 2, 1},
        {"pointer outside", Reply(2) + good + Record(B("\xc3\xff", 2), 1, kAddress), true, 2, 1},
        {"owner of 320 bytes", Reply(2) + good + Record(longName, 1, kAddress), true, 2, 1},
        {"30 answers", thirty, true, 30, 20},
        {"RDLENGTH past the end", Reply(2) + good + Record(kToQuestion, 1, kAddress, 40), true, 2,
         1},
        {"A cut short", Reply(2) + good + good.substr(0, 14), true, 2, 1},
        {"A of 5 bytes", Reply(2) + good + Record(kToQuestion, 1, kAddress + "x"), true, 2, 1},
        {"AAAA of 4 bytes", Reply(2) + good + Record(kToQuestion, 28, kAddress), true, 2, 1},
        {"record info cut short", Reply(2) + good + kToQuestion + U16(1), true, 2, 1},
        // A target that cannot be read is kept empty; RDLENGTH still leads to the next record.
        {"CNAME target loops", Reply(2) + Record(kToQuestion, 5, B("\xc0\x3a", 2)) + good, true, 2,
         2},
        {"TXT before the address", Reply(2) + Record(kToQuestion, 16, B("\x05hello", 6)) + good,
         true, 2, 2},
    };
    for (const Case& c : cases) {
        Walk w = Parse(c.reply);
        EXPECT_EQ(w.ok, c.ok) << c.what;
        EXPECT_EQ(w.ancount, c.ancount) << c.what;
        EXPECT_EQ(w.answers.size(), c.kept) << c.what;
        for (const DnsAnswer& a : w.answers)
            EXPECT_EQ(MyDNS::AnswerText(a), a.type == 1 ? "192.0.2.7" : "") << c.what;
        if (!w.answers.empty() && w.answers[0].type == 5) {
            EXPECT_EQ(w.answers[0].rdata, "") << c.what;
        }
    }
}

}  // namespace
