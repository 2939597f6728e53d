#include "SimControl.h"

namespace sim {
namespace {

ControlResult One(const std::string& line) {
    ControlResult r;
    r.lines.push_back(line);
    return r;
}

// "public-ipv4 ADDR": the address is the rest of the line and may be empty.
ControlResult SetPublic(std::string& address, const std::string& command, const std::string& line) {
    size_t start = line.find_first_not_of(" \t", command.size());
    std::string value = start == std::string::npos ? "" : line.substr(start);
    if (value.size() > maxAddressText)
        return One("error address too long");
    address = value;
    return One("ok " + command + " " + value);
}

ControlResult SetFault(State& state, const std::vector<std::string>& w) {
    bool* flag = w.size() == 3 ? FaultFlag(state.faults, w[1]) : nullptr;
    if (flag == nullptr || (w[2] != "on" && w[2] != "off"))
        return One("error usage: fault NAME on|off, NAME one of " + FaultNames());
    *flag = w[2] == "on";
    return One("ok fault " + w[1] + " " + w[2]);
}

}  // namespace

ControlResult RunControl(State& state, const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    line.erase(0, line.find_first_not_of(" \t"));
    std::vector<std::string> w = Words(line);
    if (w.empty())
        return {};
    if (w[0] == "public-ipv4")
        return SetPublic(state.publicIPv4, w[0], line);
    if (w[0] == "public-ipv6")
        return SetPublic(state.publicIPv6, w[0], line);
    if (w[0] == "fault")
        return SetFault(state, w);
    if (w[0] == "delay") {
        if (w.size() != 2 || !ParseNumber(w[1], 0, maxDelayMs, state.delayMs))
            return One("error usage: delay N (milliseconds, 0 to " + std::to_string(maxDelayMs) +
                       ")");
        return One("ok delay " + std::to_string(state.delayMs));
    }
    if (w[0] == "records" && w.size() == 1) {
        ControlResult r;
        r.lines = state.accounts.RecordLines();
        r.lines.push_back("end");
        return r;
    }
    if (w[0] == "quit" && w.size() == 1) {
        ControlResult r;
        r.quit = true;
        return r;
    }
    return One("error unknown command: " + Printable(line));
}

}  // namespace sim
