#include "NetEvents.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "MyString.h"
#include "Wait.h"

namespace NetEvents {

namespace {

// The flags whose change matters to the choice of a source address.
// linux/if.h's flag of a link whose carrier is there; that header clashes with net/if.h.
constexpr unsigned linkLowerUp = 0x10000;  // IFF_LOWER_UP
constexpr unsigned stateFlags = IFA_F_TENTATIVE | IFA_F_DEPRECATED | IFA_F_DADFAILED;
constexpr size_t align4(size_t n) {
    return (n + 3) & ~size_t{3};
}

// One message's fixed header and its attributes, as bytes that were checked to be there.
struct Message {
    unsigned type;
    const unsigned char* body;  // the family's fixed header
    size_t length;              // of body and attributes
};

// The attribute `type` after the fixed header of `fixed` bytes, or null; `size` its length.
const unsigned char* Attribute(const Message& m, size_t fixed, unsigned type, size_t& size) {
    for (size_t at = align4(fixed); at + sizeof(rtattr) <= m.length;) {
        rtattr a;
        std::memcpy(&a, m.body + at, sizeof a);
        if (a.rta_len < sizeof a || at + a.rta_len > m.length)
            return nullptr;
        if ((a.rta_type & NLA_TYPE_MASK) == type) {
            size = a.rta_len - sizeof a;
            return m.body + at + sizeof a;
        }
        at += align4(a.rta_len);
    }
    return nullptr;
}

bool U32Attribute(const Message& m, size_t fixed, unsigned type, unsigned& value) {
    size_t size = 0;
    const unsigned char* p = Attribute(m, fixed, type, size);
    if (p == nullptr || size < sizeof(uint32_t))
        return false;
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    value = v;
    return true;
}

const char* FamilyName(unsigned char family) {
    return family == AF_INET ? "IPv4" : "IPv6";
}

bool Enabled(unsigned char family, Families families) {
    return (family == AF_INET && families.ipv4) || (family == AF_INET6 && families.ipv6);
}

State::Link* FindLink(State& state, int index) {
    for (State::Link& link : state.links)
        if (link.index == index)
            return &link;
    return nullptr;
}

// The link's name as a log may show it, or its number.
std::string LinkName(State& state, int index) {
    const State::Link* link = FindLink(state, index);
    return link != nullptr && !link->name.empty() ? MyString::Escape(link->name)
                                                  : "interface " + std::to_string(index);
}

bool HoldsAddress(const State& state, int index, Families families) {
    return std::any_of(state.addresses.begin(), state.addresses.end(), [&](const auto& a) {
        return a.index == index && Enabled(a.family, families);
    });
}

Change Relevant(const std::string& reason) {
    return Change{true, reason};
}

// One datagram from the kernel. A local process may send to our socket's address too; what
// it sends is dropped, so that nobody but the kernel can bring a check.
ssize_t ReceiveFromKernel(int fd, unsigned char* buffer, size_t size) {
    for (;;) {
        sockaddr_nl from = {};
        socklen_t length = sizeof from;
        const ssize_t n =
            recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0 || (length >= sizeof from && from.nl_family == AF_NETLINK && from.nl_pid == 0))
            return n;
    }
}

Change ApplyAddress(const Message& m, State& state, Families families) {
    ifaddrmsg header;
    if (m.length < sizeof header)
        return {};
    std::memcpy(&header, m.body, sizeof header);
    const size_t bytes = header.ifa_family == AF_INET ? 4 : header.ifa_family == AF_INET6 ? 16 : 0;
    const State::Link* link = FindLink(state, static_cast<int>(header.ifa_index));
    if (bytes == 0 || header.ifa_scope != RT_SCOPE_UNIVERSE || (link != nullptr && link->loopback))
        return {};
    size_t size = 0;
    const unsigned char* value = Attribute(m, sizeof header, IFA_LOCAL, size);
    if (value == nullptr || size != bytes)
        value = Attribute(m, sizeof header, IFA_ADDRESS, size);
    if (value == nullptr || size != bytes)
        return {};
    unsigned flags = header.ifa_flags;
    U32Attribute(m, sizeof header, IFA_FLAGS, flags);
    flags &= stateFlags;

    State::Address address = {static_cast<int>(header.ifa_index), header.ifa_family, {}, flags};
    std::memcpy(address.bytes, value, bytes);
    auto known = std::find_if(state.addresses.begin(), state.addresses.end(), [&](const auto& a) {
        return a.index == address.index && a.family == address.family &&
               std::memcmp(a.bytes, address.bytes, bytes) == 0;
    });
    const std::string where = " on " + LinkName(state, address.index);
    const std::string what = std::string(FamilyName(address.family)) + " address ";
    const bool enabled = Enabled(address.family, families);
    if (m.type == RTM_DELADDR) {
        if (known != state.addresses.end())
            state.addresses.erase(known);
        return enabled ? Relevant(what + "removed" + where) : Change{};
    }
    if (known == state.addresses.end()) {
        if (state.addresses.size() < State::maxAddresses)
            state.addresses.push_back(address);
        return enabled ? Relevant(what + "added" + where) : Change{};
    }
    const unsigned before = known->flags;
    known->flags = flags;
    if (before == flags || !enabled)
        return {};  // a refresh of its lifetimes
    const unsigned gained = flags & ~before, lost = before & ~flags;
    const char* how = (lost & IFA_F_TENTATIVE)      ? "ready"
                      : (gained & IFA_F_DEPRECATED) ? "deprecated"
                      : (lost & IFA_F_DEPRECATED)   ? "preferred again"
                                                    : "failed duplicate address detection";
    return Relevant(what + how + where);
}

Change ApplyLink(const Message& m, State& state, Families families) {
    ifinfomsg header;
    if (m.length < sizeof header)
        return {};
    std::memcpy(&header, m.body, sizeof header);
    const int index = header.ifi_index;
    State::Link* link = FindLink(state, index);
    if (m.type == RTM_DELLINK) {
        if (link == nullptr)
            return {};
        const bool held = HoldsAddress(state, index, families);
        const std::string name = LinkName(state, index);
        state.addresses.erase(std::remove_if(state.addresses.begin(), state.addresses.end(),
                                             [&](const auto& a) { return a.index == index; }),
                              state.addresses.end());
        state.links.erase(state.links.begin() + (link - state.links.data()));
        return held ? Relevant("link " + name + " removed") : Change{};
    }
    const bool carrier = (header.ifi_flags & linkLowerUp) != 0;
    size_t size = 0;
    const unsigned char* name = Attribute(m, sizeof header, IFLA_IFNAME, size);
    if (link == nullptr) {
        if (state.links.size() >= State::maxLinks)
            return {};
        state.links.push_back({index, carrier, (header.ifi_flags & IFF_LOOPBACK) != 0, ""});
        link = &state.links.back();
    }
    if (name != nullptr)
        link->name.assign(reinterpret_cast<const char*>(name),
                          strnlen(reinterpret_cast<const char*>(name), size));
    const bool before = link->carrier;
    link->carrier = carrier;
    if (before == carrier || !HoldsAddress(state, index, families))
        return {};
    return Relevant("link " + LinkName(state, index) + (carrier ? " gained" : " lost") +
                    " its carrier");
}

Change ApplyRoute(const Message& m, State& state, Families families) {
    rtmsg header;
    if (m.length < sizeof header)
        return {};
    std::memcpy(&header, m.body, sizeof header);
    unsigned table = header.rtm_table;
    U32Attribute(m, sizeof header, RTA_TABLE, table);
    const size_t bytes = header.rtm_family == AF_INET ? 4 : header.rtm_family == AF_INET6 ? 16 : 0;
    if (bytes == 0 || header.rtm_dst_len != 0 || table != RT_TABLE_MAIN ||
        header.rtm_type != RTN_UNICAST)
        return {};
    State::Route route = {header.rtm_family, 0, 0, {}};
    unsigned index = 0;
    U32Attribute(m, sizeof header, RTA_OIF, index);
    route.index = static_cast<int>(index);
    U32Attribute(m, sizeof header, RTA_PRIORITY, route.priority);
    size_t size = 0;
    const unsigned char* gateway = Attribute(m, sizeof header, RTA_GATEWAY, size);
    if (gateway != nullptr && size == bytes)
        std::memcpy(route.gateway, gateway, bytes);
    auto same = [&](const State::Route& r) {
        return r.family == route.family && r.index == route.index && r.priority == route.priority &&
               std::memcmp(r.gateway, route.gateway, 16) == 0;
    };
    auto& routes = state.routes;
    const bool known = std::any_of(routes.begin(), routes.end(), same);
    const bool hadOne = std::any_of(routes.begin(), routes.end(),
                                    [&](const auto& r) { return r.family == route.family; });
    const std::string what = std::string(FamilyName(route.family)) + " default route ";
    const std::string where = " on " + LinkName(state, route.index);
    const bool enabled = Enabled(route.family, families);
    if (m.type == RTM_DELROUTE) {
        routes.erase(std::remove_if(routes.begin(), routes.end(), same), routes.end());
        return enabled ? Relevant(what + "removed" + where) : Change{};
    }
    if (known)
        return {};
    // A replaced route comes as the new one only: the old one of its family and metric goes.
    routes.erase(std::remove_if(routes.begin(), routes.end(),
                                [&](const auto& r) {
                                    return r.family == route.family && r.priority == route.priority;
                                }),
                 routes.end());
    if (routes.size() < State::maxRoutes)
        routes.push_back(route);
    return enabled ? Relevant(what + (hadOne ? "changed" : "added") + where) : Change{};
}

}  // namespace

Change Apply(const unsigned char* data, size_t length, State& state, Families families) {
    Change first;
    for (size_t at = 0; at + sizeof(nlmsghdr) <= length;) {
        nlmsghdr h;
        std::memcpy(&h, data + at, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > length - at)
            break;
        const Message m = {h.nlmsg_type, data + at + sizeof h, h.nlmsg_len - sizeof h};
        Change change;
        switch (h.nlmsg_type) {
            case RTM_NEWADDR:
            case RTM_DELADDR:
                change = ApplyAddress(m, state, families);
                break;
            case RTM_NEWLINK:
            case RTM_DELLINK:
                change = ApplyLink(m, state, families);
                break;
            case RTM_NEWROUTE:
            case RTM_DELROUTE:
                change = ApplyRoute(m, state, families);
                break;
            default:
                break;
        }
        if (change.relevant && !first.relevant)
            first = change;
        at += align4(h.nlmsg_len);
    }
    return first;
}

void Schedule::Event(long long now) {
    if (first_ < 0)
        first_ = now;
    last_ = now;
}

void Schedule::CycleRan(long long now, bool early) {
    first_ = last_ = -1;
    if (early) {
        lastEarly_ = now;
        everEarly_ = true;
    }
}

long long Schedule::Due() const {
    const long long due = std::min(last_ + quietMs, first_ + burstMs);
    return everEarly_ ? std::max(due, lastEarly_ + spacingMs) : due;
}

bool Watch::Open() {
    Close();
    FileDescriptor fd(socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    if (!fd.ok() || bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return false;
    fd_ = std::move(fd);
    Rebuild();  // a dump cut short leaves less known: later refreshes count as changes
    return true;
}

void Watch::Close() {
    fd_.Reset();
    state_ = State();
}

bool Watch::Rebuild() {
    state_ = State();
    // Links first, so that addresses and routes find their names.
    return Dump(RTM_GETLINK, ++seq_) && Dump(RTM_GETADDR, ++seq_) && Dump(RTM_GETROUTE, ++seq_);
}

// One dump request, its answers applied until the kernel says it is done. Events that come
// in between are applied too; the dump is what is there now, so nothing here is relevant.
bool Watch::Dump(int type, unsigned seq) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = static_cast<unsigned short>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    request.body.rtgen_family = AF_UNSPEC;
    if (send(fd_.get(), &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
        return false;
    const Wait::Clock::time_point deadline = Wait::After(2);
    alignas(nlmsghdr) unsigned char buffer[8192];
    for (;;) {
        const ssize_t n = ReceiveFromKernel(fd_.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EAGAIN &&
                Wait::ForDescriptor(fd_.get(), POLLIN, deadline) == Wait::Result::ready)
                continue;
            if (errno == EINTR)
                continue;
            return false;
        }
        const size_t length = static_cast<size_t>(n);
        Apply(buffer, length, state_, Families());
        for (size_t at = 0; at + sizeof(nlmsghdr) <= length;) {
            nlmsghdr h;
            std::memcpy(&h, buffer + at, sizeof h);
            if (h.nlmsg_len < sizeof h || h.nlmsg_len > length - at)
                break;
            if (h.nlmsg_seq == seq && (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR))
                return h.nlmsg_type == NLMSG_DONE;
            at += align4(h.nlmsg_len);
        }
    }
}

bool Watch::Read(Families families, std::string& reason) {
    bool relevant = false;
    alignas(nlmsghdr) unsigned char buffer[8192];
    for (;;) {
        const ssize_t n = ReceiveFromKernel(fd_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == ENOBUFS) {
            if (!relevant)
                reason = "events were lost, the known state is read again";
            relevant = true;
            Rebuild();
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            Close();  // an error that reading does not clear: polling only, not a busy loop
        if (n <= 0)
            return relevant;
        const Change change = Apply(buffer, static_cast<size_t>(n), state_, families);
        if (change.relevant && !relevant)
            reason = change.reason;
        relevant = relevant || change.relevant;
    }
}

}  // namespace NetEvents
