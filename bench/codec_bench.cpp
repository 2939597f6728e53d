// Cost of the message handling done on every cycle: the DNS query and reply
// codec, and the parse of the provider's update reply.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "MyDNS.h"
#include "MyIPUpdateResponse.h"
#include "MyString.h"
#include "SimDnsReply.h"

namespace {

const char* const host = "checkip.zelmar.example";

const char* const updateReply =
    "{\"responseId\":\"65f1c2a900000001\",\"statusCode\":\"No Change\","
    "\"updatedIPv4Address\":\"203.0.113.7\",\"updatedIPv6Address\":\"2001:db8::7\"}";

// A resolver's reply as the client meets it most: the asked name is an alias,
// its owner is a pointer to the question, and the target carries two addresses.
std::string CnameReply() {
    std::vector<unsigned char> query(MyDNS::bufferSize);
    size_t length = MyDNS::BuildQuery(query.data(), host, MyDNS::typeA, 0x1234);
    std::string reply = sim::BuildReply(std::string(reinterpret_cast<char*>(query.data()), length),
                                        {{host, 5, "edge.zelmar.example"},
                                         {"edge.zelmar.example", MyDNS::typeA, "203.0.113.7"},
                                         {"edge.zelmar.example", MyDNS::typeA, "203.0.113.8"}});
    if (reply.empty()) {
        std::fputs("could not build the DNS reply\n", stderr);
        std::exit(1);
    }
    return reply;
}

void BM_BuildQuery(benchmark::State& state) {
    std::vector<unsigned char> buffer(MyDNS::bufferSize);
    const std::string name = host;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MyDNS::BuildQuery(buffer.data(), name, MyDNS::typeA, 0x1234));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildQuery);

void BM_ParseAnswers(benchmark::State& state) {
    const std::string reply = CnameReply();
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.data());
    std::vector<DnsAnswer> answers;
    int ancount = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MyDNS::ParseAnswers(bytes, reply.size(), answers, &ancount));
        benchmark::DoNotOptimize(answers.data());
    }
    if (answers.size() != 3)
        state.SkipWithError("the reply did not parse into three answers");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_ParseAnswers);

void BM_ReadNameThroughPointer(benchmark::State& state) {
    const std::string reply = CnameReply();
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.data());
    // The first answer's owner follows the question: header, name, type and class.
    const size_t owner = MyDNS::headerSize + sim::EncodeName(host).size() + 4;
    int count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MyDNS::readName(bytes + owner, bytes, reply.size(), &count));
    }
    if (count != 2)
        state.SkipWithError("the owner is not a two-byte pointer");
}
BENCHMARK(BM_ReadNameThroughPointer);

void BM_UpdateReplyParse(benchmark::State& state) {
    const std::string body = updateReply;
    for (auto _ : state) {
        MyIPUpdateResponse response;
        benchmark::DoNotOptimize(response.Parse(body));
        benchmark::DoNotOptimize(response.statusCode.data());
    }
}
BENCHMARK(BM_UpdateReplyParse);

void BM_GetJsonValue(benchmark::State& state) {
    const std::string body = updateReply;
    const std::string key = "updatedIPv6Address";  // the last member: the longest search
    for (auto _ : state) {
        benchmark::DoNotOptimize(MyString::GetJsonValue(body, key));
    }
}
BENCHMARK(BM_GetJsonValue);

}  // namespace

BENCHMARK_MAIN();
