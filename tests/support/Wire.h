// What the client and the provider say to each other, written once for every test:
// request text, the account's Authorization header, reply JSON, HTTP responses, and
// log lines read back without their dates.
#ifndef DODODUZOD_TEST_WIRE_H
#define DODODUZOD_TEST_WIRE_H

#include <string>
#include <vector>

namespace wire {

// The test account: user "alice", password "secret".
extern const char kUser[];
extern const char kPassword[];
// "alice:" and the MD5 of "secret", in Base64, as the header line the client sends.
extern const char kAuthorization[];
// The account's tag host.
extern const char kTagHost[];

// A GET as the client sends it; the account's Authorization header when `withCredentials`.
std::string Get(const std::string& target, const std::string& host, bool withCredentials);
// The update target for these addresses ("no" for a disabled family).
std::string UpdateTarget(const std::string& ipv4, const std::string& ipv6, bool forced,
                         const std::string& location = "");

// An update reply; an address written "null" goes out as JSON null.
std::string ReplyJson(const std::string& status, const std::string& ipv4, const std::string& ipv6,
                      const std::string& id = "a1b2c3d4e5f6");

// Splits text into lines, dropping the line ends.
std::vector<std::string> Lines(const std::string& text);
// A log line without its date: "[TAG] message", or the line as it is when undated.
std::string Undated(const std::string& line);
// The file's lines without their dates; none when it cannot be read.
std::vector<std::string> UndatedLines(const std::string& path);

}  // namespace wire

#endif
