#include "FakeProvider.h"

#include <sys/socket.h>

#include <cstdlib>

#include "SimDnsReply.h"

namespace fakes {
namespace {

// Provider host names resolve to the loopback addresses of the fake web servers.
std::vector<sim::Record> ResolverRecords(const sim::Question& q) {
    if (q.name == "checkip.zelmar.example" || q.name == "api.zelmar.example")
        return q.type == 1 ? std::vector<sim::Record>{{q.name, 1, "127.0.0.1"}}
                           : std::vector<sim::Record>{};
    if (q.name == "checkipv6.zelmar.example")
        return q.type == 28 ? std::vector<sim::Record>{{q.name, 28, "::1"}}
                            : std::vector<sim::Record>{};
    return {};
}

}  // namespace

std::string HttpResponse(const std::string& body, const std::string& status) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string RequestTarget(const std::string& request) {
    size_t start = request.find(' ');
    if (start == std::string::npos)
        return "";
    size_t end = request.find(' ', start + 1);
    return request.substr(start + 1, end == std::string::npos ? end : end - start - 1);
}

FakeProvider::FakeProvider() {
    resolver_ = std::make_unique<UdpFake>(53, [](const std::string& query) {
        sim::Question q;
        if (!sim::ParseQuestion(query, q))
            return std::vector<Datagram>{};
        std::vector<sim::Record> records = ResolverRecords(q);
        bool known = q.name.find("zelmar.example") != std::string::npos;
        return std::vector<Datagram>{DatagramOf(
            sim::BuildReply(query, records, known ? sim::rcodeOk : sim::rcodeNameError))};
    });
    nameServer_ = std::make_unique<UdpFake>(nameServerPort, [this](const std::string& query) {
        sim::Question q;
        if (!sim::ParseQuestion(query, q))
            return std::vector<Datagram>{};
        std::vector<sim::Record> records;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& a : q.type == 1 ? a_ : aaaa_)
            records.push_back({q.name, q.type, a});
        return std::vector<Datagram>{DatagramOf(sim::BuildReply(query, records))};
    });
    for (int family : {AF_INET, AF_INET6})
        for (int port : {8245, 80})
            SetWebServer(family, port, true);
    setenv("DODODUZOD_RESOLVER", "127.0.0.1:53", 1);
    setenv("DODODUZOD_NAMESERVER", "127.0.0.1:5353", 1);
}

bool FakeProvider::ok() const {
    if (!resolver_->ok() || !nameServer_->ok())
        return false;
    for (const auto& web : web_)
        if (web && !web->ok())
            return false;
    return true;
}

std::unique_ptr<TcpFake>& FakeProvider::Server(int family, int port) {
    return web_[(family == AF_INET6 ? 2 : 0) + (port == 80 ? 1 : 0)];
}

void FakeProvider::SetWebServer(int family, int port, bool up) {
    std::unique_ptr<TcpFake>& server = Server(family, port);
    server.reset();
    if (up)
        server = std::make_unique<TcpFake>(
            family, port, [this, family](const std::string& r) { return Answer(family, r); });
}

void FakeProvider::SetPublic(const std::string& ipv4, const std::string& ipv6) {
    std::lock_guard<std::mutex> lock(mutex_);
    ipv4_ = ipv4;
    ipv6_ = ipv6;
}

void FakeProvider::SetUpdateBody(const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    updateBody_ = body;
}

void FakeProvider::SetCheckPage(const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    checkPage_ = body;
}

void FakeProvider::SetRecords(const std::vector<std::string>& a,
                              const std::vector<std::string>& aaaa) {
    std::lock_guard<std::mutex> lock(mutex_);
    a_ = a;
    aaaa_ = aaaa;
}

HttpReply FakeProvider::Answer(int family, const std::string& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string target = RequestTarget(request);
    if (target == "/ipcheck.asp" && !checkPage_.empty())
        return ReplyOf(HttpResponse(checkPage_));
    if (target == "/ipcheck.asp")
        return ReplyOf(HttpResponse("ip" + (family == AF_INET ? ipv4_ : ipv6_)));
    if (target.compare(0, 17, "/nic/clientupdate") == 0)
        return ReplyOf(HttpResponse(updateBody_));
    return ReplyOf(HttpResponse("not found", "404 Not Found"));
}

std::vector<std::string> FakeProvider::Requests(int family, int port) const {
    const std::unique_ptr<TcpFake>& server = const_cast<FakeProvider*>(this)->Server(family, port);
    return server ? server->requests() : std::vector<std::string>{};
}

std::vector<std::string> FakeProvider::NameServerQueries() const {
    return nameServer_->queries();
}

}  // namespace fakes
