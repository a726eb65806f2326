#include "MovaraAppKit/CrashReporter/MVCrashFrameCursor.h"

#include "MovaraAppKit/CrashReporter/MVCrashDwarf.h"

using namespace mvcrash::async;

const char* plframe_strerror(int code)
{
    switch (code) {
    case PLFRAME_RESULT_OK: return "No error";
    case PLFRAME_RESULT_UNKNOWN: return "Unknown error";
    case PLFRAME_RESULT_NO_FRAME: return "No frames are available";
    case PLFRAME_RESULT_BAD_FRAME: return "Corrupted frame";
    case PLFRAME_RESULT_NOT_SUPPORTED: return "Operation not supported";
    case PLFRAME_RESULT_INVALID_ARGUMENT: return "Invalid argument";
    case PLFRAME_RESULT_INTERNAL: return "Internal error";
    case PLFRAME_RESULT_BAD_REGISTER: return "Invalid register";
    default: return "Unhandled error code";
    }
}

plframe_error_t plframe_cursor_init(plframe_cursor_t* cursor, mvcrash_task_t task, const mvcrash_async_thread_state_t* thread_state, mvcrash_async_image_list_t* image_list)
{
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    cursor->prev_frame = plframe_stackframe_t {};
    cursor->frame.thread_state = *thread_state;
    return PLFRAME_RESULT_OK;
}

plframe_error_t plframe_cursor_next(plframe_cursor_t* cursor)
{
    static const plframe_cursor_frame_reader_t readers[] = {
        plframe_cursor_read_compact_unwind,
        plframe_cursor_read_dwarf_unwind,
        plframe_cursor_read_frame_ptr,
    };
    return plframe_cursor_next_with_readers(cursor, readers, 3);
}

plframe_error_t plframe_cursor_next_with_readers(plframe_cursor_t* cursor, const plframe_cursor_frame_reader_t* readers, std::size_t count)
{
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return PLFRAME_RESULT_OK;
    }
    if (count == 0)
        return PLFRAME_RESULT_INVALID_ARGUMENT;
    plframe_stackframe_t next;
    const plframe_stackframe_t* previous = cursor->depth >= 2 ? &cursor->prev_frame : nullptr;
    plframe_error_t result = PLFRAME_RESULT_UNKNOWN;
    for (std::size_t i = 0; i < count; ++i) {
        next = plframe_stackframe_t {};
        result = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (result == PLFRAME_RESULT_OK)
            break;
    }
    if (result != PLFRAME_RESULT_OK)
        return result;
    if (!mvcrash_async_thread_state_has_reg(&next.thread_state, MVCRASH_REG_IP)
        || mvcrash_async_thread_state_get_reg(&next.thread_state, MVCRASH_REG_IP) <= 0x1000)
        return PLFRAME_RESULT_NO_FRAME;
    cursor->prev_frame = cursor->frame;
    cursor->frame = next;
    cursor->depth += 1;
    return PLFRAME_RESULT_OK;
}

plframe_error_t plframe_cursor_get_reg(const plframe_cursor_t* cursor, int regnum, std::uint64_t* value)
{
    if (regnum < 0 || static_cast<std::size_t>(regnum) >= plframe_cursor_get_regcount(cursor))
        return PLFRAME_RESULT_BAD_REGISTER;
    if (!mvcrash_async_thread_state_has_reg(&cursor->frame.thread_state, regnum))
        return PLFRAME_RESULT_NOT_SUPPORTED;
    *value = mvcrash_async_thread_state_get_reg(&cursor->frame.thread_state, regnum);
    return PLFRAME_RESULT_OK;
}

const char* plframe_cursor_get_regname(const plframe_cursor_t* cursor, int regnum)
{
    return mvcrash_async_thread_state_get_reg_name(&cursor->frame.thread_state, regnum);
}

std::size_t plframe_cursor_get_regcount(const plframe_cursor_t* cursor)
{
    return mvcrash_async_thread_state_get_reg_count(&cursor->frame.thread_state);
}

void plframe_cursor_free(plframe_cursor_t* cursor)
{
    cursor->task = 0;
}

std::uint64_t plframe_lookup_address(const plframe_stackframe_t* current, const plframe_stackframe_t* previous)
{
    const std::uint64_t pc = mvcrash_async_thread_state_get_reg(&current->thread_state, MVCRASH_REG_IP);
    return previous && pc > 0 ? pc - 1 : pc;
}

namespace {

// Checks shared by the table-driven readers: an instruction pointer, and the image holding it.
plframe_error_t findImage(mvcrash_async_image_list_t* list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, mvcrash_async_image_t* image, std::uint64_t* lookup)
{
    if (!mvcrash_async_thread_state_has_reg(&current->thread_state, MVCRASH_REG_IP))
        return PLFRAME_RESULT_BAD_FRAME;
    if (mvcrash_async_thread_state_get_reg(&current->thread_state, MVCRASH_REG_IP) == 0)
        return PLFRAME_RESULT_NOT_SUPPORTED;
    *lookup = plframe_lookup_address(current, previous);
    if (!list || !mvcrash_async_image_containing_address(list, *lookup, image))
        return PLFRAME_RESULT_NOT_SUPPORTED;
    return PLFRAME_RESULT_OK;
}

struct ReadingMark {
    mvcrash_async_image_list_t* list;
    explicit ReadingMark(mvcrash_async_image_list_t* l) : list(l)
    {
        if (list)
            mvcrash_async_image_list_set_reading(list, true);
    }
    ~ReadingMark()
    {
        if (list)
            mvcrash_async_image_list_set_reading(list, false);
    }
};

} // namespace

plframe_error_t plframe_cursor_read_compact_unwind(mvcrash_task_t, mvcrash_async_image_list_t* image_list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t*)
{
    ReadingMark mark(image_list);
    mvcrash_async_image_t image;
    std::uint64_t lookup;
    plframe_error_t err = findImage(image_list, current, previous, &image, &lookup);
    if (err != PLFRAME_RESULT_OK)
        return err;
    // The images of this process are ELF: they carry no compact unwind table, so the walk goes
    // on to their DWARF call-frame information.
    return PLFRAME_RESULT_NOT_SUPPORTED;
}

mvcrash_error_t mvcrash_async_elf_find_fde(const mvcrash_async_elf_t* image, std::uint64_t pc, std::uint64_t* fde_address)
{
    if (!image->eh_frame_hdr || image->eh_frame_hdr_size < 12)
        return MVCRASH_ERR_NOT_FOUND;
    std::uint8_t header[4];
    if (mvcrash_async_task_memcpy(image->task, image->eh_frame_hdr, 0, header, 4) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    // The table the linker writes: version 1, a 4-byte count, entries of two 4-byte values
    // relative to the header (datarel | sdata4). Other layouts go to the linear scan.
    if (header[0] != 1 || header[2] != 0x03 || header[3] != 0x3B)
        return MVCRASH_ERR_NOT_SUPPORTED;
    std::uint32_t count;
    if (mvcrash_async_task_memcpy(image->task, image->eh_frame_hdr, 8, &count, 4) != MVCRASH_ERR_NONE)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    if (count == 0 || 12 + static_cast<std::uint64_t>(count) * 8 > image->eh_frame_hdr_size)
        return count == 0 ? MVCRASH_ERR_NOT_FOUND : MVCRASH_ERR_INVALID_ARGUMENT;
    const std::uint64_t table = image->eh_frame_hdr + 12;
    std::uint64_t lo = 0, hi = count;
    std::int32_t found[2] = { 0, 0 };
    bool have = false;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        std::int32_t entry[2];
        if (mvcrash_async_task_memcpy(image->task, table, static_cast<std::int64_t>(mid * 8), entry, 8) != MVCRASH_ERR_NONE)
            return MVCRASH_ERR_INVALID_ARGUMENT;
        const std::uint64_t start = image->eh_frame_hdr + static_cast<std::uint64_t>(static_cast<std::int64_t>(entry[0]));
        if (start <= pc) {
            found[0] = entry[0];
            found[1] = entry[1];
            have = true;
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (!have)
        return MVCRASH_ERR_NOT_FOUND;
    *fde_address = image->eh_frame_hdr + static_cast<std::uint64_t>(static_cast<std::int64_t>(found[1]));
    return MVCRASH_ERR_NONE;
}

plframe_error_t plframe_cursor_read_dwarf_unwind(mvcrash_task_t task, mvcrash_async_image_list_t* image_list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t* next)
{
    ReadingMark mark(image_list);
    mvcrash_async_image_t image;
    std::uint64_t pc;
    plframe_error_t err = findImage(image_list, current, previous, &image, &pc);
    if (err != PLFRAME_RESULT_OK)
        return err;
    if (!image.elf.eh_frame)
        return PLFRAME_RESULT_NO_FRAME;
    mvcrash_async_mobject_t section;
    if (mvcrash_async_mobject_init_known(&section, task, image.elf.eh_frame, image.elf.eh_frame_size, false, image.elf.eh_frame_readable) != MVCRASH_ERR_NONE)
        return PLFRAME_RESULT_NO_FRAME;
    const mvcrash_async_byteorder_t* order = mvcrash_async_byteorder_little_endian();
    gnu_ehptr_reader<std::uint64_t> reader(order);
    reader.set_data_base(image.elf.eh_frame_hdr);
    reader.set_text_base(image.elf.header);
    dwarf_frame_reader<std::uint64_t> frames;
    frames.init(&section, order, false);
    mvcrash_async_dwarf_fde_info_t fde;
    mvcrash_async_dwarf_cie_info_t cie;
    plframe_error_t result = PLFRAME_RESULT_OK;
    std::uint64_t fdeAddress = 0;
    if (mvcrash_async_elf_find_fde(&image.elf, pc, &fdeAddress) == MVCRASH_ERR_NONE) {
        if (mvcrash_async_dwarf_fde_info_init(&fde, &section, order, &reader, fdeAddress, false) != MVCRASH_ERR_NONE || pc < fde.pc_start || pc >= fde.pc_end)
            result = PLFRAME_RESULT_NOT_SUPPORTED;
    } else if (frames.find_fde(0, pc, &reader, &fde) != MVCRASH_ERR_NONE) {
        result = PLFRAME_RESULT_NOT_SUPPORTED;
    }
    if (result == PLFRAME_RESULT_OK
        && mvcrash_async_dwarf_cie_info_init(&cie, &section, order, &reader, mvcrash_async_mobject_base_address(&section) + fde.cie_offset) != MVCRASH_ERR_NONE)
        result = PLFRAME_RESULT_NOT_SUPPORTED;
    if (result == PLFRAME_RESULT_OK) {
        dwarf_cfa_state<std::uint64_t, std::int64_t> state;
        const std::uint64_t base = mvcrash_async_mobject_base_address(&section);
        if (state.eval_program(&section, pc, fde.pc_start, &cie, &reader, order, base, cie.initial_instructions_offset, cie.initial_instructions_length) != MVCRASH_ERR_NONE
            || state.eval_program(&section, pc, fde.pc_start, &cie, &reader, order, base, fde.instructions_offset, fde.instructions_length) != MVCRASH_ERR_NONE)
            result = PLFRAME_RESULT_NOT_SUPPORTED;
        else if (state.apply_state(task, &cie, &current->thread_state, order, &next->thread_state) != MVCRASH_ERR_NONE)
            result = PLFRAME_RESULT_NO_FRAME;
    }
    mvcrash_async_mobject_free(&section);
    return result;
}

plframe_error_t plframe_cursor_read_frame_ptr(mvcrash_task_t task, mvcrash_async_image_list_t*, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t* next)
{
    const mvcrash_async_thread_state_t* state = &current->thread_state;
    if (!mvcrash_async_thread_state_has_reg(state, MVCRASH_REG_FP))
        return PLFRAME_RESULT_BAD_FRAME;
    const std::uint64_t fp = mvcrash_async_thread_state_get_reg(state, MVCRASH_REG_FP);
    if (fp == 0)
        return PLFRAME_RESULT_NO_FRAME;
    if (previous && mvcrash_async_thread_state_has_reg(&previous->thread_state, MVCRASH_REG_FP)) {
        const std::uint64_t prevFp = mvcrash_async_thread_state_get_reg(&previous->thread_state, MVCRASH_REG_FP);
        const bool down = mvcrash_async_thread_state_get_stack_direction(state) == MVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
        if (down ? fp < prevFp : fp > prevFp)
            return PLFRAME_RESULT_BAD_FRAME;
    }
    const std::uint32_t w = mvcrash_async_thread_state_get_greg_size(state);
    std::uint64_t words[2] = { 0, 0 };
    if (w == 8) {
        if (mvcrash_async_task_memcpy(task, fp, 0, words, 16) != MVCRASH_ERR_NONE)
            return PLFRAME_RESULT_BAD_FRAME;
    } else {
        std::uint32_t small[2];
        if (mvcrash_async_task_memcpy(task, fp, 0, small, 8) != MVCRASH_ERR_NONE)
            return PLFRAME_RESULT_BAD_FRAME;
        words[0] = small[0];
        words[1] = small[1];
    }
    next->thread_state = *state;
    mvcrash_async_thread_state_clear_all_regs(&next->thread_state);
    mvcrash_async_thread_state_set_reg(&next->thread_state, MVCRASH_REG_FP, words[0]);
    mvcrash_async_thread_state_set_reg(&next->thread_state, MVCRASH_REG_IP, words[1]);
    return PLFRAME_RESULT_OK;
}
