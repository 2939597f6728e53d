// Which provider replies are accepted, and what is stored from them.
#include <gtest/gtest.h>

#include "MyIPUpdateResponse.h"

namespace {

// A rejected reply leaves the stored one whole; an accepted one is stored as it stands:
// null and a missing key give the empty text, a blank after the colon stays.
TEST(MyIPUpdateResponseTest, StoresOnlyAcceptedReplies) {
    const struct {
        const char* body;
        bool accepted;
        // What is stored afterwards; by default the reply stored before.
        const char *id = "previous-id", *status = "No Change", *ipv4 = "203.0.113.7",
                   *ipv6 = "2001:db8::7";
    } cases[] = {
        {"{\"responseId\":\"12345678901\",\"statusCode\":\"Good\",\"updatedIPv4Address\":"
         "\"203.0.113.7\",\"updatedIPv6Address\":null}",
         true, "12345678901", "Good", "203.0.113.7", ""},
        {"{\"responseId\":\"abcdefghijk\", \"statusCode\": \"Good\"}", true, "abcdefghijk", " Good",
         "", ""},
        {"", false},
        {"{\"responseId\":\"1234567890\",\"statusCode\":\"Good\"}", false},  // id too short
        {"{\"statusCode\":\"Good\",\"updatedIPv4Address\":\"198.51.100.1\"}", false},
        {"not json at all", false},
    };
    for (const auto& c : cases) {
        MyIPUpdateResponse r;
        r.responseId = "previous-id";
        r.statusCode = "No Change";
        r.updatedIPv4Address = "203.0.113.7";
        r.updatedIPv6Address = "2001:db8::7";
        EXPECT_EQ(r.Parse(c.body), c.accepted) << c.body;
        EXPECT_EQ(r.responseId, c.id) << c.body;
        EXPECT_EQ(r.statusCode, c.status) << c.body;
        EXPECT_EQ(r.updatedIPv4Address, c.ipv4) << c.body;
        EXPECT_EQ(r.updatedIPv6Address, c.ipv6) << c.body;
    }
}

}  // namespace
