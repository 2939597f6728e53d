// What `cmake --install` puts in place, as a package would ship it.
#include <gtest/gtest.h>

#include <filesystem>

#include "Process.h"

namespace {

// The configuration is owner-only, holds no account (-t calls it invalid until it is
// edited, IPv6 is off until the operator turns it on) and is never overwritten.
TEST(InstallTest, PutsEveryFileInPlaceAndKeepsAnEditedConfiguration) {
    const std::string root = testproc::MakeTempDir(), conf = root + "/etc/dododuzod.conf";
    const auto install = [&] {
        return testproc::Run({"cmake", "--install", DODODUZOD_BUILD_DIR, "--prefix", "/usr"},
                             {"DESTDIR=" + root}, 60000);
    };
    testproc::Result r = install();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(std::filesystem::status(conf).permissions(), std::filesystem::perms(0600));
    r = testproc::Run({root + "/usr/sbin/dododuzod", "-t", conf});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Username: ''\nPassword: ''\nLocation: ''\nIPv4: '1'\nIPv6: '0'\n"
              "Poll Interval: '300'\nDebug: '0'\nQuiet: '0'\nUsername should not be empty.\n"
              "Password should not be empty.\nInvalid configuration.\n");
    for (const char* file :
         {"/etc/logrotate.d/dododuzod", "/usr/lib/systemd/system/dododuzod.service"})
        EXPECT_NE(testproc::ReadFile(root + file), "") << file;
    r = testproc::Run(
        {"mandoc", "-Tlint", "-W", "warning", root + "/usr/share/man/man8/dododuzod.8"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    const std::string edited = "username alice\npassword secret\n";
    ASSERT_TRUE(testproc::WriteFile(conf, edited, 0600));
    r = install();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(testproc::ReadFile(conf), edited);
    EXPECT_NE(r.out.find("Keeping existing configuration"), std::string::npos) << r.out;
}

}  // namespace
