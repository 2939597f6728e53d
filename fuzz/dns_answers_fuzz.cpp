// Feeds arbitrary bytes, as a reply would bring them, to the DNS client's reply check
// and decoder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "MyDNS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The query the bytes are checked against: ID 0x1234, host.example, type A.
    static std::vector<unsigned char> query(MyDNS::bufferSize);
    static const size_t queryLength = MyDNS::BuildQuery(query.data(), "host.example", 1, 0x1234);
    MyDNS::IsReplyTo(query.data(), queryLength, data, size);

    std::vector<DnsAnswer> answers;
    int ancount = 0;
    if (MyDNS::ParseAnswers(data, size, answers, &ancount)) {
        for (const DnsAnswer& answer : answers)
            MyDNS::AnswerText(answer);
    }
    int count = 0;
    if (size > MyDNS::headerSize)
        MyDNS::readName(data + MyDNS::headerSize, data, size, &count);
    if (size >= 2) {
        // The first two bytes (the ID in a reply) choose another place to read a name.
        size_t at = ((static_cast<size_t>(data[0]) << 8) | data[1]) % size;
        MyDNS::readName(data + at, data, size, &count);
    }
    return 0;
}
