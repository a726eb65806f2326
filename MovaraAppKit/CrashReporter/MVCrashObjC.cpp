#include "MovaraAppKit/CrashReporter/MVCrashObjC.h"

#include <sys/mman.h>

#include <initializer_list>

namespace {

constexpr std::uint64_t kCacheCapacity = 1024;
constexpr std::uint32_t kRealized = 1u << 31;
constexpr std::uint32_t kCopiedReadOnly = 0x08000000;

struct Walk {
    const mvcrash_async_macho_t* image;
    mvcrash_async_objc_cache_t* cache;
    mvcrash_async_objc_found_method_cb callback;
    void* context;
    std::uint32_t ptr; // pointer size: 8 or 4
};

std::uint64_t readPointer(const Walk& w, const std::uint8_t* p)
{
    return w.ptr == 8 ? mvcrash_async_load_uint64(w.image->byteorder, p) : mvcrash_async_load_uint32(w.image->byteorder, p);
}

std::uint32_t readU32(const Walk& w, const std::uint8_t* p)
{
    return mvcrash_async_load_uint32(w.image->byteorder, p);
}

// `length` bytes at `address`, from one of the mapped sections (first that holds them).
const std::uint8_t* inSection(const mvcrash_async_mobject_t* mobj, bool mapped, std::uint64_t address, std::uint64_t length)
{
    if (!mapped)
        return nullptr;
    return static_cast<const std::uint8_t*>(mvcrash_async_mobject_remap_address(mobj, address, 0, length));
}

// A task read into `buffer`; false when the memory is not there.
bool readTask(const Walk& w, std::uint64_t address, void* buffer, std::uint64_t length)
{
    return mvcrash_async_task_memcpy(w.image->task, address, 0, buffer, length) == MVCRASH_ERR_NONE;
}

// A terminated name from task memory, cut to the buffer.
bool readName(const Walk& w, std::uint64_t address, char* out, std::size_t capacity)
{
    std::size_t i = 0;
    for (; i + 1 < capacity; ++i) {
        char c;
        if (!readTask(w, address + i, &c, 1))
            return i > 0 && (out[i] = 0, true);
        if (c == 0)
            break;
        out[i] = c;
    }
    out[i] = 0;
    return address != 0;
}

mvcrash_error_t walkMethodList(const Walk& w, std::uint64_t listAddress, bool isClass, const char* className)
{
    const auto* c = w.cache;
    const mvcrash_async_mobject_t* owner = &c->objc_const;
    const std::uint8_t* header = inSection(&c->objc_const, true, listAddress, 8);
    if (!header) {
        owner = &c->objc_const_ax;
        header = inSection(&c->objc_const_ax, c->const_ax_mapped, listAddress, 8);
    }
    if (!header)
        return MVCRASH_ERR_INVALID_DATA;
    const std::uint32_t entsize = readU32(w, header) & ~3u;
    const std::uint32_t count = readU32(w, header + 4);
    if (entsize < 3 * w.ptr)
        return MVCRASH_ERR_INVALID_DATA;
    const std::uint8_t* entries = static_cast<const std::uint8_t*>(mvcrash_async_mobject_remap_address(owner, listAddress, 8, static_cast<std::uint64_t>(count) * entsize));
    if (!entries)
        return MVCRASH_ERR_INVALID_DATA;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = entries + static_cast<std::uint64_t>(i) * entsize;
        char method[256];
        if (!readName(w, readPointer(w, entry), method, sizeof method))
            return MVCRASH_ERR_INVALID_DATA;
        w.callback(isClass, className, method, readPointer(w, entry + 2 * w.ptr), w.context);
    }
    return MVCRASH_ERR_NONE;
}

// The class record at `address` (from __objc_data, else __data): its isa and data pointer.
mvcrash_error_t classRecord(const Walk& w, std::uint64_t address, bool allowTask, std::uint64_t* isa, std::uint64_t* data)
{
    const auto* c = w.cache;
    const std::uint64_t size = 5 * w.ptr;
    const std::uint8_t* record = inSection(&c->objc_data, true, address, size);
    if (!record)
        record = inSection(&c->data, c->data_mapped, address, size);
    std::uint8_t copy[40];
    if (!record && allowTask && readTask(w, address, copy, size))
        record = copy;
    if (!record)
        return MVCRASH_ERR_INVALID_DATA;
    *isa = readPointer(w, record);
    *data = readPointer(w, record + 4 * w.ptr);
    return MVCRASH_ERR_NONE;
}

// The class's name and base method list, from its read-only data.
mvcrash_error_t classData(const Walk& w, std::uint64_t dataPointer, char* name, std::size_t capacity, std::uint64_t* methods)
{
    auto* c = w.cache;
    const std::uint64_t masked = w.ptr == 8 ? (dataPointer & 0x7FFFFFFFFFF8ULL) : (dataPointer & ~7ULL);
    const std::uint64_t roSize = w.ptr == 8 ? 72 : 40;
    const std::uint64_t nameAt = w.ptr == 8 ? 24 : 16, methodsAt = w.ptr == 8 ? 32 : 20;
    std::uint64_t ro = 0;
    const std::uint64_t slot = (masked / 4) % (c->class_cache_capacity ? c->class_cache_capacity : 1);
    if (c->class_cache_capacity && c->class_cache_keys[slot] == masked && c->class_cache_values[slot] != 0) {
        ro = c->class_cache_values[slot];
    } else {
        std::uint8_t rw[16];
        if (!readTask(w, masked, rw, w.ptr == 8 ? 16 : 12))
            return MVCRASH_ERR_INVALID_DATA;
        const std::uint32_t flags = readU32(w, rw);
        if (!(flags & kRealized))
            return MVCRASH_ERR_NOT_FOUND;
        ro = readPointer(w, rw + 8);
        if (ro & 1) {
            std::uint8_t ext[8];
            if (!readTask(w, ro & ~1ULL, ext, w.ptr))
                return MVCRASH_ERR_INVALID_DATA;
            ro = readPointer(w, ext);
        }
        (void)kCopiedReadOnly;
        if (!c->class_cache_capacity) {
            void* pages = ::mmap(nullptr, kCacheCapacity * 16, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (pages != MAP_FAILED) {
                c->class_cache_keys = static_cast<std::uint64_t*>(pages);
                c->class_cache_values = c->class_cache_keys + kCacheCapacity;
                c->class_cache_capacity = kCacheCapacity;
            }
        }
        if (c->class_cache_capacity) {
            const std::uint64_t s = (masked / 4) % c->class_cache_capacity;
            if (c->class_cache_values[s] == 0) {
                c->class_cache_keys[s] = masked;
                c->class_cache_values[s] = ro;
            }
        }
    }
    // Read-only data in the image's own section is read there; a copy made at run time, or
    // data elsewhere, through the task.
    std::uint8_t copy[72];
    const std::uint8_t* bytes = inSection(&c->objc_const, true, ro, roSize);
    if (!bytes) {
        if (!readTask(w, ro, copy, roSize))
            return MVCRASH_ERR_INVALID_DATA;
        bytes = copy;
    }
    if (!readName(w, readPointer(w, bytes + nameAt), name, capacity))
        return MVCRASH_ERR_INVALID_DATA;
    *methods = readPointer(w, bytes + methodsAt);
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t walkClass(const Walk& w, std::uint64_t address, bool isMeta)
{
    std::uint64_t isa = 0, data = 0;
    mvcrash_error_t err = classRecord(w, address, false, &isa, &data);
    if (err != MVCRASH_ERR_NONE)
        return err;
    char name[256];
    std::uint64_t methods = 0;
    if ((err = classData(w, data, name, sizeof name, &methods)) != MVCRASH_ERR_NONE)
        return err;
    if (methods && (err = walkMethodList(w, methods, isMeta, name)) != MVCRASH_ERR_NONE)
        return err;
    if (isMeta)
        return MVCRASH_ERR_NONE;
    const std::uint64_t meta = (isa & 1) ? (w.ptr == 8 ? (isa & 0x7FFFFFFFFFF8ULL) : (isa & ~7ULL)) : isa;
    return walkClass(w, meta, true);
}

mvcrash_error_t walkCategory(const Walk& w, std::uint64_t address)
{
    const std::uint8_t* record = inSection(&w.cache->objc_const, true, address, 6 * w.ptr);
    if (!record)
        return MVCRASH_ERR_INVALID_DATA;
    std::uint64_t isa = 0, data = 0;
    if (classRecord(w, readPointer(w, record + w.ptr), true, &isa, &data) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_DATA;
    char name[256];
    std::uint64_t unused = 0;
    mvcrash_error_t err = classData(w, data, name, sizeof name, &unused);
    if (err != MVCRASH_ERR_NONE)
        return err;
    const std::uint64_t instanceMethods = readPointer(w, record + 2 * w.ptr);
    const std::uint64_t classMethods = readPointer(w, record + 3 * w.ptr);
    if (instanceMethods && (err = walkMethodList(w, instanceMethods, false, name)) != MVCRASH_ERR_NONE)
        return err;
    if (classMethods && (err = walkMethodList(w, classMethods, true, name)) != MVCRASH_ERR_NONE)
        return err;
    return MVCRASH_ERR_NONE;
}

void unmapSections(mvcrash_async_objc_cache_t* c)
{
    if (!c->mapped)
        return;
    mvcrash_async_mobject_free(&c->objc_const);
    mvcrash_async_mobject_free(&c->classlist);
    mvcrash_async_mobject_free(&c->catlist);
    mvcrash_async_mobject_free(&c->objc_data);
    if (c->const_ax_mapped)
        mvcrash_async_mobject_free(&c->objc_const_ax);
    if (c->data_mapped)
        mvcrash_async_mobject_free(&c->data);
    c->mapped = c->const_ax_mapped = c->data_mapped = false;
    c->image = nullptr;
}

mvcrash_error_t mapDataSection(const mvcrash_async_macho_t* image, const char* section, mvcrash_async_mobject_t* mobj)
{
    mvcrash_error_t err = MVCRASH_ERR_NOT_FOUND;
    for (const char* segment : { "__DATA", "__DATA_CONST", "__DATA_DIRTY" }) {
        err = mvcrash_async_macho_map_section(image, segment, section, mobj);
        if (err != MVCRASH_ERR_NOT_FOUND)
            return err;
    }
    return err;
}

mvcrash_error_t mapSections(const mvcrash_async_macho_t* image, mvcrash_async_objc_cache_t* c)
{
    if (c->mapped && c->image == image)
        return MVCRASH_ERR_NONE;
    unmapSections(c);
    mvcrash_error_t err;
    if ((err = mapDataSection(image, "__objc_const", &c->objc_const)) != MVCRASH_ERR_NONE)
        return err;
    c->const_ax_mapped = mvcrash_async_macho_map_section(image, "__DATA", "__objc_const_ax", &c->objc_const_ax) == MVCRASH_ERR_NONE;
    auto undo = [&](int stage) {
        if (stage > 1)
            mvcrash_async_mobject_free(&c->catlist);
        if (stage > 0)
            mvcrash_async_mobject_free(&c->classlist);
        mvcrash_async_mobject_free(&c->objc_const);
        if (c->const_ax_mapped)
            mvcrash_async_mobject_free(&c->objc_const_ax);
        c->const_ax_mapped = false;
    };
    if ((err = mapDataSection(image, "__objc_classlist", &c->classlist)) != MVCRASH_ERR_NONE) {
        undo(0);
        return err;
    }
    if ((err = mapDataSection(image, "__objc_catlist", &c->catlist)) != MVCRASH_ERR_NONE) {
        undo(1);
        return err;
    }
    if ((err = mvcrash_async_macho_map_section(image, "__DATA", "__objc_data", &c->objc_data)) != MVCRASH_ERR_NONE) {
        undo(2);
        return err;
    }
    c->data_mapped = mvcrash_async_macho_map_section(image, "__DATA", "__data", &c->data) == MVCRASH_ERR_NONE;
    c->mapped = true;
    c->image = image;
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t walkCurrent(const Walk& w)
{
    mvcrash_error_t err = mapSections(w.image, w.cache);
    if (err != MVCRASH_ERR_NONE)
        return err;
    const auto* c = w.cache;
    const std::uint64_t classes = mvcrash_async_mobject_length(&c->classlist) / w.ptr;
    const auto* list = reinterpret_cast<const std::uint8_t*>(c->classlist.address);
    for (std::uint64_t i = 0; i < classes; ++i) {
        err = walkClass(w, readPointer(w, list + i * w.ptr), false);
        // A class not realized yet has no methods to offer: its metaclass is passed over too.
        if (err != MVCRASH_ERR_NONE && err != MVCRASH_ERR_NOT_FOUND)
            return err;
    }
    const std::uint64_t categories = mvcrash_async_mobject_length(&c->catlist) / w.ptr;
    const auto* cats = reinterpret_cast<const std::uint8_t*>(c->catlist.address);
    err = MVCRASH_ERR_NONE;
    for (std::uint64_t i = 0; i < categories; ++i) {
        err = walkCategory(w, readPointer(w, cats + i * w.ptr));
        if (err != MVCRASH_ERR_NONE && err != MVCRASH_ERR_NOT_FOUND)
            return err;
    }
    return err;
}

mvcrash_error_t legacyMethods(const Walk& w, std::uint32_t list, bool isClass, const char* className)
{
    std::uint32_t header[2];
    if (!readTask(w, list, header, 8))
        return MVCRASH_ERR_INVALID_DATA;
    const std::uint32_t count = w.image->byteorder->swap32(header[1]);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t entry[3];
        if (!readTask(w, static_cast<std::uint64_t>(list) + 8 + static_cast<std::uint64_t>(i) * 12, entry, 12))
            return MVCRASH_ERR_INVALID_DATA;
        char method[256];
        if (!readName(w, w.image->byteorder->swap32(entry[0]), method, sizeof method))
            return MVCRASH_ERR_INVALID_DATA;
        w.callback(isClass, className, method, w.image->byteorder->swap32(entry[2]), w.context);
    }
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t legacyClass(const Walk& w, std::uint32_t address, bool isMeta)
{
    std::uint32_t cls[10];
    if (!readTask(w, address, cls, sizeof cls))
        return MVCRASH_ERR_INVALID_DATA;
    auto f = [&](int i) { return w.image->byteorder->swap32(cls[i]); };
    char name[256];
    if (!readName(w, f(2), name, sizeof name))
        return MVCRASH_ERR_INVALID_DATA;
    const std::uint32_t lists = f(7);
    mvcrash_error_t err = MVCRASH_ERR_NONE;
    if (lists) {
        if (f(4) & 0x4000) {
            err = legacyMethods(w, lists, isMeta, name);
        } else {
            // An array of list pointers, ended by 0 or all ones (bounded against loops).
            for (std::uint32_t i = 0; i < 4096 && err == MVCRASH_ERR_NONE; ++i) {
                std::uint32_t entry;
                if (!readTask(w, static_cast<std::uint64_t>(lists) + i * 4, &entry, 4))
                    return MVCRASH_ERR_INVALID_DATA;
                entry = w.image->byteorder->swap32(entry);
                if (entry == 0 || entry == 0xFFFFFFFF)
                    break;
                err = legacyMethods(w, entry, isMeta, name);
            }
        }
    }
    if (err != MVCRASH_ERR_NONE || isMeta)
        return err;
    std::uint32_t meta = f(0);
    if (meta & 1)
        meta &= ~7u;
    return legacyClass(w, meta, true);
}

mvcrash_error_t walkLegacy(const Walk& w)
{
    mvcrash_async_mobject_t modules;
    mvcrash_error_t err = mvcrash_async_macho_map_section(w.image, "__OBJC", "__module_info", &modules);
    if (err != MVCRASH_ERR_NONE)
        return err;
    const auto* base = reinterpret_cast<const std::uint8_t*>(modules.address);
    const std::uint64_t count = mvcrash_async_mobject_length(&modules) / 16;
    for (std::uint64_t i = 0; i < count && err == MVCRASH_ERR_NONE; ++i) {
        const std::uint32_t symtab = readU32(w, base + i * 16 + 12);
        if (!symtab)
            continue;
        std::uint8_t header[12];
        if (!readTask(w, symtab, header, 12)) {
            err = MVCRASH_ERR_INVALID_DATA;
            break;
        }
        const std::uint16_t classCount = mvcrash_async_load_uint16(w.image->byteorder, header + 8);
        for (std::uint16_t k = 0; k < classCount && err == MVCRASH_ERR_NONE; ++k) {
            std::uint32_t cls;
            if (!readTask(w, static_cast<std::uint64_t>(symtab) + 12 + k * 4u, &cls, 4)) {
                err = MVCRASH_ERR_INVALID_DATA;
                break;
            }
            err = legacyClass(w, w.image->byteorder->swap32(cls), false);
        }
    }
    mvcrash_async_mobject_free(&modules);
    return err;
}

struct Search {
    std::uint64_t address;
    std::uint64_t best;
    bool reported;
    mvcrash_async_objc_found_method_cb callback;
    void* context;
};

void searchBest(bool, const char*, const char*, std::uint64_t imp, void* context)
{
    auto* s = static_cast<Search*>(context);
    if (imp >= s->best && imp <= s->address)
        s->best = imp;
}

void reportBest(bool isClass, const char* className, const char* method, std::uint64_t imp, void* context)
{
    auto* s = static_cast<Search*>(context);
    if (s->reported || imp != s->best)
        return;
    s->reported = true;
    s->callback(isClass, className, method, imp, s->context);
}

struct SymbolResult {
    char name[256];
    bool found = false;
    std::uint64_t address = 0;
};

void storeTableSymbol(std::uint64_t address, const char* name, void* context)
{
    auto* r = static_cast<SymbolResult*>(context);
    if (r->found && address < r->address)
        return;
    std::size_t i = 0;
    for (; name[i] && i < 255; ++i)
        r->name[i] = name[i];
    r->name[i] = 0;
    r->found = true;
    r->address = address;
}

void storeMethod(bool isClass, const char* className, const char* method, std::uint64_t imp, void* context)
{
    auto* r = static_cast<SymbolResult*>(context);
    if (!className || !method || (r->found && imp < r->address))
        return;
    std::size_t n = 0;
    auto put = [&](const char* text) {
        for (; *text && n < 255; ++text)
            r->name[n++] = *text;
    };
    put(isClass ? "+[" : "-[");
    put(className);
    put(" ");
    put(method);
    put("]");
    r->name[n] = 0;
    r->found = true;
    r->address = imp;
}

} // namespace

mvcrash_error_t mvcrash_async_objc_cache_init(mvcrash_async_objc_cache_t* cache)
{
    *cache = mvcrash_async_objc_cache_t {};
    return MVCRASH_ERR_NONE;
}

void mvcrash_async_objc_cache_free(mvcrash_async_objc_cache_t* cache)
{
    unmapSections(cache);
    if (cache->class_cache_capacity)
        ::munmap(cache->class_cache_keys, cache->class_cache_capacity * 16);
    *cache = mvcrash_async_objc_cache_t {};
}

mvcrash_error_t mvcrash_async_objc_parse(const mvcrash_async_macho_t* image, mvcrash_async_objc_cache_t* cache, mvcrash_async_objc_found_method_cb callback, void* context)
{
    if (!cache)
        return MVCRASH_ERR_ACCESS_DENIED;
    const Walk w { image, cache, callback, context, image->m64 ? 8u : 4u };
    if (!cache->got_current_layout) {
        mvcrash_error_t legacy = walkLegacy(w);
        if (legacy != MVCRASH_ERR_NOT_FOUND)
            return legacy;
    }
    mvcrash_error_t err = walkCurrent(w);
    if (err == MVCRASH_ERR_NONE)
        cache->got_current_layout = true;
    return err;
}

mvcrash_error_t mvcrash_async_objc_find_method(const mvcrash_async_macho_t* image, mvcrash_async_objc_cache_t* cache, std::uint64_t address, mvcrash_async_objc_found_method_cb callback, void* context)
{
    Search search { address, 0, false, callback, context };
    mvcrash_error_t err = mvcrash_async_objc_parse(image, cache, searchBest, &search);
    if (err != MVCRASH_ERR_NONE)
        return err;
    if (search.best == 0)
        return MVCRASH_ERR_NOT_FOUND;
    return mvcrash_async_objc_parse(image, cache, reportBest, &search);
}

mvcrash_error_t mvcrash_async_macho_find_symbol(const mvcrash_async_macho_t* image, std::uint32_t strategy, mvcrash_async_objc_cache_t* cache, std::uint64_t address, mvcrash_async_macho_found_symbol_cb callback, void* context)
{
    SymbolResult result;
    bool anySucceeded = false;
    if (strategy & 1)
        anySucceeded = mvcrash_async_macho_find_symbol_by_pc(image, address, storeTableSymbol, &result) == MVCRASH_ERR_NONE || anySucceeded;
    if (strategy & 2)
        anySucceeded = mvcrash_async_objc_find_method(image, cache, address, storeMethod, &result) == MVCRASH_ERR_NONE || anySucceeded;
    if (!anySucceeded)
        return MVCRASH_ERR_NOT_FOUND;
    if (!result.found)
        return MVCRASH_ERR_INTERNAL;
    callback(result.address, result.name, context);
    return MVCRASH_ERR_NONE;
}
