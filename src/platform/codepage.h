// Windows code pages for the Linux layer: which ones are in force, and the
// conversions between them, UTF-16 and UTF-8 that the A functions rest on.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tavplat {

/// The ANSI code page: TAVDUMP_ACP if it names a code page iconv knows, else 1252.
UINT AnsiCodePage();
/// The OEM code page: TAVDUMP_OEMCP if it names a code page iconv knows, else 437.
UINT OemCodePage();
/// Forgets the code pages read from the environment, so that the next call reads them
/// again (tests change TAVDUMP_ACP between cases).
void ResetCodePages();

/// True when TAVDUMP_ACP and TAVDUMP_OEMCP name code pages the layer can serve; otherwise
/// false with one line in `error` (no line end) that says which setting is wrong.
bool CheckCodePages(std::string& error);

/// True when `byte` starts a two-byte character in `codePage` (never for single-byte pages).
bool IsLeadByte(UINT codePage, unsigned char byte);

/// `text` in `codePage` as UTF-16, as MultiByteToWideChar without flags gives it: every
/// byte is converted, a byte the page does not define becomes what Windows gives for it.
std::u16string ToUtf16(std::string_view text, UINT codePage);
/// `text` in `codePage`, as WideCharToMultiByte without flags gives it: a character the
/// page lacks becomes Windows' best fit or default character.
std::string FromUtf16(std::u16string_view text, UINT codePage);

/// UTF-8 and UTF-16 of the same text; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

/// A UTF-16 code unit upper-cased as Windows' CharUpperW does.
char16_t UpperChar(char16_t c);

}  // namespace tavplat
