// The engine's decisions, through its seam onto the network (EngineSeam.h): the questions
// it asks in order, the undated log lines, the system log line and what it keeps for the
// next cycle, from its state and the provider's scripted answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "EngineSeam.h"
#include "Fakes.h"
#include "MyIPUpdate.h"
#include "MyString.h"
#include "Wire.h"
#define DODODUZOD_REPLAY
#include "../fuzz/Replay.h"
#include "../fuzz/engine_request_fuzz.cpp"

namespace {

using namespace seam;

// The log lines of a cycle's start, "no" for a disabled family.
Lines Head(const std::string& v4 = kV4, const std::string& v6 = kV6) {
    return {"Checking if IP update is required.",
            v4 == "no" ? "IPv4 address update disabled." : "IPv4 address: " + v4,
            v6 == "no" ? "IPv6 address update disabled." : "IPv6 address: " + v6};
}

Lines Sent(const std::string& v4, const std::string& v6, bool forced) {
    return {"IP address update initiated.",
            "Url: http://api.zelmar.example" + wire::UpdateTarget(v4, v6, forced)};
}

Lines Good(const std::string& v4 = kV4, const std::string& v6 = kV6,
           const std::string& status = "Good") {
    return {"Status Code: " + status, "Current IPv4 Address: " + v4, "Current IPv6 Address: " + v6};
}

// What a cycle keeps for the next one: the force flag and the cycle counter.
Lines Keeps(bool force, int counter) {
    return {(force ? "forced, counter " : "not forced, counter ") + std::to_string(counter)};
}

class EngineTest : public ::testing::Test, public Seam {
  protected:
    // One cycle as the poll loop makes it: the questions it asked, the log lines it wrote
    // (without date and tag), then what it keeps.
    Lines Cycle(MyIPUpdate& e) {
        e.CheckIP(e.forceUpdate);
        stop_requested = 0;
        Lines lines = calls;
        for (const std::string& line : wire::UndatedLines(log))
            lines.push_back(line.rfind("[ENGINE] ", 0) == 0 ? line.substr(9) : line);
        unlink(log.c_str());
        return lines + Keeps(e.forceUpdate, e.checkCounter);
    }

    const std::string log = "/tmp/engine.log";
};

// What the engine asks in which order, what it logs, and the force flag and cycle counter
// it keeps. The name server is asked on the eleventh unchanged cycle.
TEST_F(EngineTest, DecidesWhatToAskFromWhatItKnows) {
    const std::string v4 = "198.51.100.9", v6 = "2001:db8::9";
    const Lines same = L("No change detected."), got = L("Response: " + kGood) + Good();
    // Both pages asked, then the update for these addresses, sent and answered "Good".
    auto did = [&](const std::string& a4, const std::string& a6, bool forced, int counter) {
        return L(P4, P6, Upd(a4, a6, forced)) + Head(a4, a6) + Sent(a4, a6, forced) + got +
               Keeps(false, counter);
    };
    const Lines asked = L(P4, P6, Ask("A"), Ask("AAAA"));
    const Lines required = asked + L(Upd(kV4, kV6, false)) + Head() +
                           L("IP update found to be required through DNS check.") +
                           Sent(kV4, kV6, false) + got + Keeps(false, 0);
    const struct {
        const char* name;
        bool force;
        int counter;  // before the cycle
        std::function<void(MyIPUpdate&, Script&)> setup;
        Lines expected;  // as Cycle gives it
    } rows[] = {
        {"forced", true, 0, nullptr, did(kV4, kV6, true, 1)},
        {"tenth cycle", false, 9, nullptr, L(P4, P6) + Head() + same + Keeps(false, 10)},
        {"IPv4 changed", false, 5, [&](auto&, auto& s) { s.page4 = "ip" + v4; },
         did(v4, kV6, false, 6)},
        {"IPv6 changed", false, 5, [&](auto&, auto& s) { s.page6 = "ip" + v6; },
         did(kV4, v6, false, 6)},
        {"no stored IPv6 address", false, 0,
         [](auto& e, auto&) { e.response.updatedIPv6Address = ""; }, did(kV4, kV6, false, 1)},
        {"IPv6 lookup fails", false, 0, [](auto&, auto& s) { s.failing = L(P6, "80 " + kCheck6); },
         L(P4, P6, "80 " + kCheck6, Upd(kV4, "", false)) + Head(kV4, "") + Sent(kV4, "", false) +
             got + Keeps(false, 1)},
        {"IPv4 disabled", true, 0, [](auto& e, auto&) { e.ipv4Enabled = false; },
         L(P6, Upd("no", kV6, true)) + Head("no", kV6) + Sent("no", kV6, true) +
             L("Response: " + kGood) + Good("Disabled") + Keeps(false, 1)},
        {"both disabled", true, 0, [](auto& e, auto&) { e.ipv4Enabled = e.ipv6Enabled = false; },
         L("Both IPv4 and IPv6 IP update are disabled.") + Keeps(true, 1)},
        {"no password", false, 0, [](auto& e, auto&) { e.password = ""; },
         L("Invalid configuation file: /etc/dododuzod.conf") + Keeps(false, 0)},
        {"without debug only the normal lines", true, 0, [](auto& e, auto&) { e.debug = false; },
         L(P4, P6, Upd(kV4, kV6, true), "Checking if IP update is required.",
           "IP address update initiated.") +
             Good() + Keeps(false, 1)},
        {"eleventh cycle", false, 10, [](auto& e, auto&) { e.verbose = true; },
         asked + Head() +
             L("Hostname: alice.tag.azelmar.example", "Get A records.", "Get AAAA records.") +
             same + Keeps(false, 0)},
        {"A among others", false, 10, [](auto&, auto& s) { s.a = L("198.51.100.1", kV4); },
         asked + Head() + same + Keeps(false, 0)},
        {"other A", false, 10, [](auto&, auto& s) { s.a = L("198.51.100.1"); }, required},
        {"other AAAA", false, 10, [&](auto&, auto& s) { s.aaaa = L(v6); }, required},
        {"no A answer", false, 10, [](auto&, auto& s) { s.failing = L(Ask("A")); }, required},
        {"a stop during the IPv4 check: no port 80, no update", true, 0,
         [](auto&, auto& s) { s.stopAt = P4; }, L(P4, P6) + Head("", kV6) + Keeps(true, 1)},
        {"a stop during the A question: no further question, no update", false, 10,
         [](auto&, auto& s) { s.stopAt = Ask("A"); },
         L(P4, P6, Ask("A")) + Head() + Keeps(false, 0)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MyIPUpdate engine;
        Install(engine, log);
        engine.confFile = "/etc/dododuzod.conf";
        engine.forceUpdate = row.force;
        engine.checkCounter = row.counter;
        if (row.setup)
            row.setup(engine, s);
        EXPECT_EQ(Cycle(engine), row.expected);
    }
}

// The provider's answer to a forced update: the lines from "Status Code: " on, whether
// forcing ends, the reply kept (a rejected one changes nothing), and the system log line
// that only "Good" writes. What the provider sends is logged escaped, whole as "Response: "
// and each field.
TEST_F(EngineTest, RepliesDecideWhetherForcingEnds) {
    using wire::ReplyJson;
    const std::string forged = "Fri Dec  4 08:23:58 2026 [ENGINE] Status Code: Good";
    const std::string bad4 = kV4 + "\r\n" + forged, bad6 = kV6 + "\x1b[2J\x7f";
    const std::string esc4 = kV4 + "\\x0d\\x0a" + forged, esc6 = kV6 + "\\x1b[2J\\x7f";
    const struct {
        std::string body;
        Lines log;
        bool forceAfter;
        std::string syslog;
    } rows[] = {
        {kGood, Good(), false, "{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }"},
        {ReplyJson("No Change", kV4, kV6), Good(kV4, kV6, "No Change"), false, ""},
        {ReplyJson("Bad Authentication", "null", "null"),
         L("Status Code: Bad Authentication",
           "IP address update aborted due to invalid credentials."),
         true, ""},
        {ReplyJson("Good", kV4, kV6, "1234567890"), L(), true, ""},  // ID too short
        {ReplyJson("Abuse", "null", "null"), L("Status Code: Abuse"), true, ""},
        {"", L(), true, ""},
        {ReplyJson("Good", kV4, "null"), Good(kV4, ""), false,
         "{ IPv4 Address: 203.0.113.7, IPv6 Address:  }"},
        {ReplyJson("Good\n" + forged, "null", "null"), L("Status Code: Good\\x0a" + forged), true,
         ""},
        {ReplyJson("Good", bad4, bad6), Good(esc4, esc6), false,
         "{ IPv4 Address: " + esc4 + ", IPv6 Address: " + esc6 + " }"},
    };
    fakes::SyslogCapture syslog;
    Lines syslogs;
    for (const auto& row : rows) {
        MyIPUpdate engine;
        Install(engine, log);
        s.reply = row.body;
        engine.forceUpdate = true;
        engine.response.responseId = "stored";
        EXPECT_EQ(Cycle(engine), L(P4, P6, Upd(kV4, kV6, true)) + Head() + Sent(kV4, kV6, true) +
                                     L("Response: " + MyString::Escape(row.body)) + row.log +
                                     Keeps(row.forceAfter, 1));
        const MyIPUpdateResponse& r = engine.response;  // a rejected reply leaves it whole
        EXPECT_TRUE(!row.log.empty() ||
                    r.responseId + r.statusCode + r.updatedIPv4Address + r.updatedIPv6Address ==
                        "storedGood" + kV4 + kV6);
        if (!row.syslog.empty())
            syslogs.push_back(row.syslog);
    }
    ASSERT_TRUE(testproc::WaitUntil([&] { return syslog.texts().size() >= syslogs.size(); }, 2000));
    EXPECT_EQ(syslog.texts(), syslogs);
}

// Crafted address-check pages, update templates and locations, as seeds of the engine's fuzz
// target (fuzz/corpus/engine_request/): the address taken from each page, the questions asked
// and the update request sent must be those recorded. A stop that came before the name server
// check asks it nothing.
TEST_F(EngineTest, TakesOnlyAnAddressOfThePagesFamilyFromTheCheckPage) {
    ReplayCorpus("engine_request", engine_request_fuzz::Outcome);
    MyIPUpdate engine;
    Install(engine, log);
    stop_requested = 1;
    EXPECT_FALSE(engine.IsIPUpdateRequiredThroughDNSCheck(true, true, kV4, kV6, "alice", ""));
    stop_requested = 0;
    EXPECT_EQ(calls, L());
}

}  // namespace
