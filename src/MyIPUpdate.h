// The update engine: settings, the provider's endpoints and the memory between cycles.
#ifndef DODODUZOD_MYIPUPDATE_H
#define DODODUZOD_MYIPUPDATE_H

#include <functional>
#include <string>
#include <vector>

#include "MyIPUpdateResponse.h"

// What a configuration file sets. The defaults are the engine's before any file is read;
// a load sets every field.
struct Settings {
    std::string username;
    std::string password;
    std::string location;
    bool ipv4Enabled = true;
    bool ipv6Enabled = true;
    int pollInterval = 10;
    bool debug = false;
    bool quiet = false;
    bool verbose = false;
    // Whether the kernel's network events may bring a check before the poll interval ends.
    bool netEvents = true;
    // Whether the IPv6 check may go out from a temporary (privacy) address, as the kernel
    // chooses, rather than from the stable one.
    bool ipv6Temporary = false;
};

class MyIPUpdate : public Settings {
  public:
    // The rules of the exchange with the provider.
    static constexpr int minPollInterval = 120;  // seconds; a shorter configured one is raised
    static constexpr int dnsCheckAfter = 10;     // cycles without change before the DNS check
    static constexpr int primaryPort = 8245;
    static constexpr int fallbackPort = 80;  // when an exchange on the primary port fails
    static constexpr int locationCheckPort = 80;

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
    // True when the provider answers that the location of `settings` does not exist; asked
    // only when they name an account and a location.
    bool IsLocationDenied(const Settings& settings);
    // What the update and the location check authorize with: the user name, ":" and the
    // password's MD5 digest.
    static std::string Credentials(const std::string& username, const std::string& password);

    std::string confFile;
    std::string logFile;
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

    // The engine's two ways onto the network: MyHTTP::GetUrl and MyDNS::GetIPAddresses
    // unless a test or a fuzzer puts its own in.
    std::function<bool(std::string url, int port, std::string credentials, std::string& body,
                       std::string& error, bool verbose)>
        fetchUrl;
    std::function<bool(int type, std::string host, std::string nameServer,
                       std::vector<std::string>& out, bool verbose)>
        askNameServer;

  private:
    bool Fetch(const std::string& url, const std::string& credentials, std::string& body);
    std::string FetchAddress(const std::string& url, int family);
    void Log(const std::string& text, bool isDebug);
    void SetOutcome(const std::string& text);
    void Step(const char* text);
};

// The process's one engine.
extern MyIPUpdate myIPUpdate;

#endif
