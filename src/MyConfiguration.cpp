#include "MyConfiguration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>

#include "FileDescriptor.h"

namespace {

// Configuration files are a few lines; anything this large is not one (-c /dev/zero).
const size_t maxFileSize = 1 << 20;

bool ReadAll(int fd, std::string& text) {
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > maxFileSize) {
            errno = EFBIG;
            return false;
        }
        // The file is a regular one: a read that is cut short has reached its end.
        if (static_cast<size_t>(n) < sizeof chunk)
            return true;
    }
}

}  // namespace

bool MyConfiguration::Load(std::string fileName) {
    // Non-blocking, so a FIFO without a writer cannot hold the service in open().
    FileDescriptor fd(open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        return false;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return false;
    // Only a regular file can be read again on every reload; a FIFO or a terminal would
    // block the loop and the signals it waits to act on.
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    try {
        std::string text;
        if (!ReadAll(fd.get(), text))
            return false;
        content.swap(text);
    } catch (const std::exception&) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

std::string MyConfiguration::GetValue(std::string line) {
    size_t space = line.find(' ');
    if (space == std::string::npos)
        return "";
    std::string value;
    for (size_t i = space + 1; i < line.size(); ++i) {
        if (!std::isspace(static_cast<unsigned char>(line[i])))
            value += line[i];
    }
    return value;
}

std::string MyConfiguration::GetString(std::string key) {
    if (key.empty() || content.empty())
        return "";
    const std::string pattern = key + " ";
    // Anything after a NUL byte sets nothing.
    const std::string text = content.substr(0, content.find('\0'));
    if (text.find(pattern) == std::string::npos)
        return "";
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, pattern.size(), pattern) == 0)
            return GetValue(text.substr(start, end - start));
        start = end + 1;
    }
    return "";
}

int MyConfiguration::GetInteger(std::string key) {
    const std::string value = GetString(key);
    if (value.empty())
        return 0;
    // Leading digits count, the rest is ignored; no number or out of range gives 0.
    const char* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return 0;
    return static_cast<int>(number);
}

bool MyConfiguration::GetBoolean(std::string key) {
    const std::string value = GetString(key);
    return value == "true" || value == "1";
}
