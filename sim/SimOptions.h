// The simulator's command line.
#ifndef DODODUZOD_SIM_OPTIONS_H
#define DODODUZOD_SIM_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace sim {

// How the simulated provider answers over HTTP.
struct Faults {
    bool stallHttp = false;  // requests are read but never answered
    int delayMs = 0;         // answers wait this long
    std::string status;      // non-empty: every update answers it and changes nothing
};

struct Options {
    std::string accountsFile;                           // empty: no accounts
    std::vector<std::string> listen;                    // canonical address texts; empty: loopback
    std::optional<std::string> publicIPv4, publicIPv6;  // unset: the client's address
    Faults faults;
};

enum class Parsed { run, help, fail };

// Reads the arguments after the program name. On `fail`, `error` says why.
Parsed ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string Usage();

// A decimal number from `low` to `high`, nothing else.
bool ParseNumber(const std::string& text, int low, int high, int& value);
enum { maxDelayMs = 600000, maxAddressText = 255 };

}  // namespace sim

#endif
