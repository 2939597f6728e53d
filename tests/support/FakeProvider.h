// The provider's servers as in-process fakes on loopback: the resolver
// (127.0.0.1:53), the authoritative name server (127.0.0.1:5353), and the web
// servers on ports 8245 and 80 of 127.0.0.1 and ::1.
#ifndef DODODUZOD_TEST_FAKEPROVIDER_H
#define DODODUZOD_TEST_FAKEPROVIDER_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Fakes.h"

namespace fakes {

// A complete HTTP response carrying `body`.
std::string HttpResponse(const std::string& body, const std::string& status = "200 OK");
// The request line's target of a raw request ("/ipcheck.asp", ...).
std::string RequestTarget(const std::string& request);

class FakeProvider {
  public:
    enum { nameServerPort = 5353 };

    FakeProvider();  // sets DODODUZOD_RESOLVER and DODODUZOD_NAMESERVER to the fakes
    bool ok() const;

    void SetPublic(const std::string& ipv4, const std::string& ipv6);
    void SetUpdateBody(const std::string& body);
    // A body for the address-check pages instead of "ip" and the address; "" restores it.
    void SetCheckPage(const std::string& body);
    // The tag host's records on the name server.
    void SetRecords(const std::vector<std::string>& a, const std::vector<std::string>& aaaa);
    // Takes a web server away (connections are refused) or brings it back.
    void SetWebServer(int family, int port, bool up);

    // Requests the web server of `family` and `port` received, in order.
    std::vector<std::string> Requests(int family, int port) const;
    std::vector<std::string> NameServerQueries() const;

  private:
    fakes::HttpReply Answer(int family, const std::string& request);
    std::unique_ptr<TcpFake>& Server(int family, int port);

    mutable std::mutex mutex_;
    std::string ipv4_ = "203.0.113.7";
    std::string ipv6_ = "2001:db8::7";
    std::string updateBody_;
    std::string checkPage_;
    std::vector<std::string> a_;
    std::vector<std::string> aaaa_;
    std::unique_ptr<UdpFake> resolver_;
    std::unique_ptr<UdpFake> nameServer_;
    std::unique_ptr<TcpFake> web_[4];  // ipv4:8245, ipv4:80, ipv6:8245, ipv6:80
};

}  // namespace fakes

#endif
