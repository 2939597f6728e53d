#include "SimOptions.h"

#include <arpa/inet.h>

#include <cstring>

namespace sim {
namespace {

struct FaultName {
    const char* name;
    bool Faults::*flag;
    const char* what;
};

const FaultName faultNames[] = {
    {"refuse-8245", &Faults::refuse8245, "port 8245 is not listening: connections are refused"},
    {"error-pages", &Faults::errorPages, "every HTTP answer is a 500 with an HTML body"},
    {"stall-http", &Faults::stallHttp, "requests are read but held unanswered until cleared"},
    {"delay", &Faults::delay, "HTTP answers come after the delay (--delay-ms, 'delay N')"},
    {"dns-malformed", &Faults::dnsMalformed,
     "broken answer section: in turn a self-pointing name, an RDLENGTH past the end"},
    {"dns-forged", &Faults::dnsForged,
     "before each reply: one with the right ID from another port and one with a\n"
     "                  wrong ID from the right port, both giving 127.0.0.99"},
    {"dns-silent", &Faults::dnsSilent, "no DNS answers at all"},
    {"status-bad-auth", &Faults::statusBadAuth,
     "updates answer Bad Authentication, change nothing"},
    {"short-id", &Faults::shortId, "update replies carry a 10-byte responseId"},
};

std::string FaultHelp() {
    std::string text;
    for (const FaultName& f : faultNames) {
        std::string name = f.name;
        text += "  " + name + std::string(16 - name.size(), ' ') + f.what + "\n";
    }
    return text;
}

// "none" and "" switch a family off.
std::string ListenValue(const std::string& value) {
    return value == "none" ? "" : value;
}

bool ParsePorts(const std::string& text, std::vector<int>& ports) {
    std::vector<int> parsed;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        int port = 0;
        if (!ParseNumber(text.substr(start, comma - start), 1, 65535, port))
            return false;
        for (int seen : parsed)
            if (seen == port)
                return false;
        parsed.push_back(port);
        start = comma + 1;
    }
    if (parsed.empty() || parsed.size() > 8)
        return false;
    ports = parsed;
    return true;
}

// Applies one option with its value; false with `error` set when the value is bad.
bool Apply(const std::string& name, const std::string& value, Options& o, std::string& error) {
    bool ok = true;
    if (name == "--listen4") {
        o.listen4 = ListenValue(value);
        if (!o.listen4.empty() && !IsLoopback4(o.listen4)) {
            error = "--listen4 " + value + ": not a loopback address (127.0.0.0/8); refused";
            return false;
        }
    } else if (name == "--listen6") {
        o.listen6 = ListenValue(value);
        if (!o.listen6.empty() && !IsLoopback6(o.listen6)) {
            error = "--listen6 " + value + ": not the loopback address ::1; refused";
            return false;
        }
    } else if (name == "--dns-port") {
        ok = ParseNumber(value, 1, 65535, o.dnsPort);
    } else if (name == "--ns-port") {
        ok = ParseNumber(value, 1, 65535, o.nsPort);
    } else if (name == "--http-ports") {
        ok = ParsePorts(value, o.httpPorts);
    } else if (name == "--accounts") {
        o.accountsFile = value;
        ok = !value.empty();
    } else if (name == "--public-ipv4") {
        o.publicIPv4 = value;
        ok = value.size() <= maxAddressText;
    } else if (name == "--public-ipv6") {
        o.publicIPv6 = value;
        ok = value.size() <= maxAddressText;
    } else if (name == "--fault") {
        bool* flag = FaultFlag(o.faults, value);
        if (flag == nullptr) {
            error = "--fault " + value + ": unknown fault (known: " + FaultNames() + ")";
            return false;
        }
        *flag = true;
    } else if (name == "--delay-ms") {
        ok = ParseNumber(value, 0, maxDelayMs, o.delayMs);
    } else {
        error = "unknown option " + name;
        return false;
    }
    if (!ok)
        error = "bad value for " + name + ": '" + value + "'";
    return ok;
}

}  // namespace

bool* FaultFlag(Faults& faults, const std::string& name) {
    for (const FaultName& f : faultNames)
        if (name == f.name)
            return &(faults.*f.flag);
    return nullptr;
}

std::string FaultNames() {
    std::string names;
    for (const FaultName& f : faultNames)
        names += (names.empty() ? "" : " ") + std::string(f.name);
    return names;
}

bool ParseNumber(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9)
        return false;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n < low || n > high)
        return false;
    value = n;
    return true;
}

bool IsLoopback4(const std::string& address) {
    in_addr a;
    return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool IsLoopback6(const std::string& address) {
    in6_addr a;
    return inet_pton(AF_INET6, address.c_str(), &a) == 1 &&
           std::memcmp(&a, &in6addr_loopback, sizeof a) == 0;
}

Parsed ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "-h" || name == "--help")
            return Parsed::help;
        std::string value;
        size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (name.compare(0, 2, "--") == 0 && i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = name.compare(0, 2, "--") == 0 ? "option " + name + " needs a value"
                                                  : "unexpected argument " + name;
            return Parsed::fail;
        }
        if (!Apply(name, value, options, error))
            return Parsed::fail;
    }
    return Parsed::run;
}

std::string Usage() {
    return "usage: dododuzod-sim [--listen4 ADDR] [--listen6 ADDR] [--dns-port N] [--ns-port N]\n"
           "                     [--http-ports N,N] [--accounts FILE] [--public-ipv4 ADDR]\n"
           "                     [--public-ipv6 ADDR] [--fault NAME]... [--delay-ms N]\n"
           "\n"
           "A local stand-in for the dynamic-DNS provider. It binds loopback addresses only.\n"
           "\n"
           "  --listen4 ADDR     IPv4 address in 127.0.0.0/8 (default 127.0.0.1; none: off)\n"
           "  --listen6 ADDR     ::1 (default; none: off)\n"
           "  --dns-port N       recursive resolver, UDP on listen4 (default 53)\n"
           "  --ns-port N        authoritative name server, UDP on listen4 (default 5353);\n"
           "                     equal to --dns-port: one socket answers both sets of names\n"
           "  --http-ports N,N   web service, TCP on listen4 and listen6 (default 8245,80)\n"
           "  --accounts FILE    lines 'username password [location...]', '#' comments\n"
           "  --public-ipv4 ADDR address text that /ipcheck.asp reports over IPv4\n"
           "                     (default 203.0.113.7; never contacted)\n"
           "  --public-ipv6 ADDR the same over IPv6 (default 2001:db8::7)\n"
           "  --fault NAME       switch a fault on (repeatable)\n"
           "  --delay-ms N       wait of the delay fault, 0 to 600000 (default 1000)\n"
           "  -h, --help         this text\n"
           "\n"
           "Resolver: A of checkip.zelmar.example, api.zelmar.example and ns1.zelmar.example\n"
           "is listen4; AAAA of checkipv6.zelmar.example is listen6 (no A); other names\n"
           "NXDOMAIN. Name server: A and AAAA of user.tag.<u>zelmar.example and\n"
           "location.user.tag.<u>zelmar.example (<u>: first letter of the user) as the last\n"
           "accepted update set them; other names NXDOMAIN.\n"
           "HTTP: /ipcheck.asp, /nic/clientupdate?location=&myipv4=&myipv6=&uin=,\n"
           "/nic/locationcheck?location=; anything else 404.\n"
           "\n"
           "Update replies: Good (an address changed), No Change, Bad Authentication\n"
           "(both addresses null), Invalid Location (not one of the account's).\n"
           "myipv4/myipv6 values 'no', '' or not an address of the family keep the held one.\n"
           "\n"
           "Faults (--fault NAME, or 'fault NAME on|off'):\n" +
           FaultHelp() +
           "\n"
           "Control, one command a line on standard input (end of input does not stop it):\n"
           "  public-ipv4 ADDR | public-ipv6 ADDR   change the reported address (empty allowed)\n"
           "  fault NAME on|off                     switch a fault\n"
           "  delay N                               set the delay fault's wait in ms\n"
           "  records                               'record NAME A|AAAA ADDR' lines, then 'end'\n"
           "  quit                                  stop (exit 0)\n"
           "A command that worked answers 'ok ...', a bad one 'error ...'.\n"
           "\n"
           "Standard output: 'ready' once every socket is bound, then one line per request:\n"
           "  dns|ns ADDR:PORT TYPE NAME -> ANSWER     (ANSWER: addresses, NXDOMAIN, NODATA,\n"
           "                                            malformed or silent; ' forged' appended\n"
           "                                            when forgeries went first)\n"
           "  http ADDR:PORT TARGET [user=NAME|-] -> CODE WHAT\n"
           "Exit status: 0 on SIGINT, SIGTERM or quit; 1 when a socket cannot be bound;\n"
           "2 for a bad command line or accounts file.\n";
}

}  // namespace sim
