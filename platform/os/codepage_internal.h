#pragma once
// The system's converters behind DecodeCodePage and EncodeCodePage, for the pages without a
// table of this program's own: iconv on POSIX (codepage_iconv.cpp), the Win32 code-page
// services on Windows (codepage_win32.cpp).

#include <cstddef>
#include <string_view>

#include "platform/os/codepage.h"

namespace vx::os::detail {

// Whether the system converts `page` (a Windows code-page number).
bool SystemPageKnown(int page);
// Bytes of `page` to UTF-8 (to_utf8), or well-formed UTF-8 to bytes of `page`. A refused
// character is kNoCharacter decoding and kNotInPage encoding, at its offset in `input`.
ConvertedText SystemConvert(int page, bool to_utf8, std::string_view input, OnFault on_fault);
// Records a fault (the first one met is kept) and, with kReplace, appends "?" and counts it.
void NoteFault(ConvertedText& result, TextFault fault, std::size_t offset, std::size_t length,
               OnFault on_fault);

}  // namespace vx::os::detail
