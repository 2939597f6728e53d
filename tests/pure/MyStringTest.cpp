#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "MyString.h"

namespace {

// Padding for each tail length, and bytes taken as unsigned (high bits, last two letters).
TEST(MyStringTest, Base64Encode) {
    EXPECT_EQ(MyString::Base64Encode(""), "");
    EXPECT_EQ(MyString::Base64Encode("f"), "Zg==");
    EXPECT_EQ(MyString::Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(MyString::Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(MyString::Base64Encode("\xff"), "/w==");
    EXPECT_EQ(MyString::Base64Encode("\xfb\xff"), "+/8=");
    EXPECT_EQ(MyString::Base64Encode("\x80\x81\x82"), "gIGC");
}

// The tag name needs a user; the location is an optional first label.
TEST(MyStringTest, GetHostname) {
    EXPECT_EQ(MyString::GetHostname("alice", ""), "alice.tag.azelmar.example");
    EXPECT_EQ(MyString::GetHostname("alice", "home"), "home.alice.tag.azelmar.example");
    EXPECT_EQ(MyString::GetHostname("", "home"), "");
}

// Every occurrence, left to right, inserted text not searched again; an empty search ends.
TEST(MyStringTest, ReplaceAndRemove) {
    EXPECT_EQ(MyString::Replace("{0}{0}x{0}", "{0}", "ab"), "ababxab");
    EXPECT_EQ(MyString::Replace("banana", "a", "aa"), "baanaanaa");
    EXPECT_EQ(MyString::Replace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(MyString::Replace("banana", "", "x"), "banana");
    // Removing "ab" from "aabb" joins a new "ab" that starts before the search position.
    EXPECT_EQ(MyString::Remove("aabb", "ab"), "ab");
    EXPECT_EQ(MyString::Remove("\"Good\"", "\""), "Good");
    EXPECT_EQ(MyString::Remove("abc", ""), "abc");
}

// Control bytes, DEL, the backslash and every byte from 0x80 become \xHH, lower-case;
// printable ASCII and the blank stay, so a message is plain ASCII, never holds a line end,
// and a backslash in it always starts an escape.
TEST(MyStringTest, Escape) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"Good\nFri Dec  4 08:23:58 2026 [ENGINE] x",
         "Good\\x0aFri Dec  4 08:23:58 2026 [ENGINE] x"},
        {"a\r\n\tb", "a\\x0d\\x0a\\x09b"},
        {std::string("\0\x1f\x1b", 3), "\\x00\\x1f\\x1b"},
        {"\x7f~ \\x0a", "\\x7f~ \\x5cx0a"},  // a literal "\x0a" is no escaped byte
        {"\x80\xff", "\\x80\\xff"},
        {"a\xc2\x9b"
         "2J",
         "a\\xc2\\x9b"
         "2J"},  // U+009B, a C1 control
        {"\xe2\x80\xae"
         "txt",
         "\\xe2\\x80\\xae"
         "txt"},  // U+202E, right-to-left override
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(MyString::Escape(text), escaped) << text;
}

}  // namespace
