#pragma once
// Naming crash frames: the nearest symbol of the image that holds an address, by the lookups the
// symbolication strategy asks for. Async-signal-safe.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashImage.h"

enum : std::uint32_t {
    MVCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0,
    MVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1 << 0,
    MVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 1 << 1,
};

// Per-report lookup state. The images here are ELF and have no class metadata, so the cache
// holds nothing yet; it keeps the writer's calls in the shape a metadata lookup needs.
struct mvcrash_async_symbol_cache_t {
    int unused = 0;
};

mvcrash_error_t mvcrash_async_symbol_cache_init(mvcrash_async_symbol_cache_t* cache);
void mvcrash_async_symbol_cache_free(mvcrash_async_symbol_cache_t* cache);

using mvcrash_async_found_symbol_cb = void (*)(std::uint64_t address, const char* name, void* context);

// Finds the symbol for `address` in `image`; calls `callback` with its start and name (at most
// 255 characters).
mvcrash_error_t mvcrash_async_find_symbol(const mvcrash_async_elf_t* image, std::uint32_t strategy, mvcrash_async_symbol_cache_t* cache, std::uint64_t address, mvcrash_async_found_symbol_cb callback, void* context);
