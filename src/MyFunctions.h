// The line log and dates.
#ifndef DODODUZOD_MYFUNCTIONS_H
#define DODODUZOD_MYFUNCTIONS_H

#include <ctime>
#include <string>

class MyFunctions {
  public:
    static const char* const defaultLogFile;  // "/var/log/dododuzod.log"

    // Unfiltered: writes one dated, tagged line when `enabled`.
    static void Log(std::string fileName, std::string tag, std::string message, bool enabled);
    // Filtered by the configuration's debug, quiet and verbose flags.
    static void Log(std::string fileName, std::string tag, std::string message, bool isDebug,
                    bool debug, bool quiet, bool verbose);
    // The local time `seconds` from now, as a log line's date.
    static std::string GetDate(int seconds);
    bool FileExists(std::string path);

    // The pieces above, with the clock passed in so that they can be checked.
    static std::string FormatDate(time_t now, int seconds);
    static std::string FormatLine(time_t now, const std::string& tag, const std::string& message);
    static bool IsWritten(bool isDebug, bool debug, bool quiet, bool verbose);
};

#endif
