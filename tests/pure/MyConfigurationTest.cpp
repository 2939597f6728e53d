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

// Each text is looked up as a string, an integer and a boolean under one key.
TEST(MyConfigurationTest, Lookups) {
    const struct {
        std::string text;
        const char* key;
        const char* string;
        int integer;
        bool boolean;
    } cases[] = {
        {"username alice\nusername bob\n", "username", "alice", 0, false},  // first wins
        {"#username alice\nusername bob", "username", "bob", 0, false},     // no final newline
        {" username alice\n", "username", "", 0, false},
        {"Username alice\n", "username", "", 0, false},
        {"location  home office \n", "location", "homeoffice", 0, false},
        {"ipv4 true\n", "ipv", "", 0, false},  // a prefix of a key is not the key
        {"x 1\nusername a\vb\fc\td\n", "username", "abcd", 0, false},
        // The key after the NUL byte stands at the start of a line of its own.
        {std::string("username alice\n\0\npassword 1\n", 28), "password", "", 0, false},
        {"pollinterval 300s\n", "pollinterval", "300s", 300, false},
        {"pollinterval 2147483648\n", "pollinterval", "2147483648", 0, false},
        {"pollinterval -2147483648\n", "pollinterval", "-2147483648", -2147483647 - 1, false},
        {"debug true\n", "debug", "true", 0, true},
        {"debug 1\n", "debug", "1", 1, true},
        {"ipv6 true\r\n", "ipv6", "true", 0, true},
        {"debug True\n", "debug", "True", 0, false},
    };
    for (const auto& c : cases) {
        MyConfiguration configuration = Loaded(c.text);
        EXPECT_EQ(configuration.GetString(c.key), c.string) << c.text;
        EXPECT_EQ(configuration.GetInteger(c.key), c.integer) << c.text;
        EXPECT_EQ(configuration.GetBoolean(c.key), c.boolean) << c.text;
    }
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
