#include "MovaraAppKit/CrashReporter/MVCrashLogWriter.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MovaraAppKit/CrashReporter/MVCrashFrameCursor.h"
#include "MovaraAppKit/CrashReporter/MVCrashSymbols.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/System/DeviceFacts.h"
#include "Platform/System/HostInfo.h"
#include "Platform/System/LoadedImages.h"

namespace {

// Report field numbers.
enum : std::uint32_t {
    kReportSystemInfo = 1, kReportAppInfo = 2, kReportThreads = 3, kReportImages = 4, kReportException = 5,
    kReportSignal = 6, kReportProcessInfo = 7, kReportMachineInfo = 8, kReportInfo = 9, kReportCustomData = 10,
    kReportTruncated = 11,
};

constexpr std::uint32_t kOperatingSystemLinux = 5;
constexpr std::uint32_t kArchitectureX86_64 = 1;
constexpr std::uint32_t kTypeEncodingMach = 1;

std::size_t packU64(mvcrash_async_file_t* file, std::uint32_t field, std::uint64_t v) { return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_UINT64, &v); }
std::size_t packI64(mvcrash_async_file_t* file, std::uint32_t field, std::int64_t v) { return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_INT64, &v); }
std::size_t packU32(mvcrash_async_file_t* file, std::uint32_t field, std::uint32_t v) { return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_UINT32, &v); }
std::size_t packEnum(mvcrash_async_file_t* file, std::uint32_t field, std::uint32_t v) { return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_ENUM, &v); }
std::size_t packBool(mvcrash_async_file_t* file, std::uint32_t field, bool v)
{
    std::uint8_t b = v ? 1 : 0;
    return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_BOOL, &b);
}
std::size_t packBytes(mvcrash_async_file_t* file, std::uint32_t field, const plprotobuf_cbinary_data_t& data) { return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_BYTES, &data); }
std::size_t packString(mvcrash_async_file_t* file, std::uint32_t field, const char* text) { return mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_STRING, text); }

// Writes a nested message: sized first by a run without a file, then key, length and body.
template <typename Body>
std::size_t packMessage(mvcrash_async_file_t* file, std::uint32_t field, Body&& body)
{
    const std::uint32_t size = static_cast<std::uint32_t>(body(nullptr));
    const std::size_t head = mvcrash_writer_pack(file, field, PROTOBUF_C_TYPE_MESSAGE, &size);
    if (file)
        body(file);
    return head + size;
}

std::uint64_t remainingBytes(const mvcrash_async_file_t* file)
{
    if (file->limit_bytes == 0)
        return UINT64_MAX;
    return file->total_bytes >= file->limit_bytes ? 0 : file->limit_bytes - file->total_bytes;
}

// --- sections ------------------------------------------------------------------------------

std::size_t writeProcessor(mvcrash_async_file_t* file, std::uint64_t type, std::uint64_t subtype)
{
    return packEnum(file, 1, kTypeEncodingMach) + packU64(file, 2, type) + packU64(file, 3, subtype);
}

std::size_t writeReportInfo(mvcrash_async_file_t* file, const mvcrash_log_writer_t* w)
{
    plprotobuf_cbinary_data_t uuid { 16, const_cast<std::uint8_t*>(w->report_info.uuid) };
    return packBool(file, 1, w->report_info.user_requested) + packBytes(file, 2, uuid);
}

std::size_t writeSystemInfo(mvcrash_async_file_t* file, const mvcrash_log_writer_t* w, std::int64_t timestamp)
{
    return packEnum(file, 1, kOperatingSystemLinux) + packBytes(file, 2, w->system_info.version) + packBytes(file, 5, w->system_info.build)
        + packBytes(file, 6, w->system_info.name)
        + packEnum(file, 3, kArchitectureX86_64) + packI64(file, 4, timestamp);
}

std::size_t writeMachineInfo(mvcrash_async_file_t* file, const mvcrash_log_writer_t* w)
{
    std::size_t n = 0;
    if (w->machine_info.model.data && w->machine_info.model.len)
        n += packBytes(file, 1, w->machine_info.model);
    n += packMessage(file, 2, [&](mvcrash_async_file_t* f) { return writeProcessor(f, w->machine_info.cpu_type, w->machine_info.cpu_subtype); });
    n += packU32(file, 3, w->machine_info.processor_count);
    n += packU32(file, 4, w->machine_info.logical_processor_count);
    return n;
}

std::size_t writeAppInfo(mvcrash_async_file_t* file, const mvcrash_log_writer_t* w)
{
    return packBytes(file, 1, w->application_info.app_identifier) + packBytes(file, 2, w->application_info.app_version)
        + packBytes(file, 3, w->application_info.app_marketing_version);
}

std::size_t writeProcessInfo(mvcrash_async_file_t* file, const mvcrash_log_writer_t* w)
{
    const auto& p = w->process_info;
    return packBytes(file, 1, p.process_name) + packU32(file, 2, p.process_id) + packBytes(file, 3, p.process_path)
        + packBytes(file, 4, p.parent_process_name) + packU32(file, 5, p.parent_process_id) + packBool(file, 6, p.native)
        + packU64(file, 7, p.start_time);
}

struct SymbolResult {
    bool found = false;
    std::uint64_t start = 0;
    char name[256];
};

void storeSymbol(std::uint64_t address, const char* name, void* context)
{
    auto* result = static_cast<SymbolResult*>(context);
    result->found = true;
    result->start = address;
    std::size_t i = 0;
    for (; name[i] && i < sizeof result->name - 1; ++i)
        result->name[i] = name[i];
    result->name[i] = 0;
}

struct FrameContext {
    const mvcrash_log_writer_t* writer;
    mvcrash_async_image_list_t* images;
    mvcrash_async_symbol_cache_t* cache;
};

// One StackFrame body: the pc, then its symbol when the strategy asks for one and it is found.
// `lookup` is the address the frame's code is looked up at (pc - 1 for callers).
std::size_t writeFrame(mvcrash_async_file_t* file, const FrameContext& ctx, std::uint64_t pc, std::uint64_t lookup)
{
    std::size_t n = packU64(file, 3, pc);
    if (ctx.writer->symbol_strategy == 0 || !ctx.images)
        return n;
    SymbolResult symbol;
    mvcrash_async_image_list_set_reading(ctx.images, true);
    mvcrash_async_image_t image;
    if (mvcrash_async_image_containing_address(ctx.images, lookup, &image))
        mvcrash_async_find_symbol(&image.elf, static_cast<std::uint32_t>(ctx.writer->symbol_strategy), ctx.cache, lookup, storeSymbol, &symbol);
    mvcrash_async_image_list_set_reading(ctx.images, false);
    if (symbol.found) {
        n += packMessage(file, 6, [&](mvcrash_async_file_t* f) { return packString(f, 1, symbol.name) + packU64(f, 2, symbol.start); });
    }
    return n;
}

// One Thread body with at most `max_frames` frames; `walked` receives how many frames the walk
// could give (up to the writer's cap) and `cumulative[k]`, when given, the body's size with k
// frames, so that one dry run tells what any cut would cost.
std::size_t writeThread(mvcrash_async_file_t* file, const FrameContext& ctx, std::uint32_t number, bool crashed, const mvcrash_async_thread_state_t* state, std::uint32_t max_frames, std::uint32_t* walked, std::uint32_t* cumulative = nullptr)
{
    std::size_t n = packU32(file, 1, number) + packBool(file, 3, crashed);
    std::uint32_t count = 0;
    if (cumulative)
        cumulative[0] = static_cast<std::uint32_t>(n);
    if (state) {
        plframe_cursor_t cursor;
        if (plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, state, ctx.images) == PLFRAME_RESULT_OK) {
            plframe_stackframe_t previous {};
            bool first = true;
            while (count < MVCRASH_WRITER_MAX_FRAMES && plframe_cursor_next(&cursor) == PLFRAME_RESULT_OK) {
                if (first && crashed) {
                    const std::size_t registers = plframe_cursor_get_regcount(&cursor);
                    for (std::size_t r = 0; r < registers; ++r) {
                        std::uint64_t value = 0;
                        if (plframe_cursor_get_reg(&cursor, static_cast<int>(r), &value) != PLFRAME_RESULT_OK)
                            value = 0;
                        const char* name = plframe_cursor_get_regname(&cursor, static_cast<int>(r));
                        n += packMessage(file, 4, [&](mvcrash_async_file_t* f) { return packString(f, 1, name) + packU64(f, 2, value); });
                    }
                    if (cumulative)
                        cumulative[0] = static_cast<std::uint32_t>(n);
                }
                std::uint64_t pc = 0;
                if (plframe_cursor_get_reg(&cursor, MVCRASH_REG_IP, &pc) != PLFRAME_RESULT_OK)
                    break;
                const std::uint64_t lookup = plframe_lookup_address(&cursor.frame, first ? nullptr : &previous);
                if (count < max_frames)
                    n += packMessage(file, 2, [&](mvcrash_async_file_t* f) { return writeFrame(f, ctx, pc, lookup); });
                if (cumulative)
                    cumulative[count + 1] = static_cast<std::uint32_t>(n);
                previous = cursor.frame;
                first = false;
                ++count;
            }
            plframe_cursor_free(&cursor);
        }
    }
    if (walked)
        *walked = count;
    return n;
}

std::size_t writeImage(mvcrash_async_file_t* file, const mvcrash_async_elf_t* image)
{
    std::size_t n = packU64(file, 2, image->text_size) + packU64(file, 1, image->header) + packString(file, 3, image->name);
    if (image->build_id_length) {
        plprotobuf_cbinary_data_t uuid { image->build_id_length, const_cast<std::uint8_t*>(image->build_id) };
        n += packBytes(file, 4, uuid);
    }
    n += packMessage(file, 5, [&](mvcrash_async_file_t* f) { return writeProcessor(f, mvcrash_async_elf_cpu_type(image), mvcrash_async_elf_cpu_subtype(image)); });
    return n;
}

std::size_t writeException(mvcrash_async_file_t* file, const FrameContext& ctx, std::size_t max_frames, std::uint32_t* cumulative = nullptr)
{
    const auto& e = ctx.writer->uncaught_exception;
    std::size_t n = packString(file, 1, e.name) + packString(file, 2, e.reason);
    const std::size_t count = e.callstack_count < max_frames ? e.callstack_count : max_frames;
    if (cumulative)
        cumulative[0] = static_cast<std::uint32_t>(n);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t pc = e.callstack[i];
        n += packMessage(file, 3, [&](mvcrash_async_file_t* f) { return writeFrame(f, ctx, pc, pc > 0 ? pc - 1 : pc); });
        if (cumulative)
            cumulative[i + 1] = static_cast<std::uint32_t>(n);
    }
    return n;
}

// The size of a nested message field whose body has `body` bytes.
std::size_t messageSize(std::uint32_t field, std::size_t body)
{
    const std::uint32_t length = static_cast<std::uint32_t>(body);
    return mvcrash_writer_pack(nullptr, field, PROTOBUF_C_TYPE_MESSAGE, &length) + body;
}

// Where the loaded images lie, recorded once per report (too large for a signal stack).
mvcrash_async_image_snapshot_t g_imageSnapshot;

std::size_t writeSignal(mvcrash_async_file_t* file, const mvcrash_log_signal_info_t* siginfo)
{
    const mvcrash_log_bsd_signal_info_t empty {};
    const mvcrash_log_bsd_signal_info_t* bsd = siginfo && siginfo->bsd_info ? siginfo->bsd_info : &empty;
    char number[10];
    const char* name = mvcrash_async_signal_signame(bsd->signo);
    char nameText[10];
    if (!name) {
        nameText[0] = '#';
        mvcrash_async_format_int(nameText + 1, sizeof nameText - 1, bsd->signo);
        name = nameText;
    }
    const char* code = mvcrash_async_signal_sigcode(bsd->signo, bsd->code);
    if (!code) {
        number[0] = '#';
        mvcrash_async_format_int(number + 1, sizeof number - 1, bsd->code);
        code = number;
    }
    std::size_t n = packString(file, 1, name) + packString(file, 2, code) + packU64(file, 3, bsd->address);
    if (siginfo && siginfo->mach_info) {
        const auto* mach = siginfo->mach_info;
        n += packMessage(file, 4, [&](mvcrash_async_file_t* f) {
            std::size_t m = packU64(f, 1, static_cast<std::uint64_t>(static_cast<std::int64_t>(mach->type)));
            for (std::uint32_t i = 0; i < mach->code_count; ++i)
                m += packU64(f, 2, mach->code[i]);
            return m;
        });
    }
    return n;
}

void copyText(plprotobuf_cbinary_data_t* out, const std::string& text)
{
    plprotobuf_cbinary_data_bytes_init(out, text.data(), text.size());
}

} // namespace

mvcrash_error_t mvcrash_log_writer_init(mvcrash_log_writer_t* writer, const std::string& app_identifier, const std::string& app_version, const std::string* app_marketing_version, std::int32_t symbol_strategy, bool user_requested)
{
    *writer = mvcrash_log_writer_t {};
    writer->symbol_strategy = symbol_strategy;
    writer->report_info.user_requested = user_requested;
    const auto uuid = foundation::UUID::random().bytes();
    std::memcpy(writer->report_info.uuid, uuid.data(), 16);

    copyText(&writer->application_info.app_identifier, app_identifier);
    copyText(&writer->application_info.app_version, app_version);
    copyText(&writer->application_info.app_marketing_version, app_marketing_version ? *app_marketing_version : std::string());

    const auto self = sys::processFacts(::getpid());
    if (!self)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    writer->process_info.process_id = static_cast<std::uint32_t>(self->pid);
    copyText(&writer->process_info.process_name, self->name);
    writer->process_info.start_time = static_cast<std::uint64_t>(self->startSeconds);
    sys::prepareLoadedImages();
    const char* path = sys::executablePath();
    // The stored path keeps its terminating zero, as readers of this format expect.
    plprotobuf_cbinary_data_bytes_init(&writer->process_info.process_path, path, std::strlen(path) + (*path ? 1 : 0));
    writer->process_info.parent_process_id = static_cast<std::uint32_t>(self->parentPid);
    const auto parent = sys::processFacts(self->parentPid);
    copyText(&writer->process_info.parent_process_name, parent ? parent->name : std::string());
    writer->process_info.native = true;

    // The machine's model as the device description gives it.
    const auto hardware = sys::hardwareFacts();
    const std::string model = sys::DeviceFacts::model().value_or(std::string());
    if (!model.empty())
        copyText(&writer->machine_info.model, model);
    writer->machine_info.cpu_type = MVCRASH_CPU_TYPE_X86_64;
    writer->machine_info.cpu_subtype = 3;
    writer->machine_info.processor_count = hardware.physicalProcessors;
    writer->machine_info.logical_processor_count = hardware.logicalProcessors;

    const auto version = sys::DeviceFacts::operatingSystemVersion();
    char text[64];
    if (version.patch > 0)
        std::snprintf(text, sizeof text, "%ld.%ld.%ld", version.major, version.minor, version.patch);
    else
        std::snprintf(text, sizeof text, "%ld.%ld", version.major, version.minor);
    copyText(&writer->system_info.version, text);
    copyText(&writer->system_info.build, sys::DeviceFacts::operatingSystemBuild().value_or(std::string()));
    copyText(&writer->system_info.name, sys::DeviceFacts::operatingSystemName());
    return MVCRASH_ERR_NONE;
}

void mvcrash_log_writer_set_exception(mvcrash_log_writer_t* writer, const std::string& name, const std::string& reason, const std::uint64_t* callstack, std::size_t count)
{
    if (writer->uncaught_exception.has_exception)
        std::abort(); // recorded once, by a caller that guards against a second exception
    auto& e = writer->uncaught_exception;
    e.has_exception = true;
    e.name = ::strdup(name.c_str());
    e.reason = ::strdup(reason.c_str());
    if (callstack && count) {
        e.callstack = static_cast<std::uint64_t*>(std::malloc(count * sizeof(std::uint64_t)));
        if (e.callstack) {
            std::memcpy(e.callstack, callstack, count * sizeof(std::uint64_t));
            e.callstack_count = count;
        }
    }
}

void mvcrash_log_writer_set_custom_data(mvcrash_log_writer_t* writer, const void* data, std::size_t length, bool present)
{
    if (writer->custom_data.has)
        plprotobuf_cbinary_data_free(&writer->custom_data.data);
    writer->custom_data.has = false;
    if (!present)
        return;
    plprotobuf_cbinary_data_bytes_init(&writer->custom_data.data, data, length);
    writer->custom_data.has = true;
}

mvcrash_error_t mvcrash_log_writer_write(mvcrash_log_writer_t* writer, sys::ThreadId crashed_thread, mvcrash_async_image_list_t* image_list, mvcrash_async_file_t* file, const mvcrash_log_signal_info_t* siginfo, const mvcrash_async_thread_state_t* current_state)
{
    // 1. Stop every other thread; each leaves its registers behind.
    sys::ThreadId threads[sys::kMaxSuspendedThreads];
    long listed = sys::listThreads(threads, sys::kMaxSuspendedThreads);
    std::size_t threadCount = listed > 0 ? static_cast<std::size_t>(listed) : 0;
    if (threadCount > sys::kMaxSuspendedThreads)
        threadCount = sys::kMaxSuspendedThreads;
    // The crashed thread is stopped with the others even when the listing did not reach it.
    if (crashed_thread > 0) {
        std::size_t at = 0;
        while (at < threadCount && threads[at] != crashed_thread)
            ++at;
        if (at == threadCount) {
            if (threadCount < sys::kMaxSuspendedThreads)
                ++threadCount;
            at = threadCount - 1;
            threads[at] = crashed_thread;
        }
    }
    const sys::ThreadId self = sys::currentThreadId();
    const bool suspended = threadCount > 0 && sys::suspendThreads(threads, threadCount, 1000);

    const bool ownSnapshot = image_list && !image_list->snapshot;
    if (ownSnapshot)
        mvcrash_async_image_list_take_snapshot(image_list, &g_imageSnapshot);
    mvcrash_async_symbol_cache_t cache;
    mvcrash_async_symbol_cache_init(&cache);
    const FrameContext ctx { writer, image_list, &cache };
    bool truncated = false;

    // 2. Header and the small required sections.
    mvcrash_async_file_write(file, "mvcrash", 7);
    const std::uint8_t version = 1;
    mvcrash_async_file_write(file, &version, 1);
    timespec now {};
    const std::int64_t timestamp = ::clock_gettime(CLOCK_REALTIME, &now) == 0 ? now.tv_sec : 0;
    packMessage(file, kReportInfo, [&](mvcrash_async_file_t* f) { return writeReportInfo(f, writer); });
    packMessage(file, kReportSystemInfo, [&](mvcrash_async_file_t* f) { return writeSystemInfo(f, writer, timestamp); });
    packMessage(file, kReportMachineInfo, [&](mvcrash_async_file_t* f) { return writeMachineInfo(f, writer); });
    packMessage(file, kReportAppInfo, [&](mvcrash_async_file_t* f) { return writeAppInfo(f, writer); });
    packMessage(file, kReportProcessInfo, [&](mvcrash_async_file_t* f) { return writeProcessInfo(f, writer); });

    // What must still fit at the end: the signal, one image and the truncation mark.
    const std::size_t signalSize = packMessage(nullptr, kReportSignal, [&](mvcrash_async_file_t* f) { return writeSignal(f, siginfo); });
    std::size_t imageReserve = 0;
    {
        mvcrash_async_image_t first {};
        if (image_list && mvcrash_async_image_list_next(image_list, &first))
            imageReserve = packMessage(nullptr, kReportImages, [&](mvcrash_async_file_t* f) { return writeImage(f, &first.elf); });
    }
    const std::size_t tailReserve = signalSize + imageReserve + 2;
    auto room = [&](std::size_t reserved) -> std::uint64_t {
        const std::uint64_t left = remainingBytes(file);
        return left > reserved ? left - reserved : 0;
    };

    // 3. Threads: the crashed one first, then the others in listing order. The crashed thread
    // is written whether or not the listing could be read or reached it (a process with more
    // threads than a suspension holds), and it is never the one left out for room.
    struct Plan {
        sys::ThreadId tid;
        bool crashed;
        bool walkable;
        mvcrash_async_thread_state_t state;
    };
    auto planFor = [&](sys::ThreadId tid, Plan* plan) -> bool {
        plan->tid = tid;
        plan->crashed = tid == crashed_thread;
        plan->walkable = false;
        if (tid == self) {
            if (current_state) {
                plan->state = *current_state;
                plan->walkable = true;
                return true;
            }
            // The writer's own thread is written only with a captured state, unless it is the
            // one that crashed: then it is listed without frames.
            return plan->crashed;
        }
        sys::MachineContext context;
        // A thread that did not leave its registers is listed without frames: walking a state we
        // do not have would only invent a stack.
        if (suspended && sys::suspendedThreadContext(tid, &context)) {
            mvcrash_async_thread_state_mcontext_init(&plan->state, &context);
            plan->walkable = true;
        }
        return true;
    };
    std::uint32_t cumulative[MVCRASH_WRITER_MAX_FRAMES + 1];
    std::uint32_t number = 0;
    auto writeOne = [&](const Plan& plan) {
        const mvcrash_async_thread_state_t* state = plan.walkable ? &plan.state : nullptr;
        const std::uint32_t thisNumber = number;
        std::uint32_t walked = 0;
        writeThread(nullptr, ctx, thisNumber, plan.crashed, state, MVCRASH_WRITER_MAX_FRAMES, &walked, cumulative);
        std::uint32_t frames = walked;
        if (plan.crashed) {
            // Never dropped: frames go from the far end of the stack until the thread fits.
            const std::uint64_t available = room(tailReserve);
            while (frames > 0 && messageSize(kReportThreads, cumulative[frames]) > available)
                --frames;
            truncated = truncated || frames < walked;
        } else if (messageSize(kReportThreads, cumulative[walked]) > room(tailReserve)) {
            truncated = true;
            return;
        }
        packMessage(file, kReportThreads, [&](mvcrash_async_file_t* f) { return writeThread(f, ctx, thisNumber, plan.crashed, state, frames, nullptr); });
        ++number;
    };
    {
        Plan plan;
        if (crashed_thread > 0 && planFor(crashed_thread, &plan))
            writeOne(plan);
    }
    for (std::size_t i = 0; i < threadCount; ++i) {
        Plan plan;
        if (threads[i] == crashed_thread || !planFor(threads[i], &plan))
            continue;
        writeOne(plan);
    }

    // 4. Binary images.
    if (image_list) {
        mvcrash_async_image_list_set_reading(image_list, true);
        mvcrash_async_image_t image {};
        while (mvcrash_async_image_list_next(image_list, &image)) {
            const std::size_t size = packMessage(nullptr, kReportImages, [&](mvcrash_async_file_t* f) { return writeImage(f, &image.elf); });
            if (size > room(signalSize + 2)) {
                truncated = true;
                continue;
            }
            packMessage(file, kReportImages, [&](mvcrash_async_file_t* f) { return writeImage(f, &image.elf); });
        }
        mvcrash_async_image_list_set_reading(image_list, false);
    }

    // 5. The uncaught exception, losing frames before it is left out.
    if (writer->uncaught_exception.has_exception) {
        const std::size_t all = writer->uncaught_exception.callstack_count < MVCRASH_WRITER_MAX_FRAMES ? writer->uncaught_exception.callstack_count : MVCRASH_WRITER_MAX_FRAMES;
        writeException(nullptr, ctx, all, cumulative);
        std::size_t frames = all;
        const std::uint64_t available = room(signalSize + 2);
        while (frames > 0 && messageSize(kReportException, cumulative[frames]) > available)
            --frames;
        truncated = truncated || frames < all;
        if (messageSize(kReportException, cumulative[frames]) <= available)
            packMessage(file, kReportException, [&](mvcrash_async_file_t* f) { return writeException(f, ctx, frames); });
        else
            truncated = true;
    }

    // 6. The signal, then custom data when it fits.
    packMessage(file, kReportSignal, [&](mvcrash_async_file_t* f) { return writeSignal(f, siginfo); });
    if (writer->custom_data.has) {
        if (packBytes(nullptr, kReportCustomData, writer->custom_data.data) <= room(2))
            packBytes(file, kReportCustomData, writer->custom_data.data);
        else
            truncated = true;
    }
    if (truncated)
        packBool(file, kReportTruncated, true);

    mvcrash_async_symbol_cache_free(&cache);
    if (ownSnapshot)
        mvcrash_async_image_list_drop_snapshot(image_list);
    if (suspended)
        sys::resumeThreads();
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t mvcrash_log_writer_close(mvcrash_log_writer_t*)
{
    return MVCRASH_ERR_NONE;
}

void mvcrash_log_writer_free(mvcrash_log_writer_t* writer)
{
    plprotobuf_cbinary_data_free(&writer->system_info.version);
    plprotobuf_cbinary_data_free(&writer->system_info.build);
    plprotobuf_cbinary_data_free(&writer->system_info.name);
    plprotobuf_cbinary_data_free(&writer->machine_info.model);
    plprotobuf_cbinary_data_free(&writer->application_info.app_identifier);
    plprotobuf_cbinary_data_free(&writer->application_info.app_version);
    plprotobuf_cbinary_data_free(&writer->application_info.app_marketing_version);
    plprotobuf_cbinary_data_free(&writer->process_info.process_name);
    plprotobuf_cbinary_data_free(&writer->process_info.process_path);
    plprotobuf_cbinary_data_free(&writer->process_info.parent_process_name);
    if (writer->uncaught_exception.has_exception) {
        std::free(writer->uncaught_exception.name);
        std::free(writer->uncaught_exception.reason);
        std::free(writer->uncaught_exception.callstack);
    }
    if (writer->custom_data.has)
        plprotobuf_cbinary_data_free(&writer->custom_data.data);
    *writer = mvcrash_log_writer_t {};
}
