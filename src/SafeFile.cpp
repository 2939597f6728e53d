#include "SafeFile.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

using SafeFile::Directory;

// Links followed for one path at most, the kernel's own bound.
const int maxLinks = 40;

// The effective user never changes: asked once.
uid_t Self() {
    static const uid_t self = geteuid();
    return self;
}

bool TrustedOwner(uid_t uid) {
    return uid == 0 || uid == Self();
}

bool GroupOrOthersWrite(const struct stat& info) {
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string Join(const std::string& shown, const std::string& name) {
    if (shown.empty())
        return name;
    return shown.back() == '/' ? shown + name : shown + "/" + name;
}

// One walk of a path, link targets included. Only root or the effective user can change a
// directory that they own and that group and others cannot write, so a link checked in
// one is the link followed; every step goes through the descriptor of the directory
// checked, and what a step opened is checked on its own descriptor, so nobody can swap a
// name between the check and the use.
class Walk {
  public:
    explicit Walk(std::string& refusal) : refusal_(refusal) {}

    // Starts where `path` starts and walks to the directory of its last component.
    bool Begin(const std::string& path, Directory& at) {
        if (path.empty()) {
            errno = ENOENT;
            return false;
        }
        if (!Start(path[0] == '/', at))
            return false;
        Queue(path);
        return ToLast(at);
    }

    // Follows trusted links at `at.name` for as long as they lead to another link, short
    // of one of procfs's, which only an open can follow.
    bool Settle(Directory& at) {
        for (;;) {
            bool kernel = false;
            if (fstatat(at.fd.get(), at.name.c_str(), &at.named, AT_SYMLINK_NOFOLLOW) != 0) {
                at.named = {};
                return true;  // none yet
            }
            if (!S_ISLNK(at.named.st_mode))
                return true;
            if (!Follow(at, at.name, ELOOP, kernel))
                return false;
            if (kernel)
                return true;
            if (!ToLast(at))
                return false;
        }
    }

    // Follows the link at `at.name`, which an open there met, and opens what it leads to,
    // following further trusted links; `inherited` tells that the kernel opened one of
    // procfs's links, which stands for a descriptor handed to this process.
    FileDescriptor OpenLink(Directory& at, int flags, bool& inherited) {
        for (;;) {
            bool kernel = false;
            if (!Follow(at, at.name, ELOOP, kernel))
                return FileDescriptor();
            if (kernel) {
                inherited = true;
                return OpenProcLink(at, flags);
            }
            if (!ToLast(at))
                return FileDescriptor();
            FileDescriptor file(openat(at.fd.get(), at.name.c_str(), flags | O_NOFOLLOW, 0640));
            if (file.ok() || errno != ELOOP)
                return file;
        }
    }

  private:
    bool Start(bool absolute, Directory& at) {
        at.fd = FileDescriptor(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        at.shown = absolute ? "/" : "";
        return at.fd.ok() && fstat(at.fd.get(), &at.info) == 0;
    }

    // Puts the components of `path` before those still to walk.
    void Queue(const std::string& path) {
        std::vector<std::string> parts;
        size_t begin = 0;
        while (begin <= path.size()) {
            size_t end = path.find('/', begin);
            if (end == std::string::npos)
                end = path.size();
            const std::string part = path.substr(begin, end - begin);
            if (!part.empty() && part != ".")
                parts.push_back(part);
            begin = end + 1;
        }
        todo_.insert(todo_.end(), parts.rbegin(), parts.rend());
    }

    // Enters every queued component but the last, which becomes `at.name`.
    bool ToLast(Directory& at) {
        while (todo_.size() > 1) {
            const std::string name = std::move(todo_.back());
            todo_.pop_back();
            if (!Enter(at, name))
                return false;
        }
        if (todo_.empty()) {
            errno = EISDIR;  // the path names "/" itself
            return false;
        }
        at.name = std::move(todo_.back());
        todo_.pop_back();
        return true;
    }

    bool Refuse(const char* why, const std::string& component) {
        refusal_ = std::string(why) + ": " + component;
        return false;
    }

    // Steps into the directory `name`, or follows the link there.
    bool Enter(Directory& at, const std::string& name) {
        FileDescriptor next(
            openat(at.fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.ok()) {
            const int failure = errno;
            bool kernel = false;
            if ((failure != ENOTDIR && failure != ELOOP) || !Follow(at, name, failure, kernel))
                return false;
            if (!kernel)
                return true;
            next =
                FileDescriptor(openat(at.fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!next.ok())
                return false;
        }
        struct stat info;
        if (fstat(next.get(), &info) != 0)
            return false;
        const std::string shown = Join(at.shown, name);
        // Whoever can write `at` could have put that directory there, with anything inside.
        if (GroupOrOthersWrite(at.info) && !TrustedOwner(info.st_uid))
            return Refuse("Unsafe transition", shown);
        at.fd = std::move(next);
        at.info = info;
        at.shown = shown;
        return true;
    }

    // Follows the link `name` in `at` when it may be trusted: its target's components are
    // queued, from "/" when the target is absolute. A link of procfs names no path (as
    // /proc/self/fd/1 does not): `kernel` says that the kernel is to follow that one hop.
    // `failure` is the errno for a name that turned out to be no link.
    bool Follow(Directory& at, const std::string& name, int failure, bool& kernel) {
        FileDescriptor link(openat(at.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!link.ok() || fstat(link.get(), &info) != 0)
            return false;
        if (!S_ISLNK(info.st_mode)) {
            errno = failure;
            return false;
        }
        const std::string shown = Join(at.shown, name);
        if (!TrustedOwner(info.st_uid))
            return Refuse("Symbolic link owned by another user", shown);
        if (GroupOrOthersWrite(at.info))
            return Refuse("Symbolic link in a directory writable by group or others", shown);
        if (!TrustedOwner(at.info.st_uid))
            return Refuse("Symbolic link in a directory owned by another user", shown);
        if (++links_ > maxLinks) {
            errno = ELOOP;
            return false;
        }
        struct statfs fs;
        if (fstatfs(at.fd.get(), &fs) != 0)
            return false;
        kernel = fs.f_type == PROC_SUPER_MAGIC;
        if (kernel)
            return true;
        char target[PATH_MAX];
        const ssize_t length = readlinkat(link.get(), "", target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) == sizeof target) {
            errno = length < 0 ? errno : (length == 0 ? ENOENT : ENAMETOOLONG);
            return false;
        }
        if (target[0] == '/' && !Start(true, at))
            return false;
        Queue(std::string(target, static_cast<size_t>(length)));
        return true;
    }

    // Opens what a link of procfs stands for. A socket cannot be opened by name, so one of
    // this process's own descriptors that is the same socket is taken over instead.
    static FileDescriptor OpenProcLink(const Directory& at, int flags) {
        FileDescriptor file(openat(at.fd.get(), at.name.c_str(), flags, 0640));
        if (file.ok() || errno != ENXIO)
            return file;
        char* end = nullptr;
        const long fd = std::strtol(at.name.c_str(), &end, 10);
        FileDescriptor target(openat(at.fd.get(), at.name.c_str(), O_PATH | O_CLOEXEC));
        struct stat named;
        struct stat own;
        if (*end != '\0' || fd < 0 || fd > INT_MAX || !target.ok() ||
            fstat(target.get(), &named) != 0 || fstat(static_cast<int>(fd), &own) != 0 ||
            named.st_dev != own.st_dev || named.st_ino != own.st_ino) {
            errno = ENXIO;
            return FileDescriptor();
        }
        return FileDescriptor(fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0));
    }

    std::vector<std::string> todo_;  // components still to walk, the next one last
    int links_ = 0;
    std::string& refusal_;
};

// True when the open file may be written as `use`; otherwise `refusal` says why, or,
// when fstat fails, errno does. A descriptor that this process was handed (`inherited`)
// is whatever its starter chose.
bool Suits(int fd, SafeFile::Use use, bool inherited, std::string& refusal) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return false;
    }
    const bool pid = use == SafeFile::Use::pidFile;
    if (!pid && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        // A terminal, /dev/null or a pipe: nothing on disk to turn against us, but a FIFO
        // of another user would hand them every line.
        if (!inherited && !TrustedOwner(info.st_uid))
            refusal = "Character device, FIFO or socket owned by another user";
        return refusal.empty();
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

bool OpenDirectory(const std::string& path, Directory& parent, std::string& refusal,
                   bool throughLinks) {
    Walk walk(refusal);
    return walk.Begin(path, parent) && (!throughLinks || walk.Settle(parent));
}

FileDescriptor OpenIn(const Directory& parent, int flags, Use use, std::string& refusal) {
    flags |= O_CLOEXEC | O_NOCTTY;
    FileDescriptor file(openat(parent.fd.get(), parent.name.c_str(), flags | O_NOFOLLOW, 0640));
    bool inherited = false;
    if (!file.ok() && errno == ELOOP) {
        // A link: the walk goes on from a copy, so that the directory held stays as it is.
        Directory at;
        at.fd = FileDescriptor(fcntl(parent.fd.get(), F_DUPFD_CLOEXEC, 0));
        at.info = parent.info;
        at.shown = parent.shown;
        at.name = parent.name;
        if (!at.fd.ok())
            return FileDescriptor();
        Walk walk(refusal);
        file = walk.OpenLink(at, flags, inherited);
    }
    if (file.ok() && !Suits(file.get(), use, inherited, refusal)) {
        file.Reset();
    }
    return file;
}

FileDescriptor OpenWritable(const std::string& path, int flags, Use use, std::string& refusal) {
    Directory parent;
    if (!OpenDirectory(path, parent, refusal, false))
        return FileDescriptor();
    return OpenIn(parent, flags, use, refusal);
}

}  // namespace SafeFile
