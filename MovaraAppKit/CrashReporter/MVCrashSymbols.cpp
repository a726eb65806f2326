#include "MovaraAppKit/CrashReporter/MVCrashSymbols.h"

mvcrash_error_t mvcrash_async_symbol_cache_init(mvcrash_async_symbol_cache_t* cache)
{
    cache->unused = 0;
    return MVCRASH_ERR_NONE;
}

void mvcrash_async_symbol_cache_free(mvcrash_async_symbol_cache_t*) { }

mvcrash_error_t mvcrash_async_find_symbol(const mvcrash_async_elf_t* image, std::uint32_t strategy, mvcrash_async_symbol_cache_t* cache, std::uint64_t address, mvcrash_async_found_symbol_cb callback, void* context)
{
    (void)cache;
    char name[256];
    std::uint64_t start = 0;
    bool found = false;
    if (strategy & MVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE)
        found = mvcrash_async_elf_find_symbol_by_pc(image, address, &start, name, sizeof name) == MVCRASH_ERR_NONE;
    // Class metadata exists only in the desktop platform's images; an ELF image has none.
    if (!found)
        return MVCRASH_ERR_NOT_FOUND;
    callback(start, name, context);
    return MVCRASH_ERR_NONE;
}
