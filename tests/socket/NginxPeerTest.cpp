// The HTTP client against a real web server that keeps its connections alive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Fakes.h"
#include "MyHTTP.h"
#include "Process.h"
#include "Wire.h"

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const std::string kUpdateReply = wire::ReplyJson("Good", "203.0.113.7", "null");
// The account's Authorization value, "Basic ...".
const std::string kBasic(wire::kAuthorization + 15, std::strlen(wire::kAuthorization) - 17);
// Relative paths resolve against the server's private prefix directory; a wrong
// Authorization header gets "badauth" instead of the update reply.
const std::string kConfig =
    "daemon off; master_process off; error_log error.log; pid nginx.pid; events {}\n"
    "http { access_log off; client_body_temp_path body; proxy_temp_path proxy;\n"
    "  fastcgi_temp_path fastcgi; uwsgi_temp_path uwsgi; scgi_temp_path scgi;\n"
    "  server { listen 127.0.0.1:8245; listen [::1]:8245;\n"
    "    location = /ipcheck.asp { default_type text/plain; return 200 \"ip203.0.113.7\"; }\n"
    "    location /nic/clientupdate {\n      if ($http_authorization != \"" +
    kBasic + "\") { return 401 badauth; }\n      return 200 '" + kUpdateReply + "'; } } }\n";

// The server keeps the connection open: only a client that stops at the announced
// length gets the body before its read time-out.
TEST(NginxPeerTest, ReturnsTheBodyWhileTheConnectionStaysOpen) {
    ASSERT_EQ(access(kNginx, X_OK), 0) << "scripts/test installs nginx-light";
    fakes::UdpFake dns(53, fakes::LoopbackNames);
    ASSERT_TRUE(dns.ok());
    const std::string dir = testproc::MakeTempDir();
    ASSERT_TRUE(testproc::WriteFile(dir + "/nginx.conf", kConfig));
    testproc::Child nginx(
        {kNginx, "-p", dir + "/", "-c", dir + "/nginx.conf", "-e", dir + "/error.log"});
    // The pid file is written once the listening sockets are open.
    ASSERT_TRUE(testproc::WaitUntil(
        [&dir] { return access((dir + "/nginx.pid").c_str(), F_OK) == 0; }, 10000))
        << testproc::ReadFile(dir + "/error.log") << nginx.Err();

    MyHTTP::timeoutSeconds = 5;  // far below the keep-alive, far above a loaded machine's delay
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"http://v4.zelmar.example/ipcheck.asp", "", "ip203.0.113.7"},
        {"http://v6.zelmar.example/ipcheck.asp", "", "ip203.0.113.7"},
        {"http://v4.zelmar.example" + wire::UpdateTarget("203.0.113.7", "no", false),
         std::string(wire::kUser) + ":5ebe2294ecd0e0f08eab7690d2a6ee69", kUpdateReply},
    };
    for (const auto& [url, credentials, expected] : cases) {
        std::string body, error;
        EXPECT_TRUE(MyHTTP::GetUrl(url, 8245, credentials, body, error, false)) << url << error;
        EXPECT_EQ(body, expected) << url;
    }
}

}  // namespace
