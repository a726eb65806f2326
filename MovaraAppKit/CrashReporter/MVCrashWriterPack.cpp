#include "MovaraAppKit/CrashReporter/MVCrashWriterPack.h"

#include <cstdlib>
#include <cstring>

void plprotobuf_cbinary_data_string_init(plprotobuf_cbinary_data_t* out, const char* text)
{
    plprotobuf_cbinary_data_bytes_init(out, text, text ? std::strlen(text) : 0);
}

void plprotobuf_cbinary_data_bytes_init(plprotobuf_cbinary_data_t* out, const void* bytes, std::size_t length)
{
    // One spare zero byte, so a copied text may also be used as a C string.
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (!copy) {
        *out = plprotobuf_cbinary_data_t {};
        return;
    }
    if (length)
        std::memcpy(copy, bytes, length);
    copy[length] = 0;
    out->data = copy;
    out->len = length;
}

void plprotobuf_cbinary_data_free(plprotobuf_cbinary_data_t* data)
{
    std::free(data->data);
    *data = plprotobuf_cbinary_data_t {};
}

namespace {

std::size_t varint(std::uint64_t value, std::uint8_t* out)
{
    std::size_t n = 0;
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        out[n++] = static_cast<std::uint8_t>(byte | (value ? 0x80 : 0));
    } while (value);
    return n;
}

std::size_t emit(mvcrash_async_file_t* file, const void* bytes, std::size_t length)
{
    if (file && length)
        mvcrash_async_file_write(file, bytes, length);
    return length;
}

} // namespace

std::size_t mvcrash_writer_pack(mvcrash_async_file_t* file, std::uint32_t field_id, ProtobufCType type, const void* value)
{
    std::uint8_t buffer[32];
    std::size_t n = 0;
    auto key = [&](unsigned wire) { n += varint((static_cast<std::uint64_t>(field_id) << 3) | wire, buffer + n); };
    auto read = [&](auto* out) { std::memcpy(out, value, sizeof *out); };
    switch (type) {
    case PROTOBUF_C_TYPE_INT32: {
        std::int32_t v;
        read(&v);
        key(0);
        // Negative values are sign-extended to ten bytes.
        n += varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)), buffer + n);
        break;
    }
    case PROTOBUF_C_TYPE_SINT32: {
        std::int32_t v;
        read(&v);
        key(0);
        n += varint((static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31), buffer + n);
        break;
    }
    case PROTOBUF_C_TYPE_INT64:
    case PROTOBUF_C_TYPE_UINT64: {
        std::uint64_t v;
        read(&v);
        key(0);
        n += varint(v, buffer + n);
        break;
    }
    case PROTOBUF_C_TYPE_SINT64: {
        std::int64_t v;
        read(&v);
        key(0);
        n += varint((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63), buffer + n);
        break;
    }
    case PROTOBUF_C_TYPE_UINT32:
    case PROTOBUF_C_TYPE_ENUM: {
        std::uint32_t v;
        read(&v);
        key(0);
        n += varint(v, buffer + n);
        break;
    }
    case PROTOBUF_C_TYPE_BOOL: {
        std::uint8_t v;
        read(&v);
        key(0);
        buffer[n++] = v;
        break;
    }
    case PROTOBUF_C_TYPE_SFIXED64:
    case PROTOBUF_C_TYPE_FIXED64:
    case PROTOBUF_C_TYPE_DOUBLE:
        key(1);
        std::memcpy(buffer + n, value, 8);
        n += 8;
        break;
    case PROTOBUF_C_TYPE_SFIXED32:
    case PROTOBUF_C_TYPE_FIXED32:
    case PROTOBUF_C_TYPE_FLOAT:
        key(5);
        std::memcpy(buffer + n, value, 4);
        n += 4;
        break;
    case PROTOBUF_C_TYPE_STRING: {
        const char* text = static_cast<const char*>(value);
        const std::size_t length = mvcrash_async_strlen(text);
        key(2);
        n += varint(length, buffer + n);
        return emit(file, buffer, n) + emit(file, text, length);
    }
    case PROTOBUF_C_TYPE_BYTES: {
        const auto* data = static_cast<const plprotobuf_cbinary_data_t*>(value);
        const std::uint32_t length = static_cast<std::uint32_t>(data->len);
        key(2);
        n += varint(length, buffer + n);
        return emit(file, buffer, n) + emit(file, data->data, length);
    }
    case PROTOBUF_C_TYPE_MESSAGE: {
        std::uint32_t length;
        read(&length);
        key(2);
        n += varint(length, buffer + n);
        break;
    }
    default:
        // No input reaches this: the type codes are the writer's own constants.
        std::abort();
    }
    return emit(file, buffer, n);
}
