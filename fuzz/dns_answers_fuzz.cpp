// Feeds arbitrary bytes, as a reply would bring them, to the DNS client's reply check
// and decoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "MyDNS.h"
#include "Outcome.h"

namespace dns_answers_fuzz {

using fuzzing::Quoted;

// The name at `at` and the bytes it takes there, or "none".
std::string Name(const std::vector<unsigned char>& m, size_t at) {
    int count = 0;
    auto name = MyDNS::readName(m.data() + at, m.data(), m.size(), &count);
    return name ? Quoted(reinterpret_cast<char*>(name.get())) + " " + std::to_string(count)
                : "none";
}

// Whether the bytes answer the query for host.example A with ID 0x1234; the answer
// count and the records the walk keeps, "owner type text" (text: the address, or RDATA
// read as a name); the name at 12 and at the place the first two bytes (the ID) choose.
std::string Outcome(const std::string& input) {
    static std::vector<unsigned char> query(MyDNS::bufferSize);
    static const size_t queryLength = MyDNS::BuildQuery(query.data(), "host.example", 1, 0x1234);
    // Exactly sized, so that any read past the reply is an ASan error.
    const std::vector<unsigned char> m(input.begin(), input.end());
    const bool reply = MyDNS::IsReplyTo(query.data(), queryLength, m.data(), m.size());
    std::vector<DnsAnswer> answers;
    int ancount = -1;
    const bool walked = MyDNS::ParseAnswers(m.data(), m.size(), answers, &ancount);
    std::string out = std::string(reply ? "reply" : "not a reply") +
                      (walked ? "; walked " : "; failed ") + std::to_string(ancount) + ":";
    for (const DnsAnswer& a : answers)
        out += " " + Quoted(a.name) + " " + std::to_string(a.type) + " " +
               Quoted(a.type == 1 || a.type == 28 ? MyDNS::AnswerText(a) : a.rdata);
    if (m.size() > MyDNS::headerSize)
        out += "; at 12 " + Name(m, MyDNS::headerSize);
    if (m.size() >= 2) {
        const size_t at = ((static_cast<size_t>(m[0]) << 8) | m[1]) % m.size();
        out += "; at " + std::to_string(at) + " " + Name(m, at);
    }
    return out;
}

}  // namespace dns_answers_fuzz

#ifndef DODODUZOD_REPLAY  // a test replays the corpus through Outcome instead
FUZZ_ENTRY_FOR(dns_answers_fuzz::Outcome)
#endif
