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
    // Text from the network made fit for one log, syslog or status line: every byte that is
    // no log byte written as \xHH in lower-case hex. The result is plain ASCII, and every
    // backslash in it starts an escape of four bytes.
    static std::string Escape(std::string text);

    // Three byte classes, side by side because each differs from the others for a reason.
    // A host name goes into a DNS question whose echo a reply must match byte for byte:
    // printable ASCII only, no blank.
    static bool IsHostNameByte(unsigned char byte) { return byte > 0x20 && byte < 0x7f; }
    // Request text (a URL's host and target) must not end the request line or start a
    // header of its own: no blank, no control byte. Bytes from 0x80 pass, as the
    // provider's templates carry what the configuration gives them.
    static bool IsRequestByte(unsigned char byte) { return byte > 0x20 && byte != 0x7f; }
    // Log text must not break or forge a line, nor act on a terminal or reader: printable
    // ASCII and the blank pass; control bytes, DEL and every byte from 0x80 (C1 controls
    // and bidirectional marks in UTF-8, or no UTF-8 at all) do not, nor the backslash, so
    // that a backslash in the text never reads as an escape.
    static bool IsLogByte(unsigned char byte) {
        return byte >= 0x20 && byte < 0x7f && byte != '\\';
    }
};

#endif
