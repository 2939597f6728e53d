// The kernel's network events: which of them can change the public addresses, and when a
// change calls for a check before the poll interval is over.
#ifndef DODODUZOD_NETEVENTS_H
#define DODODUZOD_NETEVENTS_H

#include <cstddef>
#include <string>
#include <vector>

#include "FileDescriptor.h"

namespace NetEvents {

// The address families the configuration keeps up to date.
struct Families {
    bool ipv4 = true;
    bool ipv6 = true;
};

// What is known of the machine, only as much as tells a change from a refresh: global
// addresses with their state flags, links with their carrier, default routes. Bounded:
// past the bounds nothing more is remembered, so such a refresh counts as a change.
struct State {
    struct Address {
        int index;
        unsigned char family;
        unsigned char bytes[16];
        unsigned flags;  // only the state flags: tentative, deprecated, DAD failed
    };
    struct Link {
        int index;
        bool carrier;
        bool loopback;
        std::string name;
    };
    struct Route {
        unsigned char family;
        int index;
        unsigned priority;
        unsigned char gateway[16];
    };
    static constexpr size_t maxAddresses = 64, maxLinks = 32, maxRoutes = 8;
    std::vector<Address> addresses;
    std::vector<Link> links;
    std::vector<Route> routes;
};

// What one datagram of rtnetlink messages came to.
struct Change {
    bool relevant = false;
    std::string reason;  // of the first relevant message, e.g. "IPv6 address added on eth0"
};

// Applies every message of `data` to `state` and says whether one of them can change a
// public address of `families`. Any bytes are safe: what does not parse is skipped.
Change Apply(const unsigned char* data, size_t length, State& state, Families families);

// When an early check is due, on a millisecond clock that runs on through a suspend: about
// 2 s after the last relevant event, at most 5 s after the first of a burst, and never
// sooner than 60 s after the last early check.
class Schedule {
  public:
    static constexpr long long quietMs = 2000, burstMs = 5000, spacingMs = 60000;
    void Event(long long now);
    // Any cycle covers the events before it; an early one also starts the spacing.
    void CycleRan(long long now, bool early);
    bool Pending() const { return first_ >= 0; }
    long long Due() const;

  private:
    long long first_ = -1, last_ = -1;
    long long lastEarly_ = -spacingMs;
    bool everEarly_ = false;
};

// The rtnetlink socket, subscribed to address, route and link changes, and the state built
// from a dump of them.
class Watch {
  public:
    // False, with errno, when the socket cannot be opened or subscribed.
    bool Open();
    void Close();
    bool ok() const { return fd_.ok(); }
    int fd() const { return fd_.get(); }
    // Reads everything queued. True when something relevant happened; `reason` says what.
    // An overrun of the socket's buffer loses events: the state is rebuilt and it counts
    // as one relevant event.
    bool Read(Families families, std::string& reason);

  private:
    bool Rebuild();
    bool Dump(int type, unsigned seq);
    FileDescriptor fd_;
    State state_;
    unsigned seq_ = 0;
};

}  // namespace NetEvents

#endif
