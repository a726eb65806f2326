#pragma once
// The platform's string-encoding codes the layer understands, and text into and out of them.
// Text inside the layer is UTF-8.

#include <optional>
#include <string>

#include "Platform/Foundation/Value.h"

enum NKStringEncoding : unsigned long { NKASCIIStringEncoding = 1, NKUTF8StringEncoding = 4, NKISOLatin1StringEncoding = 5,
                                        NKWindowsCP1252StringEncoding = 12 };

// The encoding an IANA charset name stands for ("utf-8", "iso-8859-1", ...); none when unknown.
std::optional<NKStringEncoding> NKStringEncodingFromIANACharsetName(const std::string& name);
// The bytes as UTF-8 text; none when they are not valid in `encoding`.
std::optional<std::string> NKDecodeText(const foundation::Data& bytes, NKStringEncoding encoding);
// UTF-8 text as bytes of `encoding`; none when the text is not valid UTF-8 or holds a
// character the encoding has no byte for (nothing is dropped or replaced silently).
std::optional<foundation::Data> NKEncodeText(const std::string& text, NKStringEncoding encoding);
// The encoding's name for messages ("UTF-8", "ISO Latin 1", ...).
std::string NKStringEncodingName(NKStringEncoding encoding);
