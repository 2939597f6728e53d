// What the simulated provider knows and how it currently behaves.
#ifndef DODODUZOD_SIM_STATE_H
#define DODODUZOD_SIM_STATE_H

#include <cstdint>
#include <string>

#include "SimAccounts.h"
#include "SimOptions.h"

namespace sim {

// Every socket is bound here, and the resolver's answers point here.
const char kListen4[] = "127.0.0.1";
const char kListen6[] = "::1";

struct State {
    Accounts accounts;
    std::string publicIPv4 = "203.0.113.7";  // reported by the address-check page
    std::string publicIPv6 = "2001:db8::7";
    Faults faults;
    uint64_t updates = 0;  // update replies so far; makes every responseId fresh
};

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
