#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "MyMD5.h"
#include "MyString.h"

namespace {

struct Vector {
    std::string text;
    const char* digest;
};

// The RFC 1321 test suite.
const Vector kSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    // Embedded NUL and bytes above 127: the length counts, not a terminator.
    {std::string("\x00\xff\x80"
                 "abc",
                 6),
     "abc7c3a20e263624b96072acad40b244"},
};

TEST(MyMD5Test, DigestsOfTheReferenceSuite) {
    for (const Vector& v : kSuite) {
        EXPECT_EQ(md5(v.text), v.digest) << v.text.size() << " bytes";
        EXPECT_EQ(MyString::MD5Hash(v.text), v.digest) << v.text.size() << " bytes";
    }
}

TEST(MyMD5Test, LengthsAroundBlockBoundaries) {
    // Runs of 'a': 55 is the longest one-block message, 56..119 take two, 120 three.
    const struct {
        size_t length;
        const char* digest;
    } cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(md5(std::string(c.length, 'a')), c.digest) << c.length << " bytes";
    }
}

TEST(MyMD5Test, IncrementalFeedingEqualsOneShot) {
    std::string text;
    for (int i = 0; i < 300; i++) {
        text += static_cast<char>(i * 7 + 3);
    }
    const std::string expected = md5(text);
    for (size_t chunk : {1, 3, 7, 55, 56, 63, 64, 65, 128, 299, 300}) {
        MyMD5 digest;
        for (size_t at = 0; at < text.size(); at += chunk) {
            size_t n = std::min(chunk, text.size() - at);
            // Alternate the two overloads: they must behave alike.
            if ((at / chunk) % 2 == 0) {
                digest.update(text.data() + at, static_cast<unsigned int>(n));
            } else {
                digest.update(reinterpret_cast<const unsigned char*>(text.data()) + at,
                              static_cast<unsigned int>(n));
            }
        }
        EXPECT_EQ(digest.finalize().hexdigest(), expected) << "chunks of " << chunk;
    }
}

TEST(MyMD5Test, HexdigestIsEmptyUntilFinalized) {
    MyMD5 digest;
    EXPECT_EQ(digest.hexdigest(), "");
    digest.update("abc", 3);
    EXPECT_EQ(digest.hexdigest(), "");
    EXPECT_EQ(digest.finalize().hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MyMD5Test, DigestIsFixedOnceFinalized) {
    MyMD5 digest("abc");
    digest.finalize();
    EXPECT_EQ(digest.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
    digest.update("more", 4);
    digest.finalize();
    EXPECT_EQ(digest.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MyMD5Test, EmptyTextHasAFullDigest) {
    EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MyMD5().finalize().hexdigest(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(MyMD5Test, StreamsTheHexdigest) {
    std::ostringstream out;
    out << MyMD5("a") << '|' << MyMD5();
    EXPECT_EQ(out.str(), "0cc175b9c0f1b6a831c399e269772661|");
}

}  // namespace
