#include "SimDns.h"

#include "Provider.h"

namespace sim {
namespace {

void Put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>((value >> 8) & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}

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

// The forger's reply: the asked name at 127.0.0.99, with the query's ID or a wrong one.
std::string Forgery(const std::string& query, const Question& q, bool wrongId) {
    Record r{q.name, typeA, "127.0.0.99"};
    if (q.type == typeAAAA)
        r = {q.name, typeAAAA, "::ffff:127.0.0.99"};
    std::string reply = BuildReply(query, {r});
    if (wrongId && reply.size() >= 2)
        reply[0] = static_cast<char>(reply[0] ^ 0x5a);
    return reply;
}

}  // namespace

int Resolve(const State& state, DnsRoles roles, const std::string& name, int type,
            std::vector<Record>& answers) {
    if (roles.resolver && IsServiceHost4(name)) {
        AddAddress(name, type, typeA, state.listen4, answers);
        return rcodeOk;
    }
    if (roles.resolver && IsServiceHost6(name)) {
        AddAddress(name, type, typeAAAA, state.listen6, answers);
        return rcodeOk;
    }
    const Host* host = roles.authority ? state.accounts.Find(name) : nullptr;
    if (host == nullptr)
        return rcodeNameError;
    AddAddress(name, type, typeA, host->ipv4, answers);
    AddAddress(name, type, typeAAAA, host->ipv6, answers);
    return rcodeOk;
}

std::string MalformedReply(const std::string& query, bool loopingPointer) {
    Question q;
    if (!ParseQuestion(query, q))
        return "";
    std::string out;
    Put16(out, q.id);
    Put16(out, 0x8180);
    Put16(out, 1);
    Put16(out, 2);
    Put16(out, 0);
    Put16(out, 0);
    out.append(query, 12, q.end - 12);
    // The owner name: a pointer to itself, or a sound pointer to the question.
    Put16(out, loopingPointer ? 0xc000 | static_cast<unsigned>(out.size()) : 0xc00c);
    Put16(out, q.type == typeAAAA ? typeAAAA : typeA);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 60);
    Put16(out, loopingPointer ? 4 : 1024);  // 1024: far more than follows
    out.append(4, '\x7f');
    return out;
}

DnsOutcome AnswerQuery(State& state, DnsRoles roles, const std::string& query) {
    DnsOutcome outcome;
    outcome.role = roles.resolver ? "dns" : "ns";
    Question q;
    if (query.size() > 2 && (query[2] & 0x80) != 0) {
        outcome.log = "(a reply, " + std::to_string(query.size()) + " bytes) -> ignored";
        return outcome;
    }
    if (!ParseQuestion(query, q)) {
        outcome.log = "(bad query, " + std::to_string(query.size()) + " bytes) -> ignored";
        return outcome;
    }
    if (roles.resolver && roles.authority && state.accounts.Find(q.name) != nullptr)
        outcome.role = "ns";
    std::vector<Record> answers;
    int rcode = Resolve(state, roles, q.name, q.type, answers);
    outcome.log = TypeName(q.type) + " " + Printable(q.name) + " -> ";
    const Faults& f = state.faults;
    if (f.dnsSilent) {
        outcome.log += "silent";
        return outcome;
    }
    if (f.dnsForged) {
        outcome.replies.push_back({Forgery(query, q, false), true});
        outcome.replies.push_back({Forgery(query, q, true), false});
    }
    if (f.dnsMalformed)
        outcome.replies.push_back({MalformedReply(query, state.malformed++ % 2 == 0), false});
    else
        outcome.replies.push_back({BuildReply(query, answers, rcode), false});
    outcome.log += f.dnsMalformed ? "malformed" : Summary(rcode, answers);
    if (f.dnsForged)
        outcome.log += " forged";
    return outcome;
}

}  // namespace sim
