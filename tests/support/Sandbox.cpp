// Every test process runs in a sandbox of its own, so that no test can reach the network or
// the host's logs, and tests that bind fixed ports run side by side: private network and
// mount namespaces with only loopback, and private /var/log, /dev (with /dev/log free for a
// capture) and /tmp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "FileDescriptor.h"
#include "Process.h"

namespace {

bool Fail(std::string& why, const std::string& what) {
    why = what + ": " + std::strerror(errno);
    return false;
}

bool LoopbackUp(std::string& why) {
    const FileDescriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = fd.ok() && ioctl(fd.get(), SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    return (ok && ioctl(fd.get(), SIOCSIFFLAGS, &ifr) == 0) || Fail(why, "bringing lo up");
}

bool Mount(const std::string& from, const std::string& to, const char* type, unsigned long flags,
           std::string& why) {
    return mount(from.c_str(), to.c_str(), type, flags, type ? "mode=0755,size=64m" : nullptr) ==
               0 ||
           Fail(why, "mounting " + from + " on " + to);
}

// An empty file to bind over, created when missing (a minimal system may lack it; an
// empty one means to the system what a missing one means, and another test process
// may be creating it at the same time).
bool Touch(const std::string& path, std::string& why) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
        return true;
    const FileDescriptor fd(
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    return fd.ok() || errno == EEXIST || Fail(why, "creating " + path);
}

// A tmpfs over /dev, with the few devices that programs expect bound back in.
bool PrivateDev(std::string& why) {
    const std::string real = "/tmp/.realdev";  // a view of the real /dev while binding
    if (mkdir(real.c_str(), 0700) != 0 || !Mount("/dev", real, nullptr, MS_BIND, why) ||
        !Mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, why))
        return why.empty() ? Fail(why, "mkdir " + real) : false;
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"})
        if (!Touch(std::string("/dev/") + name, why) ||
            !Mount(real + "/" + name, std::string("/dev/") + name, nullptr, MS_BIND, why))
            return false;
    mkdir("/dev/shm", 01777);
    return (umount2(real.c_str(), MNT_DETACH) == 0 && rmdir(real.c_str()) == 0) ||
           Fail(why, "unmounting the /dev view");
}

// The system resolver (gethostbyname) may only ever ask loopback, and gives up at once.
bool LoopbackResolver(std::string& why) {
    const char* const files[][3] = {
        {"/etc/resolv.conf", "/tmp/.sandbox-resolv.conf",
         "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"},
        {"/etc/hosts", "/tmp/.sandbox-hosts",
         "127.0.0.1 localhost ns.zelmar.example\n::1 localhost\n"},
    };
    for (const auto& f : files) {
        if (!testproc::WriteFile(f[1], f[2]))
            return Fail(why, std::string("writing ") + f[1]);
        if (!Touch(f[0], why) || !Mount(f[1], f[0], nullptr, MS_BIND, why))
            return false;
    }
    return true;
}

bool Enter(std::string& why) {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return Fail(why, "unshare (the tests must run as root, see scripts/test)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Fail(why, "making mounts private");
    // A project checked out under /tmp must stay visible over the private /tmp: each such
    // directory is opened before the tmpfs hides it and bound back from the descriptor.
    std::vector<std::pair<std::string, FileDescriptor>> kept;
    for (const char* path : {DODODUZOD_SOURCE_DIR, DODODUZOD_BUILD_DIR})
        if (std::strncmp(path, "/tmp/", 5) == 0)
            kept.emplace_back(path, FileDescriptor(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC)));
    if (!LoopbackUp(why) || !Mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID, why))
        return false;
    for (const auto& k : kept) {
        std::error_code ignored;  // the bind below fails when a directory is missing
        std::filesystem::create_directories(k.first, ignored);
        if (!k.second.ok() || !Mount("/proc/self/fd/" + std::to_string(k.second.get()), k.first,
                                     nullptr, MS_BIND | MS_REC, why))
            return false;
    }
    return PrivateDev(why) && Mount("tmpfs", "/var/log", "tmpfs", MS_NOSUID, why) &&
           LoopbackResolver(why);
}

class SandboxEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string why;
        if (!Enter(why)) {
            std::fprintf(stderr, "cannot enter the test sandbox: %s\n", why.c_str());
            std::exit(2);
        }
        signal(SIGPIPE, SIG_IGN);  // a peer that went away is a test result, not a crash
        // Nothing the tests start may fall back on the built-in public servers.
        setenv("DODODUZOD_RESOLVER", "127.0.0.1", 1);
        setenv("DODODUZOD_NAMESERVER", "127.0.0.1", 1);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);
    return RUN_ALL_TESTS();
}
