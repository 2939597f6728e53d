#include <gtest/gtest.h>

#include <string>

#include "MyMD5.h"
#include "MyString.h"

namespace {

// Texts of the RFC 1321 suite, a text with NUL and high bytes, and runs of 'a' around the padding
// limits: 55 bytes is the longest one-block message, 56..119 take two, 120 three;
// 128 ends exactly on a block after the first.
TEST(MyMD5Test, KnownDigests) {
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1, '\0') + "\377\200abc", "abc7c3a20e263624b96072acad40b244"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
        {std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(md5(c.text), c.digest) << c.text.size() << " bytes";
        EXPECT_EQ(MyString::MD5Hash(c.text), c.digest) << c.text.size() << " bytes";
    }
}

// An unfinished digest has no text.
TEST(MyMD5Test, NoDigestBeforeFinalize) {
    EXPECT_EQ(MyMD5().hexdigest(), "");
}

}  // namespace
