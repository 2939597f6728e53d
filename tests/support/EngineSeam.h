// A scripted provider behind the engine's way onto the network (MyIPUpdate::fetchUrl and
// askNameServer): it writes every question down as a line ("8245 URL credentials",
// "A host @server") and answers from a script. No sockets.
#ifndef DODODUZOD_TEST_ENGINESEAM_H
#define DODODUZOD_TEST_ENGINESEAM_H

#include <algorithm>
#include <string>
#include <vector>

#include "FileDescriptor.h"
#include "MyDNS.h"
#include "MyIPUpdate.h"
#include "Wait.h"
#include "Wire.h"

namespace seam {

using Lines = std::vector<std::string>;

inline Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The questions a cycle asks, and the lines it logs, in order.
template <typename... T>
Lines Asks(const T&... questions) {
    return {std::string(questions)...};
}
template <typename... T>
Lines Logs(const T&... lines) {
    return {std::string(lines)...};
}

inline const std::string kV4 = "203.0.113.7", kV6 = "2001:db8::7";
inline const std::string kCheck4 = "http://checkip.zelmar.example/ipcheck.asp";
inline const std::string kCheck6 = "http://checkipv6.zelmar.example/ipcheck.asp";
// The address pages asked on the provider's port, and a question asked again on port 80.
inline const std::string kPage4 = "8245 " + kCheck4, kPage6 = "8245 " + kCheck6;
inline std::string OnPort80(const std::string& question) {
    return "80" + question.substr(question.find(' '));
}
inline const std::string kGood = wire::ReplyJson("Good", kV4, kV6);

// A question to the name server the test sandbox points the client at.
inline std::string NameServerAsked(const std::string& type,
                                   const std::string& host = wire::kTagHost) {
    return type + " " + host + " @127.0.0.1";
}

// An update question: port, URL, and "alice:" with the MD5 of "secret" as credentials.
inline std::string UpdateAsked(const std::string& v4, const std::string& v6, bool forced,
                               const std::string& port = "8245") {
    return port + " http://api.zelmar.example" + wire::UpdateTarget(v4, v6, forced) +
           " alice:5ebe2294ecd0e0f08eab7690d2a6ee69";
}

// What the provider answers. A question that starts with an entry of `failing` fails as an
// exchange; a stop arrives during the question `stopAt` (which then fails too).
struct Script {
    std::string page4 = "ip" + kV4, page6 = "ip" + kV6, reply = kGood, stopAt;
    Lines a = {kV4}, aaaa = {kV6}, failing;
};

struct Seam {
    // The account alice/secret, logging to `log` with debug lines, whose last update was
    // answered "Good" for kV4 and kV6; its questions go to the script.
    void Install(MyIPUpdate& e, const std::string& log) {
        s = Script{};
        calls.clear();
        e.username = wire::kUser;
        e.password = wire::kPassword;
        e.logFile = log;
        e.debug = true;
        e.response.Parse(kGood);
        e.fetchUrl = [this, &e](std::string url, int port, std::string credentials,
                                std::string& body, std::string&, bool) {
            body = url == e.ipv4CheckUrl ? s.page4 : url == e.ipv6CheckUrl ? s.page6 : s.reply;
            return Answer(std::to_string(port) + " " + url +
                          (credentials.empty() ? "" : " " + credentials));
        };
        e.askNameServer = [this](int type, std::string host, std::string server, Lines& out, bool) {
            out = type == MyDNS::typeA ? s.a : s.aaaa;
            return Answer((type == MyDNS::typeA ? "A " : "AAAA ") + host + " @" + server);
        };
    }

    bool Failing(const std::string& call) const {
        return call == s.stopAt || std::any_of(s.failing.begin(), s.failing.end(),
                                               [&](auto& f) { return call.rfind(f, 0) == 0; });
    }

    // Whether question `i` is on port 80 only right after the same one failed on 8245.
    bool FellBack(size_t i) const {
        return calls[i].rfind("80 ", 0) != 0 ||
               (i > 0 && calls[i - 1] == "8245" + calls[i].substr(2) && Failing(calls[i - 1]));
    }

    bool Answer(const std::string& call) {
        calls.push_back(call);
        if (call == s.stopAt)
            stop_requested = 1;  // as the signal handler would, while the client waits
        return !Failing(call);
    }

    Script s;
    Lines calls;
};

}  // namespace seam

#endif
