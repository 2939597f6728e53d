#include "SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The effective user never changes: asked once.
uid_t Self() {
    static const uid_t self = geteuid();
    return self;
}

bool TrustedOwner(uid_t uid) {
    return uid == 0 || uid == Self();
}

// Opens what the symbolic link `path` names, when the link may be trusted. Only root or
// the effective user can change a directory that they own and that group and others
// cannot write, so the link checked is the link followed: the open goes through the
// descriptor of the directory checked, and nobody else can swap the name in it.
FileDescriptor FollowTrustedLink(const std::string& path, int flags, std::string& refusal) {
    const size_t slash = path.rfind('/');
    const std::string dirPath =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    FileDescriptor dir(open(dirPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat link;
    struct stat parent;
    if (!dir.ok() || fstatat(dir.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstat(dir.get(), &parent) != 0) {
        return FileDescriptor();
    }
    if (!S_ISLNK(link.st_mode)) {
        errno = ELOOP;  // the loop lies in the directories of the path
        return FileDescriptor();
    }
    if (!TrustedOwner(link.st_uid)) {
        refusal = "Symbolic link owned by another user";
    } else if ((parent.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refusal = "Symbolic link in a directory writable by group or others";
    } else if (!TrustedOwner(parent.st_uid)) {
        refusal = "Symbolic link in a directory owned by another user";
    }
    if (!refusal.empty()) {
        return FileDescriptor();
    }
    return FileDescriptor(openat(dir.get(), name.c_str(), flags, 0640));
}

// True when the open file may be written as `use`; otherwise `refusal` says why, or,
// when fstat fails, errno does.
bool Suits(int fd, SafeFile::Use use, std::string& refusal) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return false;
    }
    const bool pid = use == SafeFile::Use::pidFile;
    if (!pid && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        return true;  // a terminal, /dev/null or a pipe: nothing on disk to turn against us
    }
    if (!S_ISREG(info.st_mode)) {
        refusal =
            pid ? "Not a regular file" : "Not a regular file, character device, FIFO or socket";
    } else if (info.st_nlink > 1) {
        refusal = "File has more than one link";
    } else if (info.st_nlink == 0) {
        refusal = "File was removed";
    } else if (info.st_uid != Self()) {
        refusal = "File owned by another user";
    } else if (pid && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refusal = "File writable by group or others";
    }
    return refusal.empty();
}

}  // namespace

namespace SafeFile {

FileDescriptor OpenWritable(const std::string& path, int flags, Use use, std::string& refusal) {
    flags |= O_CLOEXEC | O_NOCTTY;
    FileDescriptor file(open(path.c_str(), flags | O_NOFOLLOW, 0640));
    if (!file.ok() && errno == ELOOP) {
        file = FollowTrustedLink(path, flags, refusal);
    }
    if (file.ok() && !Suits(file.get(), use, refusal)) {
        file.Reset();
    }
    return file;
}

}  // namespace SafeFile
