#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Process.h"

namespace {

// The first executable `name` on PATH, as execv needs a full path.
std::string Which(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "/usr/bin/" + name;
}

testproc::Result Install(const std::string& destdir) {
    return testproc::Run({Which("cmake"), "--install", DODODUZOD_BUILD_DIR, "--prefix", "/usr"},
                         {"DESTDIR=" + destdir}, 60000);
}

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = testproc::MakeTempDir();
        testproc::Result r = Install(root_);
        ASSERT_TRUE(r.exited && r.status == 0) << r.out << r.err;
    }
    std::string root_;
};

TEST_F(InstallTest, PutsEveryFileInPlace) {
    for (const char* file :
         {"/usr/sbin/dododuzod", "/usr/share/man/man8/dododuzod.8", "/etc/dododuzod.conf",
          "/usr/lib/systemd/system/dododuzod.service", "/etc/logrotate.d/dododuzod"}) {
        struct stat st {};
        EXPECT_EQ(stat((root_ + file).c_str(), &st), 0) << file;
    }
}

TEST_F(InstallTest, ConfigurationIsOwnerOnlyAndNeverOverwritten) {
    const std::string conf = root_ + "/etc/dododuzod.conf";
    struct stat st {};
    ASSERT_EQ(stat(conf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const std::string edited = "username alice\npassword secret\n";
    ASSERT_TRUE(testproc::WriteFile(conf, edited, 0600));
    testproc::Result again = Install(root_);
    ASSERT_TRUE(again.exited && again.status == 0) << again.out << again.err;
    EXPECT_EQ(testproc::ReadFile(conf), edited);
    EXPECT_NE(again.out.find("Keeping existing configuration"), std::string::npos) << again.out;
}

// As installed, the configuration holds no account: -t calls it invalid until it is
// edited, and IPv6 is off until the operator turns it on.
TEST_F(InstallTest, ConfigurationHoldsNoAccountUntilEdited) {
    testproc::Result r = testproc::Run({DODODUZOD_BIN, "-t", root_ + "/etc/dododuzod.conf"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Username: ''\nPassword: ''\nLocation: ''\nIPv4: '1'\nIPv6: '0'\n"
              "Poll Interval: '300'\nDebug: '0'\nQuiet: '0'\nUsername should not be empty.\n"
              "Password should not be empty.\nInvalid configuration.\n");
}

TEST_F(InstallTest, UnitRunsTheInstalledBinaryAndStopsWithSigint) {
    const std::string unit =
        testproc::ReadFile(root_ + "/usr/lib/systemd/system/dododuzod.service");
    for (const char* line :
         {"Type=notify\n", "ExecStart=@/usr/sbin/dododuzod dododuzod -c /etc/dododuzod.conf\n",
          "KillSignal=SIGINT\n", "ExecReload=/bin/kill -HUP $MAINPID\n", "Restart=on-failure\n"}) {
        EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
    }
}

TEST_F(InstallTest, ManPageIsLintClean) {
    testproc::Result r = testproc::Run(
        {Which("mandoc"), "-Tlint", "-W", "warning", root_ + "/usr/share/man/man8/dododuzod.8"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

}  // namespace
