#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "MyString.h"

namespace {

TEST(MyStringTest, Base64Encode) {
    const struct {
        std::string in;
        const char* out;
    } cases[] = {
        // RFC 4648 section 10.
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        // Bytes are unsigned: the last two alphabet letters and high bits.
        {"\xff", "/w=="},
        {"\xfb\xff", "+/8="},
        {"\x80\x81\x82", "gIGC"},
        {std::string(3, '\0'), "AAAA"},
        {"alice:0cc175b9c0f1b6a831c399e269772661",
         "YWxpY2U6MGNjMTc1YjljMGYxYjZhODMxYzM5OWUyNjk3NzI2NjE="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyString::Base64Encode(c.in), c.out) << c.in;
    }
}

TEST(MyStringTest, GetHostname) {
    const struct {
        const char* user;
        const char* location;
        const char* name;
    } cases[] = {
        {"alice", "", "alice.tag.azelmar.example"},
        {"alice", "home", "home.alice.tag.azelmar.example"},
        {"", "home", ""},
        {"", "", ""},
        {"Bob.X", "a b", "a b.Bob.X.tag.Bzelmar.example"},  // nothing is checked or folded
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyString::GetHostname(c.user, c.location), c.name)
            << c.user << " / " << c.location;
    }
}

TEST(MyStringTest, Replace) {
    const struct {
        const char* subject;
        const char* search;
        const char* replacement;
        const char* result;
    } cases[] = {
        {"location={0}&uin={1}", "{0}", "home", "location=home&uin={1}"},
        {"{0}{0}x{0}", "{0}", "ab", "ababxab"},
        {"banana", "a", "aa", "baanaanaa"},  // inserted text is not searched again
        {"banana", "an", "", "ba"},
        {"banana", "", "x", "banana"},
        {"", "a", "x", ""},
        {"banana", "z", "x", "banana"},
        {"aaa", "aa", "b", "ba"},  // left to right, no overlap
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyString::Replace(c.subject, c.search, c.replacement), c.result) << c.subject;
    }
}

TEST(MyStringTest, Remove) {
    const struct {
        const char* subject;
        const char* search;
        const char* result;
    } cases[] = {
        {"aabb", "ab", "ab"},  // the joined occurrence starts before the search position
        {"\"Good\"", "\"", "Good"}, {"xaby", "ab", "xy"}, {"abc", "", "abc"}, {"", "a", ""},
        {"abc", "abcd", "abc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyString::Remove(c.subject, c.search), c.result) << c.subject;
    }
}

TEST(MyStringTest, GetJsonValue) {
    const std::string reply =
        "{\"responseId\":\"1234\",\"statusCode\":\"Good\",\"updatedIPv4Address\":\"192.0.2.1\","
        "\"updatedIPv6Address\":\"2001:db8::1\"}";
    const struct {
        std::string json;
        const char* key;
        const char* value;
    } cases[] = {
        {reply, "statusCode", "Good"},
        {reply, "updatedIPv6Address", "2001:db8::1"},  // last member: up to the brace
        {reply, "missing", ""},
        {reply, "statuscode", ""},   // case-sensitive
        {"{\"a\":\"open", "a", ""},  // neither comma nor brace after the value
        {"{\"a\": \"x\"}", "a", " x"},
        {"{\"a\" : \"x\"}", "a", ""},  // a blank before the colon is no match
        {"{\"a\":12,\"b\":true,\"c\":null}", "a", "12"},
        {"{\"a\":12,\"b\":true,\"c\":null}", "c", "null"},
        {"{\"a\":\"x,y\"}", "a", "x"},        // cut at the comma inside the string
        {"{\"a\":\"q\\\"r\"}", "a", "q\\r"},  // escapes are not decoded
        // The first match wins, and the end is the first comma whatever the nesting.
        {"{\"o\":{\"a\":\"in\"},\"a\":\"out\"}", "a", "in}"},
        {"{\"o\":[1,2]}", "o", "[1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyString::GetJsonValue(c.json, c.key), c.value) << c.json << " / " << c.key;
    }
}

TEST(MyStringTest, MakeString) {
    EXPECT_EQ(MyString::MakeString(true), "true");
    EXPECT_EQ(MyString::MakeString(false), "false");
    EXPECT_EQ(MyString::MakeString(0), "0");
    EXPECT_EQ(MyString::MakeString(-7), "-7");
    EXPECT_EQ(MyString::MakeString(INT_MAX), "2147483647");
    EXPECT_EQ(MyString::MakeString(INT_MIN), "-2147483648");
}

}  // namespace
