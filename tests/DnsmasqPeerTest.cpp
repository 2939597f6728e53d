// The DNS client against a real name server, run on loopback inside the test's namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "MyDNS.h"
#include "Process.h"

namespace {

const char* const kDnsmasq = "/usr/sbin/dnsmasq";
const char* const kServer = "127.0.0.1:5354";

class DnsmasqPeer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (access(kDnsmasq, X_OK) != 0)
            return;
        server_ = std::make_unique<testproc::Child>(std::vector<std::string>{
            kDnsmasq, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
            "--listen-address=127.0.0.1", "--bind-interfaces", "--port=5354", "--user=root",
            "--pid-file=", "--log-facility=-", "--local=/zelmar.example/",
            "--local=/azelmar.example/", "--host-record=checkip.zelmar.example,127.0.0.1",
            "--host-record=checkipv6.zelmar.example,::1",
            "--host-record=api.zelmar.example,127.0.0.1",
            "--cname=www.zelmar.example,api.zelmar.example",
            "--host-record=alice.tag.azelmar.example,203.0.113.7,2001:db8::7"});
        // It reports "started" once its socket is bound.
        testproc::WaitUntil([] { return server_->Err().find("started") != std::string::npos; },
                            5000);
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (access(kDnsmasq, X_OK) != 0)
            GTEST_SKIP() << kDnsmasq << " is not installed";
        ASSERT_NE(server_->Err().find("started"), std::string::npos) << server_->Err();
        MyDNS::timeoutSeconds = 2;
    }
    void TearDown() override { MyDNS::timeoutSeconds = 10; }

    static std::unique_ptr<testproc::Child> server_;
};

std::unique_ptr<testproc::Child> DnsmasqPeer::server_;

TEST_F(DnsmasqPeer, AnswersMatchTheRecords) {
    struct Case {
        int type;
        const char* host;
        std::vector<std::string> expected;
    } cases[] = {
        {1, "checkip.zelmar.example", {"127.0.0.1"}},
        {28, "checkipv6.zelmar.example", {"::1"}},
        {28, "checkip.zelmar.example", {}},        // no AAAA record
        {1, "www.zelmar.example", {"127.0.0.1"}},  // CNAME, then the target's A
        {1, "alice.tag.azelmar.example", {"203.0.113.7"}},
        {28, "alice.tag.azelmar.example", {"2001:db8::7"}},
        {1, "nosuch.zelmar.example", {}},  // name error
    };
    for (const Case& c : cases) {
        std::vector<std::string> out{"stale"};
        EXPECT_TRUE(MyDNS::GetIPAddresses(c.type, c.host, kServer, out, false)) << c.host;
        EXPECT_EQ(out, c.expected) << c.host << " type " << c.type;
    }
    EXPECT_EQ(MyDNS::GetIPv6Address("alice.tag.azelmar.example", kServer, false), "2001:db8::7");
}

TEST_F(DnsmasqPeer, WalksPastTheAliasToItsAddress) {
    unlink("/var/log/dododuzod.log");
    EXPECT_EQ(MyDNS::GetIPv4Address("www.zelmar.example", kServer, true), "127.0.0.1");
    std::string log = testproc::ReadFile("/var/log/dododuzod.log");
    EXPECT_NE(log.find("[FRAMEWORK] Parsing 2 DNS answers.\n"), std::string::npos) << log;
}

}  // namespace
