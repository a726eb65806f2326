#pragma once
// DWARF call-frame information: finding the FDE that covers an address in .eh_frame (or
// .debug_frame), parsing it and its CIE, running the CFA programs up to the address, applying the
// resulting rules to a thread state, and evaluating DWARF expressions. Two families, for 32-bit
// and 64-bit targets. Crash-time code: fixed-size state, no heap, every read bounds-checked.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "MovaraAppKit/CrashReporter/MVCrashMemoryObject.h"
#include "MovaraAppKit/CrashReporter/MVCrashThreadState.h"

namespace mvcrash::async {

// Pointer encodings of exception-handling frames.
enum : std::uint8_t {
    DW_EH_PE_absptr = 0x00, DW_EH_PE_uleb128 = 0x01, DW_EH_PE_udata2 = 0x02, DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04, DW_EH_PE_sleb128 = 0x09, DW_EH_PE_sdata2 = 0x0A, DW_EH_PE_sdata4 = 0x0B,
    DW_EH_PE_sdata8 = 0x0C, DW_EH_PE_pcrel = 0x10, DW_EH_PE_textrel = 0x20, DW_EH_PE_datarel = 0x30,
    DW_EH_PE_funcrel = 0x40, DW_EH_PE_aligned = 0x50, DW_EH_PE_indirect = 0x80, DW_EH_PE_omit = 0xFF,
};

// Reads LEB128 numbers from task memory inside a memory object; `size` receives the bytes used.
mvcrash_error_t mvcrash_async_dwarf_read_uleb128(const mvcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset, std::uint64_t* result, std::uint64_t* size);
mvcrash_error_t mvcrash_async_dwarf_read_sleb128(const mvcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset, std::int64_t* result, std::uint64_t* size);

// Reader of pointers in DW_EH_PE encodings, with the base addresses the relative forms need.
template <typename machine_ptr>
struct gnu_ehptr_reader {
    const mvcrash_async_byteorder_t* byteorder = nullptr;
    std::uint64_t frame_section_base = 0; // unused by the encodings but kept for datarel defaults
    bool has_text_base = false, has_data_base = false, has_func_base = false;
    std::uint64_t text_base = 0, data_base = 0, func_base = 0;

    explicit gnu_ehptr_reader(const mvcrash_async_byteorder_t* order) : byteorder(order) { }
    void set_text_base(std::uint64_t v) { text_base = v; has_text_base = true; }
    void set_data_base(std::uint64_t v) { data_base = v; has_data_base = true; }
    void set_func_base(std::uint64_t v) { func_base = v; has_func_base = true; }

    mvcrash_error_t read(const mvcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset, std::uint8_t encoding, machine_ptr* result, std::uint64_t* size) const;
};

struct mvcrash_async_dwarf_cie_info_t {
    std::uint64_t cie_offset = 0;
    std::uint64_t cie_length = 0;
    std::uint64_t cie_id = 0;
    std::uint8_t cie_version = 0;
    std::uint8_t address_size = 0, segment_size = 0;
    std::uint64_t code_alignment_factor = 0;
    std::int64_t data_alignment_factor = 0;
    std::uint64_t return_address_register = 0;
    bool has_eh_augmentation = false;
    bool has_lsda_encoding = false;
    std::uint8_t lsda_encoding = 0;
    bool has_personality_address = false;
    std::uint64_t personality_address = 0;
    bool has_pointer_encoding = false;
    std::uint8_t pointer_encoding = 0;
    bool signal_frame = false;
    std::uint64_t initial_instructions_offset = 0;
    std::uint64_t initial_instructions_length = 0;
};

struct mvcrash_async_dwarf_fde_info_t {
    std::uint64_t fde_offset = 0;
    std::uint64_t fde_length = 0;
    std::uint64_t cie_offset = 0;
    std::uint64_t pc_start = 0;
    std::uint64_t pc_end = 0;
    std::uint64_t instructions_offset = 0;
    std::uint64_t instructions_length = 0;
};

// Parses the CIE whose length field is at `address` (a task address inside `mobj`; offsets in the
// result are from the memory object's base).
template <typename machine_ptr>
mvcrash_error_t mvcrash_async_dwarf_cie_info_init(mvcrash_async_dwarf_cie_info_t* info, const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, const gnu_ehptr_reader<machine_ptr>* reader, std::uint64_t address);

// Parses the FDE at `fde_address`; `debug_frame` selects .debug_frame's CIE pointers.
template <typename machine_ptr>
mvcrash_error_t mvcrash_async_dwarf_fde_info_init(mvcrash_async_dwarf_fde_info_t* info, const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, const gnu_ehptr_reader<machine_ptr>* reader, std::uint64_t fde_address, bool debug_frame);

// The reader of one frame section.
template <typename machine_ptr>
struct dwarf_frame_reader {
    const mvcrash_async_mobject_t* mobj = nullptr;
    const mvcrash_async_byteorder_t* byteorder = nullptr;
    bool debug_frame = false;

    mvcrash_error_t init(const mvcrash_async_mobject_t* section, const mvcrash_async_byteorder_t* order, bool is_debug_frame);
    // Scans entries from `offset` (from the section base) for the FDE that covers `pc`.
    mvcrash_error_t find_fde(std::uint64_t offset, std::uint64_t pc, const gnu_ehptr_reader<machine_ptr>* reader, mvcrash_async_dwarf_fde_info_t* result) const;
};

enum mvcrash_dwarf_cfa_reg_rule_t : std::uint8_t {
    DWARF_RULE_OFFSET = 0,
    DWARF_RULE_VAL_OFFSET = 1,
    DWARF_RULE_REGISTER = 2,
    DWARF_RULE_EXPRESSION = 3,
    DWARF_RULE_VAL_EXPRESSION = 4,
    DWARF_RULE_SAME_VALUE = 5,
};

enum mvcrash_dwarf_cfa_rule_type_t : std::uint8_t {
    CFA_RULE_UNDEFINED = 0,
    CFA_RULE_EXPRESSION = 1,
    CFA_RULE_REGISTER = 2,
    CFA_RULE_REGISTER_SIGNED = 3,
};

struct dwarf_cfa_rule {
    mvcrash_dwarf_cfa_rule_type_t type = CFA_RULE_UNDEFINED;
    std::uint32_t reg = 0;
    std::int64_t offset = 0;          // unsigned rules keep the value as is
    std::uint64_t expression = 0;     // task address of the expression bytes
    std::uint64_t expression_length = 0;
};

constexpr unsigned DWARF_CFA_STATE_MAX_REGISTERS = 100;
constexpr unsigned DWARF_CFA_STATE_MAX_STATES = 6;

// The rule table: the rules in force plus up to five remembered sets, all from one pool of 100
// entries.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
public:
    struct entry {
        std::uint8_t level;
        mvcrash_dwarf_cfa_reg_rule_t rule;
        std::uint32_t regnum;
        std::int64_t value;
    };

    bool set_register(std::uint32_t regnum, mvcrash_dwarf_cfa_reg_rule_t rule, std::int64_t value);
    bool get_register_rule(std::uint32_t regnum, mvcrash_dwarf_cfa_reg_rule_t* rule, std::int64_t* value) const;
    void remove_register(std::uint32_t regnum);
    std::uint32_t get_register_count() const;
    bool push_state();
    bool pop_state();
    void set_cfa_register(std::uint32_t regnum, mvcrash_dwarf_cfa_rule_type_t type, std::int64_t offset);
    void set_cfa_expression(std::uint64_t address, std::uint64_t length);
    const dwarf_cfa_rule& get_cfa_rule() const { return m_cfa[m_depth]; }
    unsigned depth() const { return m_depth; }

    // Runs the instructions at [address, address + length) of `mobj` until `pc` (every one when
    // pc is 0), starting with `initial_location` as the location.
    mvcrash_error_t eval_program(const mvcrash_async_mobject_t* mobj, std::uint64_t pc, std::uint64_t initial_location, const mvcrash_async_dwarf_cie_info_t* cie, const gnu_ehptr_reader<machine_ptr>* reader, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::uint64_t offset, std::uint64_t length);

    // The caller's state from `thread_state` under the rules in force.
    mvcrash_error_t apply_state(mvcrash_task_t task, const mvcrash_async_dwarf_cie_info_t* cie, const mvcrash_async_thread_state_t* thread_state, const mvcrash_async_byteorder_t* byteorder, mvcrash_async_thread_state_t* new_thread_state);

    // Visits the register rules of the current level in order.
    template <typename F>
    void for_each(F&& visit) const
    {
        for (unsigned i = 0; i < m_count; ++i)
            if (m_entries[i].level == m_depth)
                visit(m_entries[i]);
    }

private:
    entry m_entries[DWARF_CFA_STATE_MAX_REGISTERS];
    unsigned m_count = 0;
    unsigned m_depth = 0;
    dwarf_cfa_rule m_cfa[DWARF_CFA_STATE_MAX_STATES];
};

// Evaluates the expression at [address, address + length) of `mobj` with `initial` entries on its
// stack; the result is the top entry at the end.
template <typename machine_ptr, typename machine_ptr_s>
mvcrash_error_t mvcrash_async_dwarf_expression_eval(const mvcrash_async_mobject_t* mobj, mvcrash_task_t task, const mvcrash_async_thread_state_t* thread_state, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::uint64_t offset, std::uint64_t length, const machine_ptr* initial, std::size_t initial_count, machine_ptr* result);

} // namespace mvcrash::async
