// Every test process gets its own fresh home for user state: XDG folders and TMPDIR point
// into a temporary directory that is removed when the process ends. The desktop's helpers
// (xdg-open, notify-send) are replaced on PATH by programs that do nothing, and no session bus
// is named, so neither this process nor the programs it starts reach the real desktop; nor do
// they send telemetry or reach the application's web service.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/Dispatch/Queue.h"
#include "Tests/Support/TempDir.h"

// Libraries that keep allocations of their own until the process ends (libx265; the font
// caches of fontconfig, pango and cairo): they are not ours to free. Programs the tests start
// (the quintor binary) read the same list from Tests/Support/lsan.supp.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265.so\nleak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\n";
}

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/quintor-test-XXXXXX";
    const char* root = ::mkdtemp(pattern);
    if (!root)
        return 2;
    const fs::path base(root);
    for (const char* sub : {"data", "cache", "config", "tmp", "home", "bin"})
        fs::create_directories(base / sub);
    for (const char* helper : {"xdg-open", "notify-send"}) {
        const fs::path stub = base / "bin" / helper;
        std::ofstream(stub) << "#!/bin/sh\nexit 0\n";
        fs::permissions(stub, fs::perms::owner_all);
    }
    const char* path = std::getenv("PATH");
    ::setenv("PATH", ((base / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("XDG_DATA_HOME", (base / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (base / "cache").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    ::setenv("TMPDIR", (base / "tmp").c_str(), 1);
    ::setenv("HOME", (base / "home").c_str(), 1);
    // Telemetry stays off in this process and in the programs it starts, as a user can switch
    // it off; the telemetry tests switch it back on and point it at a local server.
    ::setenv("BEACON_DISABLE", "All", 1);
    // The application's web service is a closed local port: nothing looks up or reaches the
    // real server, not even by a name lookup when the shell starts watching its reachability.
    ::setenv("MOVARA_API_BASE_URL", "http://127.0.0.1:9/api/", 1);
    // Programs the tests start inherit the same leak suppressions as this process.
    ::setenv("LSAN_OPTIONS", "suppressions=" QUINTOR_SOURCE_DIR "/Tests/Support/lsan.supp", 0);

    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    // A test may end with work still running in the background (a movie being read for a
    // player it dropped); that work must not outlive the folders or the static objects it uses.
    dispatch::waitForWorkersBeforeExit();
    std::error_code ec;
    fs::remove_all(base, ec);
    return rc;
}
