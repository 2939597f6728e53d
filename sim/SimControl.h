// Commands that change the simulated provider while it runs, one per line.
#ifndef DODODUZOD_SIM_CONTROL_H
#define DODODUZOD_SIM_CONTROL_H

#include <string>
#include <vector>

#include "SimState.h"

namespace sim {

struct ControlResult {
    std::vector<std::string> lines;  // to print, in order
    bool quit = false;
};

// Runs one line: "public-ipv4 ADDR", "public-ipv6 ADDR", "fault NAME on|off",
// "delay N", "records" or "quit". A blank line does nothing.
ControlResult RunControl(State& state, const std::string& line);

}  // namespace sim

#endif
