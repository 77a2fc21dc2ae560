// Conversions behind the Win32 code-page functions that only this layer's sources need.
#pragma once

#include "codepage.h"

namespace tavplat {

/// `text` in `codePage` (not UTF-8), a character the page lacks written as `fallback`;
/// `usedFallback`, when given, tells whether that happened. Empty for an unknown page.
std::string ToPage(std::u16string_view text, UINT codePage, std::string_view fallback,
                   bool* usedFallback);

/// The page that `codePage` stands for: the ANSI page for CP_ACP and CP_THREAD_ACP, the
/// OEM page for CP_OEMCP, else `codePage` itself.
UINT RealCodePage(UINT codePage);

/// True when `codePage` (a pseudo page such as CP_ACP included) can be converted.
bool KnownPage(UINT codePage);

/// Upper-cases `length` bytes of ANSI text in place, one byte for one byte; a double-byte
/// character is left as it is.
void UpperAnsi(char* text, std::size_t length);

}  // namespace tavplat
