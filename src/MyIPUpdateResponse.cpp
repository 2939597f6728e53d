#include "MyIPUpdateResponse.h"

#include "MyString.h"

namespace {

// JSON null means the provider holds no address for that family.
std::string AddressValue(const std::string& body, const std::string& key) {
    std::string value = MyString::GetJsonValue(body, key);
    return value == "null" ? "" : value;
}

}  // namespace

bool MyIPUpdateResponse::Parse(std::string body) {
    if (body.empty())
        return false;
    std::string id = MyString::GetJsonValue(body, "responseId");
    if (id.size() < minResponseIdLength)
        return false;
    responseId = id;
    statusCode = MyString::GetJsonValue(body, "statusCode");
    updatedIPv4Address = AddressValue(body, "updatedIPv4Address");
    updatedIPv6Address = AddressValue(body, "updatedIPv6Address");
    return true;
}
