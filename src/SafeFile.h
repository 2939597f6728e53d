// The rules for the files the service writes (the pid file and the log files): what a path
// may lead through and what the opened file must be, so that nobody else can steer a write.
#ifndef DODODUZOD_SAFEFILE_H
#define DODODUZOD_SAFEFILE_H

#include <string>

#include "FileDescriptor.h"

namespace SafeFile {

// What a file that the service writes must be once it is open.
enum class Use { pidFile, logFile };

// Opens a file that the service writes, `flags` plus O_NOFOLLOW, O_CLOEXEC and O_NOCTTY,
// creating it with mode 0640. A symbolic link as the last component is followed only when
// root or the effective user owns both the link and its directory and neither group nor
// others can write that directory; what is opened must then suit `use`. On failure the
// descriptor is not ok() and `refusal` says why the file was refused; it stays empty when
// the open itself failed, and errno says why.
FileDescriptor OpenWritable(const std::string& path, int flags, Use use, std::string& refusal);

}  // namespace SafeFile

#endif
