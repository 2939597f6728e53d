// The update engine: settings, the provider's endpoints and the memory between cycles.
#ifndef DODODUZOD_MYIPUPDATE_H
#define DODODUZOD_MYIPUPDATE_H

#include <cstdlib>
#include <string>

#include "MyIPUpdateResponse.h"

// What the client knows of its provider, in one place.
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

// Environment overrides that point the client at a local or test service.
inline constexpr char resolverVariable[] = "DODODUZOD_RESOLVER";
inline constexpr char nameServerVariable[] = "DODODUZOD_NAMESERVER";

// The override's value, or the built-in one when it is unset or empty.
inline std::string Setting(const char* variable, const char* builtIn) {
    const char* value = std::getenv(variable);
    return (value != nullptr && *value != '\0') ? value : builtIn;
}
}  // namespace Provider

class MyIPUpdate {
  public:
    MyIPUpdate();
    MyIPUpdate(const MyIPUpdate&) = delete;
    MyIPUpdate& operator=(const MyIPUpdate&) = delete;

    bool IsValidConfiguration();
    void CheckIP(bool force);
    std::string GetIPv4Address();
    std::string GetIPv6Address();
    bool IsIPUpdateRequiredThroughDNSCheck(bool ipv4Enabled, bool ipv6Enabled,
                                           std::string ipv4Address, std::string ipv6Address,
                                           std::string username, std::string location);
    void UpdateDNS(bool force, std::string ipv4Address, std::string ipv6Address);
    void LogIPUpdateResponse();
    void SyslogCurrentStatus();

    std::string confFile;
    std::string logFile;
    std::string username;
    std::string password;
    std::string location;
    bool ipv4Enabled;
    bool ipv6Enabled;
    int pollInterval;
    bool debug;
    bool quiet;
    bool verbose;
    bool forceUpdate = false;
    std::string ipv4CheckUrl;
    std::string ipv6CheckUrl;
    std::string updateUrl;
    std::string locationCheckUrl;
    int checkCounter;
    MyIPUpdateResponse response;
    // What the last cycle came to, in a line for the service manager's status: the
    // first thing that decided it (a failed address check, the provider's answer...).
    std::string cycleOutcome;

  private:
    std::string FetchAddress(const std::string& url);
    void Log(const std::string& text, bool isDebug);
    void SetOutcome(const std::string& text);
};

// The process's one engine.
extern MyIPUpdate myIPUpdate;

#endif
