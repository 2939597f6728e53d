#include "Sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace sandbox {
namespace {

bool Fail(std::string& why, const std::string& what) {
    why = what + ": " + std::strerror(errno);
    return false;
}

bool LoopbackUp(std::string& why) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return Fail(why, "socket");
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(fd);
    return ok || Fail(why, "bringing lo up");
}

bool Tmpfs(const char* where, std::string& why) {
    if (mount("tmpfs", where, "tmpfs", MS_NOSUID, "mode=0755,size=64m") != 0)
        return Fail(why, std::string("tmpfs on ") + where);
    return true;
}

// A tmpfs over /dev, with the few devices that programs expect bound back in.
bool PrivateDev(std::string& why) {
    const char* const devices[] = {"null", "zero", "full", "random", "urandom", "tty"};
    const char* const real = "/tmp/.realdev";  // a view of the real /dev while binding
    if (mkdir(real, 0700) != 0)
        return Fail(why, "mkdir /tmp/.realdev");
    if (mount("/dev", real, nullptr, MS_BIND, nullptr) != 0)
        return Fail(why, "binding /dev");
    if (!Tmpfs("/dev", why))
        return false;
    for (const char* name : devices) {
        std::string from = std::string(real) + "/" + name;
        std::string to = std::string("/dev/") + name;
        int fd = open(to.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd < 0)
            return Fail(why, "creating " + to);
        close(fd);
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return Fail(why, "binding " + to);
    }
    mkdir("/dev/shm", 01777);
    if (umount2(real, MNT_DETACH) != 0)
        return Fail(why, "unmounting the /dev view");
    rmdir(real);
    return true;
}

// A minimal system (a fresh chroot) may lack a file the sandbox binds over. An empty
// one means to the system resolver what a missing one means, so creating it changes
// nothing for the host, and another test process may be creating it at the same time.
bool MountPoint(const char* path, std::string& why) {
    struct stat st;
    if (lstat(path, &st) == 0 || errno != ENOENT)
        return true;  // anything else is for the mount to report
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST)
        return Fail(why, std::string("creating ") + path);
    if (fd >= 0)
        close(fd);
    return true;
}

// The system resolver (gethostbyname) may only ever ask loopback.
bool LoopbackResolver(std::string& why) {
    const char* const files[][2] = {
        {"/etc/resolv.conf", "nameserver 127.0.0.1\n"},
        {"/etc/hosts", "127.0.0.1 localhost\n::1 localhost\n"},
    };
    for (const auto& file : files) {
        std::string copy = std::string("/tmp/.sandbox-") + (std::strrchr(file[0], '/') + 1);
        int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return Fail(why, "creating " + copy);
        bool written =
            write(fd, file[1], std::strlen(file[1])) == static_cast<ssize_t>(std::strlen(file[1]));
        close(fd);
        if (!written)
            return Fail(why, "writing " + copy);
        if (!MountPoint(file[0], why))
            return false;
        if (mount(copy.c_str(), file[0], nullptr, MS_BIND, nullptr) != 0)
            return Fail(why, std::string("binding over ") + file[0]);
    }
    return true;
}

}  // namespace

// A project checked out under /tmp must stay visible over the private /tmp: each
// such directory is opened before the tmpfs hides it and bound back from the
// descriptor afterwards.
class KeptDirectories {
  public:
    KeptDirectories() {
        for (const char* path : {DODODUZOD_SOURCE_DIR, DODODUZOD_BUILD_DIR}) {
            if (std::strncmp(path, "/tmp/", 5) != 0)
                continue;
            int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0)
                kept_.push_back({path, fd});
        }
    }
    ~KeptDirectories() {
        for (const auto& k : kept_)
            close(k.second);
    }
    KeptDirectories(const KeptDirectories&) = delete;
    KeptDirectories& operator=(const KeptDirectories&) = delete;

    bool BindBack(std::string& why) const {
        for (const auto& k : kept_) {
            for (size_t at = k.first.find('/', 1); at != std::string::npos;
                 at = k.first.find('/', at + 1))
                mkdir(k.first.substr(0, at).c_str(), 0755);
            mkdir(k.first.c_str(), 0755);
            std::string from = "/proc/self/fd/" + std::to_string(k.second);
            if (mount(from.c_str(), k.first.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                return Fail(why, "binding back " + k.first);
        }
        return true;
    }

  private:
    std::vector<std::pair<std::string, int>> kept_;
};

bool Enter(std::string& why) {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return Fail(why, "unshare (the tests must run as root, see scripts/test)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Fail(why, "making mounts private");
    if (!LoopbackUp(why))
        return false;
    KeptDirectories kept;
    return Tmpfs("/tmp", why) && kept.BindBack(why) && PrivateDev(why) && Tmpfs("/var/log", why) &&
           LoopbackResolver(why);
}

}  // namespace sandbox
