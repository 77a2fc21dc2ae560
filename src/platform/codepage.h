// Windows code pages for the Linux layer: which ones are in force, and the
// conversions between them, UTF-16 and UTF-8 that the A functions rest on. Every page
// converts exactly as Windows' own table for it says (see codepage.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tavplat {

/// The ANSI code page: TAVDUMP_ACP when it names a supported page, else 1252.
UINT AnsiCodePage();
/// The OEM code page: TAVDUMP_OEMCP when it names a supported page, else the page Windows
/// pairs with the ANSI page that TAVDUMP_ACP names, else 437.
UINT OemCodePage();
/// False, with a one-line `error`, when TAVDUMP_ACP or TAVDUMP_OEMCP names no supported
/// page or the page's table cannot be read; the defaults stand in for it meanwhile.
bool CheckCodePages(std::string& error);
/// Forgets the code pages read from the environment, so that the next call reads them
/// again (tests change TAVDUMP_ACP between cases).
void ResetCodePages();

/// `text` in `codePage` as UTF-16, as MultiByteToWideChar without flags gives it.
std::u16string ToUtf16(std::string_view text, UINT codePage);
/// `text` in `codePage`, as WideCharToMultiByte without flags gives it: a character the
/// page lacks becomes Windows' best fit or '?'.
std::string FromUtf16(std::u16string_view text, UINT codePage);
/// The same into `out`, a buffer the caller keeps from call to call: the registry calls
/// that the scan makes for every root key then allocate nothing. ASCII, which every page
/// served writes as itself, takes no table.
void ToUtf16(std::string_view text, UINT codePage, std::u16string& out);
void FromUtf16(std::u16string_view text, UINT codePage, std::string& out);

/// UTF-8 and UTF-16 of the same text; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

/// Widens `text` to UTF-16 at `out` (room for text.size() units) while it is ASCII, which
/// every page served writes as itself; returns how many bytes it widened. Registry files
/// are mostly ASCII: this takes them 16 bytes at a time, with no table.
std::size_t WidenAscii(std::string_view text, char16_t* out);

/// The reverse: narrows `units` UTF-16LE code units at `le` (two bytes each, low byte
/// first, as the registry keeps strings) into `out` while they are ASCII; returns how many
/// it narrowed. The scan reads a command, a description or a type name from every key it
/// opens: this takes them 16 at a time.
std::size_t NarrowAscii(const unsigned char* le, std::size_t units, char* out);

/// A UTF-16 code unit upper-cased as Windows' CharUpperW does.
char16_t UpperChar(char16_t c);

}  // namespace tavplat
