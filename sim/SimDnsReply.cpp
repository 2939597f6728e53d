#include "SimDnsReply.h"

#include <arpa/inet.h>
#include <strings.h>

namespace sim {
namespace {

void Put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>((value >> 8) & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}

unsigned Get16(const std::string& s, size_t at) {
    return (static_cast<unsigned char>(s[at]) << 8) | static_cast<unsigned char>(s[at + 1]);
}

// RDATA bytes of a record; empty when its text does not fit its type.
std::string RecordData(const Record& r) {
    unsigned char bytes[16];
    if (r.type == 1) {
        if (inet_pton(AF_INET, r.rdata.c_str(), bytes) != 1)
            return "";
        return std::string(reinterpret_cast<char*>(bytes), 4);
    }
    if (r.type == 28) {
        if (inet_pton(AF_INET6, r.rdata.c_str(), bytes) != 1)
            return "";
        return std::string(reinterpret_cast<char*>(bytes), 16);
    }
    return EncodeName(r.rdata);
}

}  // namespace

bool ParseQuestion(const std::string& query, Question& question) {
    if (query.size() < 12 + 1 + 4 || Get16(query, 4) != 1)
        return false;
    question.id = static_cast<uint16_t>(Get16(query, 0));
    question.name.clear();
    size_t at = 12;
    while (at < query.size() && query[at] != 0) {
        size_t len = static_cast<unsigned char>(query[at]);
        if (len > 63 || at + 1 + len >= query.size())
            return false;
        if (!question.name.empty())
            question.name += '.';
        question.name.append(query, at + 1, len);
        at += 1 + len;
    }
    if (at + 5 > query.size())
        return false;
    question.type = static_cast<int>(Get16(query, at + 1));
    question.end = at + 5;
    return question.name.size() <= 255;
}

std::string EncodeName(const std::string& dotted) {
    std::string out;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos)
            dot = dotted.size();
        size_t len = std::min<size_t>(dot - start, 63);
        out.push_back(static_cast<char>(len));
        out.append(dotted, start, len);
        start = dot + 1;
    }
    out.push_back('\0');
    return out;
}

std::string BuildReply(const std::string& query, const std::vector<Record>& answers, int rcode) {
    Question q;
    if (!ParseQuestion(query, q))
        return "";
    std::string out;
    Put16(out, q.id);
    Put16(out, 0x8180 | (rcode & 0xf));  // response, recursion desired and available
    Put16(out, 1);
    Put16(out, static_cast<unsigned>(answers.size()));
    Put16(out, 0);
    Put16(out, 0);
    out.append(query, 12, q.end - 12);
    for (const Record& r : answers) {
        if (strcasecmp(r.name.c_str(), q.name.c_str()) == 0)
            Put16(out, 0xc00c);
        else
            out += EncodeName(r.name);
        std::string data = RecordData(r);
        Put16(out, static_cast<unsigned>(r.type));
        Put16(out, 1);
        Put16(out, 0);
        Put16(out, 60);
        Put16(out, static_cast<unsigned>(data.size()));
        out += data;
    }
    return out;
}

}  // namespace sim
