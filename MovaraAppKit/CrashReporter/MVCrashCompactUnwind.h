#pragma once
// The compact unwind table of the desktop platform's images (__TEXT,__unwind_info): finding the
// 32-bit encoding that covers a code address, decoding it into a frame description, and applying
// that to a thread state to get the caller's. No image of this process carries such a table (they
// are ELF), but reports and images of the platform's format are read with it. Crash-time code:
// every table is checked to lie inside the section before it is read.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "MovaraAppKit/CrashReporter/MVCrashMemoryObject.h"
#include "MovaraAppKit/CrashReporter/MVCrashThreadState.h"

constexpr std::uint32_t MVCRASH_CFE_NO_REGISTER = 0x7FFFFFFF;
constexpr std::uint32_t MVCRASH_CFE_MAX_REGISTERS = 10;

enum mvcrash_async_cfe_entry_type : std::uint32_t {
    MVCRASH_CFE_FRAME_POINTER = 1,
    MVCRASH_CFE_FRAMELESS_IMMEDIATE = 2,
    MVCRASH_CFE_FRAMELESS_INDIRECT = 3,
    MVCRASH_CFE_DWARF = 4,
    MVCRASH_CFE_NONE = 5,
};

struct mvcrash_async_cfe_reader_t {
    const mvcrash_async_mobject_t* mobj = nullptr;
    std::uint32_t cpu_type = 0;
    std::uint32_t header[7] = {};
    const mvcrash_async_byteorder_t* byteorder = nullptr;
};

struct mvcrash_async_cfe_entry_t {
    std::uint32_t type = MVCRASH_CFE_NONE;
    std::uint32_t cpu_type = 0;
    std::int64_t stack_offset = 0;
    std::uint32_t stack_adjust = 0;
    std::uint32_t return_address_register = MVCRASH_CFE_NO_REGISTER;
    std::uint32_t register_count = 0;
    std::uint32_t register_list[MVCRASH_CFE_MAX_REGISTERS] = {};
};

mvcrash_error_t mvcrash_async_cfe_reader_init(mvcrash_async_cfe_reader_t* reader, const mvcrash_async_mobject_t* mobj, std::uint32_t cpu_type);
mvcrash_error_t mvcrash_async_cfe_reader_find_pc(const mvcrash_async_cfe_reader_t* reader, std::uint64_t pc, std::uint64_t* function_base, std::uint32_t* encoding);
void mvcrash_async_cfe_reader_free(mvcrash_async_cfe_reader_t* reader);

mvcrash_error_t mvcrash_async_cfe_entry_init(mvcrash_async_cfe_entry_t* entry, std::uint32_t cpu_type, std::uint32_t encoding);
void mvcrash_async_cfe_entry_free(mvcrash_async_cfe_entry_t* entry);
mvcrash_error_t mvcrash_async_cfe_entry_apply(mvcrash_task_t task, std::uint64_t function_address, const mvcrash_async_thread_state_t* thread_state, const mvcrash_async_cfe_entry_t* entry, mvcrash_async_thread_state_t* new_thread_state);

mvcrash_error_t mvcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count, std::uint32_t* registers);
std::uint32_t mvcrash_async_cfe_register_encode(const std::uint32_t* registers, std::uint32_t count);
mvcrash_error_t mvcrash_async_map_register_name(std::uint32_t cfe_register, std::uint32_t* regnum, std::uint32_t cpu_type);
