// The line log and dates.
#ifndef DODODUZOD_MYFUNCTIONS_H
#define DODODUZOD_MYFUNCTIONS_H

#include <sys/stat.h>

#include <ctime>
#include <string>

#include "FileDescriptor.h"

class MyFunctions {
  public:
    static const char* const defaultLogFile;  // "/var/log/dododuzod.log"

    // Unfiltered: writes one dated, tagged line when `enabled`.
    static void Log(std::string fileName, std::string tag, std::string message, bool enabled);
    // Filtered by the configuration's debug, quiet and verbose flags.
    static void Log(std::string fileName, std::string tag, std::string message, bool isDebug,
                    bool debug, bool quiet, bool verbose);
    // Resolves the directory of the log file `fileName` (empty: the default) and holds it,
    // so that each line costs one openat there; done again at every load and reload.
    static void HoldLogDirectory(std::string fileName);
    // Opens the log file `path` for appending under the rules of SafeFile, in the directory
    // held when it is the one of `path`. On failure `refusal` or errno says why.
    static FileDescriptor OpenLogFile(const std::string& path, std::string& refusal);
    // True when the log file `path` names the file `open` describes (a link never does):
    // for the path held, as the hold found it.
    static bool NamesFile(const std::string& path, const struct stat& open);
    // The local time `seconds` from now, as a log line's date.
    static std::string GetDate(int seconds);
    bool FileExists(std::string path);

    // The pieces above, with the clock passed in so that they can be checked.
    static std::string FormatDate(time_t now, int seconds);
    static std::string FormatLine(time_t now, const std::string& tag, const std::string& message);
    static bool IsWritten(bool isDebug, bool debug, bool quiet, bool verbose);
};

#endif
