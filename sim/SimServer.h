// The simulated provider's sockets and its one event loop.
#ifndef DODODUZOD_SIM_SERVER_H
#define DODODUZOD_SIM_SERVER_H

#include "SimOptions.h"
#include "SimState.h"

namespace sim {

// Binds every socket of `options`, prints "ready" and serves until SIGINT,
// SIGTERM or the "quit" command. Returns the exit status: 0 after a stop,
// 1 when a socket cannot be bound.
int Serve(const Options& options, State& state);

}  // namespace sim

#endif
