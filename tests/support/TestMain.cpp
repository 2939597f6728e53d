// Every test process runs in a sandbox of its own, so that no test can reach
// the network or the host's logs, and tests that bind fixed ports run side by side.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Sandbox.h"

namespace {

class SandboxEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string why;
        if (!sandbox::Enter(why)) {
            std::fprintf(stderr, "cannot enter the test sandbox: %s\n", why.c_str());
            std::exit(2);
        }
        signal(SIGPIPE, SIG_IGN);  // a peer that went away is a test result, not a crash
        // Nothing the tests start may fall back on the built-in public servers.
        setenv("DODODUZOD_RESOLVER", "127.0.0.1", 1);
        setenv("DODODUZOD_NAMESERVER", "127.0.0.1", 1);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);
    return RUN_ALL_TESTS();
}
