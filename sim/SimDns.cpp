#include "SimDns.h"

#include "Provider.h"

namespace sim {
namespace {

// The host of one of the client's built-in URLs.
std::string HostOf(const std::string& url) {
    std::string rest = url.compare(0, 7, "http://") == 0 ? url.substr(7) : url;
    return rest.substr(0, rest.find('/'));
}

// Names the resolver gives the IPv4 service address.
bool IsServiceHost4(const std::string& name) {
    return SameName(name, HostOf(Provider::ipv4CheckUrl)) ||
           SameName(name, HostOf(Provider::updateUrl)) ||
           SameName(name, HostOf(Provider::locationCheckUrl)) ||
           SameName(name, Provider::nameServer);
}

bool IsServiceHost6(const std::string& name) {
    return SameName(name, HostOf(Provider::ipv6CheckUrl));
}

std::string TypeName(int type) {
    if (type == typeA)
        return "A";
    if (type == typeAAAA)
        return "AAAA";
    return "TYPE" + std::to_string(type);
}

void AddAddress(const std::string& name, int type, int wanted, const std::string& address,
                std::vector<Record>& answers) {
    if (type == wanted && !address.empty())
        answers.push_back({name, type, address});
}

// The listen addresses of the family `wanted` asks for.
void AddListen(const State& state, const std::string& name, int type, int wanted,
               std::vector<Record>& answers) {
    for (const std::string& address : state.listen)
        if (IsIPv6(address) == (wanted == typeAAAA))
            AddAddress(name, type, wanted, address, answers);
}

std::string Summary(int rcode, const std::vector<Record>& answers) {
    if (rcode == rcodeNameError)
        return "NXDOMAIN";
    if (answers.empty())
        return "NODATA";
    std::string text;
    for (const Record& r : answers)
        text += (text.empty() ? "" : ",") + r.rdata;
    return text;
}

// The records that answer (name, type) and the reply code.
int Resolve(const State& state, bool authority, const std::string& name, int type,
            std::vector<Record>& answers) {
    if (!authority && IsServiceHost4(name)) {
        AddListen(state, name, type, typeA, answers);
        return rcodeOk;
    }
    if (!authority && IsServiceHost6(name)) {
        AddListen(state, name, type, typeAAAA, answers);
        return rcodeOk;
    }
    const Host* host = authority ? state.accounts.Find(name) : nullptr;
    if (host == nullptr)
        return rcodeNameError;
    AddAddress(name, type, typeA, host->ipv4, answers);
    AddAddress(name, type, typeAAAA, host->ipv6, answers);
    return rcodeOk;
}

}  // namespace

DnsOutcome AnswerQuery(const State& state, bool authority, const std::string& query) {
    DnsOutcome outcome;
    Question q;
    if (query.size() > 2 && (query[2] & 0x80) != 0) {
        outcome.log = "(a reply, " + std::to_string(query.size()) + " bytes) -> ignored";
        return outcome;
    }
    if (!ParseQuestion(query, q)) {
        outcome.log = "(bad query, " + std::to_string(query.size()) + " bytes) -> ignored";
        return outcome;
    }
    std::vector<Record> answers;
    const int rcode = Resolve(state, authority, q.name, q.type, answers);
    outcome.reply = BuildReply(query, answers, rcode);
    outcome.log = TypeName(q.type) + " " + Printable(q.name) + " -> " + Summary(rcode, answers);
    return outcome;
}

}  // namespace sim
