#include "FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void FileDescriptor::Reset() {
    if (fd_ < 0)
        return;
    const int saved = errno;
    (void)close(fd_);
    errno = saved;
    fd_ = -1;
}

int FileDescriptor::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}
