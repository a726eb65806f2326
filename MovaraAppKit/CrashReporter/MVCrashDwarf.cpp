#include "MovaraAppKit/CrashReporter/MVCrashDwarf.h"

namespace mvcrash::async {

namespace {

// A bounded cursor over bytes of a memory object.
class opstream {
public:
    mvcrash_error_t init(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* order, std::uint64_t address, std::uint64_t offset, std::uint64_t length)
    {
        m_mobj = mobj;
        m_order = order;
        if (offset > INT64_MAX || length > INT64_MAX)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        auto* start = static_cast<const std::uint8_t*>(mvcrash_async_mobject_remap_address(mobj, address, static_cast<std::int64_t>(offset), length));
        if (!start)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        m_start = m_p = start;
        m_end = start + length;
        return MVCRASH_ERR_NONE;
    }

    bool at_end() const { return m_p >= m_end; }
    std::uint64_t position() const { return static_cast<std::uint64_t>(m_p - m_start); }
    std::uint64_t remaining() const { return static_cast<std::uint64_t>(m_end - m_p); }
    std::uint64_t target_address() const { return reinterpret_cast<std::uintptr_t>(m_p) + static_cast<std::uint64_t>(m_mobj->vm_slide); }

    bool skip(std::uint64_t n)
    {
        if (n > remaining())
            return false;
        m_p += n;
        return true;
    }

    bool seek(std::uint64_t position)
    {
        if (position > static_cast<std::uint64_t>(m_end - m_start))
            return false;
        m_p = m_start + position;
        return true;
    }

    template <typename T>
    bool read(T* out)
    {
        if (sizeof(T) > remaining())
            return false;
        T value;
        mvcrash_async_memcpy(&value, m_p, sizeof(T));
        m_p += sizeof(T);
        if constexpr (sizeof(T) == 2)
            value = static_cast<T>(m_order->swap16(static_cast<std::uint16_t>(value)));
        else if constexpr (sizeof(T) == 4)
            value = static_cast<T>(m_order->swap32(static_cast<std::uint32_t>(value)));
        else if constexpr (sizeof(T) == 8)
            value = static_cast<T>(m_order->swap64(static_cast<std::uint64_t>(value)));
        *out = value;
        return true;
    }

    bool read_uleb(std::uint64_t* out)
    {
        std::uint64_t result = 0;
        unsigned shift = 0;
        for (;;) {
            if (at_end())
                return false;
            const std::uint8_t byte = *m_p++;
            if (shift < 64)
                result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            shift += 7;
            if (!(byte & 0x80))
                break;
        }
        *out = result;
        return true;
    }

    bool read_sleb(std::int64_t* out)
    {
        std::uint64_t result = 0;
        unsigned shift = 0;
        std::uint8_t byte;
        for (;;) {
            if (at_end())
                return false;
            byte = *m_p++;
            if (shift < 64)
                result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            shift += 7;
            if (!(byte & 0x80))
                break;
        }
        if (shift < 64 && (byte & 0x40))
            result |= ~0ULL << shift;
        *out = static_cast<std::int64_t>(result);
        return true;
    }

private:
    const mvcrash_async_mobject_t* m_mobj = nullptr;
    const mvcrash_async_byteorder_t* m_order = nullptr;
    const std::uint8_t* m_start = nullptr;
    const std::uint8_t* m_p = nullptr;
    const std::uint8_t* m_end = nullptr;
};

// Opens a stream from `address` to the end of the memory object.
mvcrash_error_t open_to_end(opstream* s, const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* order, std::uint64_t address)
{
    const std::uint64_t base = mvcrash_async_mobject_base_address(mobj);
    if (address < base || address - base > mvcrash_async_mobject_length(mobj))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    return s->init(mobj, order, address, 0, base + mvcrash_async_mobject_length(mobj) - address);
}

// A DWARF entry's length field: 32-bit, or 0xffffffff followed by a 64-bit length.
bool read_entry_length(opstream* s, std::uint64_t* length, bool* is64)
{
    std::uint32_t length32;
    if (!s->read(&length32))
        return false;
    if (length32 == 0xFFFFFFFFu) {
        *is64 = true;
        return s->read(length);
    }
    *is64 = false;
    *length = length32;
    return true;
}

} // namespace

mvcrash_error_t mvcrash_async_dwarf_read_uleb128(const mvcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset, std::uint64_t* result, std::uint64_t* size)
{
    std::uint64_t start;
    if (!mvcrash_async_address_apply_offset(location, offset, &start))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    opstream s;
    if (open_to_end(&s, mobj, mvcrash_async_byteorder_little_endian(), start) != MVCRASH_ERR_NONE || !s.read_uleb(result))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    *size = s.position();
    return MVCRASH_ERR_NONE;
}

mvcrash_error_t mvcrash_async_dwarf_read_sleb128(const mvcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset, std::int64_t* result, std::uint64_t* size)
{
    std::uint64_t start;
    if (!mvcrash_async_address_apply_offset(location, offset, &start))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    opstream s;
    if (open_to_end(&s, mobj, mvcrash_async_byteorder_little_endian(), start) != MVCRASH_ERR_NONE || !s.read_sleb(result))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    *size = s.position();
    return MVCRASH_ERR_NONE;
}

template <typename machine_ptr>
mvcrash_error_t gnu_ehptr_reader<machine_ptr>::read(const mvcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset, std::uint8_t encoding, machine_ptr* result, std::uint64_t* size) const
{
    if (encoding == DW_EH_PE_omit)
        return MVCRASH_ERR_NOT_FOUND;
    std::uint64_t field;
    if (!mvcrash_async_address_apply_offset(location, offset, &field))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    opstream s;
    if (open_to_end(&s, mobj, byteorder, field) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    std::uint64_t base = 0;
    switch (encoding & 0x70) {
    case DW_EH_PE_absptr: base = 0; break;
    case DW_EH_PE_pcrel: base = field; break;
    case DW_EH_PE_textrel:
        if (!has_text_base)
            return MVCRASH_ERR_NOT_SUPPORTED;
        base = text_base;
        break;
    case DW_EH_PE_datarel:
        if (!has_data_base)
            return MVCRASH_ERR_NOT_SUPPORTED;
        base = data_base;
        break;
    case DW_EH_PE_funcrel:
        if (!has_func_base)
            return MVCRASH_ERR_NOT_SUPPORTED;
        base = func_base;
        break;
    case DW_EH_PE_aligned: {
        const std::uint64_t align = sizeof(machine_ptr);
        const std::uint64_t padded = (field + align - 1) & ~(align - 1);
        if (padded < field || !s.skip(padded - field))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        break;
    }
    default:
        return MVCRASH_ERR_NOT_SUPPORTED;
    }
    std::uint64_t value = 0;
    bool ok = true;
    switch (encoding & 0x0F) {
    case DW_EH_PE_absptr: {
        machine_ptr v;
        ok = s.read(&v);
        value = v;
        break;
    }
    case DW_EH_PE_uleb128: ok = s.read_uleb(&value); break;
    case DW_EH_PE_udata2: { std::uint16_t v; ok = s.read(&v); value = v; break; }
    case DW_EH_PE_udata4: { std::uint32_t v; ok = s.read(&v); value = v; break; }
    case DW_EH_PE_udata8: { std::uint64_t v; ok = s.read(&v); value = v; break; }
    case DW_EH_PE_sleb128: { std::int64_t v; ok = s.read_sleb(&v); value = static_cast<std::uint64_t>(v); break; }
    case DW_EH_PE_sdata2: { std::int16_t v; ok = s.read(&v); value = static_cast<std::uint64_t>(static_cast<std::int64_t>(v)); break; }
    case DW_EH_PE_sdata4: { std::int32_t v; ok = s.read(&v); value = static_cast<std::uint64_t>(static_cast<std::int64_t>(v)); break; }
    case DW_EH_PE_sdata8: { std::int64_t v; ok = s.read(&v); value = static_cast<std::uint64_t>(v); break; }
    default: return MVCRASH_ERR_NOT_SUPPORTED;
    }
    if (!ok)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    *size = s.position();
    value += base;
    if (encoding & DW_EH_PE_indirect) {
        machine_ptr target;
        mvcrash_error_t err = mvcrash_async_task_memcpy(mvcrash_async_mobject_task(mobj), value, 0, &target, sizeof target);
        if (err != MVCRASH_ERR_NONE)
            return err;
        if constexpr (sizeof(machine_ptr) == 4)
            target = byteorder->swap32(target);
        else
            target = byteorder->swap64(target);
        value = target;
    }
    *result = static_cast<machine_ptr>(value);
    return MVCRASH_ERR_NONE;
}

template <typename machine_ptr>
mvcrash_error_t mvcrash_async_dwarf_cie_info_init(mvcrash_async_dwarf_cie_info_t* info, const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, const gnu_ehptr_reader<machine_ptr>* reader, std::uint64_t address)
{
    *info = mvcrash_async_dwarf_cie_info_t {};
    const std::uint64_t base = mvcrash_async_mobject_base_address(mobj);
    opstream s;
    if (open_to_end(&s, mobj, byteorder, address) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    bool is64 = false;
    if (!read_entry_length(&s, &info->cie_length, &is64))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    info->cie_offset = address - base + s.position();
    if (info->cie_length > s.remaining())
        return MVCRASH_ERR_INVALID_ARGUMENT;
    const std::uint64_t end = s.position() + info->cie_length;
    if (is64) {
        if (!s.read(&info->cie_id))
            return MVCRASH_ERR_INVALID_ARGUMENT;
    } else {
        std::uint32_t id;
        if (!s.read(&id))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        info->cie_id = id;
    }
    if (!s.read(&info->cie_version))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    // Augmentation string: empty, or beginning with "z".
    char augmentation[32];
    unsigned augLength = 0;
    for (;;) {
        std::uint8_t c;
        if (!s.read(&c) || s.position() > end)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        if (c == 0)
            break;
        if (augLength + 1 >= sizeof augmentation)
            return MVCRASH_ERR_NOT_SUPPORTED;
        augmentation[augLength++] = static_cast<char>(c);
    }
    augmentation[augLength] = 0;
    if (augLength > 0 && augmentation[0] != 'z')
        return MVCRASH_ERR_NOT_SUPPORTED;
    info->has_eh_augmentation = augLength > 0;
    if (info->cie_version == 4) {
        if (!s.read(&info->address_size) || !s.read(&info->segment_size))
            return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    if (!s.read_uleb(&info->code_alignment_factor) || !s.read_sleb(&info->data_alignment_factor))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if (info->cie_version == 1) {
        std::uint8_t ra;
        if (!s.read(&ra))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        info->return_address_register = ra;
    } else if (!s.read_uleb(&info->return_address_register)) {
        return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    if (info->has_eh_augmentation) {
        std::uint64_t dataLength;
        if (!s.read_uleb(&dataLength) || dataLength > s.remaining())
            return MVCRASH_ERR_INVALID_ARGUMENT;
        const std::uint64_t dataEnd = s.position() + dataLength;
        for (unsigned i = 1; i < augLength; ++i) {
            switch (augmentation[i]) {
            case 'L':
                if (!s.read(&info->lsda_encoding))
                    return MVCRASH_ERR_INVALID_ARGUMENT;
                info->has_lsda_encoding = true;
                break;
            case 'P': {
                std::uint8_t encoding;
                if (!s.read(&encoding))
                    return MVCRASH_ERR_INVALID_ARGUMENT;
                machine_ptr personality;
                std::uint64_t size = 0;
                mvcrash_error_t err = reader->read(mobj, s.target_address(), 0, encoding, &personality, &size);
                if (err != MVCRASH_ERR_NONE)
                    return err;
                if (!s.skip(size))
                    return MVCRASH_ERR_INVALID_ARGUMENT;
                info->personality_address = personality;
                info->has_personality_address = true;
                break;
            }
            case 'R':
                if (!s.read(&info->pointer_encoding))
                    return MVCRASH_ERR_INVALID_ARGUMENT;
                info->has_pointer_encoding = true;
                break;
            case 'S':
                info->signal_frame = true;
                break;
            default:
                // An augmentation we do not know: its data is skipped as a whole below.
                i = augLength;
                break;
            }
        }
        if (s.position() > dataEnd || !s.seek(dataEnd))
            return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    if (s.position() > end)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    info->initial_instructions_offset = address - base + s.position();
    info->initial_instructions_length = end - s.position();
    return MVCRASH_ERR_NONE;
}

template <typename machine_ptr>
mvcrash_error_t mvcrash_async_dwarf_fde_info_init(mvcrash_async_dwarf_fde_info_t* info, const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, const gnu_ehptr_reader<machine_ptr>* reader, std::uint64_t fde_address, bool debug_frame)
{
    *info = mvcrash_async_dwarf_fde_info_t {};
    const std::uint64_t base = mvcrash_async_mobject_base_address(mobj);
    opstream s;
    if (open_to_end(&s, mobj, byteorder, fde_address) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    bool is64 = false;
    if (!read_entry_length(&s, &info->fde_length, &is64))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    info->fde_offset = fde_address - base + s.position();
    if (info->fde_length > s.remaining())
        return MVCRASH_ERR_INVALID_ARGUMENT;
    const std::uint64_t end = s.position() + info->fde_length;
    const std::uint64_t idField = fde_address - base + s.position();
    std::uint64_t cieRef;
    if (is64) {
        if (!s.read(&cieRef))
            return MVCRASH_ERR_INVALID_ARGUMENT;
    } else {
        std::uint32_t v;
        if (!s.read(&v))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        cieRef = v;
    }
    if (debug_frame) {
        info->cie_offset = cieRef;
    } else {
        // In .eh_frame the field counts back from itself to the CIE.
        if (cieRef == 0 || cieRef > idField)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        info->cie_offset = idField - cieRef;
    }
    if (info->cie_offset >= mvcrash_async_mobject_length(mobj))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    mvcrash_async_dwarf_cie_info_t cie;
    mvcrash_error_t err = mvcrash_async_dwarf_cie_info_init(&cie, mobj, byteorder, reader, base + info->cie_offset);
    if (err != MVCRASH_ERR_NONE)
        return err;
    const std::uint8_t encoding = cie.has_pointer_encoding ? cie.pointer_encoding : static_cast<std::uint8_t>(DW_EH_PE_absptr);
    machine_ptr start, range;
    std::uint64_t size = 0;
    if ((err = reader->read(mobj, s.target_address(), 0, encoding, &start, &size)) != MVCRASH_ERR_NONE)
        return err;
    if (!s.skip(size))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if ((err = reader->read(mobj, s.target_address(), 0, static_cast<std::uint8_t>(encoding & 0x0F), &range, &size)) != MVCRASH_ERR_NONE)
        return err;
    if (!s.skip(size))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    info->pc_start = start;
    info->pc_end = static_cast<std::uint64_t>(start) + static_cast<std::uint64_t>(range);
    if (info->pc_end < info->pc_start || (sizeof(machine_ptr) == 4 && info->pc_end > 0xFFFFFFFFULL))
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if (cie.has_eh_augmentation) {
        std::uint64_t dataLength;
        if (!s.read_uleb(&dataLength) || !s.skip(dataLength))
            return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    if (s.position() > end)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    info->instructions_offset = fde_address - base + s.position();
    info->instructions_length = end - s.position();
    return MVCRASH_ERR_NONE;
}

template <typename machine_ptr>
mvcrash_error_t dwarf_frame_reader<machine_ptr>::init(const mvcrash_async_mobject_t* section, const mvcrash_async_byteorder_t* order, bool is_debug_frame)
{
    mobj = section;
    byteorder = order;
    debug_frame = is_debug_frame;
    return MVCRASH_ERR_NONE;
}

template <typename machine_ptr>
mvcrash_error_t dwarf_frame_reader<machine_ptr>::find_fde(std::uint64_t offset, std::uint64_t pc, const gnu_ehptr_reader<machine_ptr>* reader, mvcrash_async_dwarf_fde_info_t* result) const
{
    const std::uint64_t base = mvcrash_async_mobject_base_address(mobj);
    const std::uint64_t length = mvcrash_async_mobject_length(mobj);
    while (offset < length) {
        opstream s;
        if (s.init(mobj, byteorder, base, static_cast<std::int64_t>(offset), length - offset) != MVCRASH_ERR_NONE)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        std::uint64_t entryLength;
        bool is64;
        if (!read_entry_length(&s, &entryLength, &is64))
            return MVCRASH_ERR_NOT_FOUND;
        if (entryLength == 0)
            return MVCRASH_ERR_NOT_FOUND; // the terminator
        if (entryLength > s.remaining())
            return MVCRASH_ERR_INVALID_ARGUMENT;
        std::uint64_t id;
        if (is64) {
            if (!s.read(&id))
                return MVCRASH_ERR_INVALID_ARGUMENT;
        } else {
            std::uint32_t v;
            if (!s.read(&v))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            id = v;
        }
        const bool isCie = debug_frame ? (is64 ? id == ~0ULL : id == 0xFFFFFFFFULL) : id == 0;
        if (!isCie) {
            mvcrash_async_dwarf_fde_info_t fde;
            if (mvcrash_async_dwarf_fde_info_init(&fde, mobj, byteorder, reader, base + offset, debug_frame) == MVCRASH_ERR_NONE
                && pc >= fde.pc_start && pc < fde.pc_end) {
                *result = fde;
                return MVCRASH_ERR_NONE;
            }
        }
        const std::uint64_t header = is64 ? 12 : 4;
        if (offset + header + entryLength < offset)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        offset += header + entryLength;
    }
    return MVCRASH_ERR_NOT_FOUND;
}

// --- rule table --------------------------------------------------------------------------

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::set_register(std::uint32_t regnum, mvcrash_dwarf_cfa_reg_rule_t rule, std::int64_t value)
{
    for (unsigned i = 0; i < m_count; ++i) {
        if (m_entries[i].level == m_depth && m_entries[i].regnum == regnum) {
            m_entries[i].rule = rule;
            m_entries[i].value = value;
            return true;
        }
    }
    if (m_count >= DWARF_CFA_STATE_MAX_REGISTERS)
        return false;
    m_entries[m_count++] = entry { static_cast<std::uint8_t>(m_depth), rule, regnum, value };
    return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::get_register_rule(std::uint32_t regnum, mvcrash_dwarf_cfa_reg_rule_t* rule, std::int64_t* value) const
{
    for (unsigned i = 0; i < m_count; ++i) {
        if (m_entries[i].level == m_depth && m_entries[i].regnum == regnum) {
            *rule = m_entries[i].rule;
            *value = m_entries[i].value;
            return true;
        }
    }
    return false;
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::remove_register(std::uint32_t regnum)
{
    for (unsigned i = 0; i < m_count; ++i) {
        if (m_entries[i].level == m_depth && m_entries[i].regnum == regnum) {
            for (unsigned j = i + 1; j < m_count; ++j)
                m_entries[j - 1] = m_entries[j];
            --m_count;
            return;
        }
    }
}

template <typename P, typename S>
std::uint32_t dwarf_cfa_state<P, S>::get_register_count() const
{
    std::uint32_t n = 0;
    for (unsigned i = 0; i < m_count; ++i)
        if (m_entries[i].level == m_depth)
            ++n;
    return n;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::push_state()
{
    if (m_depth + 1 >= DWARF_CFA_STATE_MAX_STATES)
        return false;
    const unsigned current = get_register_count();
    if (m_count + current > DWARF_CFA_STATE_MAX_REGISTERS)
        return false;
    // The new level starts as a copy of the current one; the current one is what comes back.
    const unsigned existing = m_count;
    for (unsigned i = 0; i < existing; ++i) {
        if (m_entries[i].level == m_depth) {
            entry copy = m_entries[i];
            copy.level = static_cast<std::uint8_t>(m_depth + 1);
            m_entries[m_count++] = copy;
        }
    }
    m_cfa[m_depth + 1] = m_cfa[m_depth];
    ++m_depth;
    return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::pop_state()
{
    if (m_depth == 0)
        return false;
    unsigned kept = 0;
    for (unsigned i = 0; i < m_count; ++i)
        if (m_entries[i].level != m_depth)
            m_entries[kept++] = m_entries[i];
    m_count = kept;
    --m_depth;
    return true;
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_register(std::uint32_t regnum, mvcrash_dwarf_cfa_rule_type_t type, std::int64_t offset)
{
    m_cfa[m_depth] = dwarf_cfa_rule { type, regnum, offset, 0, 0 };
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_expression(std::uint64_t address, std::uint64_t length)
{
    m_cfa[m_depth] = dwarf_cfa_rule { CFA_RULE_EXPRESSION, 0, 0, address, length };
}

template <typename P, typename S>
mvcrash_error_t dwarf_cfa_state<P, S>::eval_program(const mvcrash_async_mobject_t* mobj, std::uint64_t pc, std::uint64_t initial_location, const mvcrash_async_dwarf_cie_info_t* cie, const gnu_ehptr_reader<P>* reader, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::uint64_t offset, std::uint64_t length)
{
    // The rules in force when the program starts, for DW_CFA_restore.
    entry initial[DWARF_CFA_STATE_MAX_REGISTERS];
    unsigned initialCount = 0;
    for_each([&](const entry& e) { initial[initialCount++] = e; });

    const std::uint8_t setLocEncoding = (cie->has_eh_augmentation && cie->has_pointer_encoding && reader) ? cie->pointer_encoding : 0;
    opstream s;
    if (s.init(mobj, byteorder, address, static_cast<std::int64_t>(offset), length) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    std::uint64_t location = initial_location;
    if (pc != 0 && pc < location)
        return MVCRASH_ERR_NONE;
    const std::uint64_t caf = cie->code_alignment_factor;
    const std::int64_t daf = cie->data_alignment_factor;

    auto regOperand = [&](std::uint32_t* reg) -> mvcrash_error_t {
        std::uint64_t r;
        if (!s.read_uleb(&r))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        if (r > 0xFFFFFFFFULL)
            return MVCRASH_ERR_NOT_SUPPORTED;
        *reg = static_cast<std::uint32_t>(r);
        return MVCRASH_ERR_NONE;
    };
    auto setRule = [&](std::uint32_t reg, mvcrash_dwarf_cfa_reg_rule_t rule, std::int64_t value) -> mvcrash_error_t {
        return set_register(reg, rule, value) ? MVCRASH_ERR_NONE : MVCRASH_ERR_NO_MEMORY;
    };
    auto restore = [&](std::uint32_t reg) -> mvcrash_error_t {
        for (unsigned i = 0; i < initialCount; ++i)
            if (initial[i].regnum == reg)
                return setRule(reg, initial[i].rule, initial[i].value);
        remove_register(reg);
        return MVCRASH_ERR_NONE;
    };
    auto cfaIsRegister = [&]() {
        const auto type = m_cfa[m_depth].type;
        return type == CFA_RULE_REGISTER || type == CFA_RULE_REGISTER_SIGNED;
    };

    while (!s.at_end() && (pc == 0 || pc >= location)) {
        std::uint8_t opcode;
        if (!s.read(&opcode))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        mvcrash_error_t err = MVCRASH_ERR_NONE;
        const std::uint8_t high = opcode & 0xC0;
        const std::uint8_t low = opcode & 0x3F;
        if (high == 0x40) {
            location += low * caf;
            continue;
        }
        if (high == 0x80) {
            std::uint64_t u;
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if ((err = setRule(low, DWARF_RULE_OFFSET, static_cast<std::int64_t>(u) * daf)) != MVCRASH_ERR_NONE)
                return err;
            continue;
        }
        if (high == 0xC0) {
            if ((err = restore(low)) != MVCRASH_ERR_NONE)
                return err;
            continue;
        }
        std::uint32_t reg = 0, reg2 = 0;
        std::uint64_t u = 0;
        std::int64_t sv = 0;
        switch (opcode) {
        case 0x00: // DW_CFA_nop
            break;
        case 0x01: { // DW_CFA_set_loc
            if (cie->segment_size != 0)
                return MVCRASH_ERR_NOT_SUPPORTED;
            P value;
            std::uint64_t size = 0;
            if (!reader || reader->read(mobj, s.target_address(), 0, setLocEncoding, &value, &size) != MVCRASH_ERR_NONE || !s.skip(size))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            location = value;
            break;
        }
        case 0x02: { std::uint8_t d; if (!s.read(&d)) return MVCRASH_ERR_INVALID_ARGUMENT; location += d * caf; break; }
        case 0x03: { std::uint16_t d; if (!s.read(&d)) return MVCRASH_ERR_INVALID_ARGUMENT; location += d * caf; break; }
        case 0x04: { std::uint32_t d; if (!s.read(&d)) return MVCRASH_ERR_INVALID_ARGUMENT; location += d * caf; break; }
        case 0x05: // DW_CFA_offset_extended
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            err = setRule(reg, DWARF_RULE_OFFSET, static_cast<std::int64_t>(u) * daf);
            break;
        case 0x06: // DW_CFA_restore_extended
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            err = restore(reg);
            break;
        case 0x07: // DW_CFA_undefined
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            remove_register(reg);
            break;
        case 0x08: // DW_CFA_same_value
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            err = setRule(reg, DWARF_RULE_SAME_VALUE, 0);
            break;
        case 0x09: // DW_CFA_register
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE || (err = regOperand(&reg2)) != MVCRASH_ERR_NONE)
                return err;
            err = setRule(reg, DWARF_RULE_REGISTER, reg2);
            break;
        case 0x0A: // DW_CFA_remember_state
            if (!push_state())
                return MVCRASH_ERR_NO_MEMORY;
            break;
        case 0x0B: // DW_CFA_restore_state
            if (!pop_state())
                return MVCRASH_ERR_INVALID_ARGUMENT;
            break;
        case 0x0C: // DW_CFA_def_cfa
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            set_cfa_register(reg, CFA_RULE_REGISTER, static_cast<std::int64_t>(u));
            break;
        case 0x0D: // DW_CFA_def_cfa_register
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!cfaIsRegister())
                return MVCRASH_ERR_INVALID_ARGUMENT;
            m_cfa[m_depth].reg = reg;
            break;
        case 0x0E: // DW_CFA_def_cfa_offset
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (!cfaIsRegister())
                return MVCRASH_ERR_INVALID_ARGUMENT;
            set_cfa_register(m_cfa[m_depth].reg, CFA_RULE_REGISTER, static_cast<std::int64_t>(u));
            break;
        case 0x0F: { // DW_CFA_def_cfa_expression
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            const std::uint64_t at = s.target_address();
            // A block that runs past the program is malformed: the rule would point at bytes
            // that are not its own.
            if (!s.skip(u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            set_cfa_expression(at, u);
            break;
        }
        case 0x10: // DW_CFA_expression
        case 0x16: { // DW_CFA_val_expression
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            const std::uint64_t at = s.target_address();
            if (!s.read_uleb(&u) || !s.skip(u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            err = setRule(reg, opcode == 0x10 ? DWARF_RULE_EXPRESSION : DWARF_RULE_VAL_EXPRESSION, static_cast<std::int64_t>(at));
            break;
        }
        case 0x11: // DW_CFA_offset_extended_sf
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!s.read_sleb(&sv))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            err = setRule(reg, DWARF_RULE_OFFSET, sv * daf);
            break;
        case 0x12: // DW_CFA_def_cfa_sf
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!s.read_sleb(&sv))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            set_cfa_register(reg, CFA_RULE_REGISTER_SIGNED, sv * daf);
            break;
        case 0x13: // DW_CFA_def_cfa_offset_sf
            if (!s.read_sleb(&sv))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (!cfaIsRegister())
                return MVCRASH_ERR_INVALID_ARGUMENT;
            set_cfa_register(m_cfa[m_depth].reg, CFA_RULE_REGISTER_SIGNED, sv * daf);
            break;
        case 0x14: // DW_CFA_val_offset
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            err = setRule(reg, DWARF_RULE_VAL_OFFSET, static_cast<std::int64_t>(u) * daf);
            break;
        case 0x15: // DW_CFA_val_offset_sf
            if ((err = regOperand(&reg)) != MVCRASH_ERR_NONE)
                return err;
            if (!s.read_sleb(&sv))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            err = setRule(reg, DWARF_RULE_VAL_OFFSET, sv * daf);
            break;
        case 0x2E: // DW_CFA_GNU_args_size: the outgoing argument area, irrelevant to unwinding
            if (!s.read_uleb(&u))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            break;
        default:
            return MVCRASH_ERR_NOT_SUPPORTED;
        }
        if (err != MVCRASH_ERR_NONE)
            return err;
    }
    return MVCRASH_ERR_NONE;
}

namespace {

template <typename P>
mvcrash_error_t read_word(mvcrash_task_t task, const mvcrash_async_byteorder_t* order, std::uint64_t address, std::uint64_t* out)
{
    P word;
    mvcrash_error_t err = mvcrash_async_task_memcpy(task, address, 0, &word, sizeof word);
    if (err != MVCRASH_ERR_NONE)
        return err;
    if constexpr (sizeof(P) == 4)
        *out = order->swap32(word);
    else
        *out = order->swap64(word);
    return MVCRASH_ERR_NONE;
}

template <typename P, typename S>
mvcrash_error_t eval_block(mvcrash_task_t task, const mvcrash_async_thread_state_t* state, const mvcrash_async_byteorder_t* order, std::uint64_t address, std::uint64_t length, const P* initial, std::size_t initialCount, P* result)
{
    mvcrash_async_mobject_t mobj;
    mvcrash_error_t err = mvcrash_async_mobject_init(&mobj, task, address, length, true);
    if (err != MVCRASH_ERR_NONE)
        return err;
    err = mvcrash_async_dwarf_expression_eval<P, S>(&mobj, task, state, order, address, 0, length, initial, initialCount, result);
    mvcrash_async_mobject_free(&mobj);
    return err;
}

} // namespace

template <typename P, typename S>
mvcrash_error_t dwarf_cfa_state<P, S>::apply_state(mvcrash_task_t task, const mvcrash_async_dwarf_cie_info_t* cie, const mvcrash_async_thread_state_t* thread_state, const mvcrash_async_byteorder_t* byteorder, mvcrash_async_thread_state_t* new_thread_state)
{
    mvcrash_async_thread_state_t next = *thread_state;
    mvcrash_async_thread_state_clear_volatile_regs(&next);
    const std::uint32_t w = mvcrash_async_thread_state_get_greg_size(thread_state);
    const dwarf_cfa_rule& cfaRule = m_cfa[m_depth];
    std::uint64_t cfa = 0;
    switch (cfaRule.type) {
    case CFA_RULE_REGISTER:
    case CFA_RULE_REGISTER_SIGNED: {
        int reg;
        if (!mvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cfaRule.reg, &reg))
            return MVCRASH_ERR_NOT_SUPPORTED;
        if (!mvcrash_async_thread_state_has_reg(thread_state, reg))
            return MVCRASH_ERR_NOT_FOUND;
        cfa = static_cast<P>(mvcrash_async_thread_state_get_reg(thread_state, reg) + static_cast<std::uint64_t>(cfaRule.offset));
        break;
    }
    case CFA_RULE_EXPRESSION: {
        P value;
        mvcrash_error_t err = eval_block<P, S>(task, thread_state, byteorder, cfaRule.expression, cfaRule.expression_length, nullptr, 0, &value);
        if (err != MVCRASH_ERR_NONE)
            return err;
        cfa = value;
        break;
    }
    default:
        return MVCRASH_ERR_INVALID_ARGUMENT;
    }
    mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_SP, cfa);
    mvcrash_async_thread_state_clear_reg(&next, MVCRASH_REG_IP);

    mvcrash_error_t failure = MVCRASH_ERR_NONE;
    for_each([&](const entry& e) {
        if (failure != MVCRASH_ERR_NONE)
            return;
        int target;
        const bool isReturnAddress = e.regnum == cie->return_address_register;
        bool mapped = mvcrash_async_thread_state_map_dwarf_to_reg(thread_state, e.regnum, &target);
        if (!mapped) {
            if (!isReturnAddress) {
                failure = MVCRASH_ERR_INVALID_ARGUMENT;
                return;
            }
            target = MVCRASH_REG_IP;
        }
        std::uint64_t value = 0;
        switch (e.rule) {
        case DWARF_RULE_OFFSET:
            failure = read_word<P>(task, byteorder, static_cast<P>(cfa + static_cast<std::uint64_t>(e.value)), &value);
            break;
        case DWARF_RULE_VAL_OFFSET:
            value = static_cast<P>(cfa + static_cast<std::uint64_t>(e.value));
            break;
        case DWARF_RULE_REGISTER: {
            int source;
            if (!mvcrash_async_thread_state_map_dwarf_to_reg(thread_state, static_cast<std::uint64_t>(e.value), &source))
                failure = MVCRASH_ERR_INVALID_ARGUMENT;
            else if (!mvcrash_async_thread_state_has_reg(thread_state, source))
                failure = MVCRASH_ERR_NOT_FOUND;
            else
                value = mvcrash_async_thread_state_get_reg(thread_state, source);
            break;
        }
        case DWARF_RULE_SAME_VALUE:
            if (!mapped || !mvcrash_async_thread_state_has_reg(thread_state, target))
                failure = MVCRASH_ERR_NOT_FOUND;
            else
                value = mvcrash_async_thread_state_get_reg(thread_state, target);
            break;
        case DWARF_RULE_EXPRESSION:
        case DWARF_RULE_VAL_EXPRESSION: {
            // The rule holds the address of the block's length field.
            std::uint8_t lengthBytes[10];
            std::uint64_t blockLength = 0, used = 0;
            unsigned shift = 0;
            const std::uint64_t at = static_cast<std::uint64_t>(e.value);
            for (used = 0; used < sizeof lengthBytes; ++used) {
                if ((failure = mvcrash_async_task_memcpy(task, at, static_cast<std::int64_t>(used), &lengthBytes[used], 1)) != MVCRASH_ERR_NONE)
                    return;
                blockLength |= static_cast<std::uint64_t>(lengthBytes[used] & 0x7F) << shift;
                shift += 7;
                if (!(lengthBytes[used] & 0x80))
                    break;
            }
            if (used == sizeof lengthBytes) {
                failure = MVCRASH_ERR_INVALID_ARGUMENT;
                return;
            }
            P initial[1] = { static_cast<P>(cfa) };
            P result;
            if ((failure = eval_block<P, S>(task, thread_state, byteorder, at + used + 1, blockLength, initial, 1, &result)) != MVCRASH_ERR_NONE)
                return;
            if (e.rule == DWARF_RULE_EXPRESSION)
                failure = read_word<P>(task, byteorder, result, &value);
            else
                value = result;
            break;
        }
        }
        if (failure != MVCRASH_ERR_NONE)
            return;
        mvcrash_async_thread_state_set_reg(&next, target, value);
        if (isReturnAddress && mapped)
            mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_IP, value);
    });
    if (failure != MVCRASH_ERR_NONE)
        return failure;
    (void)w;
    if (!mvcrash_async_thread_state_has_reg(&next, MVCRASH_REG_IP)) {
        int ra;
        if (!mvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &ra) || !mvcrash_async_thread_state_has_reg(thread_state, ra))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        mvcrash_async_thread_state_set_reg(&next, MVCRASH_REG_IP, mvcrash_async_thread_state_get_reg(thread_state, ra));
    }
    *new_thread_state = next;
    return MVCRASH_ERR_NONE;
}

// --- expressions -------------------------------------------------------------------------

template <typename P, typename S>
mvcrash_error_t mvcrash_async_dwarf_expression_eval(const mvcrash_async_mobject_t* mobj, mvcrash_task_t task, const mvcrash_async_thread_state_t* thread_state, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::uint64_t offset, std::uint64_t length, const P* initial, std::size_t initial_count, P* result)
{
    constexpr std::size_t kDepth = 100;
    P stack[kDepth];
    std::size_t depth = 0;
    if (initial_count > kDepth)
        return MVCRASH_ERR_INTERNAL;
    for (std::size_t i = 0; i < initial_count; ++i)
        stack[depth++] = initial[i];
    opstream s;
    if (s.init(mobj, byteorder, address, static_cast<std::int64_t>(offset), length) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;

    auto push = [&](P v) -> bool {
        if (depth >= kDepth)
            return false;
        stack[depth++] = v;
        return true;
    };
    auto readTarget = [&](std::uint64_t at, std::size_t size, P* out) -> mvcrash_error_t {
        std::uint8_t bytes[8] = {};
        mvcrash_error_t err = mvcrash_async_task_memcpy(task, at, 0, bytes, size);
        if (err != MVCRASH_ERR_NONE)
            return err;
        std::uint64_t v = 0;
        switch (size) {
        case 1: v = bytes[0]; break;
        case 2: { std::uint16_t x; mvcrash_async_memcpy(&x, bytes, 2); v = byteorder->swap16(x); break; }
        case 4: { std::uint32_t x; mvcrash_async_memcpy(&x, bytes, 4); v = byteorder->swap32(x); break; }
        case 8: { std::uint64_t x; mvcrash_async_memcpy(&x, bytes, 8); v = byteorder->swap64(x); break; }
        }
        *out = static_cast<P>(v);
        return MVCRASH_ERR_NONE;
    };
    auto breg = [&](std::uint64_t dwarfReg) -> mvcrash_error_t {
        std::int64_t off;
        if (!s.read_sleb(&off))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        int reg;
        if (!mvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &reg))
            return MVCRASH_ERR_NOT_SUPPORTED;
        if (!mvcrash_async_thread_state_has_reg(thread_state, reg))
            return MVCRASH_ERR_NOT_FOUND;
        return push(static_cast<P>(mvcrash_async_thread_state_get_reg(thread_state, reg) + static_cast<std::uint64_t>(off))) ? MVCRASH_ERR_NONE : MVCRASH_ERR_INTERNAL;
    };
    auto jump = [&](std::int16_t delta) -> mvcrash_error_t {
        const std::int64_t target = static_cast<std::int64_t>(s.position()) + delta;
        if (target < 0 || static_cast<std::uint64_t>(target) > length || !s.seek(static_cast<std::uint64_t>(target)))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        return MVCRASH_ERR_NONE;
    };

    while (!s.at_end()) {
        std::uint8_t op;
        if (!s.read(&op))
            return MVCRASH_ERR_INVALID_ARGUMENT;
        mvcrash_error_t err = MVCRASH_ERR_NONE;
        if (op >= 0x30 && op <= 0x4F) {
            if (!push(static_cast<P>(op - 0x30)))
                return MVCRASH_ERR_INTERNAL;
            continue;
        }
        if (op >= 0x70 && op <= 0x8F) {
            if ((err = breg(op - 0x70)) != MVCRASH_ERR_NONE)
                return err;
            continue;
        }
        switch (op) {
        case 0x06: { // deref
            if (depth < 1)
                return MVCRASH_ERR_INTERNAL;
            P v;
            if ((err = readTarget(stack[depth - 1], sizeof(P), &v)) != MVCRASH_ERR_NONE)
                return err;
            stack[depth - 1] = v;
            break;
        }
        case 0x08: { std::uint8_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x09: { std::int8_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(static_cast<S>(v)))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x0A: { std::uint16_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x0B: { std::int16_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(static_cast<S>(v)))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x0C: { std::uint32_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x0D: { std::int32_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(static_cast<S>(v)))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x0E: { std::uint64_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x0F: { std::int64_t v; if (!s.read(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x10: { std::uint64_t v; if (!s.read_uleb(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x11: { std::int64_t v; if (!s.read_sleb(&v)) return MVCRASH_ERR_INVALID_ARGUMENT; if (!push(static_cast<P>(v))) return MVCRASH_ERR_INTERNAL; break; }
        case 0x12: // dup
            if (depth < 1)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (!push(stack[depth - 1]))
                return MVCRASH_ERR_INTERNAL;
            break;
        case 0x13: // drop
            if (depth < 1)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            --depth;
            break;
        case 0x14: // over
            if (depth < 2)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (!push(stack[depth - 2]))
                return MVCRASH_ERR_INTERNAL;
            break;
        case 0x15: { // pick
            std::uint8_t index;
            if (!s.read(&index))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (index >= depth)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (!push(stack[depth - 1 - index]))
                return MVCRASH_ERR_INTERNAL;
            break;
        }
        case 0x16: // swap
            if (depth < 2)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            { P t = stack[depth - 1]; stack[depth - 1] = stack[depth - 2]; stack[depth - 2] = t; }
            break;
        case 0x17: // rot
            if (depth < 3)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            { P top = stack[depth - 1]; stack[depth - 1] = stack[depth - 2]; stack[depth - 2] = stack[depth - 3]; stack[depth - 3] = top; }
            break;
        case 0x18: // xderef
        case 0x95: { // xderef_size
            if (depth < 2)
                return MVCRASH_ERR_INVALID_ARGUMENT;
            { P t = stack[depth - 1]; stack[depth - 1] = stack[depth - 2]; stack[depth - 2] = t; }
            std::size_t size = sizeof(P);
            if (op == 0x95) {
                std::uint8_t sz;
                if (!s.read(&sz))
                    return MVCRASH_ERR_INVALID_ARGUMENT;
                if (!(sz == 1 || sz == 2 || sz == 4 || (sz == 8 && sizeof(P) == 8)))
                    return MVCRASH_ERR_INVALID_ARGUMENT;
                size = sz;
            }
            P v;
            if ((err = readTarget(stack[depth - 1], size, &v)) != MVCRASH_ERR_NONE)
                return err;
            stack[depth - 1] = v;
            break;
        }
        case 0x19: case 0x1F: case 0x20: { // abs, neg, not
            if (depth < 1)
                return MVCRASH_ERR_INTERNAL;
            P& v = stack[depth - 1];
            const S sv = static_cast<S>(v);
            if (op == 0x19)
                v = static_cast<P>(sv < 0 ? P(0) - v : v);
            else if (op == 0x1F)
                v = P(0) - v;
            else
                v = static_cast<P>(~v);
            break;
        }
        case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x21: case 0x22: case 0x27:
        case 0x24: case 0x25: case 0x26:
        case 0x29: case 0x2A: case 0x2B: case 0x2C: case 0x2D: case 0x2E: {
            if (depth < 2)
                return MVCRASH_ERR_INTERNAL;
            const P b = stack[--depth];
            const P a = stack[depth - 1];
            P r = 0;
            const unsigned shift = static_cast<unsigned>(static_cast<std::uint64_t>(b) % 64) % (sizeof(P) * 8);
            const bool shiftAll = static_cast<std::uint64_t>(b) % 64 >= sizeof(P) * 8;
            switch (op) {
            case 0x1A: r = a & b; break;
            case 0x1B: if (b == 0) return MVCRASH_ERR_INVALID_ARGUMENT; r = a / b; break;
            case 0x1C: r = a - b; break;
            case 0x1D: if (b == 0) return MVCRASH_ERR_INVALID_ARGUMENT; r = a % b; break;
            case 0x1E: r = a * b; break;
            case 0x21: r = a | b; break;
            case 0x22: r = a + b; break;
            case 0x27: r = a ^ b; break;
            case 0x24: r = shiftAll ? P(0) : static_cast<P>(a << shift); break;
            case 0x25: r = shiftAll ? P(0) : static_cast<P>(a >> shift); break;
            case 0x26: r = shiftAll ? static_cast<P>(static_cast<S>(a) < 0 ? ~P(0) : P(0)) : static_cast<P>(static_cast<S>(a) >> shift); break;
            case 0x29: r = a == b; break;
            case 0x2A: r = a >= b; break;
            case 0x2B: r = a > b; break;
            case 0x2C: r = a <= b; break;
            case 0x2D: r = a < b; break;
            case 0x2E: r = a != b; break;
            }
            stack[depth - 1] = r;
            break;
        }
        case 0x23: { // plus_uconst
            std::uint64_t v;
            if (!s.read_uleb(&v))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (depth < 1)
                return MVCRASH_ERR_INTERNAL;
            stack[depth - 1] = static_cast<P>(stack[depth - 1] + v);
            break;
        }
        case 0x28: { // bra
            std::int16_t delta;
            if (!s.read(&delta))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (depth < 1)
                return MVCRASH_ERR_INTERNAL;
            if (stack[--depth] != 0 && (err = jump(delta)) != MVCRASH_ERR_NONE)
                return err;
            break;
        }
        case 0x2F: { // skip
            std::int16_t delta;
            if (!s.read(&delta))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if ((err = jump(delta)) != MVCRASH_ERR_NONE)
                return err;
            break;
        }
        case 0x92: { // bregx
            std::uint64_t reg;
            if (!s.read_uleb(&reg))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if ((err = breg(reg)) != MVCRASH_ERR_NONE)
                return err;
            break;
        }
        case 0x94: { // deref_size
            std::uint8_t sz;
            if (!s.read(&sz))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (!(sz == 1 || sz == 2 || sz == 4 || (sz == 8 && sizeof(P) == 8)))
                return MVCRASH_ERR_INVALID_ARGUMENT;
            if (depth < 1)
                return MVCRASH_ERR_INTERNAL;
            P v;
            if ((err = readTarget(stack[depth - 1], sz, &v)) != MVCRASH_ERR_NONE)
                return err;
            stack[depth - 1] = v;
            break;
        }
        case 0x96: // nop
            break;
        default:
            return MVCRASH_ERR_NOT_SUPPORTED;
        }
    }
    if (depth == 0)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    *result = stack[depth - 1];
    return MVCRASH_ERR_NONE;
}

// The two families.
template struct gnu_ehptr_reader<std::uint32_t>;
template struct gnu_ehptr_reader<std::uint64_t>;
template struct dwarf_frame_reader<std::uint32_t>;
template struct dwarf_frame_reader<std::uint64_t>;
template class dwarf_cfa_state<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state<std::uint64_t, std::int64_t>;
template mvcrash_error_t mvcrash_async_dwarf_cie_info_init<std::uint32_t>(mvcrash_async_dwarf_cie_info_t*, const mvcrash_async_mobject_t*, const mvcrash_async_byteorder_t*, const gnu_ehptr_reader<std::uint32_t>*, std::uint64_t);
template mvcrash_error_t mvcrash_async_dwarf_cie_info_init<std::uint64_t>(mvcrash_async_dwarf_cie_info_t*, const mvcrash_async_mobject_t*, const mvcrash_async_byteorder_t*, const gnu_ehptr_reader<std::uint64_t>*, std::uint64_t);
template mvcrash_error_t mvcrash_async_dwarf_fde_info_init<std::uint32_t>(mvcrash_async_dwarf_fde_info_t*, const mvcrash_async_mobject_t*, const mvcrash_async_byteorder_t*, const gnu_ehptr_reader<std::uint32_t>*, std::uint64_t, bool);
template mvcrash_error_t mvcrash_async_dwarf_fde_info_init<std::uint64_t>(mvcrash_async_dwarf_fde_info_t*, const mvcrash_async_mobject_t*, const mvcrash_async_byteorder_t*, const gnu_ehptr_reader<std::uint64_t>*, std::uint64_t, bool);
template mvcrash_error_t mvcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(const mvcrash_async_mobject_t*, mvcrash_task_t, const mvcrash_async_thread_state_t*, const mvcrash_async_byteorder_t*, std::uint64_t, std::uint64_t, std::uint64_t, const std::uint32_t*, std::size_t, std::uint32_t*);
template mvcrash_error_t mvcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(const mvcrash_async_mobject_t*, mvcrash_task_t, const mvcrash_async_thread_state_t*, const mvcrash_async_byteorder_t*, std::uint64_t, std::uint64_t, std::uint64_t, const std::uint64_t*, std::size_t, std::uint64_t*);

} // namespace mvcrash::async
