// Which provider replies are accepted, and what is stored from them.
#include <gtest/gtest.h>

#include "MyIPUpdateResponse.h"

namespace {

TEST(MyIPUpdateResponseTest, StoresAnAcceptedReply) {
    MyIPUpdateResponse r;
    ASSERT_TRUE(
        r.Parse("{\"responseId\":\"12345678901\",\"statusCode\":\"Good\",\"updatedIPv4Address\":"
                "\"203.0.113.7\",\"updatedIPv6Address\":null}"));
    EXPECT_EQ(r.responseId, "12345678901");
    EXPECT_EQ(r.statusCode, "Good");
    EXPECT_EQ(r.updatedIPv4Address, "203.0.113.7");
    EXPECT_EQ(r.updatedIPv6Address, "");
}

TEST(MyIPUpdateResponseTest, RejectedRepliesLeaveTheStoredOneWhole) {
    const char* const rejected[] = {
        "",
        "{\"responseId\":\"1234567890\",\"statusCode\":\"Good\"}",  // 10 bytes is too short
        "{\"statusCode\":\"Good\",\"updatedIPv4Address\":\"198.51.100.1\"}",
        "not json at all",
    };
    for (const char* body : rejected) {
        MyIPUpdateResponse r;
        r.responseId = "previous-id";
        r.statusCode = "No Change";
        r.updatedIPv4Address = "203.0.113.7";
        r.updatedIPv6Address = "2001:db8::7";
        EXPECT_FALSE(r.Parse(body)) << body;
        EXPECT_EQ(r.responseId, "previous-id");
        EXPECT_EQ(r.statusCode, "No Change");
        EXPECT_EQ(r.updatedIPv4Address, "203.0.113.7");
        EXPECT_EQ(r.updatedIPv6Address, "2001:db8::7");
    }
}

TEST(MyIPUpdateResponseTest, ValuesComeAsTheyStand) {
    MyIPUpdateResponse r;
    ASSERT_TRUE(r.Parse("{\"responseId\":\"abcdefghijk\", \"statusCode\": \"Good\"}"));
    EXPECT_EQ(r.statusCode, " Good");     // the blank after the colon stays
    EXPECT_EQ(r.updatedIPv4Address, "");  // a missing key gives the empty text
}

}  // namespace
