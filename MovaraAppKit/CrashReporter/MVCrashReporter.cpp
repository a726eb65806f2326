#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "MovaraAppKit/CrashReporter/MVCrashFrameCursor.h"
#include "MovaraAppKit/CrashReporter/MVCrashLogWriter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "MovaraAppKit/CrashReporter/MVCrashSignalHandler.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/System/LoadedImages.h"
#include "Platform/System/MachineContext.h"

namespace {

constexpr const char* kDataFolder = "com.movara.crashreporter";
constexpr const char* kReportName = "live_report.mvcrash";
constexpr std::uint64_t kReportLimit = MVCrashReport::kMaxReportSize;

// The crash-time context: everything a handler needs, prepared at enable time.
struct SignalHandlerContext {
    mvcrash_log_writer_t writer;
    char path[4096] = {};
    char temporaryPath[4096] = {};
};

SignalHandlerContext g_context;
MVCrashReporterCallbacks g_callbacks;
mvcrash_async_image_list_t g_images;
std::once_flag g_imagesOnce;
std::atomic<bool> g_enabledInProcess { false };
std::atomic<int> g_exceptionHandled { 0 };
std::mutex g_enableMutex;

const int kMonitoredSignals[] = { SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP };

mvcrash_async_image_list_t* sharedImages()
{
    std::call_once(g_imagesOnce, [] { mvcrash_nasync_image_list_init(&g_images, MVCRASH_TASK_SELF); });
    return &g_images;
}

// Writes the report to the side file, then renames it into place: the pending report is either
// the whole new one or whatever was there before.
mvcrash_error_t mvcrash_write_report(SignalHandlerContext* context, sys::ThreadId thread, const mvcrash_async_thread_state_t* state, const mvcrash_log_signal_info_t* siginfo)
{
    const int fd = ::open(context->temporaryPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return MVCRASH_ERR_INTERNAL;
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fd, kReportLimit);
    const mvcrash_error_t result = mvcrash_log_writer_write(&context->writer, thread, &g_images, &file, siginfo, state);
    if (mvcrash_log_writer_close(&context->writer) != MVCRASH_ERR_NONE) {
        ::close(fd);
        return MVCRASH_ERR_INTERNAL;
    }
    if (!mvcrash_async_file_close(&file)) {
        ::close(fd);
        ::unlink(context->temporaryPath);
        return MVCRASH_ERR_INTERNAL;
    }
    if (::rename(context->temporaryPath, context->path) != 0)
        return MVCRASH_ERR_INTERNAL;
    return result;
}

bool signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context, MVCrashSignalHandlerCallback* next)
{
    // A second fault, or the raise that follows, ends the process.
    for (int monitored : kMonitoredSignals) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(monitored, &fallback, nullptr);
    }
    sys::MachineContext machine;
    sys::machineContextFromUcontext(uap, &machine);
    mvcrash_async_thread_state_t state;
    mvcrash_async_thread_state_mcontext_init(&state, &machine);
    mvcrash_log_bsd_signal_info_t bsd;
    bsd.signo = mvcrash_async_signal_to_report(signo);
    bsd.code = info ? mvcrash_async_signal_code_to_report(signo, info->si_code) : 0;
    // The address means something only for faults the kernel raised.
    bsd.address = info && info->si_code > 0 ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0;
    mvcrash_log_signal_info_t siginfo { &bsd, nullptr };
    const bool written = mvcrash_write_report(static_cast<SignalHandlerContext*>(context), sys::currentThreadId(), &state, &siginfo) == MVCRASH_ERR_NONE;
    if (written && g_callbacks.handleSignal)
        g_callbacks.handleSignal(info, uap, g_callbacks.context);
    // Whoever handled the signal before us sees it too (see MVCrashSignalHandler.h).
    MVCrashSignalHandlerForward(next, signo, info, uap);
    return false;
}

struct LiveReport {
    mvcrash_log_writer_t* writer;
    mvcrash_async_file_t* file;
    sys::ThreadId thread;
    const mvcrash_log_signal_info_t* siginfo;
};

mvcrash_error_t mvcr_live_report_callback(mvcrash_async_thread_state_t* state, void* context)
{
    auto* live = static_cast<LiveReport*>(context);
    return mvcrash_log_writer_write(live->writer, live->thread, sharedImages(), live->file, live->siginfo, state);
}

std::string demangled(const char* name)
{
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : name;
    std::free(text);
    return result;
}

mvcrash_error_t collectCallStack(mvcrash_async_thread_state_t* state, void* context)
{
    auto* stack = static_cast<std::vector<std::uint64_t>*>(context);
    plframe_cursor_t cursor;
    plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, state, sharedImages());
    // The capture and the terminate handler are not part of the exception's story.
    int skip = 2;
    while (stack->size() < MVCRASH_WRITER_MAX_FRAMES && plframe_cursor_next(&cursor) == PLFRAME_RESULT_OK) {
        std::uint64_t pc = 0;
        if (plframe_cursor_get_reg(&cursor, MVCRASH_REG_IP, &pc) != PLFRAME_RESULT_OK)
            break;
        if (skip > 0) {
            --skip;
            continue;
        }
        stack->push_back(pc);
    }
    return MVCRASH_ERR_NONE;
}

// The language runtime's last word on an exception nobody caught: record it, then abort.
[[noreturn]] void uncaught_exception_handler()
{
    std::string name = "std::terminate";
    std::string reason;
    if (auto current = std::current_exception()) {
        if (const std::type_info* type = abi::__cxa_current_exception_type())
            name = demangled(type->name());
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
        }
    }
    std::vector<std::uint64_t> stack;
    mvcrash_async_thread_state_current(collectCallStack, &stack);
    MVCrashReporter::handleUncaughtException(name, reason, stack);
    std::abort();
}

std::string sanitizedIdentifier(std::string identifier)
{
    for (char& c : identifier)
        if (c == '/')
            c = '_';
    return identifier;
}

} // namespace

// --- configuration -----------------------------------------------------------------------

std::shared_ptr<MVCrashReporterConfig> MVCrashReporterConfig::defaultConfiguration()
{
    return initWithSignalHandlerType(0, 0, true);
}

std::shared_ptr<MVCrashReporterConfig> MVCrashReporterConfig::initWithSignalHandlerType(std::uint64_t type, std::uint64_t strategy, bool shouldRegisterUncaughtExceptionHandler)
{
    auto config = std::shared_ptr<MVCrashReporterConfig>(new MVCrashReporterConfig());
    config->m_signalHandlerType = type;
    config->m_symbolicationStrategy = strategy;
    config->m_shouldRegisterUncaughtExceptionHandler = shouldRegisterUncaughtExceptionHandler;
    return config;
}

// --- reporter ----------------------------------------------------------------------------

std::shared_ptr<MVCrashReporter> MVCrashReporter::sharedReporter()
{
    static std::shared_ptr<MVCrashReporter> shared = init();
    return shared;
}

std::shared_ptr<MVCrashReporter> MVCrashReporter::init()
{
    return initWithConfiguration(MVCrashReporterConfig::defaultConfiguration());
}

std::shared_ptr<MVCrashReporter> MVCrashReporter::initWithConfiguration(std::shared_ptr<MVCrashReporterConfig> configuration)
{
    std::string identifier;
    std::string version;
    std::optional<std::string> marketing;
    if (auto bundle = foundation::Bundle::main()) {
        identifier = bundle->bundleIdentifier();
        const auto& v = bundle->objectForInfoDictionaryKey("CFBundleVersion");
        if (v.isString())
            version = v.asString();
        else
            mvcrash_log("[MVCrashReporter] Warning -- bundle version unavailable");
        const auto& m = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
        if (m.isString())
            marketing = m.asString();
    }
    if (identifier.empty()) {
        const char* name = ::program_invocation_short_name;
        if (!name || !*name)
            throw foundation::Exception(MVCrashReporterException, "Can not determine process identifier or process name");
        mvcrash_log("[MVCrashReporter] Warning -- bundle identifier, using process name %s", name);
        identifier = name;
    }
    return initWithApplicationIdentifier(identifier, version, marketing, std::move(configuration));
}

std::shared_ptr<MVCrashReporter> MVCrashReporter::initWithApplicationIdentifier(const std::string& identifier, const std::string& version,
    const std::optional<std::string>& marketingVersion, std::shared_ptr<MVCrashReporterConfig> configuration)
{
    sharedImages();
    auto reporter = std::shared_ptr<MVCrashReporter>(new MVCrashReporter());
    reporter->m_config = configuration ? std::move(configuration) : MVCrashReporterConfig::defaultConfiguration();
    reporter->m_applicationIdentifier = identifier;
    reporter->m_applicationVersion = version;
    reporter->m_applicationMarketingVersion = marketingVersion;
    auto caches = foundation::FileManager::defaultManager().URLForDirectory(foundation::SearchPathDirectory::Caches, false);
    const std::filesystem::path base = caches ? std::filesystem::path(caches->path()) : std::filesystem::temp_directory_path();
    reporter->m_crashReportDirectory = (base / kDataFolder / sanitizedIdentifier(identifier)).string();
    return reporter;
}

std::string MVCrashReporter::queuedCrashReportDirectory() const
{
    return (std::filesystem::path(m_crashReportDirectory) / "queued_reports").string();
}

std::string MVCrashReporter::quarantinedCrashReportDirectory() const
{
    return (std::filesystem::path(m_crashReportDirectory) / "quarantined_reports").string();
}

std::string MVCrashReporter::crashReportPath() const
{
    return (std::filesystem::path(m_crashReportDirectory) / kReportName).string();
}

bool MVCrashReporter::populateCrashReportDirectoryAndReturnError(foundation::ErrorPtr* error) const
{
    for (const std::string& directory : { m_crashReportDirectory, queuedCrashReportDirectory() }) {
        std::error_code ec;
        std::filesystem::create_directories(directory, ec);
        if (ec) {
            if (error)
                *error = foundation::Error::posix(ec.value(), directory);
            return false;
        }
        // Registers, stack words and paths of the crashed process: this user's only.
        ::chmod(directory.c_str(), 0700);
    }
    ::chmod(std::filesystem::path(m_crashReportDirectory).parent_path().c_str(), 0700);
    return true;
}

bool MVCrashReporter::enableCrashReporterAndReturnError(foundation::ErrorPtr* error)
{
    {
        std::lock_guard lock(g_enableMutex);
        if (g_enabledInProcess.exchange(true)) {
            mvcrash_populate_error(error, MVCrashReporterErrorResourceBusy, "A MVCrashReporter instance has already been enabled");
            return false;
        }
    }
    if (!populateCrashReportDirectoryAndReturnError(error))
        return false;
    const std::string path = crashReportPath();
    const std::string temporary = path + ".writing";
    if (temporary.size() >= sizeof g_context.temporaryPath) {
        mvcrash_populate_posix_error(error, ENAMETOOLONG, "Failed to create temporary path");
        return false;
    }
    std::memcpy(g_context.path, path.c_str(), path.size() + 1);
    std::memcpy(g_context.temporaryPath, temporary.c_str(), temporary.size() + 1);
    mvcrash_log_writer_init(&g_context.writer, m_applicationIdentifier, m_applicationVersion,
        m_applicationMarketingVersion ? &*m_applicationMarketingVersion : nullptr, static_cast<std::int32_t>(m_config->symbolicationStrategy() & 3), false);
    if (m_customData)
        mvcrash_log_writer_set_custom_data(&g_context.writer, m_customData->data(), m_customData->size(), true);
    sys::installThreadSuspension();
    sys::prepareLoadedImages();

    const std::uint64_t type = m_config->signalHandlerType();
    if (type == static_cast<std::uint64_t>(MVCrashReporterSignalHandlerType::Mach)) {
        // KERN_NOT_SUPPORTED: this kernel has no Mach exception ports.
        foundation::ErrorPtr underlying;
        mvcrash_populate_mach_error(&underlying, 46, "Failed to allocate exception server's port");
        mvcrash_populate_error(error, MVCrashReporterErrorOperatingSystem, "Failed to instantiate the Mach exception server.", underlying);
        return false;
    }
    if (type == static_cast<std::uint64_t>(MVCrashReporterSignalHandlerType::BSD)) {
        for (int signo : kMonitoredSignals)
            if (!MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, signal_handler_callback, &g_context, error))
                return false;
    }
    if (m_config->shouldRegisterUncaughtExceptionHandler())
        std::set_terminate(uncaught_exception_handler);
    m_enabled = true;
    return true;
}

bool MVCrashReporter::hasPendingCrashReport() const
{
    std::error_code ec;
    return std::filesystem::is_regular_file(crashReportPath(), ec);
}

std::optional<std::vector<std::uint8_t>> MVCrashReporter::loadPendingCrashReportDataAndReturnError(foundation::ErrorPtr* error) const
{
    foundation::ErrorPtr readError;
    auto data = MVCrashReport::readReportFile(crashReportPath(), &readError);
    if (!data && error) {
        if (readError && readError->code() == MVCrashReporterErrorOperatingSystem)
            *error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileReadNoSuchFileError, "The crash report could not be opened.");
        else
            *error = readError; // not a report: too large, or not a file
    }
    return data;
}

std::shared_ptr<MVCrashReport> MVCrashReporter::loadPendingCrashReport(foundation::ErrorPtr* error) const
{
    auto data = loadPendingCrashReportDataAndReturnError(error);
    if (!data)
        return nullptr;
    auto report = MVCrashReport::initWithData(*data, error);
    if (report)
        return report;
    // Kept for a person to look at, out of the way of the next launch.
    std::error_code ec;
    std::filesystem::create_directories(quarantinedCrashReportDirectory(), ec);
    ::chmod(quarantinedCrashReportDirectory().c_str(), 0700);
    const auto target = std::filesystem::path(quarantinedCrashReportDirectory()) / (std::to_string(::time(nullptr)) + "-" + std::to_string(::getpid()) + ".mvcrash");
    std::filesystem::rename(crashReportPath(), target, ec);
    if (ec)
        std::filesystem::remove(crashReportPath(), ec);
    return nullptr;
}

bool MVCrashReporter::purgePendingCrashReportAndReturnError(foundation::ErrorPtr* error) const
{
    std::error_code ec;
    if (!std::filesystem::remove(crashReportPath(), ec) || ec) {
        if (error)
            *error = foundation::Error::posix(ec ? ec.value() : ENOENT, crashReportPath());
        return false;
    }
    return true;
}

void MVCrashReporter::setCrashCallbacks(const MVCrashReporterCallbacks* callbacks)
{
    if (m_enabled)
        throw foundation::Exception(MVCrashReporterException, "The crash reporter has alread been enabled");
    if (callbacks && callbacks->version != 0)
        foundation::fatal("MVCrashReporterCallbacks version must be 0");
    g_callbacks.context = callbacks ? callbacks->context : nullptr;
    g_callbacks.handleSignal = callbacks ? callbacks->handleSignal : nullptr;
}

void MVCrashReporter::setCustomData(std::optional<std::vector<std::uint8_t>> data)
{
    m_customData = std::move(data);
    if (m_enabled)
        mvcrash_log_writer_set_custom_data(&g_context.writer, m_customData ? m_customData->data() : nullptr, m_customData ? m_customData->size() : 0, m_customData.has_value());
}

void MVCrashReporter::handleUncaughtException(const std::string& name, const std::string& reason, const std::vector<std::uint64_t>& callStack)
{
    int expected = 0;
    if (!g_exceptionHandled.compare_exchange_strong(expected, 1))
        return;
    mvcrash_log_writer_set_exception(&g_context.writer, name, reason, callStack.data(), callStack.size());
    std::abort();
}

std::optional<std::vector<std::uint8_t>> MVCrashReporter::generateLiveReportAndReturnError(foundation::ErrorPtr* error)
{
    return generateLiveReportWithThread(sys::currentThreadId(), error);
}

std::optional<std::vector<std::uint8_t>> MVCrashReporter::generateLiveReportWithThread(sys::ThreadId thread, foundation::ErrorPtr* error)
{
    const std::filesystem::path directory = std::getenv("TMPDIR") && *std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    std::string pattern = (directory / "live_crash_report.XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        mvcrash_populate_posix_error(error, errno, foundation::localized("Failed to create temporary path"));
        return std::nullopt;
    }
    sys::installThreadSuspension();
    mvcrash_log_writer_t writer;
    mvcrash_log_writer_init(&writer, m_applicationIdentifier, m_applicationVersion,
        m_applicationMarketingVersion ? &*m_applicationMarketingVersion : nullptr, static_cast<std::int32_t>(m_config->symbolicationStrategy() & 3), true);
    if (m_customData)
        mvcrash_log_writer_set_custom_data(&writer, m_customData->data(), m_customData->size(), true);
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fd, kReportLimit);
    mvcrash_log_bsd_signal_info_t bsd { 5, 2, 0 };
    mvcrash_log_signal_info_t siginfo { &bsd, nullptr };
    mvcrash_error_t result;
    if (thread == sys::currentThreadId()) {
        LiveReport live { &writer, &file, thread, &siginfo };
        result = mvcrash_async_thread_state_current(mvcr_live_report_callback, &live);
    } else {
        result = mvcrash_log_writer_write(&writer, thread, sharedImages(), &file, &siginfo, nullptr);
    }
    mvcrash_log_writer_close(&writer);
    const bool written = mvcrash_async_file_close(&file);
    if (!written)
        ::close(fd);
    mvcrash_log_writer_free(&writer);
    std::optional<std::vector<std::uint8_t>> data;
    if (result != MVCRASH_ERR_NONE || !written) {
        mvcrash_log("[MVCrashReporter] Write failed with error %s", mvcrash_async_strerror(result != MVCRASH_ERR_NONE ? result : MVCRASH_ERR_OUTPUT));
        mvcrash_populate_error(error, MVCrashReporterErrorUnknown, "Failed to write the crash report to disk");
    } else {
        data = MVCrashReport::readReportFile(pattern, nullptr);
        if (!data)
            mvcrash_populate_error(error, MVCrashReporterErrorUnknown, foundation::localized("Unable to open live crash report for reading"));
    }
    if (::unlink(pattern.c_str()) != 0)
        mvcrash_log("[MVCrashReporter] Failure occured deleting live crash report: %s", std::strerror(errno));
    return data;
}
