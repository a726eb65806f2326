#include "MovaraAppKit/CrashReporter/MVCrashImage.h"

#include <elf.h>

#include <atomic>

#include "Platform/System/SafeMemory.h"

namespace {

constexpr std::uint32_t kNoteGnuBuildId = 3;

template <typename T>
bool readTask(mvcrash_task_t task, std::uint64_t address, T* out)
{
    return mvcrash_async_task_memcpy(task, address, 0, out, sizeof(T)) == MVCRASH_ERR_NONE;
}

// Visits `count` records of T from `address` on until `visit` returns false. The records come in
// batches, one system call each (a crash handler reads every table of every image it meets); a
// batch that can't be read whole is read record by record, so an unreadable record stops the walk
// exactly where it would stop reading one at a time. False when a record could not be read.
template <typename T, typename Visit>
bool forEachRecord(mvcrash_task_t task, std::uint64_t address, std::uint64_t count, Visit visit)
{
    constexpr std::uint64_t kBatch = 64;
    if (count > static_cast<std::uint64_t>(INT64_MAX) / sizeof(T))
        count = static_cast<std::uint64_t>(INT64_MAX) / sizeof(T);
    T batch[kBatch];
    for (std::uint64_t index = 0; index < count; index += kBatch) {
        const std::uint64_t n = count - index < kBatch ? count - index : kBatch;
        const bool whole = mvcrash_async_task_memcpy(task, address, static_cast<std::int64_t>(index * sizeof(T)), batch, n * sizeof(T)) == MVCRASH_ERR_NONE;
        for (std::uint64_t i = 0; i < n; ++i) {
            if (!whole && mvcrash_async_task_memcpy(task, address, static_cast<std::int64_t>((index + i) * sizeof(T)), &batch[i], sizeof(T)) != MVCRASH_ERR_NONE)
                return false;
            if (!visit(batch[i]))
                return true;
        }
    }
    return true;
}

enum class StringEnd { terminator, full, limit, unreadable };

// Copies the string at `address` into `out`, up to its terminator, `capacity` - 1 bytes or `limit`
// bytes, whichever comes first, and terminates the copy. Each read stays inside one page, so a
// string that ends just before an unreadable page is read whole, and one that runs into it stops
// at the same byte as reading a byte at a time would.
StringEnd copyString(mvcrash_task_t task, std::uint64_t address, std::uint64_t limit, char* out, std::size_t capacity)
{
    const std::uint64_t page = sys::pageSize();
    std::size_t i = 0;
    StringEnd end = StringEnd::full;
    while (i + 1 < capacity) {
        if (i >= limit) {
            end = StringEnd::limit;
            break;
        }
        std::uint64_t at;
        if (!mvcrash_async_address_apply_offset(address, static_cast<std::int64_t>(i), &at)) {
            end = StringEnd::unreadable;
            break;
        }
        std::uint64_t chunk = page - at % page;
        if (chunk > capacity - 1 - i)
            chunk = capacity - 1 - i;
        if (chunk > limit - i)
            chunk = limit - i;
        if (mvcrash_async_task_memcpy(task, at, 0, out + i, chunk) != MVCRASH_ERR_NONE) {
            end = StringEnd::unreadable;
            break;
        }
        std::size_t j = 0;
        while (j < chunk && out[i + j] != 0)
            ++j;
        i += j;
        if (j < chunk) {
            end = StringEnd::terminator;
            break;
        }
    }
    out[i] = 0;
    return end;
}

// Dynamic-section pointers are relocated by the loader for ordinary libraries but not for the
// vDSO; a value below the bias is still a link-time address.
std::uint64_t relocate(const mvcrash_async_elf_t* image, std::uint64_t value)
{
    return value < image->bias ? value + image->bias : value;
}

void readBuildId(mvcrash_async_elf_t* image, std::uint64_t note, std::uint64_t size)
{
    std::uint64_t pos = 0;
    while (pos + sizeof(Elf64_Nhdr) <= size) {
        Elf64_Nhdr header;
        if (!readTask(image->task, note + pos, &header))
            return;
        const std::uint64_t nameSize = (static_cast<std::uint64_t>(header.n_namesz) + 3) & ~3ULL;
        const std::uint64_t descSize = (static_cast<std::uint64_t>(header.n_descsz) + 3) & ~3ULL;
        const std::uint64_t descAt = pos + sizeof header + nameSize;
        if (descAt + descSize > size || descAt < pos)
            return;
        char owner[4] = {};
        if (header.n_type == kNoteGnuBuildId && header.n_namesz == 4
            && mvcrash_async_task_memcpy(image->task, note + pos + sizeof header, 0, owner, 4) == MVCRASH_ERR_NONE
            && owner[0] == 'G' && owner[1] == 'N' && owner[2] == 'U' && owner[3] == 0
            && header.n_descsz > 0 && header.n_descsz <= sizeof image->build_id) {
            if (mvcrash_async_task_memcpy(image->task, note + descAt, 0, image->build_id, header.n_descsz) == MVCRASH_ERR_NONE)
                image->build_id_length = header.n_descsz;
            return;
        }
        pos = descAt + descSize;
    }
}

// The number of dynamic symbols: DT_HASH states it; DT_GNU_HASH only implies it (one past the
// highest symbol any chain reaches).
std::uint64_t countSymbols(const mvcrash_async_elf_t* image, std::uint64_t hash, std::uint64_t gnuHash)
{
    if (hash) {
        std::uint32_t counts[2];
        if (mvcrash_async_task_memcpy(image->task, hash, 0, counts, sizeof counts) == MVCRASH_ERR_NONE)
            return counts[1];
    }
    if (!gnuHash)
        return 0;
    std::uint32_t header[4];
    if (mvcrash_async_task_memcpy(image->task, gnuHash, 0, header, sizeof header) != MVCRASH_ERR_NONE)
        return 0;
    const std::uint32_t buckets = header[0], symoffset = header[1], bloomSize = header[2];
    if (buckets == 0 || buckets > (1u << 24) || bloomSize > (1u << 24))
        return 0;
    const std::uint64_t bucketAt = gnuHash + 16 + static_cast<std::uint64_t>(bloomSize) * 8;
    std::uint32_t last = 0;
    if (!forEachRecord<std::uint32_t>(image->task, bucketAt, buckets, [&](std::uint32_t b) {
            if (b > last)
                last = b;
            return true;
        }))
        return 0;
    if (last < symoffset)
        return symoffset;
    const std::uint64_t chainAt = bucketAt + static_cast<std::uint64_t>(buckets) * 4;
    // Follow the last chain to its end marker (bit 0), bounded against hostile tables.
    bool ended = false;
    if (!forEachRecord<std::uint32_t>(image->task, chainAt + static_cast<std::uint64_t>(last - symoffset) * 4, 1u << 24, [&](std::uint32_t h) {
            ended = (h & 1) != 0;
            if (!ended)
                ++last;
            return !ended;
        })
        || !ended)
        return 0;
    return static_cast<std::uint64_t>(last) + 1;
}

} // namespace

namespace {

// `full` also reads the dynamic section, the build-id and the name; without it only the segment
// ranges and the unwind tables are known, which is all an address lookup needs.
mvcrash_error_t describeImage(mvcrash_async_elf_t* image, mvcrash_task_t task, std::uint64_t header, std::uint64_t bias, std::uint64_t name_address, bool full)
{
    *image = mvcrash_async_elf_t {};
    image->task = task;
    image->header = header;
    image->bias = bias;
    Elf64_Ehdr ehdr;
    if (!readTask(task, header, &ehdr))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if (ehdr.e_ident[EI_MAG0] != ELFMAG0 || ehdr.e_ident[EI_MAG1] != ELFMAG1 || ehdr.e_ident[EI_MAG2] != ELFMAG2
        || ehdr.e_ident[EI_MAG3] != ELFMAG3 || ehdr.e_ident[EI_CLASS] != ELFCLASS64 || ehdr.e_ident[EI_DATA] != ELFDATA2LSB
        || ehdr.e_phentsize != sizeof(Elf64_Phdr) || ehdr.e_phnum == 0 || ehdr.e_phnum > 4096)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    image->machine = ehdr.e_machine;
    std::uint64_t phdrAt;
    if (!mvcrash_async_address_apply_offset(header, static_cast<std::int64_t>(ehdr.e_phoff), &phdrAt) || ehdr.e_phoff > INT64_MAX)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    std::uint64_t dynamicAt = 0, dynamicSize = 0;
    std::uint64_t textEnd = 0;
    Elf64_Phdr batch[16];
    for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
        if (i % 16 == 0) {
            const unsigned count = ehdr.e_phnum - i < 16 ? ehdr.e_phnum - i : 16;
            if (mvcrash_async_task_memcpy(task, phdrAt, static_cast<std::int64_t>(i * sizeof(Elf64_Phdr)), batch, count * sizeof(Elf64_Phdr)) != MVCRASH_ERR_NONE)
                return MVCRASH_ERR_INVALID_ARGUMENT;
        }
        const Elf64_Phdr& ph = batch[i % 16];
        const std::uint64_t start = ph.p_vaddr + bias;
        const std::uint64_t end = start + ph.p_memsz;
        if (end < start)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        switch (ph.p_type) {
        case PT_LOAD:
            if (end > image->image_end)
                image->image_end = end;
            if ((ph.p_flags & PF_X) && end > textEnd)
                textEnd = end;
            break;
        case PT_GNU_EH_FRAME:
            image->eh_frame_hdr = start;
            image->eh_frame_hdr_size = ph.p_memsz;
            break;
        case PT_NOTE:
            if (full && image->build_id_length == 0)
                readBuildId(image, start, ph.p_memsz);
            break;
        case PT_DYNAMIC:
            dynamicAt = start;
            dynamicSize = ph.p_memsz;
            break;
        default:
            break;
        }
    }
    if (textEnd <= header)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    image->text_size = textEnd - header;
    // .eh_frame begins where the header's pointer says and runs, at most, to the end of the
    // image; the reader stops at its terminator.
    if (image->eh_frame_hdr) {
        std::uint8_t hdr[4];
        std::int32_t pointer = 0;
        if (mvcrash_async_task_memcpy(task, image->eh_frame_hdr, 0, hdr, 4) == MVCRASH_ERR_NONE && hdr[0] == 1
            && hdr[1] == 0x1B && readTask(task, image->eh_frame_hdr + 4, &pointer)) {
            std::uint64_t frame;
            if (mvcrash_async_address_apply_offset(image->eh_frame_hdr + 4, pointer, &frame) && frame < image->image_end && frame >= header) {
                image->eh_frame = frame;
                image->eh_frame_size = image->image_end - frame;
            }
        }
    }
    if (!full)
        return MVCRASH_ERR_NONE;
    std::uint64_t hash = 0, gnuHash = 0;
    if (dynamicAt) {
        forEachRecord<Elf64_Dyn>(task, dynamicAt, dynamicSize / sizeof(Elf64_Dyn), [&](const Elf64_Dyn& dyn) {
            switch (dyn.d_tag) {
            case DT_NULL: return false;
            case DT_SYMTAB: image->symtab = relocate(image, dyn.d_un.d_ptr); break;
            case DT_STRTAB: image->strtab = relocate(image, dyn.d_un.d_ptr); break;
            case DT_STRSZ: image->strsz = dyn.d_un.d_val; break;
            case DT_HASH: hash = relocate(image, dyn.d_un.d_ptr); break;
            case DT_GNU_HASH: gnuHash = relocate(image, dyn.d_un.d_ptr); break;
            default: break;
            }
            return true;
        });
    }
    if (image->symtab && image->strtab)
        image->symcount = countSymbols(image, hash, gnuHash);
    if (name_address) {
        // The path is copied up to its terminator or the buffer's end, never past an unreadable
        // byte.
        copyString(task, name_address, UINT64_MAX, image->name, sizeof image->name);
    }
    return MVCRASH_ERR_NONE;
}

} // namespace

mvcrash_error_t mvcrash_async_elf_init(mvcrash_async_elf_t* image, mvcrash_task_t task, std::uint64_t header, std::uint64_t bias, std::uint64_t name_address)
{
    return describeImage(image, task, header, bias, name_address, true);
}

bool mvcrash_async_elf_contains_address(const mvcrash_async_elf_t* image, std::uint64_t address)
{
    return address >= image->header && address - image->header < image->text_size;
}

std::uint32_t mvcrash_async_elf_cpu_type(const mvcrash_async_elf_t* image)
{
    switch (image->machine) {
    case EM_X86_64: return 0x01000007;
    case EM_386: return 7;
    case EM_AARCH64: return 0x0100000C;
    default: return 0;
    }
}

std::uint32_t mvcrash_async_elf_cpu_subtype(const mvcrash_async_elf_t* image)
{
    // CPU_SUBTYPE_X86_64_ALL / CPU_SUBTYPE_ARM64_ALL.
    return image->machine == EM_X86_64 || image->machine == EM_386 ? 3 : 0;
}

namespace {

bool copySymbolName(const mvcrash_async_elf_t* image, std::uint32_t offset, char* name, std::size_t capacity)
{
    std::uint64_t at;
    if (offset >= image->strsz || capacity == 0 || !mvcrash_async_address_apply_offset(image->strtab, offset, &at))
        return false;
    // A name must end inside the string table; a long one is cut to fit.
    const StringEnd end = copyString(image->task, at, image->strsz - offset, name, capacity);
    return end == StringEnd::terminator || end == StringEnd::full;
}

bool isFunction(const Elf64_Sym& sym)
{
    const unsigned type = ELF64_ST_TYPE(sym.st_info);
    return sym.st_shndx != SHN_UNDEF && sym.st_value != 0 && (type == STT_FUNC || type == STT_GNU_IFUNC);
}

} // namespace

mvcrash_error_t mvcrash_async_elf_find_symbol_by_pc(const mvcrash_async_elf_t* image, std::uint64_t address, std::uint64_t* start, char* name, std::size_t capacity)
{
    if (!image->symtab || image->symcount == 0 || address < image->bias)
        return MVCRASH_ERR_NOT_FOUND;
    const std::uint64_t target = address - image->bias;
    bool found = false;
    Elf64_Sym best {};
    // Read in small batches: one system call per batch rather than per symbol.
    Elf64_Sym batch[64];
    for (std::uint64_t index = 0; index < image->symcount; index += 64) {
        const std::uint64_t count = image->symcount - index < 64 ? image->symcount - index : 64;
        if (mvcrash_async_task_memcpy(image->task, image->symtab, static_cast<std::int64_t>(index * sizeof(Elf64_Sym)), batch, count * sizeof(Elf64_Sym)) != MVCRASH_ERR_NONE)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        for (std::uint64_t i = 0; i < count; ++i) {
            const Elf64_Sym& sym = batch[i];
            if (!isFunction(sym) || sym.st_value > target)
                continue;
            if (!found || sym.st_value > best.st_value) {
                best = sym;
                found = true;
            }
        }
    }
    // Only exported functions are listed: an address past the end of the nearest one lies in
    // code the table does not name, and guessing would name the wrong function.
    if (!found || (best.st_size > 0 && target - best.st_value >= best.st_size))
        return MVCRASH_ERR_NOT_FOUND;
    if (!copySymbolName(image, best.st_name, name, capacity))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    *start = best.st_value + image->bias;
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t mvcrash_async_elf_find_symbol_by_name(const mvcrash_async_elf_t* image, const char* symbol, std::uint64_t* address)
{
    char name[512];
    for (std::uint64_t index = 0; index < image->symcount; ++index) {
        Elf64_Sym sym;
        if (mvcrash_async_task_memcpy(image->task, image->symtab, static_cast<std::int64_t>(index * sizeof sym), &sym, sizeof sym) != MVCRASH_ERR_NONE)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        if (!isFunction(sym) || !copySymbolName(image, sym.st_name, name, sizeof name))
            continue;
        if (mvcrash_async_strcmp(name, symbol) == 0) {
            *address = sym.st_value + image->bias;
            return MVCRASH_ERR_NONE;
        }
    }
    return MVCRASH_ERR_NOT_FOUND;
}

void mvcrash_nasync_image_list_init(mvcrash_async_image_list_t* list, mvcrash_task_t task)
{
    list->task = task;
    list->readers = 0;
    sys::prepareLoadedImages();
}

void mvcrash_nasync_image_list_free(mvcrash_async_image_list_t* list)
{
    list->task = 0;
}

void mvcrash_async_image_list_set_reading(mvcrash_async_image_list_t* list, bool reading)
{
    std::atomic_ref<int> readers(list->readers);
    if (reading)
        readers.fetch_add(1);
    else
        readers.fetch_sub(1);
}

bool mvcrash_async_image_list_next(mvcrash_async_image_list_t* list, mvcrash_async_image_t* image)
{
    while (sys::nextLoadedImage(&image->loaded, &image->steps)) {
        if (mvcrash_async_elf_init(&image->elf, list->task, image->loaded.header, image->loaded.bias, image->loaded.nameAddress) == MVCRASH_ERR_NONE)
            return true;
    }
    return false;
}

void mvcrash_async_image_list_take_snapshot(mvcrash_async_image_list_t* list, mvcrash_async_image_snapshot_t* snapshot)
{
    snapshot->count = 0;
    sys::LoadedImage loaded;
    unsigned steps = 0;
    mvcrash_async_elf_t elf;
    while (sys::nextLoadedImage(&loaded, &steps)) {
        if (describeImage(&elf, list->task, loaded.header, loaded.bias, 0, false) != MVCRASH_ERR_NONE)
            continue;
        if (snapshot->count == mvcrash_async_image_snapshot_t::capacity)
            return; // too many to record: lookups keep walking the live list
        std::uint64_t ehFrameReadable = 0;
        if (elf.eh_frame) {
            const std::uint64_t pageStart = elf.eh_frame & ~static_cast<std::uint64_t>(sys::pageSize() - 1);
            ehFrameReadable = sys::readablePrefix(pageStart, static_cast<std::size_t>(elf.eh_frame + elf.eh_frame_size - pageStart));
        }
        snapshot->entries[snapshot->count++] = { loaded.header, loaded.bias, elf.text_size, loaded.nameAddress, ehFrameReadable };
    }
    list->snapshot = snapshot;
}

void mvcrash_async_image_list_drop_snapshot(mvcrash_async_image_list_t* list)
{
    list->snapshot = nullptr;
}

bool mvcrash_async_image_containing_address(mvcrash_async_image_list_t* list, std::uint64_t address, mvcrash_async_image_t* image)
{
    *image = mvcrash_async_image_t {};
    if (const auto* snapshot = list->snapshot) {
        for (std::uint32_t i = 0; i < snapshot->count; ++i) {
            const auto& e = snapshot->entries[i];
            if (address >= e.header && address - e.header < e.text_size) {
                image->loaded = sys::LoadedImage { e.header, e.bias, e.name_address, 0 };
                if (mvcrash_async_elf_init(&image->elf, list->task, e.header, e.bias, e.name_address) != MVCRASH_ERR_NONE)
                    return false;
                image->elf.eh_frame_readable = e.eh_frame_readable;
                return true;
            }
        }
        return false;
    }
    // Cheap test first: only the image whose range holds the address is described in full.
    while (sys::nextLoadedImage(&image->loaded, &image->steps)) {
        if (address < image->loaded.header)
            continue;
        if (describeImage(&image->elf, list->task, image->loaded.header, image->loaded.bias, 0, false) != MVCRASH_ERR_NONE)
            continue;
        if (mvcrash_async_elf_contains_address(&image->elf, address)) {
            return mvcrash_async_elf_init(&image->elf, list->task, image->loaded.header, image->loaded.bias, image->loaded.nameAddress) == MVCRASH_ERR_NONE;
        }
    }
    return false;
}
