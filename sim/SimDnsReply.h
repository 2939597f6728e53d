// DNS replies as the simulated provider's name servers send them.
#ifndef DODODUZOD_SIM_DNSREPLY_H
#define DODODUZOD_SIM_DNSREPLY_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Question {
    uint16_t id = 0;
    std::string name;  // dotted, as asked
    int type = 0;
    size_t end = 0;  // offset just past QTYPE and QCLASS
};

struct Record {
    std::string name;   // owner, dotted
    int type = 1;       // 1 A, 28 AAAA, 5 CNAME
    std::string rdata;  // A/AAAA: address text; CNAME: the target, dotted
};

enum { rcodeOk = 0, rcodeNameError = 3 };

// The question of a query; false when the query is not a well-formed question.
bool ParseQuestion(const std::string& query, Question& question);
// Label form of a dotted name.
std::string EncodeName(const std::string& dotted);
// A reply to `query` carrying `answers`; an owner equal to the asked name is
// written as a pointer to the question. Empty when the query cannot be parsed.
std::string BuildReply(const std::string& query, const std::vector<Record>& answers,
                       int rcode = rcodeOk);

}  // namespace sim

#endif
