// A program linked against MovaraAppKit alone, as an application may be: the C library comes
// before the frameworks' own libraries in its load order. It enables the crash reporter, then a
// worker thread overflows its stack. It first prints whether the C library was loaded before
// libMovaraKit, so that the test knows it saw that order.

#include <link.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"

namespace {

int g_order = 0;
int g_libc = -1;
int g_kit = -1;

int note(dl_phdr_info* info, std::size_t, void*)
{
    if (info->dlpi_name && std::strstr(info->dlpi_name, "/libc.so"))
        g_libc = g_order;
    if (info->dlpi_name && std::strstr(info->dlpi_name, "libMovaraKit.so"))
        g_kit = g_order;
    ++g_order;
    return 0;
}

} // namespace

extern "C" __attribute__((noinline, visibility("default"))) int appkitonly_recurse(long depth)
{
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    if (depth > (1L << 40))
        return 0;
    return appkitonly_recurse(depth + 1) + pad[0];
}

int main()
{
    ::dl_iterate_phdr(note, nullptr);
    std::printf("libc before MovaraKit: %s\n", g_libc >= 0 && g_kit >= 0 && g_libc < g_kit ? "yes" : "no");
    std::fflush(stdout);
    auto config = MVCrashReporterConfig::initWithSignalHandlerType(0, MVCrashReporterSymbolicationStrategySymbolTable, true);
    auto reporter = MVCrashReporter::initWithApplicationIdentifier("com.movara.appkitonly", "1.0", std::nullopt, config);
    if (!reporter->enableCrashReporterAndReturnError(nullptr))
        return 3;
    std::thread([] { appkitonly_recurse(0); }).join();
    return 4;
}
