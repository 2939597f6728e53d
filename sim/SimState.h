// What the simulated provider knows and how it currently behaves.
#ifndef DODODUZOD_SIM_STATE_H
#define DODODUZOD_SIM_STATE_H

#include <cstdint>
#include <string>

#include "SimAccounts.h"
#include "SimOptions.h"

namespace sim {

struct State {
    Accounts accounts;
    std::string listen4;  // the resolver's answers point here
    std::string listen6;
    std::string publicIPv4;  // reported by the address-check page
    std::string publicIPv6;
    Faults faults;
    int delayMs = 0;
    uint64_t updates = 0;    // update replies so far; makes every responseId fresh
    uint64_t malformed = 0;  // broken DNS replies so far; picks the next kind of damage
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
