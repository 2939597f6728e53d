// Commands that change the simulated provider while it runs, one per line.
#ifndef DODODUZOD_SIM_CONTROL_H
#define DODODUZOD_SIM_CONTROL_H

#include <string>
#include <vector>

#include "SimState.h"

namespace sim {

// Runs one line, "public-ipv4 ADDR", "public-ipv6 ADDR" or "records"; the lines to
// print, in order.
// A blank line does nothing.
std::vector<std::string> RunControl(State& state, const std::string& line);

}  // namespace sim

#endif
