// What the client knows of its provider, in one place: the endpoints, the name server,
// the tag domain, and the environment overrides that point the client at a local or
// test service instead.
#ifndef DODODUZOD_PROVIDER_H
#define DODODUZOD_PROVIDER_H

#include <cstdlib>
#include <string>

namespace Provider {
inline constexpr char ipv4CheckUrl[] = "http://checkip.zelmar.example/ipcheck.asp";
inline constexpr char ipv6CheckUrl[] = "http://checkipv6.zelmar.example/ipcheck.asp";
inline constexpr char updateUrl[] =
    "http://api.zelmar.example/nic/clientupdate?location={0}&myipv4={1}&myipv6={2}&uin={3}";
inline constexpr char locationCheckUrl[] =
    "http://api.zelmar.example/nic/locationcheck?location={0}";
inline constexpr char nameServer[] = "ns1.zelmar.example";  // primary authoritative
inline constexpr char tagDomain[] = "zelmar.example";
inline constexpr char fallbackResolver[] = "8.8.8.8";  // public recursive resolver

inline constexpr char resolverVariable[] = "DODODUZOD_RESOLVER";
inline constexpr char nameServerVariable[] = "DODODUZOD_NAMESERVER";

// The override's value, or the built-in one when it is unset or empty.
inline std::string Setting(const char* variable, const char* builtIn) {
    const char* value = std::getenv(variable);
    return (value != nullptr && *value != '\0') ? value : builtIn;
}

// The recursive resolver that host names are resolved at: "address[:port]".
inline std::string Resolver() {
    return Setting(resolverVariable, fallbackResolver);
}

// The authoritative name server the DNS change check asks: "host[:port]".
inline std::string NameServer() {
    return Setting(nameServerVariable, nameServer);
}
}  // namespace Provider

#endif
