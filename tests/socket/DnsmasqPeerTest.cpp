// The DNS client against a real name server, run on loopback inside the test's namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "MyDNS.h"
#include "Process.h"

namespace {

// Real replies: A, AAAA, an alias followed by its target's address, a name asked in
// capitals, and a name error.
TEST(DnsmasqPeer, AnswersMatchTheRecords) {
    if (access("/usr/sbin/dnsmasq", X_OK) != 0)
        GTEST_SKIP() << "dnsmasq is not installed";
    testproc::Child server({"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
                            "--no-resolv", "--no-hosts", "--listen-address=127.0.0.1",
                            "--bind-interfaces", "--port=5354", "--user=root",
                            "--pid-file=", "--log-facility=-", "--local=/zelmar.example/",
                            "--host-record=api.zelmar.example,127.0.0.1,::1",
                            "--cname=www.zelmar.example,api.zelmar.example"});
    // It reports "started" once its socket is bound.
    ASSERT_TRUE(testproc::WaitUntil(
        [&] { return server.Err().find("started") != std::string::npos; }, 5000))
        << server.Err();
    const std::tuple<int, const char*, std::vector<std::string>> cases[] = {
        {1, "api.zelmar.example", {"127.0.0.1"}},
        {28, "api.zelmar.example", {"::1"}},
        {1, "www.zelmar.example", {"127.0.0.1"}},
        {1, "API.Zelmar.Example", {"127.0.0.1"}},  // its question comes back as it was asked
        {1, "nosuch.zelmar.example", {}},
    };
    for (const auto& [type, host, expected] : cases) {
        std::vector<std::string> out{"stale"};
        EXPECT_TRUE(MyDNS::GetIPAddresses(type, host, "127.0.0.1:5354", out, false)) << host;
        EXPECT_EQ(out, expected) << host << " type " << type;
    }
}

}  // namespace
