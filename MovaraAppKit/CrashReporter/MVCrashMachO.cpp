#include "MovaraAppKit/CrashReporter/MVCrashMachO.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kSegment64Size = 72, kSegment32Size = 56;
constexpr std::uint32_t kSection64Size = 80, kSection32Size = 68;

std::uint32_t u32(const mvcrash_async_macho_t* image, const std::uint8_t* p)
{
    return mvcrash_async_load_uint32(image->byteorder, p);
}

std::uint64_t u64(const mvcrash_async_macho_t* image, const std::uint8_t* p)
{
    return mvcrash_async_load_uint64(image->byteorder, p);
}

// vmaddr and vmsize, fileoff and filesize of a segment command of the image's width.
struct SegmentFacts {
    std::uint64_t vmaddr, vmsize, fileoff, filesize;
    std::uint32_t nsects;
};

SegmentFacts segmentFacts(const mvcrash_async_macho_t* image, const std::uint8_t* cmd)
{
    if (image->m64)
        return { u64(image, cmd + 24), u64(image, cmd + 32), u64(image, cmd + 40), u64(image, cmd + 48), u32(image, cmd + 64) };
    return { u32(image, cmd + 24), u32(image, cmd + 28), u32(image, cmd + 32), u32(image, cmd + 36), u32(image, cmd + 48) };
}

bool nameIs(const std::uint8_t* field, const char* name)
{
    return mvcrash_async_strncmp(reinterpret_cast<const char*>(field), name, 16) == 0;
}

} // namespace

mvcrash_error_t mvcrash_nasync_macho_init(mvcrash_async_macho_t* image, mvcrash_task_t task, const char* name, std::uint64_t header_addr)
{
    *image = mvcrash_async_macho_t {};
    image->task = task;
    image->header_addr = header_addr;
    image->name = ::strdup(name ? name : "");
    auto fail = [&](mvcrash_error_t err) {
        std::free(image->name);
        image->name = nullptr;
        return err;
    };
    if (mvcrash_async_task_memcpy(task, header_addr, 0, &image->header, sizeof image->header) != MVCRASH_ERR_NONE)
        return fail(MVCRASH_ERR_INTERNAL);
    switch (image->header.magic) {
    case MVCRASH_MH_MAGIC: image->m64 = false; image->byteorder = mvcrash_async_byteorder_little_endian(); break;
    case MVCRASH_MH_MAGIC_64: image->m64 = true; image->byteorder = mvcrash_async_byteorder_little_endian(); break;
    case 0xCEFAEDFE: image->m64 = false; image->byteorder = mvcrash_async_byteorder_big_endian(); break;
    case 0xCFFAEDFE: image->m64 = true; image->byteorder = mvcrash_async_byteorder_big_endian(); break;
    default: return fail(MVCRASH_ERR_INVALID_ARGUMENT);
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);
    const std::uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);
    mvcrash_error_t err = mvcrash_async_mobject_init(&image->load_cmds, task, header_addr + image->header_size, sizeofcmds, true);
    if (err != MVCRASH_ERR_NONE)
        return fail(err);
    const std::uint32_t width = image->m64 ? MVCRASH_LC_SEGMENT_64 : MVCRASH_LC_SEGMENT;
    const std::uint32_t minimum = image->m64 ? kSegment64Size : kSegment32Size;
    for (const void* cmd = nullptr; (cmd = mvcrash_async_macho_next_command_type(image, cmd, width));) {
        const auto* bytes = static_cast<const std::uint8_t*>(cmd);
        if (!nameIs(bytes + 8, "__TEXT"))
            continue;
        if (u32(image, bytes + 4) < minimum || !mvcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<std::uintptr_t>(bytes), 0, minimum)) {
            mvcrash_async_mobject_free(&image->load_cmds);
            return fail(MVCRASH_ERR_INVALID_ARGUMENT);
        }
        const SegmentFacts facts = segmentFacts(image, bytes);
        image->text_vmaddr = facts.vmaddr;
        image->text_size = facts.vmsize;
        image->vmaddr_slide = static_cast<std::int64_t>(header_addr - facts.vmaddr);
        return MVCRASH_ERR_NONE;
    }
    mvcrash_async_mobject_free(&image->load_cmds);
    return fail(MVCRASH_ERR_INVALID_ARGUMENT);
}

void mvcrash_nasync_macho_free(mvcrash_async_macho_t* image)
{
    std::free(image->name);
    image->name = nullptr;
    mvcrash_async_mobject_free(&image->load_cmds);
}

const mvcrash_async_byteorder_t* mvcrash_async_macho_byteorder(const mvcrash_async_macho_t* image) { return image->byteorder; }
std::uint32_t mvcrash_async_macho_cpu_type(const mvcrash_async_macho_t* image) { return image->byteorder->swap32(image->header.cputype); }
std::uint32_t mvcrash_async_macho_cpu_subtype(const mvcrash_async_macho_t* image) { return image->byteorder->swap32(image->header.cpusubtype); }

bool mvcrash_async_macho_contains_address(const mvcrash_async_macho_t* image, std::uint64_t address)
{
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

const void* mvcrash_async_macho_next_command(const mvcrash_async_macho_t* image, const void* previous)
{
    const auto& m = image->load_cmds;
    if (!previous) {
        if (m.length < 8)
            return nullptr;
        const auto* first = reinterpret_cast<const std::uint8_t*>(m.address);
        const std::uint32_t size = u32(image, first + 4);
        if (size < 8 || !mvcrash_async_mobject_verify_local_pointer(&m, m.address, 0, size))
            return nullptr;
        return first;
    }
    const auto* current = static_cast<const std::uint8_t*>(previous);
    if (!mvcrash_async_mobject_verify_local_pointer(&m, reinterpret_cast<std::uintptr_t>(current), 0, 8))
        return nullptr;
    const std::uint32_t size = u32(image, current + 4);
    if (size < 8)
        return nullptr;
    const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(current) + size;
    if (next < reinterpret_cast<std::uintptr_t>(current) || !mvcrash_async_mobject_verify_local_pointer(&m, next, 0, 8))
        return nullptr;
    const std::uint32_t nextSize = u32(image, reinterpret_cast<const std::uint8_t*>(next) + 4);
    if (nextSize < 8 || !mvcrash_async_mobject_verify_local_pointer(&m, next, 0, nextSize))
        return nullptr;
    return reinterpret_cast<const void*>(next);
}

const void* mvcrash_async_macho_next_command_type(const mvcrash_async_macho_t* image, const void* previous, std::uint32_t type)
{
    for (const void* cmd = mvcrash_async_macho_next_command(image, previous); cmd; cmd = mvcrash_async_macho_next_command(image, cmd))
        if (u32(image, static_cast<const std::uint8_t*>(cmd)) == type)
            return cmd;
    return nullptr;
}

const void* mvcrash_async_macho_find_command(const mvcrash_async_macho_t* image, std::uint32_t type)
{
    return mvcrash_async_macho_next_command_type(image, nullptr, type);
}

const void* mvcrash_async_macho_find_segment_cmd(const mvcrash_async_macho_t* image, const char* segname)
{
    const std::uint32_t width = image->m64 ? MVCRASH_LC_SEGMENT_64 : MVCRASH_LC_SEGMENT;
    const std::uint32_t minimum = image->m64 ? kSegment64Size : kSegment32Size;
    for (const void* cmd = nullptr; (cmd = mvcrash_async_macho_next_command_type(image, cmd, width));) {
        const auto* bytes = static_cast<const std::uint8_t*>(cmd);
        if (u32(image, bytes + 4) >= minimum && nameIs(bytes + 8, segname))
            return cmd;
    }
    return nullptr;
}

mvcrash_error_t mvcrash_async_macho_map_segment(const mvcrash_async_macho_t* image, const char* segname, mvcrash_async_macho_mapped_segment_t* segment)
{
    const auto* cmd = static_cast<const std::uint8_t*>(mvcrash_async_macho_find_segment_cmd(image, segname));
    if (!cmd)
        return MVCRASH_ERR_NOT_FOUND;
    const SegmentFacts facts = segmentFacts(image, cmd);
    segment->fileoff = facts.fileoff;
    segment->filesize = facts.filesize;
    return mvcrash_async_mobject_init(&segment->mobj, image->task, facts.vmaddr + static_cast<std::uint64_t>(image->vmaddr_slide), facts.vmsize, false);
}

void mvcrash_async_macho_mapped_segment_free(mvcrash_async_macho_mapped_segment_t* segment)
{
    mvcrash_async_mobject_free(&segment->mobj);
}

mvcrash_error_t mvcrash_async_macho_map_section(const mvcrash_async_macho_t* image, const char* segname, const char* sectname, mvcrash_async_mobject_t* mobj)
{
    const auto* cmd = static_cast<const std::uint8_t*>(mvcrash_async_macho_find_segment_cmd(image, segname));
    if (!cmd)
        return MVCRASH_ERR_NOT_FOUND;
    const SegmentFacts facts = segmentFacts(image, cmd);
    const std::uint32_t header = image->m64 ? kSegment64Size : kSegment32Size;
    const std::uint32_t sectionSize = image->m64 ? kSection64Size : kSection32Size;
    for (std::uint32_t i = 0; i < facts.nsects; ++i) {
        const std::uint8_t* section = cmd + header + static_cast<std::uint64_t>(i) * sectionSize;
        if (!mvcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<std::uintptr_t>(section), 0, sectionSize))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        if (!nameIs(section, sectname))
            continue;
        const std::uint64_t addr = image->m64 ? u64(image, section + 32) : u32(image, section + 32);
        const std::uint64_t size = image->m64 ? u64(image, section + 40) : u32(image, section + 36);
        return mvcrash_async_mobject_init(mobj, image->task, addr + static_cast<std::uint64_t>(image->vmaddr_slide), size, true);
    }
    return MVCRASH_ERR_NOT_FOUND;
}

mvcrash_error_t mvcrash_async_macho_symtab_reader_init(mvcrash_async_macho_symtab_reader_t* reader, const mvcrash_async_macho_t* image)
{
    *reader = mvcrash_async_macho_symtab_reader_t {};
    reader->image = image;
    const auto* symtab = static_cast<const std::uint8_t*>(mvcrash_async_macho_find_command(image, MVCRASH_LC_SYMTAB));
    if (!symtab || u32(image, symtab + 4) < 24)
        return MVCRASH_ERR_NOT_FOUND;
    const auto* dysymtab = static_cast<const std::uint8_t*>(mvcrash_async_macho_find_command(image, MVCRASH_LC_DYSYMTAB));
    if (dysymtab && u32(image, dysymtab + 4) < 80)
        dysymtab = nullptr;
    if (mvcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INTERNAL;
    const std::uint32_t symoff = u32(image, symtab + 8), nsyms = u32(image, symtab + 12);
    const std::uint32_t stroff = u32(image, symtab + 16), strsize = u32(image, symtab + 20);
    const std::uint64_t entrySize = image->m64 ? 16 : 12;
    const std::int64_t base = static_cast<std::int64_t>(reader->linkedit.fileoff);
    const std::uint64_t linkedit = mvcrash_async_mobject_base_address(&reader->linkedit.mobj);
    reader->symtab = static_cast<const std::uint8_t*>(mvcrash_async_mobject_remap_address(&reader->linkedit.mobj, linkedit, static_cast<std::int64_t>(symoff) - base, nsyms * entrySize));
    reader->string_table = static_cast<const char*>(mvcrash_async_mobject_remap_address(&reader->linkedit.mobj, linkedit, static_cast<std::int64_t>(stroff) - base, strsize));
    if (!reader->symtab || !reader->string_table) {
        mvcrash_async_macho_mapped_segment_free(&reader->linkedit);
        return MVCRASH_ERR_INTERNAL;
    }
    reader->nsyms = nsyms;
    reader->string_table_size = strsize;
    if (dysymtab) {
        const std::uint32_t ilocal = u32(image, dysymtab + 8), nlocal = u32(image, dysymtab + 12);
        const std::uint32_t iext = u32(image, dysymtab + 16), next = u32(image, dysymtab + 20);
        if (static_cast<std::uint64_t>(ilocal) + nlocal > nsyms || static_cast<std::uint64_t>(iext) + next > nsyms) {
            mvcrash_async_macho_mapped_segment_free(&reader->linkedit);
            return MVCRASH_ERR_INVALID_ARGUMENT;
        }
        reader->symtab_local = reader->symtab + ilocal * entrySize;
        reader->nsyms_local = nlocal;
        reader->symtab_global = reader->symtab + iext * entrySize;
        reader->nsyms_global = next;
    }
    return MVCRASH_ERR_NONE;
}

void mvcrash_async_macho_symtab_reader_free(mvcrash_async_macho_symtab_reader_t* reader)
{
    mvcrash_async_macho_mapped_segment_free(&reader->linkedit);
}

mvcrash_async_macho_symtab_entry_t mvcrash_async_macho_symtab_reader_read(const mvcrash_async_macho_symtab_reader_t* reader, const std::uint8_t* table, std::uint32_t index)
{
    const auto* image = reader->image;
    const std::uint8_t* p = table + static_cast<std::uint64_t>(index) * (image->m64 ? 16 : 12);
    mvcrash_async_macho_symtab_entry_t entry;
    entry.n_strx = u32(image, p);
    entry.n_type = p[4];
    entry.n_sect = p[5];
    entry.n_desc = mvcrash_async_load_uint16(image->byteorder, p + 6);
    entry.n_value = image->m64 ? u64(image, p + 8) : u32(image, p + 8);
    entry.normalized_value = (entry.n_desc & 0x0008) ? (entry.n_value | 1) : entry.n_value;
    return entry;
}

const char* mvcrash_async_macho_symtab_reader_symbol_name(const mvcrash_async_macho_symtab_reader_t* reader, std::uint32_t string_index)
{
    if (string_index >= reader->string_table_size)
        return nullptr;
    // The name must end inside the table.
    for (std::uint32_t i = string_index; i < reader->string_table_size; ++i)
        if (reader->string_table[i] == 0)
            return reader->string_table + string_index;
    return nullptr;
}

namespace {

bool isCandidate(const mvcrash_async_macho_symtab_entry_t& e)
{
    return (e.n_type & 0xEE) == 0x0E;
}

void scan(const mvcrash_async_macho_symtab_reader_t* reader, const std::uint8_t* table, std::uint32_t count, std::uint64_t target, bool* found, mvcrash_async_macho_symtab_entry_t* best)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto entry = mvcrash_async_macho_symtab_reader_read(reader, table, i);
        if (!isCandidate(entry) || entry.n_value > target)
            continue;
        if (!*found || entry.n_value > best->n_value) {
            *best = entry;
            *found = true;
        }
    }
}

} // namespace

mvcrash_error_t mvcrash_async_macho_find_symbol_by_pc(const mvcrash_async_macho_t* image, std::uint64_t pc, mvcrash_async_macho_found_symbol_cb callback, void* context)
{
    mvcrash_async_macho_symtab_reader_t reader;
    mvcrash_error_t err = mvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != MVCRASH_ERR_NONE)
        return err;
    const std::uint64_t target = pc - static_cast<std::uint64_t>(image->vmaddr_slide);
    bool found = false;
    mvcrash_async_macho_symtab_entry_t best;
    if (reader.symtab_global && reader.symtab_local) {
        scan(&reader, reader.symtab_global, reader.nsyms_global, target, &found, &best);
        scan(&reader, reader.symtab_local, reader.nsyms_local, target, &found, &best);
    } else {
        scan(&reader, reader.symtab, reader.nsyms, target, &found, &best);
    }
    if (!found) {
        mvcrash_async_macho_symtab_reader_free(&reader);
        return MVCRASH_ERR_NOT_FOUND;
    }
    const char* name = mvcrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
    if (!name) {
        mvcrash_async_macho_symtab_reader_free(&reader);
        return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    // Names are handed on in a fixed buffer, cut to 255 characters.
    char copy[256];
    std::size_t i = 0;
    for (; name[i] && i < sizeof copy - 1; ++i)
        copy[i] = name[i];
    copy[i] = 0;
    callback(best.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide), copy, context);
    mvcrash_async_macho_symtab_reader_free(&reader);
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t mvcrash_async_macho_find_symbol_by_name(const mvcrash_async_macho_t* image, const char* symbol, std::uint64_t* address)
{
    mvcrash_async_macho_symtab_reader_t reader;
    mvcrash_error_t err = mvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != MVCRASH_ERR_NONE)
        return err;
    err = MVCRASH_ERR_NOT_FOUND;
    for (std::uint32_t i = 0; i < reader.nsyms; ++i) {
        const auto entry = mvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!isCandidate(entry))
            continue;
        const char* name = mvcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
        if (name && mvcrash_async_strcmp(name, symbol) == 0) {
            *address = entry.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide);
            err = MVCRASH_ERR_NONE;
            break;
        }
    }
    mvcrash_async_macho_symtab_reader_free(&reader);
    return err;
}
