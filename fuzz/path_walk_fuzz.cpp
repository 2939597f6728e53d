// Random trees of directories, links, FIFOs and files owned by root, by the effective user
// and by another user, opened through SafeFile: whatever it opens must be what a plain
// reading of the rules allows, reached by the same path, and a refused open creates
// nothing. The trees live on a tmpfs in a private mount namespace, under a chroot, made
// once; the process keeps its capabilities but runs with another effective uid, so that
// root, the effective user and another user are three owners. Needs root.
#include <fcntl.h>
#include <ftw.h>
#include <linux/securebits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "SafeFile.h"

namespace {

const uid_t self = 1001, other = 1002;  // the effective user, and another one
const int maxLinks = 40;

[[noreturn]] void Fail(const char* what) {
    std::perror(what);
    std::abort();
}

// The private namespace, its tmpfs as "/" (read-only, holding the mount point /w and
// /proc, which the sanitizers read), and the effective uid `self` with every capability
// kept.
void Enter() {
    // A tmpfs over /tmp, seen only here: nothing is left behind on the host.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        Fail("a private mount namespace (run as root)");
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0755") != 0 || mkdir("/tmp/w", 0755) != 0 ||
        mkdir("/tmp/proc", 0555) != 0 ||
        mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, "mode=0755") != 0 ||
        mount("proc", "/tmp/proc", "proc", 0, nullptr) != 0 || chroot("/tmp") != 0)
        Fail("the tmpfs root");
    if (prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || setresuid(-1, self, -1) != 0)
        Fail("the effective uid");
}

bool Trusted(uid_t uid) {
    return uid == 0 || uid == self;
}
bool Writable(const struct stat& info) {
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
std::string Join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}
std::string Parent(const std::string& dir) {
    const size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}
void Queue(const std::string& path, std::vector<std::string>& todo) {
    std::vector<std::string> parts;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');)
        if (!part.empty() && part != ".")
            parts.push_back(part);
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

// The rules read plainly, on path strings: where an absolute `path` leads (the directory
// `dir` and the name in it), or false where a rule refuses or a step cannot be taken.
bool Reference(const std::string& path, std::string& dir, std::string& name) {
    std::vector<std::string> todo;
    Queue(path, todo);
    std::string at = "/";
    int links = 0;
    while (!todo.empty()) {
        const std::string next = todo.back();
        todo.pop_back();
        const bool last = todo.empty();
        struct stat here, there;
        const std::string to = next == ".." ? Parent(at) : Join(at, next);
        if (lstat(at.c_str(), &here) != 0)
            return false;
        if (lstat(to.c_str(), &there) != 0) {
            dir = at;
            name = next;
            return last && next != "..";  // created by the open
        }
        if (S_ISLNK(there.st_mode)) {
            char target[4096];
            const ssize_t length = readlink(to.c_str(), target, sizeof target);
            if (!Trusted(there.st_uid) || Writable(here) || !Trusted(here.st_uid) ||
                ++links > maxLinks || length <= 0 || length == sizeof target)
                return false;
            if (target[0] == '/')
                at = "/";
            Queue(std::string(target, static_cast<size_t>(length)), todo);
            continue;
        }
        if (last) {
            dir = at;
            name = next;
            return next != "..";
        }
        if (!S_ISDIR(there.st_mode) || (Writable(here) && !Trusted(there.st_uid)))
            return false;
        at = to;
    }
    return false;
}

size_t entries = 0;
int Count(const char*, const struct stat*, int, FTW*) {
    ++entries;
    return 0;
}
size_t Entries() {
    entries = 0;
    nftw("/w", Count, 16, FTW_PHYS);
    return entries;
}

// Reads the input as a tree and a path; false when the input ends first.
struct Input {
    const uint8_t* data;
    size_t size, at;
    bool Byte(uint8_t& byte) { return at < size && (byte = data[at++], true); }
};

const char* const names[] = {"a", "b", "c"};
const char* const targets[] = {"/w/victim", "victim", "..",   "../victim", "a",   "b/c",
                               "/w",        "/",      "/w/a", "a/../b",    "c/a", "../../w/b"};
const size_t fixedTargets = sizeof targets / sizeof *targets;
const mode_t modes[] = {0755, 0775, 01777, 0777, 0700};

// One thing made from three bytes: what and whose, where and in which mode, its name and
// where a link leads.
bool Make(Input& in, std::vector<std::string>& dirs, std::vector<std::string>& nodes,
          std::vector<int>& readers) {
    uint8_t what, where, which;
    if (!in.Byte(what) || !in.Byte(where) || !in.Byte(which))
        return false;
    const uid_t owners[] = {0, self, other};
    const uid_t owner = owners[(what / 4) % 3];
    const mode_t mode = modes[(where / 16) % 5];
    const std::string at = Join(dirs[where % dirs.size()], names[which % 3]);
    const size_t pick = (which / 3) % (fixedTargets + nodes.size());
    const std::string target = pick < fixedTargets ? targets[pick] : nodes[pick - fixedTargets];
    bool made = false;
    switch (what % 4) {
        case 0:
            made = mkdir(at.c_str(), 0700) == 0;
            if (made)
                dirs.push_back(at);
            break;
        case 1:
            made = symlink(target.c_str(), at.c_str()) == 0;
            break;
        case 2:
            made = mkfifo(at.c_str(), 0600) == 0;
            if (made)  // read, so that an open for writing does not fail for want of a reader
                readers.push_back(open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            break;
        default:
            made = close(open(at.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) == 0;
    }
    if (made) {
        nodes.push_back(at);
        if (lchown(at.c_str(), owner, owner) != 0 ||
            (what % 4 != 1 && chmod(at.c_str(), mode) != 0))
            __builtin_trap();
    }
    return true;
}

// What was opened must be what the rules allow, reached the way they reach it.
void Check(const FileDescriptor& file, bool allowed, const std::string& dir,
           const std::string& name, size_t before) {
    if (!file.ok()) {
        if (!allowed && Entries() != before)
            __builtin_trap();  // a refused open created something
        return;
    }
    struct stat opened, named;
    if (!allowed || fstat(file.get(), &opened) != 0 ||
        lstat(Join(dir, name).c_str(), &named) != 0 || opened.st_dev != named.st_dev ||
        opened.st_ino != named.st_ino)
        __builtin_trap();
    if (S_ISREG(opened.st_mode) ? opened.st_uid != self || opened.st_nlink != 1
                                : !Trusted(opened.st_uid))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool entered = (Enter(), true);
    (void)entered;
    if (umount2("/w", MNT_DETACH) != 0 && errno != EINVAL)
        Fail("umount /w");
    if (mount("tmpfs", "/w", "tmpfs", 0, "mode=0755,uid=0,gid=0") != 0)
        Fail("mount /w");
    const int victim = open("/w/victim", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (victim < 0 || close(victim) != 0)
        Fail("the victim");

    Input in{data, size, 0};
    std::vector<std::string> dirs = {"/w"}, nodes = {"/w", "/w/victim"};
    std::vector<int> readers;
    uint8_t count = 0, node = 0, tail = 0;
    in.Byte(count);
    for (int i = 0; i < count % 17 && Make(in, dirs, nodes, readers); ++i) {
    }
    if (in.Byte(node) && in.Byte(tail)) {
        std::string path = nodes[node % nodes.size()];
        if (tail & 1)
            path = Join(path, names[(tail >> 1) % 3]);
        const SafeFile::Use use = (tail & 8) ? SafeFile::Use::pidFile : SafeFile::Use::logFile;
        std::string dir, name, refusal;
        const bool allowed = Reference(path, dir, name);
        const size_t before = Entries();
        const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK;
        // At once, or as the line log does: the directory held through the links at the
        // end, and the file opened in it.
        SafeFile::Directory held;
        const FileDescriptor file = (tail & 16) == 0
                                        ? SafeFile::OpenWritable(path, flags, use, refusal)
                                    : SafeFile::OpenDirectory(path, held, refusal, true)
                                        ? SafeFile::OpenIn(held, flags, use, refusal)
                                        : FileDescriptor();
        Check(file, allowed, dir, name, before);
    }
    for (int fd : readers)
        close(fd);
    return 0;
}
