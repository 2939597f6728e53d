// Configuration files of any content: the lookups of every key the service reads.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "MyConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("configuration", 0);  // one file, rewritten each time
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    MyConfiguration configuration;
    if (!configuration.Load("/proc/self/fd/" + std::to_string(fd)))
        __builtin_trap();
    for (const char* key : {"username", "password", "location"}) {
        for (char c : configuration.GetString(key))
            if (std::isspace(static_cast<unsigned char>(c)))
                __builtin_trap();  // never blanks
    }
    for (const char* key : {"ipv4", "ipv6", "debug", "quiet", "verbose"})
        configuration.GetBoolean(key);
    configuration.GetInteger("pollinterval");
    return 0;
}
