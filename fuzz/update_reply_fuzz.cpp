// The provider's reply body: value extraction and the reply record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "MyIPUpdateResponse.h"
#include "MyString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    MyIPUpdateResponse response;
    response.responseId = "kept-when-rejected";
    const bool accepted = response.Parse(body);
    if (!accepted && response.responseId != "kept-when-rejected")
        __builtin_trap();
    if (accepted && response.responseId.size() <= 10)
        __builtin_trap();
    // A key taken from the input itself reaches every branch of the search.
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    const std::string value = MyString::GetJsonValue(body.substr(cut), body.substr(0, cut));
    if (value.find('"') != std::string::npos)
        __builtin_trap();  // quotes are always removed
    return 0;
}
