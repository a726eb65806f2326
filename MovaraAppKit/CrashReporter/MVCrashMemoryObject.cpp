#include "MovaraAppKit/CrashReporter/MVCrashMemoryObject.h"

#include "Platform/System/SafeMemory.h"

mvcrash_error_t mvcrash_async_mobject_init(mvcrash_async_mobject_t* mobj, mvcrash_task_t task, std::uint64_t target, std::uint64_t length, bool require_full)
{
    return mvcrash_async_mobject_init_known(mobj, task, target, length, require_full, 0);
}

mvcrash_error_t mvcrash_async_mobject_init_known(mvcrash_async_mobject_t* mobj, mvcrash_task_t task, std::uint64_t target, std::uint64_t length, bool require_full, std::uint64_t readable_from_page)
{
    *mobj = mvcrash_async_mobject_t {};
    const std::uint64_t page = sys::pageSize();
    const std::uint64_t start = target & ~(page - 1);
    std::uint64_t end;
    if (!mvcrash_async_address_apply_offset(target, static_cast<std::int64_t>(length), &end) || length > INT64_MAX)
        return MVCRASH_ERR_NO_MEMORY;
    std::uint64_t total = end - start;
    if (total % page) {
        if (total + (page - total % page) < total)
            return MVCRASH_ERR_NO_MEMORY;
        total += page - total % page;
    }
    if (total == 0)
        total = page;
    const std::uint64_t readable = readable_from_page > 0 ? (readable_from_page < total ? readable_from_page : total)
                                                         : sys::readablePrefix(start, static_cast<std::size_t>(total));
    std::uint64_t mapped;
    if (require_full) {
        if (readable < total)
            return MVCRASH_ERR_NO_MEMORY;
        mapped = total;
    } else {
        if (readable == 0)
            return MVCRASH_ERR_NO_MEMORY;
        mapped = readable < total ? readable : total;
    }
    const std::uint64_t pageOffset = target - start;
    if (mapped <= pageOffset)
        return MVCRASH_ERR_NO_MEMORY;
    mobj->task = task;
    mobj->vm_address = start;
    mobj->vm_length = mapped;
    mobj->address = static_cast<std::uintptr_t>(target);
    mobj->target = target;
    mobj->length = length < mapped - pageOffset ? length : mapped - pageOffset;
    mobj->vm_slide = 0;
    return MVCRASH_ERR_NONE;
}

void mvcrash_async_mobject_free(mvcrash_async_mobject_t* mobj)
{
    *mobj = mvcrash_async_mobject_t {};
}

std::uint64_t mvcrash_async_mobject_base_address(const mvcrash_async_mobject_t* mobj) { return mobj->target; }
std::uint64_t mvcrash_async_mobject_length(const mvcrash_async_mobject_t* mobj) { return mobj->length; }
mvcrash_task_t mvcrash_async_mobject_task(const mvcrash_async_mobject_t* mobj) { return mobj->task; }

bool mvcrash_async_mobject_verify_local_pointer(const mvcrash_async_mobject_t* mobj, std::uintptr_t pointer, std::int64_t offset, std::uint64_t length)
{
    std::uint64_t p;
    if (!mvcrash_async_address_apply_offset(pointer, offset, &p))
        return false;
    const std::uint64_t end = p + length;
    if (end < p)
        return false;
    return p >= mobj->address && end <= mobj->address + mobj->length;
}

void* mvcrash_async_mobject_remap_address(const mvcrash_async_mobject_t* mobj, std::uint64_t target, std::int64_t offset, std::uint64_t length)
{
    const std::uint64_t local = target - static_cast<std::uint64_t>(mobj->vm_slide);
    if (!mvcrash_async_mobject_verify_local_pointer(mobj, static_cast<std::uintptr_t>(local), offset, length))
        return nullptr;
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(local + static_cast<std::uint64_t>(offset)));
}

namespace {
template <typename T>
mvcrash_error_t readValue(const mvcrash_async_mobject_t* mobj, std::uint64_t target, std::int64_t offset, T* out)
{
    const void* p = mvcrash_async_mobject_remap_address(mobj, target, offset, sizeof(T));
    if (!p)
        return MVCRASH_ERR_INVALID_ARGUMENT;
    mvcrash_async_memcpy(out, p, sizeof(T));
    return MVCRASH_ERR_NONE;
}
} // namespace

mvcrash_error_t mvcrash_async_mobject_read_uint8(const mvcrash_async_mobject_t* mobj, std::uint64_t target, std::int64_t offset, std::uint8_t* out)
{
    return readValue(mobj, target, offset, out);
}

mvcrash_error_t mvcrash_async_mobject_read_uint16(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, std::uint64_t target, std::int64_t offset, std::uint16_t* out)
{
    mvcrash_error_t err = readValue(mobj, target, offset, out);
    if (err == MVCRASH_ERR_NONE)
        *out = byteorder->swap16(*out);
    return err;
}

mvcrash_error_t mvcrash_async_mobject_read_uint32(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, std::uint64_t target, std::int64_t offset, std::uint32_t* out)
{
    mvcrash_error_t err = readValue(mobj, target, offset, out);
    if (err == MVCRASH_ERR_NONE)
        *out = byteorder->swap32(*out);
    return err;
}

mvcrash_error_t mvcrash_async_mobject_read_uint64(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, std::uint64_t target, std::int64_t offset, std::uint64_t* out)
{
    mvcrash_error_t err = readValue(mobj, target, offset, out);
    if (err == MVCRASH_ERR_NONE)
        *out = byteorder->swap64(*out);
    return err;
}
