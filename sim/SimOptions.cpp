#include "SimOptions.h"

#include <sys/socket.h>

#include <algorithm>

#include "SimAccounts.h"

namespace sim {

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

namespace {

bool AddListen(const std::string& value, std::vector<std::string>& listen) {
    std::string address = Canonical(AF_INET, value);
    if (address.empty())
        address = Canonical(AF_INET6, value);
    listen.push_back(address);
    return !address.empty();
}

}  // namespace

Parsed ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "-h" || name == "--help")
            return Parsed::help;
        if (name == "--stall") {
            options.faults.stallHttp = true;
            continue;
        }
        const std::vector<std::string> valued = {"--accounts",    "--listen",   "--public-ipv4",
                                                 "--public-ipv6", "--delay-ms", "--status"};
        if (std::find(valued.begin(), valued.end(), name) == valued.end()) {
            error = "unknown argument " + name;
            return Parsed::fail;
        }
        if (i + 1 == args.size()) {
            error = "option " + name + " needs a value";
            return Parsed::fail;
        }
        const std::string& value = args[++i];
        bool ok = !value.empty();
        if (name == "--accounts")
            options.accountsFile = value;
        else if (name == "--listen")
            ok = AddListen(value, options.listen);
        else if (name == "--public-ipv4")
            options.publicIPv4 = value;
        else if (name == "--public-ipv6")
            options.publicIPv6 = value;
        else if (name == "--status")
            options.faults.status = value;
        else
            ok = ParseNumber(value, 0, maxDelayMs, options.faults.delayMs);
        if (!ok) {
            error = "bad value for " + name + ": '" + value + "'";
            return Parsed::fail;
        }
    }
    return Parsed::run;
}

std::string Usage() {
    return "usage: dododuzod-sim [--accounts FILE] [--listen ADDR]... [--public-ipv4 ADDR]\n"
           "         [--public-ipv6 ADDR] [--delay-ms N] [--stall] [--status TEXT]\n"
           "\n"
           "A stand-in for the dynamic-DNS provider, on 127.0.0.1 and ::1 unless --listen\n"
           "names other addresses.\n"
           "\n"
           "  --accounts FILE     lines 'username password [location...]', '#' comments\n"
           "  --listen ADDR       serve on this IPv4 or IPv6 address instead of loopback;\n"
           "                      repeatable\n"
           "  --public-ipv4 ADDR  /ipcheck.asp over IPv4 reports ADDR, not the client's\n"
           "  --public-ipv6 ADDR  /ipcheck.asp over IPv6 reports ADDR, not the client's\n"
           "  --delay-ms N        HTTP answers wait N ms, 0 to 600000 (default 0)\n"
           "  --stall             HTTP requests are read but never answered\n"
           "  --status TEXT       every update answers TEXT and changes nothing\n"
           "  -h, --help          this text\n"
           "\n"
           "On each listen address ADDR:\n"
           "Resolver, UDP ADDR:53: A of checkip.zelmar.example, api.zelmar.example and\n"
           "ns1.zelmar.example are the IPv4 listen addresses, AAAA of\n"
           "checkipv6.zelmar.example the IPv6 ones (no A); other names NXDOMAIN.\n"
           "Name server, UDP ADDR:5353: A and AAAA of user.tag.<u>zelmar.example and\n"
           "location.user.tag.<u>zelmar.example (<u>: first letter of the user) as the last\n"
           "accepted update set them; other names NXDOMAIN.\n"
           "HTTP, TCP ADDR:8245 and ADDR:80: /ipcheck.asp ('ip' and the address the request\n"
           "came from), /nic/clientupdate?location=&myipv4=&myipv6=&uin=,\n"
           "/nic/locationcheck?location=; anything else 404.\n"
           "\n"
           "Update replies: Good (an address changed), No Change, Bad Authentication\n"
           "(both addresses null), Invalid Location (not one of the account's).\n"
           "myipv4/myipv6 values 'no', '' or not an address of the family keep the held one.\n"
           "\n"
           "Control, one command a line on standard input (end of input does not stop it):\n"
           "  public-ipv4 ADDR   /ipcheck.asp over IPv4 reports ADDR (empty allowed)\n"
           "  public-ipv6 ADDR   the same over IPv6\n"
           "  records            'record NAME A|AAAA ADDR' lines, then 'end'\n"
           "A command that worked answers 'ok ...', a bad one 'error ...'.\n"
           "\n"
           "Standard output: 'ready' once every socket is bound, then one line per request:\n"
           "  dns|ns ADDR:PORT TYPE NAME -> ANSWER     (ANSWER: addresses, NXDOMAIN or NODATA)\n"
           "  http ADDR:PORT TARGET [user=NAME|-] -> CODE WHAT\n"
           "Exit status: 0 on SIGINT or SIGTERM; 1 when a socket cannot be bound;\n"
           "2 for a bad command line or accounts file.\n";
}

}  // namespace sim
