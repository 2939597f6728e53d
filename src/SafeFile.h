// The rules for the files the service writes (the pid file and the log files): what a path
// may lead through and what the opened file must be, so that nobody else can steer a write.
#ifndef DODODUZOD_SAFEFILE_H
#define DODODUZOD_SAFEFILE_H

#include <sys/stat.h>

#include <string>

#include "FileDescriptor.h"

namespace SafeFile {

// What a file that the service writes must be once it is open.
enum class Use { pidFile, logFile };

// A directory that the walk reached safely, and the last name of the path inside it: a
// file opened there later costs one openat.
struct Directory {
    FileDescriptor fd;
    struct stat info = {};
    std::string shown;  // the directory as the path named it, for refusals
    std::string name;   // the path's last component
    // What `name` was when OpenDirectory went through the links at the end: a file, a
    // link of procfs, or nothing (all zero).
    struct stat named = {};
};

// Resolves every component of `path` but the last from "/" (or from the working directory
// for a relative path), one at a time on directory descriptors. A symbolic link on the way,
// each hop of a chain, is followed only when root or the effective user owns the link and
// its directory and neither group nor others can write that directory; a directory owned
// by someone else inside a directory that group or others can write ends the walk. With
// `throughLinks`, links at the last component are followed too, as far as a walk can
// follow them, so that a later open there finds the file itself. False with `refusal`
// naming the component, or with errno when a step failed.
bool OpenDirectory(const std::string& path, Directory& parent, std::string& refusal,
                   bool throughLinks);

// Opens `parent.name` in `parent` with `flags` plus O_NOFOLLOW, O_CLOEXEC and O_NOCTTY,
// creating it with mode 0640; a link there is followed by the same rules. What is opened
// must suit `use`. On failure the descriptor is not ok() and `refusal` says why the file
// was refused; it stays empty when the open itself failed, and errno says why.
FileDescriptor OpenIn(const Directory& parent, int flags, Use use, std::string& refusal);

// OpenDirectory, then OpenIn.
FileDescriptor OpenWritable(const std::string& path, int flags, Use use, std::string& refusal);

}  // namespace SafeFile

#endif
