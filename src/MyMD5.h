// RFC 1321 MD5 message digest.
#ifndef DODODUZOD_MYMD5_H
#define DODODUZOD_MYMD5_H

#include <ostream>
#include <string>

class MyMD5 {
  public:
    MyMD5();
    explicit MyMD5(const std::string& text);

    void update(const unsigned char* input, unsigned int length);
    void update(const char* input, unsigned int length);
    MyMD5& finalize();
    std::string hexdigest() const;

    friend std::ostream& operator<<(std::ostream& out, MyMD5 md5);

  private:
    enum { blocksize = 64 };

    void init();
    void transform(const unsigned char block[blocksize]);
    static void decode(unsigned int* output, const unsigned char* input, unsigned int len);
    static void encode(unsigned char* output, const unsigned int* input, unsigned int len);

    bool finalized;
    unsigned char buffer[blocksize];
    unsigned int count[2];
    unsigned int state[4];
    unsigned char digest[16];
};

// The digest of `text` as 32 lower-case hexadecimal digits.
std::string md5(const std::string text);

#endif
