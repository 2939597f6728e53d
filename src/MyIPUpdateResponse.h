// The provider's last accepted update reply.
#ifndef DODODUZOD_MYIPUPDATERESPONSE_H
#define DODODUZOD_MYIPUPDATERESPONSE_H

#include <string>

class MyIPUpdateResponse {
  public:
    bool Parse(std::string body);

    std::string responseId;
    std::string statusCode;
    std::string updatedIPv4Address;
    std::string updatedIPv6Address;
};

#endif
