// RFC 1321 MD5, written from the RFC's reference description.
#include "MyMD5.h"

#include <cstdio>
#include <cstring>

namespace {

// Per-round rotation amounts.
constexpr unsigned int S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr unsigned int S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr unsigned int S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr unsigned int S41 = 6, S42 = 10, S43 = 15, S44 = 21;

const unsigned char padding[64] = {0x80};

inline unsigned int F(unsigned int x, unsigned int y, unsigned int z) {
    return (x & y) | (~x & z);
}
inline unsigned int G(unsigned int x, unsigned int y, unsigned int z) {
    return (x & z) | (y & ~z);
}
inline unsigned int H(unsigned int x, unsigned int y, unsigned int z) {
    return x ^ y ^ z;
}
inline unsigned int I(unsigned int x, unsigned int y, unsigned int z) {
    return y ^ (x | ~z);
}

inline unsigned int RotateLeft(unsigned int x, unsigned int n) {
    return (x << n) | (x >> (32 - n));
}

inline void FF(unsigned int& a, unsigned int b, unsigned int c, unsigned int d, unsigned int x,
               unsigned int s, unsigned int ac) {
    a = RotateLeft(a + F(b, c, d) + x + ac, s) + b;
}
inline void GG(unsigned int& a, unsigned int b, unsigned int c, unsigned int d, unsigned int x,
               unsigned int s, unsigned int ac) {
    a = RotateLeft(a + G(b, c, d) + x + ac, s) + b;
}
inline void HH(unsigned int& a, unsigned int b, unsigned int c, unsigned int d, unsigned int x,
               unsigned int s, unsigned int ac) {
    a = RotateLeft(a + H(b, c, d) + x + ac, s) + b;
}
inline void II(unsigned int& a, unsigned int b, unsigned int c, unsigned int d, unsigned int x,
               unsigned int s, unsigned int ac) {
    a = RotateLeft(a + I(b, c, d) + x + ac, s) + b;
}

}  // namespace

MyMD5::MyMD5() {
    init();
}

MyMD5::MyMD5(const std::string& text) {
    init();
    update(text.c_str(), static_cast<unsigned int>(text.length()));
    finalize();
}

void MyMD5::init() {
    finalized = false;
    std::memset(buffer, 0, sizeof buffer);
    std::memset(digest, 0, sizeof digest);
    count[0] = 0;
    count[1] = 0;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
}

void MyMD5::decode(unsigned int* output, const unsigned char* input, unsigned int len) {
    for (unsigned int i = 0, j = 0; j < len; i++, j += 4) {
        output[i] = static_cast<unsigned int>(input[j]) |
                    (static_cast<unsigned int>(input[j + 1]) << 8) |
                    (static_cast<unsigned int>(input[j + 2]) << 16) |
                    (static_cast<unsigned int>(input[j + 3]) << 24);
    }
}

void MyMD5::encode(unsigned char* output, const unsigned int* input, unsigned int len) {
    for (unsigned int i = 0, j = 0; j < len; i++, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xff);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
    }
}

void MyMD5::transform(const unsigned char block[blocksize]) {
    unsigned int a = state[0], b = state[1], c = state[2], d = state[3];
    unsigned int x[16];
    decode(x, block, blocksize);

    // Round 1
    FF(a, b, c, d, x[0], S11, 0xd76aa478);
    FF(d, a, b, c, x[1], S12, 0xe8c7b756);
    FF(c, d, a, b, x[2], S13, 0x242070db);
    FF(b, c, d, a, x[3], S14, 0xc1bdceee);
    FF(a, b, c, d, x[4], S11, 0xf57c0faf);
    FF(d, a, b, c, x[5], S12, 0x4787c62a);
    FF(c, d, a, b, x[6], S13, 0xa8304613);
    FF(b, c, d, a, x[7], S14, 0xfd469501);
    FF(a, b, c, d, x[8], S11, 0x698098d8);
    FF(d, a, b, c, x[9], S12, 0x8b44f7af);
    FF(c, d, a, b, x[10], S13, 0xffff5bb1);
    FF(b, c, d, a, x[11], S14, 0x895cd7be);
    FF(a, b, c, d, x[12], S11, 0x6b901122);
    FF(d, a, b, c, x[13], S12, 0xfd987193);
    FF(c, d, a, b, x[14], S13, 0xa679438e);
    FF(b, c, d, a, x[15], S14, 0x49b40821);

    // Round 2
    GG(a, b, c, d, x[1], S21, 0xf61e2562);
    GG(d, a, b, c, x[6], S22, 0xc040b340);
    GG(c, d, a, b, x[11], S23, 0x265e5a51);
    GG(b, c, d, a, x[0], S24, 0xe9b6c7aa);
    GG(a, b, c, d, x[5], S21, 0xd62f105d);
    GG(d, a, b, c, x[10], S22, 0x02441453);
    GG(c, d, a, b, x[15], S23, 0xd8a1e681);
    GG(b, c, d, a, x[4], S24, 0xe7d3fbc8);
    GG(a, b, c, d, x[9], S21, 0x21e1cde6);
    GG(d, a, b, c, x[14], S22, 0xc33707d6);
    GG(c, d, a, b, x[3], S23, 0xf4d50d87);
    GG(b, c, d, a, x[8], S24, 0x455a14ed);
    GG(a, b, c, d, x[13], S21, 0xa9e3e905);
    GG(d, a, b, c, x[2], S22, 0xfcefa3f8);
    GG(c, d, a, b, x[7], S23, 0x676f02d9);
    GG(b, c, d, a, x[12], S24, 0x8d2a4c8a);

    // Round 3
    HH(a, b, c, d, x[5], S31, 0xfffa3942);
    HH(d, a, b, c, x[8], S32, 0x8771f681);
    HH(c, d, a, b, x[11], S33, 0x6d9d6122);
    HH(b, c, d, a, x[14], S34, 0xfde5380c);
    HH(a, b, c, d, x[1], S31, 0xa4beea44);
    HH(d, a, b, c, x[4], S32, 0x4bdecfa9);
    HH(c, d, a, b, x[7], S33, 0xf6bb4b60);
    HH(b, c, d, a, x[10], S34, 0xbebfbc70);
    HH(a, b, c, d, x[13], S31, 0x289b7ec6);
    HH(d, a, b, c, x[0], S32, 0xeaa127fa);
    HH(c, d, a, b, x[3], S33, 0xd4ef3085);
    HH(b, c, d, a, x[6], S34, 0x04881d05);
    HH(a, b, c, d, x[9], S31, 0xd9d4d039);
    HH(d, a, b, c, x[12], S32, 0xe6db99e5);
    HH(c, d, a, b, x[15], S33, 0x1fa27cf8);
    HH(b, c, d, a, x[2], S34, 0xc4ac5665);

    // Round 4
    II(a, b, c, d, x[0], S41, 0xf4292244);
    II(d, a, b, c, x[7], S42, 0x432aff97);
    II(c, d, a, b, x[14], S43, 0xab9423a7);
    II(b, c, d, a, x[5], S44, 0xfc93a039);
    II(a, b, c, d, x[12], S41, 0x655b59c3);
    II(d, a, b, c, x[3], S42, 0x8f0ccc92);
    II(c, d, a, b, x[10], S43, 0xffeff47d);
    II(b, c, d, a, x[1], S44, 0x85845dd1);
    II(a, b, c, d, x[8], S41, 0x6fa87e4f);
    II(d, a, b, c, x[15], S42, 0xfe2ce6e0);
    II(c, d, a, b, x[6], S43, 0xa3014314);
    II(b, c, d, a, x[13], S44, 0x4e0811a1);
    II(a, b, c, d, x[4], S41, 0xf7537e82);
    II(d, a, b, c, x[11], S42, 0xbd3af235);
    II(c, d, a, b, x[2], S43, 0x2ad7d2bb);
    II(b, c, d, a, x[9], S44, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    // The message words may hold password bytes.
    std::memset(x, 0, sizeof x);
}

void MyMD5::update(const unsigned char* input, unsigned int length) {
    unsigned int index = (count[0] / 8) % blocksize;

    // The bit count is a 64-bit value kept in two words, low word first.
    unsigned int bits = length << 3;
    count[0] += bits;
    if (count[0] < bits) {
        count[1]++;
    }
    count[1] += length >> 29;

    unsigned int partLength = blocksize - index;
    unsigned int i = 0;
    if (length >= partLength) {
        std::memcpy(&buffer[index], input, partLength);
        transform(buffer);
        for (i = partLength; i + blocksize <= length; i += blocksize) {
            transform(&input[i]);
        }
        index = 0;
    }
    if (length > i) {
        std::memcpy(&buffer[index], &input[i], length - i);
    }
}

void MyMD5::update(const char* input, unsigned int length) {
    update(reinterpret_cast<const unsigned char*>(input), length);
}

MyMD5& MyMD5::finalize() {
    if (finalized) {
        return *this;
    }
    unsigned char bits[8];
    encode(bits, count, 8);

    unsigned int index = (count[0] / 8) % blocksize;
    unsigned int padLength = (index < 56) ? (56 - index) : (120 - index);
    update(padding, padLength);
    update(bits, 8);

    encode(digest, state, 16);

    std::memset(buffer, 0, sizeof buffer);
    count[0] = 0;
    count[1] = 0;
    finalized = true;
    return *this;
}

std::string MyMD5::hexdigest() const {
    if (!finalized) {
        return "";
    }
    static const char hex[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, MyMD5 md5) {
    return out << md5.hexdigest();
}

std::string md5(const std::string text) {
    return MyMD5(text).hexdigest();
}
