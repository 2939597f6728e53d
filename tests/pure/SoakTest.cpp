// Thousands of check cycles of one engine against a scripted provider (EngineSeam.h) that
// misbehaves at random from a fixed seed, so that a failure repeats: failed exchanges,
// damaged and wrong-family address pages, bad replies, name server failures and records.
// Every question must be one the engine may ask, the heap and the descriptors must not
// grow, and a provider that behaves again must get exactly the right update.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "EngineSeam.h"
#include "MyIPUpdate.h"
#include "Wire.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif

namespace {

using namespace seam;

const unsigned kSeed = 20260417;
// A 32-byte leak per cycle is ten times this. Unused under AddressSanitizer.
[[maybe_unused]] const size_t kHeapSlack = 64 * 1024;
const char kLog[] = "/tmp/soak.log";

struct Soak : Seam {
    MyIPUpdate e;
    Lines now = {kV4, kV6}, spare = {"198.51.100.23", "2001:db8:1::23"};  // public addresses
    int findings = 0;
    bool forced = false;  // whether the last cycle was

    Soak() { Install(e, kLog); }

    // One cycle as the poll loop makes it, with what goes wrong drawn from the seed.
    void Cycle(int n, bool behave) {
        if (n % 100 == 0)  // the log lives on a small in-memory file system
            std::ofstream{kLog};
        s = Script{};
        calls.clear();
        if (Roll(400) == 0)
            std::swap(now, spare);
        // Address pages of the other family, damaged ones, an error page: no address.
        const bool fault = !behave && Roll(4) == 0, bad4 = fault && Roll(3) == 0;
        const bool bad6 = fault && Roll(3) == 0;
        const std::string pages[] = {"ip" + now[1], "ip " + now[0], "ip" + now[0] + "\v", "ip",
                                     "<html>500</html>"};
        s.page4 = bad4 ? pages[Roll(5)] : "ip" + now[0] + "\r\n";
        s.page6 = bad6 ? "ip" + now[0] + std::string(Roll(2), '\0') : "ip" + now[1];
        for (const char* f :
             {"8245 http://checkip.", "80 http://checkip.", "8245 http://checkipv6",
              "80 http://checkipv6", "8245 http://api", "80 http://api", "A", "AAAA"})
            if (fault && Roll(6) == 0)
                s.failing.push_back(f);
        s.a = fault && Roll(6) == 0 ? Lines{"198.51.100.1"} : Lines{"198.51.100.1", now[0]};
        s.aaaa = fault && Roll(6) == 0 ? Lines{} : Lines{now[1], "garbage"};
        // The reply: 0-3 a status to keep, 4 an ID one byte short, 5 an error page, 6 empty,
        // 7 cut short with filler after it.
        const unsigned pick = fault ? Roll(8) : 0;
        const char* const statuses[] = {"Good", "No Change", "Bad Authentication", "Abuse", "Good"};
        const std::string id = pick == 4 ? "S123456789" : "R" + std::to_string(1000000000 + n);
        s.reply = wire::ReplyJson(statuses[std::min(pick, 4u)], now[0], now[1], id);
        s.reply = pick == 5 ? pages[4] : pick == 6 ? "" : s.reply;
        if (pick == 7)
            s.reply = s.reply.substr(0, Roll(60)) + std::string(Roll(300), ' ' + Roll(95));
        e.ipv4Enabled = behave || Roll(30) != 0;
        e.ipv6Enabled = behave || Roll(30) != 0;
        e.forceUpdate = forced = e.forceUpdate || Roll(6) == 0;
        if (Roll(3) == 0)
            e.checkCounter = 10;  // the name server's turn, if nothing changed
        const bool dnsTurn = !forced && e.checkCounter >= 10;
        const MyIPUpdateResponse before = e.response;
        e.CheckIP(e.forceUpdate);

        // The addresses looked up, and whether there is a reason to update: forced, changed,
        // or the name server's turn with records or answers that may disagree.
        const bool on4 = e.ipv4Enabled, on6 = e.ipv6Enabled;
        const bool none4 = bad4 || (Failing(kPage4) && Failing(OnPort80(kPage4)));
        const bool none6 = bad6 || (Failing(kPage6) && Failing(OnPort80(kPage6)));
        const std::string a4 = on4 ? (none4 ? "" : now[0]) : "no";
        const std::string a6 = on6 ? (none6 ? "" : now[1]) : "no";
        const bool reason =
            forced || (on4 && (a4 != before.updatedIPv4Address || a4.empty())) ||
            (on6 && (a6 != before.updatedIPv6Address || a6.empty())) ||
            (dnsTurn && (s.failing.size() > 0 || s.a.size() < 2 || s.aaaa.size() < 2));
        // Every question one the cycle allows, each once at most; port 80 only right after
        // the same question failed on 8245.
        Lines allowed =
            (reason ? Asks(UpdateAsked(a4, a6, forced), UpdateAsked(a4, a6, forced, "80"))
                    : Asks()) +
            (on4 ? Asks(kPage4, OnPort80(kPage4)) : Asks()) +
            (on6 ? Asks(kPage6, OnPort80(kPage6)) : Asks()) +
            (dnsTurn ? Asks(NameServerAsked("A"), NameServerAsked("AAAA")) : Asks());
        for (size_t i = 0; i < calls.size(); ++i) {
            const auto found = std::find(allowed.begin(), allowed.end(), calls[i]);
            if (found != allowed.end() && FellBack(i))
                allowed.erase(found);
            else if (++findings <= 20)
                ADD_FAILURE() << "a question it may not ask: " << testing::PrintToString(calls[i]);
        }
    }

    unsigned Roll(size_t n) { return static_cast<unsigned>(rng() % n); }

    std::mt19937 rng{kSeed};
};

TEST(SoakTest, EngineOutlastsAMisbehavingProvider) {
    const char* env = std::getenv("SOAK_CYCLES");
    const int cycles = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 20000;
    const int warmUp = 100;  // what the C library allocates once: time zone, buffers
    Soak soak;
    for (int n = 1; n <= warmUp; ++n)
        soak.Cycle(n, false);
    const size_t heapBefore = mallinfo2().uordblks;
    for (int n = warmUp + 1; n <= warmUp + cycles; ++n)
        soak.Cycle(n, false);
    const size_t heapAfter = mallinfo2().uordblks;
    std::printf("soak: %d cycles; heap in use %zu -> %zu bytes\n", cycles, heapBefore, heapAfter);
#ifndef SOAK_ASAN  // its allocator is not malloc's, and its leak check covers the heap
    EXPECT_LE(heapAfter, heapBefore + kHeapSlack);
#endif
    // A provider that behaves again gets the current addresses at once, on the first port.
    soak.now = soak.spare = {"198.51.100.77", "2001:db8:77::1"};
    soak.Cycle(warmUp + cycles + 1, true);
    EXPECT_EQ(soak.calls, Asks(kPage4, kPage6, UpdateAsked(soak.now[0], soak.now[1], soak.forced)));
    const MyIPUpdateResponse& kept = soak.e.response;
    EXPECT_EQ(kept.statusCode + " " + kept.updatedIPv4Address + " " + kept.updatedIPv6Address +
                  (soak.e.forceUpdate ? " forced" : ""),
              "Good 198.51.100.77 2001:db8:77::1");
    EXPECT_EQ(soak.findings, 0);
}

}  // namespace
