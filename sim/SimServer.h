// The simulated provider's sockets and its one event loop.
#ifndef DODODUZOD_SIM_SERVER_H
#define DODODUZOD_SIM_SERVER_H

#include "SimState.h"

namespace sim {

// Binds every socket, prints "ready" and serves until SIGINT or SIGTERM. Returns
// the exit status: 0 after a stop, 1 when a socket cannot be bound.
int Serve(State& state);

}  // namespace sim

#endif
