#pragma once
// The crash report writer. Everything that needs the heap or the file system (identity, process,
// machine and system facts, the report's UUID) is gathered into a plain record ahead of any
// crash; at crash time mvcrash_log_writer_write stops the other threads, walks every stack, lists
// the loaded images and streams the report through the field encoder, async-signal-safe.
//
// The report stays decodable under the file's output limit: each message is sized before it is
// written and left out whole when it would not fit (threads and images are dropped whole, the
// crashed thread loses frames from its far end rather than going missing), room for the signal
// and for one image is kept to the end, and a report cut this way says so.

#include <cstdint>
#include <string>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "MovaraAppKit/CrashReporter/MVCrashImage.h"
#include "MovaraAppKit/CrashReporter/MVCrashThreadState.h"
#include "MovaraAppKit/CrashReporter/MVCrashWriterPack.h"
#include "Platform/System/Threads.h"

constexpr std::uint32_t MVCRASH_WRITER_MAX_FRAMES = 512;

struct mvcrash_log_writer_t {
    std::int32_t symbol_strategy = 0;
    struct {
        bool user_requested = false;
        std::uint8_t uuid[16] = {};
    } report_info;
    struct {
        plprotobuf_cbinary_data_t version;
        plprotobuf_cbinary_data_t build;
        plprotobuf_cbinary_data_t name;
    } system_info;
    struct {
        plprotobuf_cbinary_data_t model;
        std::uint64_t cpu_type = 0;
        std::uint64_t cpu_subtype = 0;
        std::uint32_t processor_count = 0;
        std::uint32_t logical_processor_count = 0;
    } machine_info;
    struct {
        plprotobuf_cbinary_data_t app_identifier;
        plprotobuf_cbinary_data_t app_version;
        plprotobuf_cbinary_data_t app_marketing_version;
    } application_info;
    struct {
        plprotobuf_cbinary_data_t process_name;
        std::uint32_t process_id = 0;
        plprotobuf_cbinary_data_t process_path; // its length counts the terminating zero
        std::uint64_t start_time = 0;
        plprotobuf_cbinary_data_t parent_process_name;
        std::uint32_t parent_process_id = 0;
        bool native = true;
    } process_info;
    struct {
        bool has_exception = false;
        char* name = nullptr;
        char* reason = nullptr;
        std::size_t callstack_count = 0;
        std::uint64_t* callstack = nullptr;
    } uncaught_exception;
    struct {
        bool has = false;
        plprotobuf_cbinary_data_t data;
    } custom_data;
};

mvcrash_error_t mvcrash_log_writer_init(mvcrash_log_writer_t* writer, const std::string& app_identifier, const std::string& app_version, const std::string* app_marketing_version, std::int32_t symbol_strategy, bool user_requested);
// Records an uncaught exception (name, reason, return addresses). At most once per writer.
void mvcrash_log_writer_set_exception(mvcrash_log_writer_t* writer, const std::string& name, const std::string& reason, const std::uint64_t* callstack, std::size_t count);
// Keeps a copy of `data` (an empty one counts as set); null removes the custom data.
void mvcrash_log_writer_set_custom_data(mvcrash_log_writer_t* writer, const void* data, std::size_t length, bool present);

// Writes one complete report. `crashed_thread` is the thread that crashed (0: none); it is
// written first, always, even when the process's threads cannot be listed. `current_state` the
// registers of the calling thread (or null, and then the calling thread is not written unless it
// is the crashed one, which is then written without frames).
mvcrash_error_t mvcrash_log_writer_write(mvcrash_log_writer_t* writer, sys::ThreadId crashed_thread, mvcrash_async_image_list_t* image_list, mvcrash_async_file_t* file, const mvcrash_log_signal_info_t* siginfo, const mvcrash_async_thread_state_t* current_state);
mvcrash_error_t mvcrash_log_writer_close(mvcrash_log_writer_t* writer);
void mvcrash_log_writer_free(mvcrash_log_writer_t* writer);
