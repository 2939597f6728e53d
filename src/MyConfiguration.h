// Reads the configuration file and answers lookups by key.
#ifndef DODODUZOD_MYCONFIGURATION_H
#define DODODUZOD_MYCONFIGURATION_H

#include <string>

class MyConfiguration {
  public:
    bool Load(std::string fileName);
    std::string GetValue(std::string line);
    std::string GetString(std::string key);
    int GetInteger(std::string key);
    bool GetBoolean(std::string key);

  private:
    std::string content;
};

#endif
