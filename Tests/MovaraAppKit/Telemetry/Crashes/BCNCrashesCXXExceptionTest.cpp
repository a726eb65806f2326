#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesCXXException.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

template <class T> [[gnu::noinline]] void throwUncaught(T value)
{
    asm volatile("");
    throw value;
}

[[gnu::noinline]] void throwAndCatchElsewhere()
{
    try {
        throwUncaught(std::runtime_error("caught"));
    } catch (const std::exception&) {
    }
}

void say(const std::string& text) { (void)!::write(2, text.data(), text.size()); }

bool framesInclude(const BCNCrashesUncaughtCXXExceptionInfo* info, std::uintptr_t begin, std::uintptr_t end)
{
    for (std::uint32_t i = 0; i < info->exceptionFramesCount; ++i)
        if (info->exceptionFrames[i] >= begin && info->exceptionFrames[i] < end)
            return true;
    return false;
}

std::uintptr_t g_siteBegin = 0;
std::uintptr_t g_siteEnd = 0;

// Tells the death test what it was handed: "<type>|<message>|<frames from the throw site>".
void reportingHandler(const BCNCrashesUncaughtCXXExceptionInfo* info)
{
    say(std::string("handled ") + (info->exceptionTypeName ? info->exceptionTypeName : "(none)") + "|"
        + (info->exceptionMessage ? info->exceptionMessage : "(null)") + "|"
        + (framesInclude(info, g_siteBegin, g_siteEnd) ? "throw-site" : "elsewhere") + "\n");
}

void secondHandler(const BCNCrashesUncaughtCXXExceptionInfo*) { say("second\n"); }

// Uncaught on a thread of its own: the test's own frames would catch it.
template <class F> void onThread(F&& f) { std::thread(std::forward<F>(f)).join(); }

template <class T> void dieThrowing(T value, std::uintptr_t siteBegin, std::uintptr_t siteEnd)
{
    g_siteBegin = siteBegin;
    g_siteEnd = siteEnd;
    BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    onThread([value] { throwUncaught(value); });
}

// The range of a function's code: from its address to a generous bound.
template <class F> std::pair<std::uintptr_t, std::uintptr_t> rangeOf(F* function)
{
    const auto begin = reinterpret_cast<std::uintptr_t>(function);
    return { begin, begin + 512 };
}

} // namespace

TEST(BCNCrashesCXXException, HandlersAreCountedAndTheTerminateHandlerComesAndGoes)
{
    // The crash service registers its handler once per process and keeps it: count from there.
    const std::terminate_handler before = std::get_terminate();
    const std::size_t base = BCNCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler();
    BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
    BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
    EXPECT_EQ(BCNCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), base + 2);
    const std::terminate_handler ours = std::get_terminate();
    if (base == 0) {
        EXPECT_NE(ours, before);
    }
    BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(secondHandler);
    EXPECT_EQ(BCNCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), base + 1);
    EXPECT_EQ(std::get_terminate(), ours);
    BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(reportingHandler);
    EXPECT_EQ(BCNCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), base + 1) << "not registered: nothing changes";
    BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(secondHandler);
    EXPECT_EQ(std::get_terminate(), before);

    // Someone who replaced ours after we installed it keeps their handler.
    BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
    const std::terminate_handler theirs = [] { std::abort(); };
    std::set_terminate(theirs);
    BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(secondHandler);
    EXPECT_EQ(std::get_terminate(), theirs);
    std::set_terminate(before);
}

using BCNCrashesCXXExceptionDeathTest = ::testing::Test;

TEST_F(BCNCrashesCXXExceptionDeathTest, AnUncaughtExceptionReachesTheHandlersWithItsThrowsStack)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto runtimeError = rangeOf(&throwUncaught<std::runtime_error>);
    const auto text = rangeOf(&throwUncaught<const char*>);
    const auto string = rangeOf(&throwUncaught<std::string>);
    const auto number = rangeOf(&throwUncaught<int>);
    EXPECT_EXIT(dieThrowing(std::runtime_error("boom"), runtimeError.first, runtimeError.second), ::testing::KilledBySignal(SIGABRT),
                "handled St13runtime_error\\|boom\\|throw-site");
    EXPECT_EXIT(dieThrowing<const char*>("plain text", text.first, text.second), ::testing::KilledBySignal(SIGABRT),
                "handled PKc\\|plain text\\|throw-site");
    EXPECT_EXIT(dieThrowing(std::string("a string"), string.first, string.second), ::testing::KilledBySignal(SIGABRT),
                "handled NSt7__cxx1112basic_string.*\\|a string\\|throw-site");
    EXPECT_EXIT(dieThrowing(42, number.first, number.second), ::testing::KilledBySignal(SIGABRT), "handled i\\|\\(null\\)\\|throw-site");
    EXPECT_EXIT(
        {
            BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
            BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
            onThread([] { throwUncaught(1); });
        },
        ::testing::KilledBySignal(SIGABRT), "second\nsecond\n");
}

TEST_F(BCNCrashesCXXExceptionDeathTest, AnExceptionThatWasNeverThrownHereIsNotGivenAnotherThrowsStack)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto caughtSite = rangeOf(&throwUncaught<std::runtime_error>);
    EXPECT_EXIT(
        {
            g_siteBegin = caughtSite.first;
            g_siteEnd = caughtSite.second;
            BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
            onThread([] {
                throwAndCatchElsewhere();
                // Made without a throw, then rethrown: the thread's record still holds the caught one.
                std::rethrow_exception(std::make_exception_ptr(std::logic_error("made")));
            });
        },
        ::testing::KilledBySignal(SIGABRT), "handled St11logic_error\\|made\\|elsewhere");
}

TEST(BCNCrashesCXXException, TheWrapperIsNamedByTheDemangledTypeAndCarriesTheFrames)
{
    const std::uint64_t frames[] = { 0x10, 0x20, 0x30 };
    struct Case {
        const char* typeName;
        const char* message;
        const char* name;
        const char* reason;
    };
    const Case cases[] = {
        { "St13runtime_error", "boom", "std::runtime_error", "boom" },
        { "not a mangled name", nullptr, "not a mangled name", "" },
        { nullptr, "m", "", "m" },
    };
    for (const auto& c : cases) {
        const BCNCrashesUncaughtCXXExceptionInfo info { nullptr, c.typeName, c.message, 2, frames };
        BCNCrashesCXXExceptionWrapperException wrapper(&info);
        EXPECT_EQ(wrapper.name(), c.name);
        EXPECT_EQ(wrapper.reason(), c.reason);
        EXPECT_EQ(wrapper.callStackReturnAddresses(), (std::vector<std::uint64_t> { 0x10, 0x20 }));
        EXPECT_EQ(wrapper.info(), &info);
    }
}
