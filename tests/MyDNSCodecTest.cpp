// The DNS client's byte layer, replayed from the fuzz targets' seed corpora: the query
// built for each name or the reason it is refused, and on each crafted reply the reply
// check, the answer walk and the name reader.
#define DODODUZOD_REPLAY
#include "../fuzz/Replay.h"
#include "../fuzz/dns_answers_fuzz.cpp"
#include "../fuzz/dns_query_fuzz.cpp"

namespace {

TEST(DnsCorpus, QueryForEachName) {
    ReplayCorpus("dns_query", dns_query_fuzz::Outcome);
}

TEST(DnsCorpus, ReplyCheckAnswerWalkAndNames) {
    ReplayCorpus("dns_answers", dns_answers_fuzz::Outcome);
}

}  // namespace
