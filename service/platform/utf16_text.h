// UTF-16 texts as the Windows APIs take them, made the same way on every platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zv {

// Strict, like MultiByteToWideChar with MB_ERR_INVALID_CHARS: overlong forms,
// surrogates, values above U+10FFFF and cut-off sequences give nothing.
std::optional<std::u16string> Utf16FromUtf8(std::string_view text);

// The way back, for paths and names the POSIX calls take; a lone surrogate gives nothing.
std::optional<std::string> Utf8FromUtf16(std::u16string_view text);

// towlower on every UTF-16 unit, into `folded` (reused, so a scan does not allocate).
void FoldCase(std::u16string_view text, std::u16string& folded);

}  // namespace zv
