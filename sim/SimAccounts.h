// The simulated provider's accounts and the addresses it publishes for them.
#ifndef DODODUZOD_SIM_ACCOUNTS_H
#define DODODUZOD_SIM_ACCOUNTS_H

#include <string>
#include <vector>

namespace sim {

// One tag host name of an account and the addresses last accepted for it.
struct Host {
    std::string location;  // empty for the account's own name
    std::string name;      // the tag host name
    std::string ipv4;      // address text; empty while none is held
    std::string ipv6;
};

struct Account {
    std::string user;
    std::string token;        // Base64 of user ":" md5hex(password), as Basic authorization
    std::vector<Host> hosts;  // hosts[0]: no location; then one per location, in file order
};

enum class Outcome { good, noChange, badLocation };

// The canonical text of an address of `family` (AF_INET, AF_INET6), or empty when
// `text` is not one.
std::string Canonical(int family, const std::string& text);
// The words of a line before any word that starts with '#'.
std::vector<std::string> Words(const std::string& line);
// The tag host name of (user, location): user.tag.<first letter>zelmar.example.
std::string TagHost(const std::string& user, const std::string& location);
// DNS names compare without regard to ASCII case.
bool SameName(const std::string& a, const std::string& b);
// The user name carried by a Basic authorization token; empty when it holds none.
std::string ClaimedUser(const std::string& token);

class Accounts {
  public:
    // Reads lines "username password [location...]"; '#' starts a comment. False
    // with `error` naming the line when one is malformed or repeats a user.
    bool Load(const std::string& text, std::string& error);

    // The account whose credentials the token carries; null when none matches.
    Account* Authenticate(const std::string& token);
    static bool HasLocation(const Account& account, const std::string& location);

    // Applies the update values of one request. "no", the empty text and text that is
    // not an address of the family leave the held address as it was.
    static Outcome Update(Account& account, const std::string& location, const std::string& myipv4,
                          const std::string& myipv6, const Host** held);

    // The host of that name (any case); null when no account has it.
    const Host* Find(const std::string& name) const;
    // "record NAME A ADDR" and "record NAME AAAA ADDR" for every held address.
    std::vector<std::string> RecordLines() const;

  private:
    std::vector<Account> accounts_;
};

}  // namespace sim

#endif
