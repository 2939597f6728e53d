// The log's filter, line format and dates. What the log files may be, and what happens
// when they cannot be written, is the daemon's table in CommandLineTest.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "MyFunctions.h"
#include "Wire.h"

namespace {

using Lines = std::vector<std::string>;

// Verbose writes every line, quiet none of the rest, and debug lines need debug.
TEST(MyFunctionsTest, FilterDecidesWhatReachesTheFile) {
    const struct {
        const char* name;
        bool verbose, quiet, debug, isDebug, written;
    } rows[] = {
        {"verbose outweighs quiet", true, true, false, true, true},
        {"quiet", false, true, true, false, false},
        {"a debug line with debug", false, false, true, true, true},
        {"a debug line without debug", false, false, false, true, false},
        {"a plain line", false, false, false, false, true},
    };
    const std::string log = MyFunctions::defaultLogFile;  // a file name left empty means it
    for (const auto& r : rows) {
        unlink(log.c_str());
        MyFunctions::Log("", "ENGINE", "m", r.isDebug, r.debug, r.quiet, r.verbose);
        EXPECT_EQ(wire::UndatedLines(log), r.written ? Lines{"[ENGINE] m"} : Lines{}) << r.name;
    }
}

// Offsets carry across minute, day and year boundaries, both ways. A clock change inside
// the interval is resolved against the starting time's DST flag: 01:59 EDT + 120 s is
// 01:01 EST, not 02:01.
TEST(MyFunctionsTest, DatesRollOverAndKeepTheDaylightFlag) {
    const struct {
        const char *zone, *now;
        int seconds;
        const char* date;
    } cases[] = {
        {"UTC", "2026-12-04 08:23:58", 0, "Fri Dec  4 08:23:58 2026"},
        {"UTC", "2026-12-04 23:59:00", 120, "Sat Dec  5 00:01:00 2026"},
        {"UTC", "2026-12-31 23:59:30", 60, "Fri Jan  1 00:00:30 2027"},
        {"UTC", "2027-01-01 00:00:10", -20, "Thu Dec 31 23:59:50 2026"},
        {"America/New_York", "2026-11-01 05:59:00", 0, "Sun Nov  1 01:59:00 2026"},
        {"America/New_York", "2026-11-01 05:59:00", 120, "Sun Nov  1 01:01:00 2026"},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        struct tm t = {};
        ASSERT_NE(strptime(c.now, "%Y-%m-%d %H:%M:%S", &t), nullptr) << c.now;
        const time_t now = timegm(&t);
        EXPECT_EQ(MyFunctions::FormatDate(now, c.seconds), c.date) << c.now;
    }
}

}  // namespace
