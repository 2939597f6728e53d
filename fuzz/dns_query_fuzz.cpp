// Any host name to the DNS client's query builder.
#include "Codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    codec::Hold(codec::BuildQuery(codec::Text(data, size)).broken);
    return 0;
}
