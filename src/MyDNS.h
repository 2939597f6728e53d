// The program's own DNS client: one UDP query for the A or AAAA records of a name.
#ifndef DODODUZOD_MYDNS_H
#define DODODUZOD_MYDNS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One record of a reply's answer section.
struct DnsAnswer {
    std::string name;   // owner name, dotted
    int type = 0;       // TYPE of the record
    std::string rdata;  // A/AAAA: the raw 4/16 bytes; other types: RDATA read as a dotted name
};

class MyDNS {
  public:
    enum {
        typeA = 1,
        typeAAAA = 28,
        headerSize = 12,
        maxAnswers = 20,
        maxNameLength = 255,
        maxHostLength = 253,  // a dotted name whose label form fills 255 bytes
        maxLabelLength = 63,
        bufferSize = 65536,
        // A length byte with both top bits set starts a pointer: the other 14 bits of the
        // two bytes are the offset where the name goes on.
        compressionMarker = 0xc0,
        compressionMask = 0x3fff,
    };

    // Writes the label form of the zero-terminated dotted name `host` to `dns`.
    // Appends "." to `host` in place, so its storage needs one spare byte.
    static void changetoDnsNameFormat(unsigned char* dns, unsigned char* host);

    // Reads the name at `reader` inside the `length` bytes of the message at `buffer`.
    // Returns the dotted text (zero-terminated, 256 bytes) and sets `count` to the
    // bytes the name takes at `reader`; null when the name runs out of the message,
    // loops, or is longer than 255 bytes.
    static std::unique_ptr<unsigned char[]> readName(const unsigned char* reader,
                                                     const unsigned char* buffer, size_t length,
                                                     int* count);

    // Why `host` cannot be asked for as it is written, or null when it can: an empty
    // name or label (".bob", "home.", "a..b"), a label over 63 bytes, a name over 253
    // bytes, or a byte outside printable ASCII. Any of these would put another name on
    // the wire than the one given, or one that could not be read back from a reply.
    static const char* HostNameFault(const std::string& host);

    // Lays out the query for `host` and `type` at the start of `buffer` (at least
    // bufferSize bytes). Returns its length, or 0 when HostNameFault refuses the name.
    static size_t BuildQuery(unsigned char* buffer, const std::string& host, int type, uint16_t id);

    // Whether `reply` answers `query`: same ID, the QR bit set, and, when it carries
    // answers, exactly one question that echoes the query's name (ASCII letters in
    // any case), type and class. A reply without answers may be a bare header.
    static bool IsReplyTo(const unsigned char* query, size_t queryLength,
                          const unsigned char* reply, size_t replyLength);

    // Walks the answer section of the `length`-byte reply. `ancount` receives the
    // header's ANCOUNT. Stops at the first record that breaks the message's bounds
    // and keeps the answers read before it. False when the reply is too short to
    // hold a header, or, when it carries answers, a question.
    static bool ParseAnswers(const unsigned char* buffer, size_t length,
                             std::vector<DnsAnswer>& answers, int* ancount);

    // The text of an A (dotted quad) or AAAA (inet_ntop form) answer; empty otherwise.
    static std::string AnswerText(const DnsAnswer& answer);

    static bool GetIPAddresses(int type, std::string host, std::string nameServer,
                               std::vector<std::string>& out, bool verbose);
    static std::string GetIPv4Address(std::string host, std::string nameServer, bool verbose);
    static std::string GetIPv6Address(std::string host, std::string nameServer, bool verbose);
    static std::string GetHostByName(std::string name);

    // Seconds to wait for sending and for the reply; 10 unless a test shortens it.
    static int timeoutSeconds;
};

#endif
