#include "MyIPUpdate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include <vector>

#include "MyDNS.h"
#include "MyFunctions.h"
#include "MyHTTP.h"
#include "MyString.h"
#include "Notify.h"
#include "Provider.h"
#include "Wait.h"

namespace {

bool HoldsAddress(const std::vector<std::string>& answers, const std::string& address) {
    for (const std::string& answer : answers)
        if (answer == address)
            return true;
    return false;
}

// A family is asked about only when it is handled and its lookup gave an address.
bool IsQueried(bool enabled, const std::string& address) {
    return enabled && !address.empty() && address != "no";
}

// "IPv4 a, IPv6 b" for the handled families, as the status line shows them.
std::string Addresses(bool ipv4, const std::string& ipv4Address, bool ipv6,
                      const std::string& ipv6Address) {
    const std::string v4 = "IPv4 " + (ipv4Address.empty() ? "none" : ipv4Address);
    const std::string v6 = "IPv6 " + (ipv6Address.empty() ? "none" : ipv6Address);
    return ipv4 && ipv6 ? v4 + ", " + v6 : ipv4 ? v4 : v6;
}

}  // namespace

MyIPUpdate::MyIPUpdate()
    : ipv4CheckUrl(Provider::ipv4CheckUrl),
      ipv6CheckUrl(Provider::ipv6CheckUrl),
      updateUrl(Provider::updateUrl),
      locationCheckUrl(Provider::locationCheckUrl),
      checkCounter(0),
      fetchUrl(MyHTTP::GetUrl),
      askNameServer(MyDNS::GetIPAddresses) {}

bool MyIPUpdate::IsValidConfiguration() {
    return !username.empty() && !password.empty();
}

void MyIPUpdate::Log(const std::string& text, bool isDebug) {
    MyFunctions::Log(logFile, "ENGINE", text, isDebug, debug, quiet, verbose);
}

// What the cycle waits for now, in the service manager's status; a cycle cut short
// announces nothing more.
void MyIPUpdate::Step(const char* text) {
    if (!Wait::CycleEnds())
        Notify::Status(text, time(nullptr));
}

void MyIPUpdate::SetOutcome(const std::string& text) {
    if (cycleOutcome.empty())
        cycleOutcome = text;
}

void MyIPUpdate::CheckIP(bool force) {
    cycleOutcome.clear();
    if (username.empty() || password.empty()) {
        Log("Invalid configuation file: " + confFile, false);
        return;
    }
    ++checkCounter;
    if (!ipv4Enabled && !ipv6Enabled) {
        Log("Both IPv4 and IPv6 IP update are disabled.", false);
        SetOutcome("IPv4 and IPv6 updates are both disabled");
        return;
    }
    Log("Checking if IP update is required.", false);

    std::string ipv4Address = "no";
    std::string ipv6Address = "no";
    if (ipv4Enabled) {
        Step("Checking the IPv4 address");
        ipv4Address = GetIPv4Address();
        Log("IPv4 address: " + ipv4Address, true);
    } else {
        Log("IPv4 address update disabled.", true);
    }
    if (ipv6Enabled) {
        Step("Checking the IPv6 address");
        ipv6Address = GetIPv6Address();
        Log("IPv6 address: " + ipv6Address, true);
    } else {
        Log("IPv6 address update disabled.", true);
    }
    // A stop or a reload cut the lookups short: their empty results are no reason to update.
    if (Wait::CycleEnds())
        return;
    // A failed check is what the operator has to know of, whatever the update then does.
    const bool ipv4Failed = ipv4Enabled && ipv4Address.empty();
    const bool ipv6Failed = ipv6Enabled && ipv6Address.empty();
    if (ipv4Failed || ipv6Failed) {
        const char* failed = ipv4Failed && ipv6Failed ? "IPv4 and IPv6"
                             : ipv4Failed             ? "IPv4"
                                                      : "IPv6";
        SetOutcome(std::string("Address check failed for ") + failed);
    }

    if (force) {
        UpdateDNS(true, ipv4Address, ipv6Address);
        return;
    }
    const std::string& storedIPv4 = response.updatedIPv4Address;
    const std::string& storedIPv6 = response.updatedIPv6Address;
    bool changed = (ipv4Enabled && (storedIPv4.empty() || ipv4Address != storedIPv4)) ||
                   (ipv6Enabled && (storedIPv6.empty() || ipv6Address != storedIPv6));
    if (changed) {
        UpdateDNS(false, ipv4Address, ipv6Address);
        return;
    }
    if (checkCounter > dnsCheckAfter) {
        checkCounter = 0;
        bool checkable = (ipv4Enabled && !storedIPv4.empty() && IsQueried(true, ipv4Address)) ||
                         (ipv6Enabled && !storedIPv6.empty() && IsQueried(true, ipv6Address));
        bool required =
            checkable && IsIPUpdateRequiredThroughDNSCheck(ipv4Enabled, ipv6Enabled, ipv4Address,
                                                           ipv6Address, username, location);
        if (Wait::CycleEnds())  // the check was cut short: it tells nothing either way
            return;
        if (required) {
            Log("IP update found to be required through DNS check.", false);
            UpdateDNS(false, ipv4Address, ipv6Address);
            return;
        }
    }
    Log("No change detected.", false);
    SetOutcome("No change: " + Addresses(ipv4Enabled, ipv4Address, ipv6Enabled, ipv6Address));
}

// One exchange, on the fall-back port when the primary one fails as an exchange.
bool MyIPUpdate::Fetch(const std::string& url, const std::string& credentials, std::string& body) {
    std::string error;
    return fetchUrl(url, primaryPort, credentials, body, error, verbose) ||
           (!Wait::CycleEnds() && fetchUrl(url, fallbackPort, credentials, body, error, verbose));
}

// The page answers "ip" followed directly by the address. Only an address of the page's
// `family` counts, so that no other text of the page can reach the update request.
std::string MyIPUpdate::FetchAddress(const std::string& url, int family) {
    std::string body;
    if (!Fetch(url, "", body) || body.compare(0, 2, "ip") != 0)
        return "";
    std::string address = body.substr(2);
    address.erase(address.find_last_not_of(" \t\r\n") + 1);
    unsigned char parsed[sizeof(in6_addr)];
    if (address.find('\0') != std::string::npos || inet_pton(family, address.c_str(), parsed) != 1)
        return "";
    return address;
}

std::string MyIPUpdate::GetIPv4Address() {
    return FetchAddress(ipv4CheckUrl, AF_INET);
}

// The stable address is the one to publish: the check asks the kernel for it as the
// source, unless the configuration wants the kernel's own choice.
std::string MyIPUpdate::GetIPv6Address() {
    MyHTTP::preferPublicSource = !ipv6Temporary;
    std::string address = FetchAddress(ipv6CheckUrl, AF_INET6);
    MyHTTP::preferPublicSource = false;
    return address;
}

bool MyIPUpdate::IsIPUpdateRequiredThroughDNSCheck(bool ipv4Enabled, bool ipv6Enabled,
                                                   std::string ipv4Address, std::string ipv6Address,
                                                   std::string username, std::string location) {
    const std::string hostname = MyString::GetHostname(username, location);
    if (hostname.empty())
        return false;
    MyFunctions::Log(logFile, "ENGINE", "Hostname: " + hostname, verbose);

    const std::string nameServer = Provider::NameServer();
    // Whether the name server's records of `type` lack `address`.
    auto lacks = [&](int type, const std::string& address) {
        std::vector<std::string> answers;
        return !askNameServer(type, hostname, nameServer, answers, verbose) ||
               !HoldsAddress(answers, address);
    };
    // A stop is looked for before each question, so it waits for one lookup at most.
    bool ipv4Required = false;
    bool ipv6Required = false;
    if (IsQueried(ipv4Enabled, ipv4Address)) {
        if (Wait::CycleEnds())
            return false;
        MyFunctions::Log(logFile, "ENGINE", "Get A records.", verbose);
        ipv4Required = lacks(MyDNS::typeA, ipv4Address);
    }
    if (IsQueried(ipv6Enabled, ipv6Address)) {
        if (Wait::CycleEnds())
            return false;
        MyFunctions::Log(logFile, "ENGINE", "Get AAAA records.", verbose);
        ipv6Required = lacks(MyDNS::typeAAAA, ipv6Address);
    }
    return ipv4Required || ipv6Required;
}

void MyIPUpdate::UpdateDNS(bool force, std::string ipv4Address, std::string ipv6Address) {
    Log("IP address update initiated.", false);
    std::string url = MyString::Replace(updateUrl, "{0}", location);
    url = MyString::Replace(url, "{1}", ipv4Address);
    url = MyString::Replace(url, "{2}", ipv6Address);
    url = MyString::Replace(url, "{3}", force ? "1" : "");
    Log("Url: " + MyString::Escape(url), true);

    Step("Sending the update");
    std::string body;
    if (!Fetch(url, Credentials(username, password), body)) {
        SetOutcome("No answer from the provider to the update");
        return;
    }
    // What the provider sends is logged escaped, so that it can never forge a line.
    Log("Response: " + MyString::Escape(body), true);
    if (body.empty()) {
        SetOutcome("Empty answer from the provider to the update");
        return;
    }
    if (response.Parse(body))
        LogIPUpdateResponse();
    else
        SetOutcome("Unusable answer from the provider to the update");
}

void MyIPUpdate::LogIPUpdateResponse() {
    Log("Status Code: " + MyString::Escape(response.statusCode), false);
    const bool good = response.statusCode == "Good";
    if (good || response.statusCode == "No Change") {
        forceUpdate = false;
        const bool isDebug = !good;
        Log(ipv4Enabled ? "Current IPv4 Address: " + MyString::Escape(response.updatedIPv4Address)
                        : "Current IPv4 Address: Disabled",
            isDebug);
        Log(ipv6Enabled ? "Current IPv6 Address: " + MyString::Escape(response.updatedIPv6Address)
                        : "Current IPv6 Address: Disabled",
            isDebug);
        if (good)
            SyslogCurrentStatus();
        SetOutcome((good ? "Updated: " : "No change: ") +
                   Addresses(ipv4Enabled, response.updatedIPv4Address, ipv6Enabled,
                             response.updatedIPv6Address));
    } else {
        SetOutcome("Update refused by the provider: " + response.statusCode);
    }
    if (response.statusCode == "Bad Authentication")
        Log("IP address update aborted due to invalid credentials.", false);
}

void MyIPUpdate::SyslogCurrentStatus() {
    const std::string ipv4 =
        ipv4Enabled ? MyString::Escape(response.updatedIPv4Address) : "disabled";
    const std::string ipv6 =
        ipv6Enabled ? MyString::Escape(response.updatedIPv6Address) : "disabled";
    if (!ipv4Enabled && !ipv6Enabled)
        return;
    const std::string line = "{ IPv4 Address: " + ipv4 + ", IPv6 Address: " + ipv6 + " }";
    // The addresses come from the provider: never let them act as a format.
    syslog(LOG_INFO, "%s", line.c_str());
}

bool MyIPUpdate::IsLocationDenied(const Settings& settings) {
    if (settings.username.empty() || settings.password.empty() || settings.location.empty())
        return false;
    const std::string url = MyString::Replace(locationCheckUrl, "{0}", settings.location);
    std::string body;
    std::string error;
    return fetchUrl(url, locationCheckPort, Credentials(settings.username, settings.password), body,
                    error, verbose) &&
           body == "false";
}

std::string MyIPUpdate::Credentials(const std::string& username, const std::string& password) {
    return username + ":" + MyString::MD5Hash(password);
}
