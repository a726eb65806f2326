#pragma once
// The loaded images of this process as the crash layer sees them: one ELF image description per
// image (its text range, its unwind tables through PT_GNU_EH_FRAME, its build-id, its dynamic
// symbols), read in place with bounds-checked reads, and the image list walked from the dynamic
// loader's own list. Async-signal-safe: descriptions are plain records filled on the caller's
// stack.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "MovaraAppKit/CrashReporter/MVCrashMemoryObject.h"
#include "Platform/System/LoadedImages.h"

struct mvcrash_async_elf_t {
    mvcrash_task_t task = 0;
    std::uint64_t header = 0;       // address of the ELF header
    std::uint64_t bias = 0;         // load bias
    std::uint64_t text_size = 0;    // header .. end of the last executable segment
    std::uint64_t image_end = 0;    // end of the last loaded segment
    std::uint16_t machine = 0;      // e_machine
    bool is64 = true;
    char name[1024] = {};           // the image's path ("" when unknown), cut to fit
    // Unwind tables.
    std::uint64_t eh_frame_hdr = 0, eh_frame_hdr_size = 0;
    std::uint64_t eh_frame = 0, eh_frame_size = 0;
    // How many bytes of the pages under eh_frame could be read when the image list's snapshot
    // was taken (0: not known, read them again). Every frame of every thread walks through
    // these tables: checking a large library's pages for each one is what made a report of a
    // process with hundreds of threads take minutes.
    std::uint64_t eh_frame_readable = 0;
    // Build-id (the image's UUID), up to 32 bytes.
    std::uint8_t build_id[32] = {};
    std::uint32_t build_id_length = 0;
    // Dynamic symbol table.
    std::uint64_t symtab = 0, strtab = 0, strsz = 0, symcount = 0;
};

// Describes the image whose ELF header is at `header`. MVCRASH_ERR_INVALID_ARGUMENT when the
// header or its program headers are not a 64-bit little-endian ELF image of this machine.
mvcrash_error_t mvcrash_async_elf_init(mvcrash_async_elf_t* image, mvcrash_task_t task, std::uint64_t header, std::uint64_t bias, std::uint64_t name_address);
bool mvcrash_async_elf_contains_address(const mvcrash_async_elf_t* image, std::uint64_t address);
// The report's processor type and subtype of the image (Mach numbering).
std::uint32_t mvcrash_async_elf_cpu_type(const mvcrash_async_elf_t* image);
std::uint32_t mvcrash_async_elf_cpu_subtype(const mvcrash_async_elf_t* image);

// Finds the exported function that holds `address` (its start and name, the name copied into
// `name` of `capacity` bytes). MVCRASH_ERR_NOT_FOUND when no dynamic symbol covers it.
mvcrash_error_t mvcrash_async_elf_find_symbol_by_pc(const mvcrash_async_elf_t* image, std::uint64_t address, std::uint64_t* start, char* name, std::size_t capacity);
// The address of the dynamic symbol with this exact name.
mvcrash_error_t mvcrash_async_elf_find_symbol_by_name(const mvcrash_async_elf_t* image, const char* symbol, std::uint64_t* address);

// The process's image list. The loader keeps its list current itself; readers bracket every walk
// with set_reading so that a count of active readers is visible to anyone who needs it.
// Where each loaded image lies, taken once so that the many lookups of one report need not walk
// the loader's list and read every image's headers again. Plain storage owned by the caller
// (static, for a crash handler: it is too large for a signal stack).
struct mvcrash_async_image_snapshot_t {
    struct entry {
        std::uint64_t header, bias, text_size, name_address, eh_frame_readable;
    };
    static constexpr std::uint32_t capacity = 1024;
    std::uint32_t count = 0;
    entry entries[capacity];
};

struct mvcrash_async_image_list_t {
    mvcrash_task_t task = 0;
    int readers = 0;
    const mvcrash_async_image_snapshot_t* snapshot = nullptr;
};

struct mvcrash_async_image_t {
    mvcrash_async_elf_t elf;
    sys::LoadedImage loaded;      // position in the loader's list
    unsigned steps = 0;
};

void mvcrash_nasync_image_list_init(mvcrash_async_image_list_t* list, mvcrash_task_t task);
void mvcrash_nasync_image_list_free(mvcrash_async_image_list_t* list);
void mvcrash_async_image_list_set_reading(mvcrash_async_image_list_t* list, bool reading);
// First image when `image` is fresh (zero-initialised), else the one after it; false at the end.
bool mvcrash_async_image_list_next(mvcrash_async_image_list_t* list, mvcrash_async_image_t* image);
bool mvcrash_async_image_containing_address(mvcrash_async_image_list_t* list, std::uint64_t address, mvcrash_async_image_t* image);

// Records where every image lies and makes the list's lookups use that record until it is
// dropped. A process with more images than the record holds keeps the live walk.
void mvcrash_async_image_list_take_snapshot(mvcrash_async_image_list_t* list, mvcrash_async_image_snapshot_t* snapshot);
void mvcrash_async_image_list_drop_snapshot(mvcrash_async_image_list_t* list);
