// The association scan: which file types of HKEY_CLASSES_ROOT open with the program,
// and which extensions point at them.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "TavLib.h"

/// Which matches MatchFileType accepts: a command that starts with the path (optionally
/// after one opening double quote), or one that contains it anywhere.
enum TScanPass { spPrefix, spContains };

/// Fills `Keys` with the names of the `subKeyCount` subkeys of HKEY_CLASSES_ROOT, in the
/// registry's enumeration order; an index that cannot be enumerated stays "". `maxNameLen`,
/// the longest name in UTF-16 characters, sizes the first buffer; a longer ANSI name (up to
/// two bytes per character in a double-byte code page) is fetched again with a larger one.
void EnumRootKeys(TTavArrayOfString& Keys, std::uint32_t subKeyCount, std::uint32_t maxNameLen);

/// The end of the ANSI character that starts at `p`, as CharNextA steps: never before
/// `p` + 1 and never past `end`.
const char* NextChar(const char* p, const char* end);

/// A copy of `text` upper-cased by the platform's locale-aware mapping for ANSI text; the
/// length never changes.
std::string UpperCase(const std::string& text);

/// True when key `keyName` has an open command in which `upperPath` stands as `pass`
/// requires, starting at a whole character; `command`, `description` and `icon` then hold the key's values ("" for an
/// absent description or icon). After false their content carries no meaning.
bool MatchFileType(const std::string& keyName, const std::string& upperPath, TScanPass pass,
                   std::string& command, std::string& description, std::string& icon);

/// Fills `FTypes` (resized to Keys.size()) with the file types whose open command starts
/// with `upperPath`, or, when none does, contains it; returns how many leading records are
/// filled, in key-list order. A name holding CR, LF or Ctrl-Z is left out: no format can
/// write it without ending its line or file early.
std::int32_t FindFileTypes(const std::string& upperPath, TTavFTypes& FTypes,
                           const TTavArrayOfString& Keys);

/// The first `FTypeCount` records of a TTavFTypes by Name; for a name that stands twice,
/// the first record. It makes each lookup of FindExtensions one probe instead of a search.
using TFTypeIndex = std::unordered_map<std::string, std::int32_t>;

/// Indexes the first `FTypeCount` records of `FTypes` by Name.
TFTypeIndex IndexFTypes(const TTavFTypes& FTypes, std::int32_t FTypeCount);

/// True, with `index` set, when `name` equals (byte for byte, letter case counting) the Name
/// of an indexed record: the first such record. False leaves `index` unchanged.
bool FindFTypeIndex(const std::string& name, const TFTypeIndex& byName, std::int32_t& index);

/// Fills `Exts` (resized to Keys.size()) with the extension keys whose default value names
/// one of the first `FTypeCount` file types; returns how many leading records are filled.
/// A name holding CR, LF or Ctrl-Z is left out, as in FindFileTypes.
std::int32_t FindExtensions(TTavTavs& Exts, const TTavFTypes& FTypes, std::int32_t FTypeCount,
                            const TTavArrayOfString& Keys);
