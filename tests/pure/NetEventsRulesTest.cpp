// Which rtnetlink messages call for an early check, and when it is due: crafted messages
// applied in order to one state, and event times fed to the schedule.
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <string>
#include <vector>

#include "NetEvents.h"

namespace {

using Bytes = std::vector<unsigned char>;

void Put(Bytes& out, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    out.insert(out.end(), p, p + size);
    out.resize((out.size() + 3) & ~size_t{3});
}

Bytes U32(uint32_t v) {
    const auto* p = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(p, p + 4);
}

// One message: the header, the family's fixed part, then attributes.
Bytes Message(unsigned short type, const void* fixed, size_t size,
              const std::vector<std::pair<unsigned short, Bytes>>& attributes) {
    Bytes body;
    Put(body, fixed, size);
    for (const auto& [type, value] : attributes) {
        const rtattr a = {static_cast<unsigned short>(sizeof(rtattr) + value.size()), type};
        Put(body, &a, sizeof a);
        Put(body, value.data(), value.size());
    }
    nlmsghdr h = {};
    h.nlmsg_len = static_cast<uint32_t>(sizeof h + body.size());
    h.nlmsg_type = type;
    Bytes out;
    Put(out, &h, sizeof h);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

enum Kind { added, removed };
enum Scope { global = RT_SCOPE_UNIVERSE, link = RT_SCOPE_LINK, host = RT_SCOPE_HOST };

Bytes Address(Kind kind, int index, const Bytes& address, Scope scope, unsigned flags = 0) {
    ifaddrmsg m = {};
    m.ifa_family = address.size() == 4 ? AF_INET : AF_INET6;
    m.ifa_prefixlen = address.size() == 4 ? 24 : 64;
    m.ifa_scope = static_cast<unsigned char>(scope);
    m.ifa_index = static_cast<uint32_t>(index);
    return Message(kind == added ? RTM_NEWADDR : RTM_DELADDR, &m, sizeof m,
                   {{IFA_ADDRESS, address}, {IFA_FLAGS, U32(flags)}});
}

Bytes Link(int index, const std::string& name, bool carrier, bool loopback = false) {
    ifinfomsg m = {};
    m.ifi_index = index;
    m.ifi_flags =
        unsigned{IFF_UP} | (carrier ? 0x10000u : 0u) | (loopback ? unsigned{IFF_LOOPBACK} : 0u);
    return Message(RTM_NEWLINK, &m, sizeof m, {{IFLA_IFNAME, Bytes(name.begin(), name.end() + 1)}});
}

Bytes Route(Kind kind, int family, int index, unsigned char table, unsigned char dstLength = 0) {
    rtmsg m = {};
    m.rtm_family = static_cast<unsigned char>(family);
    m.rtm_dst_len = dstLength;
    m.rtm_table = table;
    m.rtm_type = RTN_UNICAST;
    return Message(kind == added ? RTM_NEWROUTE : RTM_DELROUTE, &m, sizeof m,
                   {{RTA_OIF, U32(static_cast<uint32_t>(index))}});
}

Bytes Cut(Bytes message, size_t bytes) {
    message.resize(message.size() - bytes);
    return message;
}

const Bytes v4 = {192, 0, 2, 2}, v4b = {192, 0, 2, 3}, loop4 = {127, 0, 0, 1},
            v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
            ll6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const NetEvents::Families both = {true, true}, v4Only = {true, false};

// Rows apply in order to one state: each says what its message came to ("" = nothing).
TEST(NetEventsRules, RelevantChangesAndRefreshes) {
    const struct {
        const char* what;
        Bytes message;
        NetEvents::Families families;
        std::string reason;
    } rows[] = {
        {"links become known", Link(1, "lo", true, true), both, ""},
        {"eth0 known", Link(2, "eth\x01", true), both, ""},
        {"an IPv4 address", Address(added, 2, v4, global), both, "IPv4 address added on eth\\x01"},
        {"its refresh", Address(added, 2, v4, global), both, ""},
        {"a tentative IPv6 address", Address(added, 2, v6, global, IFA_F_TENTATIVE), both,
         "IPv6 address added on eth\\x01"},
        {"a refresh, still tentative", Address(added, 2, v6, global, IFA_F_TENTATIVE), both, ""},
        {"DAD done", Address(added, 2, v6, global, IFA_F_PERMANENT), both,
         "IPv6 address ready on eth\\x01"},
        {"deprecated", Address(added, 2, v6, global, IFA_F_DEPRECATED), both,
         "IPv6 address deprecated on eth\\x01"},
        {"deprecated, refreshed", Address(added, 2, v6, global, IFA_F_DEPRECATED), both, ""},
        {"link-local", Address(added, 2, ll6, link), both, ""},
        {"host scope", Address(added, 1, loop4, host), both, ""},
        {"global on loopback", Address(added, 1, v4b, global), both, ""},
        {"a family turned off", Address(removed, 2, v6, global), v4Only, ""},
        {"another IPv4 address", Address(added, 2, v4b, global), both,
         "IPv4 address added on eth\\x01"},
        {"it goes", Address(removed, 2, v4b, global), both, "IPv4 address removed on eth\\x01"},
        {"carrier lost", Link(2, "eth\x01", false), both, "link eth\\x01 lost its carrier"},
        {"still none", Link(2, "eth\x01", false), both, ""},
        {"carrier back", Link(2, "eth\x01", true), both, "link eth\\x01 gained its carrier"},
        {"a link without addresses", Link(3, "dummy0", false), both, ""},
        {"its carrier", Link(3, "dummy0", true), both, ""},
        {"a default route", Route(added, AF_INET, 2, RT_TABLE_MAIN), both,
         "IPv4 default route added on eth\\x01"},
        {"the same again", Route(added, AF_INET, 2, RT_TABLE_MAIN), both, ""},
        {"moved to another link", Route(added, AF_INET, 3, RT_TABLE_MAIN), both,
         "IPv4 default route changed on dummy0"},
        {"another table", Route(added, AF_INET, 2, 100), both, ""},
        {"not a default route", Route(added, AF_INET, 2, RT_TABLE_MAIN, 24), both, ""},
        {"IPv6 default, family off", Route(added, AF_INET6, 2, RT_TABLE_MAIN), v4Only, ""},
        {"removed", Route(removed, AF_INET, 3, RT_TABLE_MAIN), both,
         "IPv4 default route removed on dummy0"},
        {"cut short", Cut(Address(added, 2, v4b, global), 4), both, ""},
    };
    NetEvents::State state;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const NetEvents::Change c =
            NetEvents::Apply(row.message.data(), row.message.size(), state, row.families);
        EXPECT_EQ(c.relevant, !row.reason.empty());
        EXPECT_EQ(c.reason, row.reason);
    }
}

// Event times (ms) and cycles: when the early check is due (-1: none pending).
TEST(NetEventsRules, OneCheckPerBurstAndAMinuteApart) {
    enum Step { event, earlyCycle, pollCycle };
    const struct {
        const char* what;
        std::vector<std::pair<Step, long long>> steps;
        long long due;
    } rows[] = {
        {"one event", {{event, 1000}}, 3000},
        {"a burst settles", {{event, 1000}, {event, 2500}}, 4500},
        {"a burst that goes on",
         {{event, 1000}, {event, 2500}, {event, 4000}, {event, 5500}},
         6000},
        {"a poll covers it", {{event, 1000}, {pollCycle, 1500}}, -1},
        {"within the minute after an early check",
         {{event, 1000}, {earlyCycle, 3000}, {event, 10000}},
         63000},
        {"a poll starts no spacing", {{pollCycle, 1000}, {event, 2000}}, 4000},
        {"after the minute", {{event, 1000}, {earlyCycle, 3000}, {event, 70000}}, 72000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        NetEvents::Schedule s;
        for (const auto& step : row.steps)
            step.first == event ? s.Event(step.second)
                                : s.CycleRan(step.second, step.first == earlyCycle);
        EXPECT_EQ(s.Pending() ? s.Due() : -1, row.due);
    }
}

}  // namespace
