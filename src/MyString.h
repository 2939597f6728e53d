// Small text helpers shared by the engine and the network clients.
#ifndef DODODUZOD_MYSTRING_H
#define DODODUZOD_MYSTRING_H

#include <string>

class MyString {
  public:
    static std::string MD5Hash(std::string text);
    static std::string Base64Encode(std::string text);
    // The tag host name under which the provider publishes the account's addresses.
    static std::string GetHostname(std::string username, std::string location);
    static std::string Replace(std::string subject, std::string search, std::string replacement);
    static std::string Remove(std::string subject, std::string search);
    // The value of one member of a flat JSON object, found by plain text search.
    static std::string GetJsonValue(std::string json, std::string key);
    static std::string MakeString(bool value);
    static std::string MakeString(int value);
    // Text from the network made fit for one log or syslog line: every byte below 0x20,
    // and 0x7f, written as \xHH in lower-case hex.
    static std::string Escape(std::string text);
};

#endif
