#include "SimAccounts.h"

#include <arpa/inet.h>

#include <sstream>

#include "MyString.h"
#include "Provider.h"

namespace sim {

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word && word[0] != '#')
        words.push_back(word);
    return words;
}

std::string Canonical(int family, const std::string& text) {
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN];
    if (inet_pton(family, text.c_str(), bytes) != 1)
        return "";
    if (inet_ntop(family, bytes, out, sizeof out) == nullptr)
        return "";
    return out;
}

namespace {

// Stores a new address when the value carries one; true when the held one changed.
bool Store(int family, const std::string& value, std::string& held) {
    std::string address = Canonical(family, value);
    if (address.empty() || address == held)
        return false;
    held = address;
    return true;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::string TagHost(const std::string& user, const std::string& location) {
    if (user.empty())
        return "";
    std::string name = user + ".tag." + user[0] + Provider::tagDomain;
    return location.empty() ? name : location + "." + name;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

std::string ClaimedUser(const std::string& token) {
    std::string decoded;
    unsigned bits = 0;
    int count = 0;
    for (char c : token) {
        int v = Base64Value(c);
        if (v < 0)
            break;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            decoded.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    size_t colon = decoded.find(':');
    return colon == std::string::npos ? "" : decoded.substr(0, colon);
}

bool Accounts::Load(const std::string& text, std::string& error) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::vector<std::string> words = Words(line);
        if (words.empty())
            continue;
        std::string where = "line " + std::to_string(number) + ": ";
        if (words.size() < 2) {
            error = where + "expected 'username password [location...]'";
            return false;
        }
        if (words[0].find(':') != std::string::npos) {
            error = where + "a user name cannot hold ':'";
            return false;
        }
        for (const Account& a : accounts_)
            if (a.user == words[0]) {
                error = where + "user " + words[0] + " appears twice";
                return false;
            }
        Account account;
        account.user = words[0];
        account.token = MyString::Base64Encode(words[0] + ":" + MyString::MD5Hash(words[1]));
        account.hosts.push_back({"", TagHost(words[0], ""), "", ""});
        for (size_t i = 2; i < words.size(); ++i) {
            if (HasLocation(account, words[i])) {
                error = where + "location " + words[i] + " appears twice";
                return false;
            }
            account.hosts.push_back({words[i], TagHost(words[0], words[i]), "", ""});
        }
        accounts_.push_back(account);
    }
    return true;
}

Account* Accounts::Authenticate(const std::string& token) {
    for (Account& a : accounts_)
        if (!token.empty() && a.token == token)
            return &a;
    return nullptr;
}

bool Accounts::HasLocation(const Account& account, const std::string& location) {
    for (const Host& h : account.hosts)
        if (!location.empty() && h.location == location)
            return true;
    return false;
}

Outcome Accounts::Update(Account& account, const std::string& location, const std::string& myipv4,
                         const std::string& myipv6, const Host** held) {
    for (Host& h : account.hosts) {
        if (h.location != location)
            continue;
        bool changed = Store(AF_INET, myipv4, h.ipv4);
        changed = Store(AF_INET6, myipv6, h.ipv6) || changed;
        *held = &h;
        return changed ? Outcome::good : Outcome::noChange;
    }
    return Outcome::badLocation;
}

const Host* Accounts::Find(const std::string& name) const {
    for (const Account& a : accounts_)
        for (const Host& h : a.hosts)
            if (SameName(h.name, name))
                return &h;
    return nullptr;
}

std::vector<std::string> Accounts::RecordLines() const {
    std::vector<std::string> lines;
    for (const Account& a : accounts_)
        for (const Host& h : a.hosts) {
            if (!h.ipv4.empty())
                lines.push_back("record " + h.name + " A " + h.ipv4);
            if (!h.ipv6.empty())
                lines.push_back("record " + h.name + " AAAA " + h.ipv6);
        }
    return lines;
}

}  // namespace sim
