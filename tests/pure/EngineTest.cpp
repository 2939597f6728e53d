// The engine's decisions, through its seam onto the network (EngineSeam.h): the questions
// it asks in order, the undated log lines, the system log line and what it keeps for the
// next cycle, from its state and the provider's scripted answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "Codec.h"
#include "EngineSeam.h"
#include "Fakes.h"
#include "MyIPUpdate.h"
#include "MyString.h"
#include "Process.h"
#include "Wire.h"

namespace {

using namespace seam;

// The log lines of a cycle's start, "no" for a disabled family.
Lines StartLines(const std::string& v4 = kV4, const std::string& v6 = kV6) {
    return {"Checking if IP update is required.",
            v4 == "no" ? "IPv4 address update disabled." : "IPv4 address: " + v4,
            v6 == "no" ? "IPv6 address update disabled." : "IPv6 address: " + v6};
}

Lines UpdateLines(const std::string& v4, const std::string& v6, bool forced) {
    return {"IP address update initiated.",
            "Url: http://api.zelmar.example" + wire::UpdateTarget(v4, v6, forced)};
}

Lines AcceptedLines(const std::string& v4 = kV4, const std::string& v6 = kV6,
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
    const Lines unchanged = Logs("No change detected.");
    const Lines answeredGood = Logs("Response: " + kGood) + AcceptedLines();
    // Both pages asked, then the update for these addresses, sent and answered "Good".
    auto Updated = [&](const std::string& a4, const std::string& a6, bool forced, int counter) {
        return Asks(kPage4, kPage6, UpdateAsked(a4, a6, forced)) + StartLines(a4, a6) +
               UpdateLines(a4, a6, forced) + answeredGood + Keeps(false, counter);
    };
    const Lines pagesAndNameServer =
        Asks(kPage4, kPage6, NameServerAsked("A"), NameServerAsked("AAAA"));
    const Lines updateRequired = pagesAndNameServer + Asks(UpdateAsked(kV4, kV6, false)) +
                                 StartLines() +
                                 Logs("IP update found to be required through DNS check.") +
                                 UpdateLines(kV4, kV6, false) + answeredGood + Keeps(false, 0);
    const struct {
        const char* name;
        bool force;
        int counter;  // before the cycle
        std::function<void(MyIPUpdate&, Script&)> setup;
        Lines expected;  // as Cycle gives it
    } rows[] = {
        {"forced", true, 0, nullptr, Updated(kV4, kV6, true, 1)},
        {"tenth cycle", false, 9, nullptr,
         Asks(kPage4, kPage6) + StartLines() + unchanged + Keeps(false, 10)},
        {"IPv4 changed", false, 5, [&](auto&, auto& s) { s.page4 = "ip" + v4; },
         Updated(v4, kV6, false, 6)},
        {"IPv6 changed", false, 5, [&](auto&, auto& s) { s.page6 = "ip" + v6; },
         Updated(kV4, v6, false, 6)},
        {"no stored IPv6 address", false, 0,
         [](auto& e, auto&) { e.response.updatedIPv6Address = ""; }, Updated(kV4, kV6, false, 1)},
        {"IPv6 lookup fails", false, 0,
         [](auto&, auto& s) {
             s.failing = {kPage6, OnPort80(kPage6)};
         },
         Asks(kPage4, kPage6, OnPort80(kPage6), UpdateAsked(kV4, "", false)) + StartLines(kV4, "") +
             UpdateLines(kV4, "", false) + answeredGood + Keeps(false, 1)},
        {"IPv4 disabled", true, 0, [](auto& e, auto&) { e.ipv4Enabled = false; },
         Asks(kPage6, UpdateAsked("no", kV6, true)) + StartLines("no", kV6) +
             UpdateLines("no", kV6, true) + Logs("Response: " + kGood) + AcceptedLines("Disabled") +
             Keeps(false, 1)},
        {"both disabled", true, 0, [](auto& e, auto&) { e.ipv4Enabled = e.ipv6Enabled = false; },
         Logs("Both IPv4 and IPv6 IP update are disabled.") + Keeps(true, 1)},
        {"no password", false, 0, [](auto& e, auto&) { e.password = ""; },
         Logs("Invalid configuation file: /etc/dododuzod.conf") + Keeps(false, 0)},
        {"without debug only the normal lines", true, 0, [](auto& e, auto&) { e.debug = false; },
         Asks(kPage4, kPage6, UpdateAsked(kV4, kV6, true)) +
             Logs("Checking if IP update is required.", "IP address update initiated.") +
             AcceptedLines() + Keeps(false, 1)},
        {"eleventh cycle", false, 10, [](auto& e, auto&) { e.verbose = true; },
         pagesAndNameServer + StartLines() +
             Logs("Hostname: alice.tag.azelmar.example", "Get A records.", "Get AAAA records.") +
             unchanged + Keeps(false, 0)},
        {"A among others", false, 10,
         [](auto&, auto& s) {
             s.a = {"198.51.100.1", kV4};
         },
         pagesAndNameServer + StartLines() + unchanged + Keeps(false, 0)},
        {"other A", false, 10, [](auto&, auto& s) { s.a = {"198.51.100.1"}; }, updateRequired},
        {"other AAAA", false, 10, [&](auto&, auto& s) { s.aaaa = {v6}; }, updateRequired},
        {"no A answer", false, 10, [](auto&, auto& s) { s.failing = {NameServerAsked("A")}; },
         updateRequired},
        {"a stop during the IPv4 check: no port 80, no update", true, 0,
         [](auto&, auto& s) { s.stopAt = kPage4; },
         Asks(kPage4, kPage6) + StartLines("", kV6) + Keeps(true, 1)},
        {"a stop during the A question: no further question, no update", false, 10,
         [](auto&, auto& s) { s.stopAt = NameServerAsked("A"); },
         Asks(kPage4, kPage6, NameServerAsked("A")) + StartLines() + Keeps(false, 0)},
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
    // Bytes from 0x80 (not UTF-8, U+009B, U+202E) and a backslash are escaped too.
    const std::string bad4 = kV4 + "\r\n" + forged,
                      bad6 = kV6 + "\x1b[2J\x7f\xff\xc2\x9b\xe2\x80\xae\\";
    const std::string esc4 = kV4 + "\\x0d\\x0a" + forged,
                      esc6 = kV6 + "\\x1b[2J\\x7f\\xff\\xc2\\x9b\\xe2\\x80\\xae\\x5c";
    const struct {
        std::string body;
        Lines log;
        bool forceAfter;
        std::string syslog;
    } rows[] = {
        {kGood, AcceptedLines(), false, "{ IPv4 Address: 203.0.113.7, IPv6 Address: 2001:db8::7 }"},
        {ReplyJson("No Change", kV4, kV6), AcceptedLines(kV4, kV6, "No Change"), false, ""},
        {ReplyJson("Bad Authentication", "null", "null"),
         Logs("Status Code: Bad Authentication",
              "IP address update aborted due to invalid credentials."),
         true, ""},
        {ReplyJson("Good", kV4, kV6, "1234567890"), Lines{}, true, ""},  // ID too short
        {ReplyJson("Abuse", "null", "null"), Logs("Status Code: Abuse"), true, ""},
        {"", Lines{}, true, ""},
        {ReplyJson("Good", kV4, "null"), AcceptedLines(kV4, ""), false,
         "{ IPv4 Address: 203.0.113.7, IPv6 Address:  }"},
        {ReplyJson("Good\n" + forged, "null", "null"), Logs("Status Code: Good\\x0a" + forged),
         true, ""},
        {ReplyJson("Good\\x0a\xe2\x80\xae", "null", "null"),
         Logs("Status Code: Good\\x5cx0a\\xe2\\x80\\xae"), true, ""},
        {ReplyJson("Good", bad4, bad6), AcceptedLines(esc4, esc6), false,
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
        EXPECT_EQ(Cycle(engine), Asks(kPage4, kPage6, UpdateAsked(kV4, kV6, true)) + StartLines() +
                                     UpdateLines(kV4, kV6, true) +
                                     Logs("Response: " + MyString::Escape(row.body)) + row.log +
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

// What a forced cycle takes from crafted address pages, and the update it sends from a
// template or location that would add a header line: an address of the page's family, or
// none; the request, or its refusal.
TEST(EngineRequest, TakesOnlyAnAddressOfThePagesFamilyAndSendsOneRequest) {
    const std::string v4 = "203.0.113.7", v6 = "2001:db8::7";
    const struct {
        const char* name;
        std::string page;  // both address checks get it
        std::string ipv4, ipv6;
    } pages[] = {
        {"IPv4", "ip" + v4, v4, ""},
        {"IPv4 and a line end", "ip" + v4 + "\r\n", v4, ""},
        {"IPv6 and blanks", "ip" + v6 + " \t\r\n\n", "", v6},
        {"IPv4-mapped IPv6", "ip::ffff:" + v4, "", "::ffff:" + v4},
        {"no address", "ip", "", ""},
        {"no ip before it", v4, "", ""},
        {"a blank before it", "ip " + v4, "", ""},
        {"three parts", "ip203.0.113", "", ""},
        {"a vertical tab after it", "ip" + v4 + "\v", "", ""},
        {"a zero byte after it", "ip" + v4 + std::string(1, '\0') + "x", "", ""},
        {"a request smuggled after it", "ip" + v4 + " HTTP/1.1\r\nHost: x\r\n\r\nGET /x?x=", "",
         ""},
    };
    for (const auto& row : pages) {
        SCOPED_TRACE(row.name);
        const codec::Outcome o = codec::RunCycle({true, true, row.page, row.page, "", "", {}});
        EXPECT_EQ(o.ipv4 + " " + o.ipv6, row.ipv4 + " " + row.ipv6);
        EXPECT_EQ(o.sent, wire::UpdateTarget(row.ipv4, row.ipv6, true) + " to api.zelmar.example");
        EXPECT_EQ(o.broken, "");
    }
    const std::string api = "http://api.zelmar.example/nic/clientupdate?";
    const struct {
        const char* name;
        std::string updateUrl, location, sent;
    } updates[] = {
        {"a line end in the template", api + "a={1}\r\nX: {2}&uin={3}", "", "Invalid URL."},
        {"a line end in the location", "", "home\r\nAuthorization: Basic eA==", "Invalid URL."},
        {"placeholders in the location", "", "a&b{1}",
         "/nic/clientupdate?location=a&b" + v4 + "&myipv4=" + v4 + "&myipv6=" + v6 +
             "&uin=1 to api.zelmar.example"},
    };
    for (const auto& row : updates) {
        SCOPED_TRACE(row.name);
        const codec::Outcome o =
            codec::RunCycle({true, true, "ip" + v4, "ip" + v6, row.updateUrl, row.location, {}});
        EXPECT_EQ(o.asked, "IPv4 page on 8245, IPv6 page on 8245, update on 8245");
        EXPECT_EQ(o.sent, row.sent);
        EXPECT_EQ(o.broken, "");
    }
}

// A stop that came before the name server check asks it nothing.
TEST_F(EngineTest, AStopBeforeTheNameServerCheckAsksNothing) {
    MyIPUpdate engine;
    Install(engine, log);
    stop_requested = 1;
    EXPECT_FALSE(engine.IsIPUpdateRequiredThroughDNSCheck(true, true, kV4, kV6, "alice", ""));
    stop_requested = 0;
    EXPECT_EQ(calls, Lines{});
}

}  // namespace
