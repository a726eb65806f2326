#pragma once
// The names of the crash service's three folders below the client's own folder. Asking for a
// name makes its folder the first time in the process (or the first time after a reset), so
// every caller can write into it straight away.

#include <string>

class BCNCrashesUtil {
public:
    // "crashes": crash reports copied from the crash reporter.
    static std::string crashesDir();
    // "crasheslogbuffer": the files of the crash-time log buffer.
    static std::string logBufferDir();
    // "crasheswrapperexceptions": exceptions saved by wrapper SDKs.
    static std::string wrapperExceptionsDir();
    // Forgets that the folders were made, so the next request for each makes it again; the
    // folders themselves are left alone.
    static void resetDirectory();
};
