// Any bytes, as a reply would bring them, to the DNS client's reply check and answer walk;
// AddressSanitizer catches a read outside them.
#include "Codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    codec::ReadReply(codec::Bytes(data, data + size));
    return 0;
}
