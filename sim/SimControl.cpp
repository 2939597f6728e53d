#include "SimControl.h"

namespace sim {

std::vector<std::string> RunControl(State& state, const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    line.erase(0, line.find_first_not_of(" \t"));
    std::vector<std::string> w = Words(line);
    if (w.empty())
        return {};
    if (w[0] == "public-ipv4" || w[0] == "public-ipv6") {
        // The address is the rest of the line and may be empty.
        const size_t start = line.find_first_not_of(" \t", w[0].size());
        const std::string value = start == std::string::npos ? "" : line.substr(start);
        if (value.size() > maxAddressText)
            return {"error address too long"};
        (w[0] == "public-ipv4" ? state.publicIPv4 : state.publicIPv6) = value;
        return {"ok " + w[0] + " " + value};
    }
    if (w[0] == "records" && w.size() == 1) {
        std::vector<std::string> lines = state.accounts.RecordLines();
        lines.push_back("end");
        return lines;
    }
    return {"error unknown command: " + Printable(line)};
}

}  // namespace sim
