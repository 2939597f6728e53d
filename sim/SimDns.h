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

// Which sets of names one UDP socket answers for.
struct DnsRoles {
    bool resolver = false;
    bool authority = false;
};

struct Datagram {
    std::string bytes;
    bool fromOtherPort = false;  // sent from the spare socket, as a forger would
};

struct DnsOutcome {
    std::vector<Datagram> replies;  // in sending order; empty: nothing is sent
    std::string role;               // "dns" or "ns": whose names were asked for
    std::string log;                // "TYPE NAME -> ANSWER"
};

// Answers one datagram that arrived on a socket of `roles`.
DnsOutcome AnswerQuery(State& state, DnsRoles roles, const std::string& query);

// The records that answer (name, type) and the reply code, for one role.
int Resolve(const State& state, DnsRoles roles, const std::string& name, int type,
            std::vector<Record>& answers);

// A reply whose answer section cannot be walked: the first kind holds a name
// that is a compression pointer to itself, the second an RDLENGTH past the end.
std::string MalformedReply(const std::string& query, bool loopingPointer);

}  // namespace sim

#endif
