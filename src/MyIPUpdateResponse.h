// The provider's last accepted update reply.
#ifndef DODODUZOD_MYIPUPDATERESPONSE_H
#define DODODUZOD_MYIPUPDATERESPONSE_H

#include <cstddef>
#include <string>

class MyIPUpdateResponse {
  public:
    // A reply whose ID is shorter is no reply of the provider's.
    static constexpr size_t minResponseIdLength = 11;

    bool Parse(std::string body);

    std::string responseId;
    std::string statusCode;
    std::string updatedIPv4Address;
    std::string updatedIPv6Address;
};

#endif
