// The simulator's command line and its fault switches.
#ifndef DODODUZOD_SIM_OPTIONS_H
#define DODODUZOD_SIM_OPTIONS_H

#include <string>
#include <vector>

namespace sim {

// Ways in which the simulated provider can misbehave, each switched on its own.
struct Faults {
    bool refuse8245 = false;     // no listener on port 8245
    bool errorPages = false;     // every HTTP answer is a 500 page
    bool stallHttp = false;      // requests are read but not answered
    bool delay = false;          // HTTP answers wait `delayMs`
    bool dnsMalformed = false;   // DNS answers carry a broken answer section
    bool dnsForged = false;      // forged replies race each real one
    bool dnsSilent = false;      // no DNS answers at all
    bool statusBadAuth = false;  // updates are refused whatever the credentials
    bool shortId = false;        // update replies carry a 10-byte responseId
};

// The switch named `name` ("refuse-8245", "stall-http", ...); null for an unknown name.
bool* FaultFlag(Faults& faults, const std::string& name);
// The names of every fault, space separated, for the usage text and error lines.
std::string FaultNames();

struct Options {
    std::string listen4 = "127.0.0.1";  // empty: no IPv4 sockets
    std::string listen6 = "::1";        // empty: no IPv6 sockets
    int dnsPort = 53;
    int nsPort = 5353;
    std::vector<int> httpPorts{8245, 80};
    std::string accountsFile;  // empty: no accounts
    std::string publicIPv4 = "203.0.113.7";
    std::string publicIPv6 = "2001:db8::7";
    Faults faults;
    int delayMs = 1000;
};

enum class Parsed { run, help, fail };

// Reads the arguments after the program name. On `fail`, `error` says why.
Parsed ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string Usage();

bool IsLoopback4(const std::string& address);
bool IsLoopback6(const std::string& address);
// A decimal number from `low` to `high`, nothing else.
bool ParseNumber(const std::string& text, int low, int high, int& value);
enum { maxDelayMs = 600000, maxAddressText = 255 };

}  // namespace sim

#endif
