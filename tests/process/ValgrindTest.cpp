// One service run (first cycle, reload, stop) under valgrind's memcheck: no
// memory error and no definite leak on any of those paths.
#include <unistd.h>

#include "Service.h"

// g++ tells an AddressSanitizer build by a macro, clang++ by a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define VALGRIND_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VALGRIND_SANITIZED 1
#endif
#endif

namespace {

using ValgrindTest = service::Test;

TEST_F(ValgrindTest, FirstCycleReloadAndStopAreClean) {
#ifdef VALGRIND_SANITIZED
    GTEST_SKIP() << "valgrind does not run sanitizer builds";
#endif
    ASSERT_EQ(access("/usr/bin/valgrind", X_OK), 0) << "scripts/test installs valgrind";
    const std::string report = dir + "/valgrind.log";
    wrapper = {"/usr/bin/valgrind",  "--log-file=" + report, "--quiet",
               "--error-exitcode=1", "--leak-check=full",    "--errors-for-leak-kinds=definite"};
    WriteConf("verbose true\n");
    StartSim();
    StartClient({"-l", log});
    ASSERT_TRUE(WaitForLog(service::kNextCheck, 1, 30000)) << testproc::ReadFile(log);
    EXPECT_EQ(CountLog("[ENGINE] Status Code: Good"), 1u);
    client->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog("[ENGINE] Status Code: No Change", 1, 30000));
    EXPECT_EQ(Stop(SIGINT, 30000).status, 0) << testproc::ReadFile(report);
    EXPECT_EQ(testproc::ReadFile(report), "");
}

}  // namespace
