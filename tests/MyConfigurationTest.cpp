// Lookups in configuration texts: what sets a key and what does not.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "MyConfiguration.h"
#include "Process.h"

namespace {

MyConfiguration Loaded(const std::string& text) {
    static int n = 0;
    const std::string path = "/tmp/conf." + std::to_string(++n);
    EXPECT_TRUE(testproc::WriteFile(path, text));
    MyConfiguration configuration;
    EXPECT_TRUE(configuration.Load(path));
    return configuration;
}

struct StringCase {
    const char* text;
    const char* key;
    const char* expected;
};

TEST(MyConfigurationTest, StringLookups) {
    const StringCase cases[] = {
        {"username alice\n", "username", "alice"},
        {"username alice\nusername bob\n", "username", "alice"},  // first wins
        {"#username alice\n", "username", ""},
        {"# comment\nusername alice", "username", "alice"},  // last line without newline
        {" username alice\n", "username", ""},
        {"username\talice\n", "username", ""},
        {"username=alice\n", "username", ""},
        {"Username alice\n", "username", ""},
        {"username alice\r\n", "username", "alice"},
        {"location  home office \n", "location", "homeoffice"},
        {"location \n", "location", ""},
        {"ipv4 true\n", "ipv", ""},  // a prefix of a key is not the key
        {"username alice\n", "", ""},
        {"x 1\nusername a\vb\fc\td\n", "username", "abcd"},
        {"", "username", ""},
    };
    for (const StringCase& c : cases) {
        MyConfiguration configuration = Loaded(c.text);
        EXPECT_EQ(configuration.GetString(c.key), c.expected) << c.text;
    }
}

TEST(MyConfigurationTest, NothingAfterANulByteSetsAKey) {
    // The key after the NUL byte stands at the start of a line of its own.
    MyConfiguration configuration = Loaded(std::string("username alice\n\0\npassword x\n", 28));
    EXPECT_EQ(configuration.GetString("username"), "alice");
    EXPECT_EQ(configuration.GetString("password"), "");
}

TEST(MyConfigurationTest, IntegerLookups) {
    const std::pair<const char*, int> cases[] = {
        {"pollinterval 300\n", 300},
        {"pollinterval 0300\n", 300},
        {"pollinterval 300s\n", 300},
        {"pollinterval -5\n", -5},
        {"pollinterval +7\n", 7},
        {"pollinterval 99999999999\n", 0},
        {"pollinterval 2147483647\n", 2147483647},
        {"pollinterval 2147483648\n", 0},
        {"pollinterval -2147483648\n", -2147483647 - 1},
        {"pollinterval x1\n", 0},
        {"pollinterval \n", 0},
        {"other 5\n", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Loaded(c.first).GetInteger("pollinterval"), c.second) << c.first;
}

TEST(MyConfigurationTest, BooleanLookups) {
    const std::pair<const char*, bool> cases[] = {
        {"debug true\n", true},  {"debug 1\n", true},    {"debug True\n", false},
        {"debug TRUE\n", false}, {"debug yes\n", false}, {"debug on\n", false},
        {"debug 0\n", false},    {"debug\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Loaded(c.first).GetBoolean("debug"), c.second) << c.first;
    EXPECT_TRUE(Loaded("ipv6 true\r\n").GetBoolean("ipv6"));
}

TEST(MyConfigurationTest, GetValueTakesAllAfterTheFirstSpaceWithoutBlanks) {
    MyConfiguration configuration;
    EXPECT_EQ(configuration.GetValue(""), "");
    EXPECT_EQ(configuration.GetValue("novalue"), "");
    EXPECT_EQ(configuration.GetValue("key a b\tc"), "abc");
}

TEST(MyConfigurationTest, AFailedLoadKeepsTheEarlierText) {
    const std::string path = "/tmp/conf.kept";
    ASSERT_TRUE(testproc::WriteFile(path, "username alice\n"));
    MyConfiguration configuration;
    ASSERT_TRUE(configuration.Load(path));
    EXPECT_FALSE(configuration.Load("/tmp/does-not-exist"));
    EXPECT_FALSE(configuration.Load("/tmp"));       // a directory cannot be read as a file
    EXPECT_FALSE(configuration.Load("/dev/zero"));  // nor can an endless one
    // A FIFO without a writer would block in open(), a terminal in read(): neither is a file.
    unlink("/tmp/conf.fifo");
    ASSERT_EQ(mkfifo("/tmp/conf.fifo", 0600), 0);
    EXPECT_FALSE(configuration.Load("/tmp/conf.fifo"));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(configuration.GetString("username"), "alice");

    // A file of 1 MiB loads; one byte more is no configuration file.
    const std::string line = "username bob\n";
    const std::string mebibyte = line + std::string((1 << 20) - line.size(), '#');
    ASSERT_TRUE(testproc::WriteFile(path, mebibyte));
    EXPECT_TRUE(configuration.Load(path));
    EXPECT_EQ(configuration.GetString("username"), "bob");
    ASSERT_TRUE(testproc::WriteFile(path, "username carol\n" + mebibyte));
    EXPECT_FALSE(configuration.Load(path));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(configuration.GetString("username"), "bob");
}

}  // namespace
