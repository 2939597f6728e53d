// Any bytes to the HTTP client's response framing, and their first line as a URL (the rest
// as credentials) to the request builder.
#include "Codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = codec::Text(data, size);
    const size_t newline = input.find('\n');
    codec::Hold(codec::ReadResponse(input).broken);
    codec::Hold(codec::PrepareRequest(input.substr(0, newline),
                                      newline == std::string::npos ? "" : input.substr(newline + 1))
                    .broken);
    return 0;
}
