#include "MovaraAppKit/CrashReporter/MVCrashCompactUnwind.h"

namespace {

// Binary search over `count` sorted keys read by `key(i)`: the last entry whose key is at or
// below `pc`. False when `pc` lies before the first.
template <typename Key>
bool searchEntries(std::uint32_t count, std::uint64_t pc, Key&& key, std::uint32_t* found)
{
    if (count == 0)
        return false;
    std::uint32_t lo = 0, hi = count - 1;
    while (lo <= hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const std::uint64_t k = key(mid);
        if (k < pc) {
            if (mid == hi || pc < key(mid + 1)) {
                *found = mid;
                return true;
            }
            lo = mid + 1;
        } else if (k > pc) {
            if (mid == 0)
                return false;
            hi = mid - 1;
        } else {
            *found = mid;
            return true;
        }
    }
    return false;
}

const std::uint8_t* tableAt(const mvcrash_async_cfe_reader_t* r, std::uint64_t offset, std::uint64_t length)
{
    if (offset > INT64_MAX)
        return nullptr;
    return static_cast<const std::uint8_t*>(mvcrash_async_mobject_remap_address(r->mobj, mvcrash_async_mobject_base_address(r->mobj), static_cast<std::int64_t>(offset), length));
}

std::uint32_t word(const mvcrash_async_cfe_reader_t* r, const std::uint8_t* p)
{
    return mvcrash_async_load_uint32(r->byteorder, p);
}

std::uint16_t half(const mvcrash_async_cfe_reader_t* r, const std::uint8_t* p)
{
    return mvcrash_async_load_uint16(r->byteorder, p);
}

} // namespace

mvcrash_error_t mvcrash_async_cfe_reader_init(mvcrash_async_cfe_reader_t* reader, const mvcrash_async_mobject_t* mobj, std::uint32_t cpu_type)
{
    if (cpu_type != MVCRASH_CPU_TYPE_X86 && cpu_type != MVCRASH_CPU_TYPE_X86_64 && cpu_type != MVCRASH_CPU_TYPE_ARM64)
        return MVCRASH_ERR_NOT_SUPPORTED;
    reader->mobj = mobj;
    reader->cpu_type = cpu_type;
    reader->byteorder = mvcrash_async_byteorder_little_endian();
    const std::uint8_t* header = tableAt(reader, 0, 28);
    if (!header)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    mvcrash_async_memcpy(reader->header, header, 28);
    if (reader->byteorder->swap32(reader->header[0]) != 1)
        return MVCRASH_ERR_NOT_SUPPORTED;
    return MVCRASH_ERR_NONE;
}

void mvcrash_async_cfe_reader_free(mvcrash_async_cfe_reader_t*) { }

mvcrash_error_t mvcrash_async_cfe_reader_find_pc(const mvcrash_async_cfe_reader_t* reader, std::uint64_t pc, std::uint64_t* function_base, std::uint32_t* encoding)
{
    const auto* order = reader->byteorder;
    const std::uint32_t commonOffset = order->swap32(reader->header[1]);
    const std::uint32_t commonCount = order->swap32(reader->header[2]);
    const std::uint32_t indexOffset = order->swap32(reader->header[5]);
    const std::uint32_t indexCount = order->swap32(reader->header[6]);
    const std::uint8_t* common = tableAt(reader, commonOffset, static_cast<std::uint64_t>(commonCount) * 4);
    if (!common)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if (indexCount < 2)
        return MVCRASH_ERR_NOT_FOUND;
    const std::uint8_t* index = tableAt(reader, indexOffset, static_cast<std::uint64_t>(indexCount - 1) * 12);
    if (!index)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    std::uint32_t first = 0;
    if (!searchEntries(indexCount - 1, pc, [&](std::uint32_t i) { return word(reader, index + i * 12); }, &first))
        return MVCRASH_ERR_NOT_FOUND;
    const std::uint32_t firstFunction = word(reader, index + first * 12);
    const std::uint32_t pageOffset = word(reader, index + first * 12 + 4);
    const std::uint8_t* kindAt = tableAt(reader, pageOffset, 4);
    if (!kindAt)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    const std::uint32_t kind = word(reader, kindAt);
    if (kind == 3) {
        const std::uint8_t* page = tableAt(reader, pageOffset, 12);
        if (!page)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        const std::uint16_t entriesOffset = half(reader, page + 4), entryCount = half(reader, page + 6);
        const std::uint16_t encodingsOffset = half(reader, page + 8), encodingCount = half(reader, page + 10);
        const std::uint8_t* entries = tableAt(reader, static_cast<std::uint64_t>(pageOffset) + entriesOffset, static_cast<std::uint64_t>(entryCount) * 4);
        if (!entries)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        std::uint32_t found = 0;
        auto key = [&](std::uint32_t i) { return static_cast<std::uint64_t>(word(reader, entries + i * 4) & 0xFFFFFF) + firstFunction; };
        if (!searchEntries(entryCount, pc, key, &found))
            return MVCRASH_ERR_NOT_FOUND;
        const std::uint32_t entry = word(reader, entries + found * 4);
        const std::uint32_t encodingIndex = entry >> 24;
        *function_base = key(found);
        if (encodingIndex < commonCount) {
            *encoding = word(reader, common + encodingIndex * 4);
            return MVCRASH_ERR_NONE;
        }
        const std::uint8_t* own = tableAt(reader, static_cast<std::uint64_t>(pageOffset) + encodingsOffset, static_cast<std::uint64_t>(encodingCount) * 4);
        if (!own || encodingIndex - commonCount >= encodingCount)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        *encoding = word(reader, own + (encodingIndex - commonCount) * 4);
        return MVCRASH_ERR_NONE;
    }
    if (kind == 2) {
        const std::uint8_t* page = tableAt(reader, pageOffset, 8);
        if (!page)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        const std::uint16_t entriesOffset = half(reader, page + 4), entryCount = half(reader, page + 6);
        const std::uint8_t* entries = tableAt(reader, static_cast<std::uint64_t>(pageOffset) + entriesOffset, static_cast<std::uint64_t>(entryCount) * 8);
        if (!entries)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        std::uint32_t found = 0;
        if (!searchEntries(entryCount, pc, [&](std::uint32_t i) { return static_cast<std::uint64_t>(word(reader, entries + i * 8)); }, &found))
            return MVCRASH_ERR_NOT_FOUND;
        *function_base = word(reader, entries + found * 8);
        *encoding = word(reader, entries + found * 8 + 4);
        return MVCRASH_ERR_NONE;
    }
    return MVCRASH_ERR_INVALID_ARGUMENT;
}

mvcrash_error_t mvcrash_async_map_register_name(std::uint32_t cfe_register, std::uint32_t* regnum, std::uint32_t cpu_type)
{
    if (cpu_type != MVCRASH_CPU_TYPE_X86_64 && cpu_type != MVCRASH_CPU_TYPE_X86)
        return MVCRASH_ERR_NOT_SUPPORTED;
    static const std::uint32_t x64[] = { MVCRASH_CFE_NO_REGISTER, MVCRASH_X86_64_RBX, MVCRASH_X86_64_R12, MVCRASH_X86_64_R13, MVCRASH_X86_64_R14, MVCRASH_X86_64_R15, MVCRASH_X86_64_RBP };
    static const std::uint32_t x86[] = { MVCRASH_CFE_NO_REGISTER, MVCRASH_X86_EBX, MVCRASH_X86_ECX, MVCRASH_X86_EDX, MVCRASH_X86_EDI, MVCRASH_X86_ESI, MVCRASH_X86_EBP };
    if (cfe_register > 6)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    *regnum = cpu_type == MVCRASH_CPU_TYPE_X86_64 ? x64[cfe_register] : x86[cfe_register];
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t mvcrash_async_cfe_register_decode(std::uint32_t p, std::uint32_t count, std::uint32_t* registers)
{
    if (count > 6)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    std::uint32_t digits[6] = {};
    switch (count) {
    case 6:
    case 5:
        digits[0] = p / 120; p %= 120;
        digits[1] = p / 24; p %= 24;
        digits[2] = p / 6; p %= 6;
        digits[3] = p / 2;
        digits[4] = p % 2;
        break;
    case 4:
        digits[0] = p / 60;
        digits[1] = (p % 60) / 12;
        digits[2] = (p % 12) / 3;
        digits[3] = p % 3;
        break;
    case 3:
        digits[0] = p / 20;
        digits[1] = (p % 20) / 4;
        digits[2] = p % 4;
        break;
    case 2:
        digits[0] = p / 5;
        digits[1] = p % 5;
        break;
    case 1:
        digits[0] = p;
        break;
    default:
        return MVCRASH_ERR_NONE;
    }
    bool used[7] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t seen = 0;
        bool placed = false;
        for (std::uint32_t code = 1; code <= 6; ++code) {
            if (used[code])
                continue;
            if (seen == digits[i]) {
                used[code] = true;
                registers[i] = code;
                placed = true;
                break;
            }
            ++seen;
        }
        // A digit that names no free code: the permutation is corrupt.
        if (!placed)
            return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    return MVCRASH_ERR_NONE;
}

std::uint32_t mvcrash_async_cfe_register_encode(const std::uint32_t* registers, std::uint32_t count)
{
    std::uint32_t r[6] = {};
    for (std::uint32_t i = 0; i < count && i < 6; ++i) {
        std::uint32_t smaller = 0;
        for (std::uint32_t j = 0; j < i; ++j)
            if (registers[j] < registers[i])
                ++smaller;
        r[i] = registers[i] - 1 - smaller;
    }
    switch (count) {
    case 1: return r[0];
    case 2: return 5 * r[0] + r[1];
    case 3: return 20 * r[0] + 4 * r[1] + r[2];
    case 4: return 60 * r[0] + 12 * r[1] + 3 * r[2] + r[3];
    case 5:
    case 6: return 120 * r[0] + 24 * r[1] + 6 * r[2] + 2 * r[3] + r[4];
    default: return 0;
    }
}

mvcrash_error_t mvcrash_async_cfe_entry_init(mvcrash_async_cfe_entry_t* entry, std::uint32_t cpu_type, std::uint32_t encoding)
{
    *entry = mvcrash_async_cfe_entry_t {};
    entry->cpu_type = cpu_type;
    const std::uint32_t mode = (encoding >> 24) & 0xF;
    if (cpu_type == MVCRASH_CPU_TYPE_ARM64) {
        auto pairs = [&] {
            const std::uint32_t flags[5] = { 0x10, 0x08, 0x04, 0x02, 0x01 };
            const std::uint32_t regs[5][2] = { { 31, 30 }, { 29, 28 }, { 27, 26 }, { 25, 24 }, { 23, 22 } };
            for (int i = 0; i < 5; ++i) {
                if (encoding & flags[i]) {
                    entry->register_list[entry->register_count++] = regs[i][0];
                    entry->register_list[entry->register_count++] = regs[i][1];
                }
            }
        };
        switch (mode) {
        case 0: entry->type = MVCRASH_CFE_NONE; return MVCRASH_ERR_NONE;
        case 2:
            entry->type = MVCRASH_CFE_FRAMELESS_IMMEDIATE;
            entry->stack_offset = static_cast<std::int64_t>(((encoding >> 12) & 0xFFF) * 16);
            entry->return_address_register = 32;
            pairs();
            return MVCRASH_ERR_NONE;
        case 3:
            entry->type = MVCRASH_CFE_DWARF;
            entry->stack_offset = encoding & 0xFFFFFF;
            return MVCRASH_ERR_NONE;
        case 4:
            entry->type = MVCRASH_CFE_FRAME_POINTER;
            pairs();
            entry->stack_offset = -static_cast<std::int64_t>(entry->register_count) * 8;
            return MVCRASH_ERR_NONE;
        default:
            return MVCRASH_ERR_NOT_SUPPORTED;
        }
    }
    if (cpu_type != MVCRASH_CPU_TYPE_X86_64 && cpu_type != MVCRASH_CPU_TYPE_X86)
        return MVCRASH_ERR_NOT_SUPPORTED;
    const std::int64_t w = cpu_type == MVCRASH_CPU_TYPE_X86_64 ? 8 : 4;
    switch (mode) {
    case 0:
        entry->type = MVCRASH_CFE_NONE;
        return MVCRASH_ERR_NONE;
    case 1: {
        entry->type = MVCRASH_CFE_FRAME_POINTER;
        entry->stack_offset = -static_cast<std::int64_t>((encoding >> 16) & 0xFF) * w;
        std::uint32_t bits = encoding & 0x7FFF;
        while (bits) {
            std::uint32_t regnum;
            mvcrash_error_t err = mvcrash_async_map_register_name(bits & 0x7, &regnum, cpu_type);
            if (err != MVCRASH_ERR_NONE)
                return err;
            entry->register_list[entry->register_count++] = regnum;
            bits >>= 3;
        }
        return MVCRASH_ERR_NONE;
    }
    case 2:
    case 3: {
        entry->type = mode == 2 ? MVCRASH_CFE_FRAMELESS_IMMEDIATE : MVCRASH_CFE_FRAMELESS_INDIRECT;
        if (mode == 2) {
            entry->stack_offset = static_cast<std::int64_t>((encoding >> 16) & 0xFF) * w;
        } else {
            entry->stack_offset = (encoding >> 16) & 0xFF;
            entry->stack_adjust = static_cast<std::uint32_t>(((encoding >> 13) & 0x7) * static_cast<std::uint32_t>(w));
        }
        const std::uint32_t count = (encoding >> 10) & 0x7;
        std::uint32_t codes[6];
        mvcrash_error_t err = mvcrash_async_cfe_register_decode(encoding & 0x3FF, count, codes);
        if (err != MVCRASH_ERR_NONE)
            return err;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t regnum;
            if ((err = mvcrash_async_map_register_name(codes[i], &regnum, cpu_type)) != MVCRASH_ERR_NONE)
                return err;
            entry->register_list[entry->register_count++] = regnum;
        }
        return MVCRASH_ERR_NONE;
    }
    case 4:
        entry->type = MVCRASH_CFE_DWARF;
        entry->stack_offset = encoding & 0xFFFFFF;
        return MVCRASH_ERR_NONE;
    default:
        return MVCRASH_ERR_NOT_SUPPORTED;
    }
}

void mvcrash_async_cfe_entry_free(mvcrash_async_cfe_entry_t*) { }

mvcrash_error_t mvcrash_async_cfe_entry_apply(mvcrash_task_t task, std::uint64_t function_address, const mvcrash_async_thread_state_t* thread_state, const mvcrash_async_cfe_entry_t* entry, mvcrash_async_thread_state_t* new_thread_state)
{
    mvcrash_async_thread_state_t next = *thread_state;
    mvcrash_async_thread_state_clear_volatile_regs(&next);
    const std::uint32_t w = mvcrash_async_thread_state_get_greg_size(thread_state);
    auto readWord = [&](std::uint64_t address, std::uint64_t* out) -> mvcrash_error_t {
        std::uint64_t value = 0;
        mvcrash_error_t err = mvcrash_async_task_memcpy(task, address, 0, &value, w);
        *out = value;
        return err;
    };
    std::uint64_t start = 0;
    switch (entry->type) {
    case MVCRASH_CFE_FRAMELESS_IMMEDIATE:
    case MVCRASH_CFE_FRAMELESS_INDIRECT: {
        if (!mvcrash_async_thread_state_has_reg(thread_state, MVCRASH_REG_SP))
            return MVCRASH_ERR_NOT_FOUND;
        std::uint64_t size = static_cast<std::uint64_t>(entry->stack_offset);
        if (entry->type == MVCRASH_CFE_FRAMELESS_INDIRECT) {
            std::uint32_t immediate = 0;
            mvcrash_error_t err = mvcrash_async_task_memcpy(task, function_address, entry->stack_offset, &immediate, 4);
            if (err != MVCRASH_ERR_NONE)
                return err;
            size = static_cast<std::uint64_t>(immediate) + entry->stack_adjust;
        }
        const std::uint64_t sp = mvcrash_async_thread_state_get_reg(thread_state, MVCRASH_REG_SP);
        const std::uint64_t newSp = sp + size;
        if (newSp < sp || newSp < w + static_cast<std::uint64_t>(entry->register_count) * w)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        std::uint64_t ip = 0;
        if (entry->return_address_register == MVCRASH_CFE_NO_REGISTER) {
            mvcrash_error_t err = readWord(newSp - w, &ip);
            if (err != MVCRASH_ERR_NONE)
                return err;
            start = newSp - w - static_cast<std::uint64_t>(entry->register_count) * w;
        } else {
            const int ra = static_cast<int>(entry->return_address_register);
            if (static_cast<std::size_t>(ra) >= mvcrash_async_thread_state_get_reg_count(thread_state) || !mvcrash_async_thread_state_has_reg(thread_state, ra))
                return MVCRASH_ERR_NOT_FOUND;
            ip = mvcrash_async_thread_state_get_reg(thread_state, ra);
            start = newSp - static_cast<std::uint64_t>(entry->register_count) * w;
        }
        mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_SP, newSp);
        mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_IP, ip);
        break;
    }
    case MVCRASH_CFE_FRAME_POINTER: {
        if (!mvcrash_async_thread_state_has_reg(thread_state, MVCRASH_REG_FP))
            return MVCRASH_ERR_NOT_FOUND;
        const std::uint64_t fp = mvcrash_async_thread_state_get_reg(thread_state, MVCRASH_REG_FP);
        std::uint64_t newSp;
        if (!mvcrash_async_address_apply_offset(fp, 2 * static_cast<std::int64_t>(w), &newSp))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        std::uint64_t savedFp = 0, ip = 0;
        mvcrash_error_t err = readWord(fp, &savedFp);
        if (err == MVCRASH_ERR_NONE)
            err = readWord(fp + w, &ip);
        if (err != MVCRASH_ERR_NONE)
            return err;
        if (!mvcrash_async_address_apply_offset(fp, entry->stack_offset, &start))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_SP, newSp);
        mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_FP, savedFp);
        mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_IP, ip);
        break;
    }
    default:
        return MVCRASH_ERR_NOT_SUPPORTED;
    }
    for (std::uint32_t i = 0; i < entry->register_count; ++i) {
        const std::uint32_t regnum = entry->register_list[i];
        if (regnum == MVCRASH_CFE_NO_REGISTER)
            continue;
        if (regnum >= mvcrash_async_thread_state_get_reg_count(thread_state))
            return MVCRASH_ERR_NOT_SUPPORTED;
        std::uint64_t value = 0;
        mvcrash_error_t err = readWord(start + static_cast<std::uint64_t>(i) * w, &value);
        if (err != MVCRASH_ERR_NONE)
            return err;
        mvcrash_async_thread_state_set_reg(&next, static_cast<int>(regnum), value);
    }
    *new_thread_state = next;
    return MVCRASH_ERR_NONE;
}
