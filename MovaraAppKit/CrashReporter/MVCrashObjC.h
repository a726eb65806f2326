#pragma once
// The class metadata of the desktop platform's images: when an image's symbol table names
// nothing near a crash address (a stripped image), the method whose implementation holds it can
// still name the frame. The walk reads the metadata in place (the current layout from the class
// and category lists, 64-bit and 32-bit, and the legacy layout of 32-bit images) through the
// bounds-checked mappings of the Mach-O reader and task reads that never fault. Crash-time code;
// its one allocation is a page-allocated class-data cache, never the heap.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashMachO.h"

struct mvcrash_async_objc_cache_t {
    bool got_current_layout = false;
    const mvcrash_async_macho_t* image = nullptr;
    mvcrash_async_mobject_t objc_const, objc_const_ax, classlist, catlist, objc_data, data;
    bool const_ax_mapped = false, data_mapped = false, mapped = false;
    std::uint64_t class_cache_capacity = 0;
    std::uint64_t* class_cache_keys = nullptr;
    std::uint64_t* class_cache_values = nullptr;
};

mvcrash_error_t mvcrash_async_objc_cache_init(mvcrash_async_objc_cache_t* cache);
void mvcrash_async_objc_cache_free(mvcrash_async_objc_cache_t* cache);

// Called for every method: class method or not, class and method names, implementation address.
using mvcrash_async_objc_found_method_cb = void (*)(bool is_class_method, const char* class_name, const char* method_name, std::uint64_t imp, void* context);

mvcrash_error_t mvcrash_async_objc_parse(const mvcrash_async_macho_t* image, mvcrash_async_objc_cache_t* cache, mvcrash_async_objc_found_method_cb callback, void* context);
// The method with the highest implementation address not above `address`.
mvcrash_error_t mvcrash_async_objc_find_method(const mvcrash_async_macho_t* image, mvcrash_async_objc_cache_t* cache, std::uint64_t address, mvcrash_async_objc_found_method_cb callback, void* context);

// Names a frame from the symbol table (strategy bit 0) and the class metadata (bit 1): the nearer
// start wins, the class metadata on a tie. Names are at most 255 characters.
mvcrash_error_t mvcrash_async_macho_find_symbol(const mvcrash_async_macho_t* image, std::uint32_t strategy, mvcrash_async_objc_cache_t* cache, std::uint64_t address, mvcrash_async_macho_found_symbol_cb callback, void* context);
