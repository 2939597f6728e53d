// dododuzod-sim: the dynamic-DNS provider on loopback or on given addresses, for
// the demo, the end-to-end tests and the benchmarks.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SimOptions.h"
#include "SimServer.h"
#include "SimState.h"

namespace {

bool ReadAccounts(const std::string& path, sim::Accounts& accounts, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!accounts.Load(text.str(), error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    switch (sim::ParseOptions(args, options, error)) {
        case sim::Parsed::help:
            std::fputs(sim::Usage().c_str(), stdout);
            return 0;
        case sim::Parsed::fail:
            std::fprintf(stderr, "dododuzod-sim: %s\nTry 'dododuzod-sim --help'.\n", error.c_str());
            return 2;
        case sim::Parsed::run:
            break;
    }
    sim::State state;
    if (!options.accountsFile.empty() &&
        !ReadAccounts(options.accountsFile, state.accounts, error)) {
        std::fprintf(stderr, "dododuzod-sim: %s\n", error.c_str());
        return 2;
    }
    if (!options.listen.empty())
        state.listen = options.listen;
    state.publicIPv4 = options.publicIPv4;
    state.publicIPv6 = options.publicIPv6;
    state.faults = options.faults;
    return sim::Serve(state);
}
