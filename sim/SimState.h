// What the simulated provider knows and how it currently behaves.
#ifndef DODODUZOD_SIM_STATE_H
#define DODODUZOD_SIM_STATE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimAccounts.h"
#include "SimOptions.h"

namespace sim {

struct State {
    Accounts accounts;
    // Canonical address texts: every socket is bound on each, and the resolver's
    // answers point to them.
    std::vector<std::string> listen = {"127.0.0.1", "::1"};
    // What the address-check page reports over each family; unset, the address
    // the request came from, as a real provider's page does.
    std::optional<std::string> publicIPv4, publicIPv6;
    Faults faults;
    uint64_t updates = 0;  // update replies so far; makes every responseId fresh
};

// Whether a canonical address text is an IPv6 one.
inline bool IsIPv6(const std::string& address) {
    return address.find(':') != std::string::npos;
}

// Text from the wire made fit for one output line: control bytes become '?',
// and very long text is cut.
inline std::string Printable(const std::string& text) {
    std::string out = text.substr(0, 300);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = '?';
    return text.size() > 300 ? out + "..." : out;
}

}  // namespace sim

#endif
