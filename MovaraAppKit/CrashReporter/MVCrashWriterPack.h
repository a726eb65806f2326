#pragma once
// The crash-time field encoder: writes single protobuf fields straight into the async-safe
// buffered file, never building a message in memory. A nested message is sized by running its
// writer once without a file (which only counts) before its key and length are written.

#include <protobuf-c/protobuf-c.h>

#include <cstddef>
#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"

// A captured text or byte string: length (without any terminator) and bytes.
struct plprotobuf_cbinary_data_t {
    std::size_t len = 0;
    void* data = nullptr;
};

// Fills `out` with a heap copy of `text` (not async-safe; runs before any crash).
void plprotobuf_cbinary_data_string_init(plprotobuf_cbinary_data_t* out, const char* text);
// Same, for bytes that may hold zeros.
void plprotobuf_cbinary_data_bytes_init(plprotobuf_cbinary_data_t* out, const void* bytes, std::size_t length);
void plprotobuf_cbinary_data_free(plprotobuf_cbinary_data_t* data);

// Encodes one field and returns the bytes it takes, key included. With no file nothing is
// written. `value` points at: an integer of the type's width, a one-byte bool, a terminated
// string (string), a plprotobuf_cbinary_data_t (bytes) or a 32-bit body length (message).
std::size_t mvcrash_writer_pack(mvcrash_async_file_t* file, std::uint32_t field_id, ProtobufCType type, const void* value);
