// The simulated provider's two DNS roles: the recursive resolver that knows the
// service's host names, and the authoritative name server of the tag host names.
#ifndef DODODUZOD_SIM_DNS_H
#define DODODUZOD_SIM_DNS_H

#include <string>
#include <vector>

#include "SimDnsReply.h"
#include "SimState.h"

namespace sim {

enum { typeA = 1, typeAAAA = 28 };

struct DnsOutcome {
    std::string reply;  // empty: nothing is sent
    std::string log;    // "TYPE NAME -> ANSWER"
};

// Answers one datagram that arrived at the resolver or, when `authority`, at the
// name server.
DnsOutcome AnswerQuery(const State& state, bool authority, const std::string& query);

}  // namespace sim

#endif
