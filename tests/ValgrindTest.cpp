// One service run (first cycle, reload, stop) under valgrind's memcheck: no
// memory error and no definite leak on any of those paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "Process.h"

// g++ tells an AddressSanitizer build by a macro, clang++ by a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define VALGRIND_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VALGRIND_SANITIZED 1
#endif
#endif

namespace {

TEST(ValgrindTest, FirstCycleReloadAndStopAreClean) {
#ifdef VALGRIND_SANITIZED
    GTEST_SKIP() << "valgrind does not run sanitizer builds";
#endif
    ASSERT_EQ(access("/usr/bin/valgrind", X_OK), 0) << "scripts/test installs valgrind";
    const std::string dir = testproc::MakeTempDir();
    ASSERT_TRUE(testproc::WriteFile(dir + "/accounts", "alice secret\n"));
    ASSERT_TRUE(testproc::WriteFile(dir + "/c.conf",
                                    "username alice\npassword secret\nipv4 true\nipv6 true\n"
                                    "debug true\nverbose true\n"));
    testproc::Child sim({DODODUZOD_SIM, "--accounts", dir + "/accounts"});
    ASSERT_TRUE(testproc::WaitUntil([&] { return sim.Out() == "ready\n"; }, 5000));

    const std::string log = dir + "/client.log";
    testproc::Child client(
        {"/usr/bin/valgrind", "--quiet", "--error-exitcode=1", "--leak-check=full",
         "--errors-for-leak-kinds=definite", "--log-file=" + dir + "/valgrind.log", DODODUZOD_BIN,
         "-c", dir + "/c.conf", "-l", log},
        {"DODODUZOD_RESOLVER=127.0.0.1", "DODODUZOD_NAMESERVER=127.0.0.1:5353"});
    const std::string good = "[ENGINE] Status Code: Good";
    const std::string same = "[ENGINE] Status Code: No Change";
    ASSERT_TRUE(testproc::WaitForLine(log, good, 30000)) << testproc::ReadFile(log);
    ASSERT_TRUE(testproc::WaitUntil(
        [&] { return testproc::ReadFile(log).find("Next check at") != std::string::npos; }, 10000));
    client.Signal(SIGHUP);
    ASSERT_TRUE(testproc::WaitForLine(log, same, 30000)) << testproc::ReadFile(log);
    client.Signal(SIGINT);
    testproc::Result r = client.Wait(30000);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << testproc::ReadFile(dir + "/valgrind.log");
    EXPECT_EQ(testproc::ReadFile(dir + "/valgrind.log"), "");
}

}  // namespace
