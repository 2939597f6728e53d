// The binary's command line: help, option errors and the configuration test.
#include <sys/stat.h>
#include <unistd.h>

#include "Service.h"

namespace {

using service::kBin;
using service::Lines;

// What a run writes to standard error: exactly the given text, or getopt's own wording
// (only that it is not empty is checked).
enum class Stderr { exactly, getoptsWords };

// Run from a directory that is gone: only -d needs one, for its relative paths.
TEST(CommandLineTest, HelpErrorsAndTheConfigurationTest) {
    const std::string dir = testproc::MakeTempDir(), valid = dir + "/valid", nopass = dir + "/np";
    ASSERT_TRUE(testproc::WriteFile(valid,
                                    "username alice\npassword s3cret\nipv4 true\nipv6 1\n"
                                    "pollinterval 60\ndebug true\n") &&
                testproc::WriteFile(nopass, "username alice\nlocation\tx\npollinterval 600\n") &&
                chdir(dir.c_str()) == 0 && mkdir("gone", 0700) == 0 && chdir("gone") == 0 &&
                rmdir("../gone") == 0);
    const std::string usage =
        "\n Zelmar IP Update Client\n Usage: " + kBin +
        " [OPTIONS]\n\n  Options:\n   -h --help                 Display this help.\n"
        "   -c --conf_file filename   Read configuration from the file.\n"
        "   -t --test_conf filename   Test configuration file.\n"
        "   -l --log_file  filename   Write logs to the file.\n"
        "   -d --daemon               Run as a daemon.\n"
        "   -p --pid_file  filename   PID file used by daemonized application.\n\n";
    const std::string ok = "Username: 'alice'\nPassword: 's3cret'\nLocation: ''\nIPv4: '1'\nIPv6: "
                           "'1'\nPoll Interval: '120'\nDebug: '1'\nQuiet: '0'\nConfiguration is "
                           "valid.\n",
                      noPassword =
                          "Username: 'alice'\nPassword: ''\nLocation: ''\nIPv4: '0'\nIPv6: "
                          "'0'\nPoll Interval: '600'\nDebug: '0'\nQuiet: '0'\nPassword "
                          "should not be empty.\nInvalid configuration.\n",
                      noDir = "Can not get the current directory for np";
    const struct {
        int status;
        std::string out;
        Stderr shows;
        std::string err;          // with Stderr::exactly
        std::vector<Lines> runs;  // each with this outcome
    } cases[] = {
        {0, usage, Stderr::exactly, "", {{"-h"}, {"--help"}}},
        {1, usage, Stderr::getoptsWords, "", {{"-x"}, {"--bogus"}, {"-c"}}},
        // Later options are never read; the test runs without detaching.
        {0, ok, Stderr::exactly, "", {{"-t", valid}, {"--test_conf", valid}, {"-t", valid, "-x"}}},
        {0,
         ok,
         Stderr::exactly,
         "",
         {{"-t", valid, "-h"}, {"-c", nopass, "-t", valid}, {"-d", "-t", valid}}},
        {0, noPassword, Stderr::exactly, "", {{"-t", nopass}}},
        {1,
         "",
         Stderr::exactly,
         "Invalid config file: /tmp/no-such.conf\n",
         {{"-t", "/tmp/no-such.conf"}}},
        {1, "", Stderr::exactly, "Missing config file.\n", {{"-t", ""}}},
        {1,
         "",
         Stderr::exactly,
         noDir + ", error: No such file or directory\n",
         {{"-d", "-c", "np"}}},
    };
    for (const auto& c : cases)
        for (Lines argv : c.runs) {
            SCOPED_TRACE(argv[0] + (argv.size() > 1 ? " " + argv[1] : ""));
            argv.insert(argv.begin(), kBin);
            const testproc::Result r = testproc::Run(argv);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.out);
            if (c.shows == Stderr::exactly)
                EXPECT_EQ(r.err, c.err);
            else
                EXPECT_NE(r.err, "");
        }
}

}  // namespace
