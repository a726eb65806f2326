#pragma once
// Reader of one loaded image in the desktop platform's format (Mach-O), read in place without
// trusting any of its bytes: load commands, segments, sections, the symbol and string tables.
// This system's own images are ELF (MVCrashImage.h); this reader serves images and tables of that
// platform's format. Everything is crash-safe except the two nasync functions, which allocate.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "MovaraAppKit/CrashReporter/MVCrashMemoryObject.h"

constexpr std::uint32_t MVCRASH_MH_MAGIC = 0xFEEDFACE;
constexpr std::uint32_t MVCRASH_MH_MAGIC_64 = 0xFEEDFACF;
constexpr std::uint32_t MVCRASH_LC_SEGMENT = 0x1;
constexpr std::uint32_t MVCRASH_LC_SYMTAB = 0x2;
constexpr std::uint32_t MVCRASH_LC_DYSYMTAB = 0xB;
constexpr std::uint32_t MVCRASH_LC_SEGMENT_64 = 0x19;
constexpr std::uint32_t MVCRASH_LC_UUID = 0x1B;

struct mvcrash_macho_header_t {
    std::uint32_t magic, cputype, cpusubtype, filetype, ncmds, sizeofcmds, flags;
};

struct mvcrash_async_macho_t {
    mvcrash_task_t task = 0;
    std::uint64_t header_addr = 0;
    std::int64_t vmaddr_slide = 0;
    char* name = nullptr;
    mvcrash_macho_header_t header {};
    std::uint32_t header_size = 0;
    std::uint32_t ncmds = 0;
    mvcrash_async_mobject_t load_cmds;
    std::uint64_t text_vmaddr = 0;
    std::uint64_t text_size = 0;
    bool m64 = false;
    const mvcrash_async_byteorder_t* byteorder = nullptr;
};

struct mvcrash_async_macho_mapped_segment_t {
    mvcrash_async_mobject_t mobj;
    std::uint64_t fileoff = 0;
    std::uint64_t filesize = 0;
};

struct mvcrash_async_macho_symtab_entry_t {
    std::uint32_t n_strx = 0;
    std::uint8_t n_type = 0;
    std::uint8_t n_sect = 0;
    std::uint16_t n_desc = 0;
    std::uint64_t n_value = 0;
    std::uint64_t normalized_value = 0;
};

struct mvcrash_async_macho_symtab_reader_t {
    const mvcrash_async_macho_t* image = nullptr;
    mvcrash_async_macho_mapped_segment_t linkedit;
    const std::uint8_t* symtab = nullptr;
    std::uint32_t nsyms = 0;
    const std::uint8_t* symtab_global = nullptr;
    std::uint32_t nsyms_global = 0;
    const std::uint8_t* symtab_local = nullptr;
    std::uint32_t nsyms_local = 0;
    const char* string_table = nullptr;
    std::uint32_t string_table_size = 0;
};

mvcrash_error_t mvcrash_nasync_macho_init(mvcrash_async_macho_t* image, mvcrash_task_t task, const char* name, std::uint64_t header_addr);
void mvcrash_nasync_macho_free(mvcrash_async_macho_t* image);

const mvcrash_async_byteorder_t* mvcrash_async_macho_byteorder(const mvcrash_async_macho_t* image);
std::uint32_t mvcrash_async_macho_cpu_type(const mvcrash_async_macho_t* image);
std::uint32_t mvcrash_async_macho_cpu_subtype(const mvcrash_async_macho_t* image);
bool mvcrash_async_macho_contains_address(const mvcrash_async_macho_t* image, std::uint64_t address);

// Load commands are returned only when they lie wholly inside the load-command mapping.
const void* mvcrash_async_macho_next_command(const mvcrash_async_macho_t* image, const void* previous);
const void* mvcrash_async_macho_next_command_type(const mvcrash_async_macho_t* image, const void* previous, std::uint32_t type);
const void* mvcrash_async_macho_find_command(const mvcrash_async_macho_t* image, std::uint32_t type);
const void* mvcrash_async_macho_find_segment_cmd(const mvcrash_async_macho_t* image, const char* segname);

mvcrash_error_t mvcrash_async_macho_map_segment(const mvcrash_async_macho_t* image, const char* segname, mvcrash_async_macho_mapped_segment_t* segment);
void mvcrash_async_macho_mapped_segment_free(mvcrash_async_macho_mapped_segment_t* segment);
mvcrash_error_t mvcrash_async_macho_map_section(const mvcrash_async_macho_t* image, const char* segname, const char* sectname, mvcrash_async_mobject_t* mobj);

mvcrash_error_t mvcrash_async_macho_symtab_reader_init(mvcrash_async_macho_symtab_reader_t* reader, const mvcrash_async_macho_t* image);
void mvcrash_async_macho_symtab_reader_free(mvcrash_async_macho_symtab_reader_t* reader);
mvcrash_async_macho_symtab_entry_t mvcrash_async_macho_symtab_reader_read(const mvcrash_async_macho_symtab_reader_t* reader, const std::uint8_t* table, std::uint32_t index);
const char* mvcrash_async_macho_symtab_reader_symbol_name(const mvcrash_async_macho_symtab_reader_t* reader, std::uint32_t string_index);

using mvcrash_async_macho_found_symbol_cb = void (*)(std::uint64_t address, const char* name, void* context);
mvcrash_error_t mvcrash_async_macho_find_symbol_by_pc(const mvcrash_async_macho_t* image, std::uint64_t pc, mvcrash_async_macho_found_symbol_cb callback, void* context);
mvcrash_error_t mvcrash_async_macho_find_symbol_by_name(const mvcrash_async_macho_t* image, const char* symbol, std::uint64_t* address);
