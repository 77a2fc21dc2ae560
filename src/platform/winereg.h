// Wine's own registry as a source: a prefix folder (its system.reg, the machine's keys, and
// user.reg, the user's) or one registry file in the format Wine's server saves.
#pragma once

#include <windows.h>

#include <string>

#include "machine.h"
#include "regtree.h"

namespace tavplat {

/// What a Wine prefix (`prefix` true: the folder `path`) or a Wine registry file tells of
/// its machine: ProgramFiles, CommonProgramFiles, SystemRoot, windir and SystemDrive from
/// the machine's keys, then the machine-wide environment of
/// System\CurrentControlSet\Control\Session Manager\Environment as Wine builds it at start
/// (expandable values expanded against what came before), and the code pages that Wine
/// takes from the Unix locale. The file is read once: its classes are kept for
/// LoadWineClasses. Returns ERROR_SUCCESS or the error LoadWineClasses reports.
LSTATUS ReadWineFacts(const std::string& path, bool prefix, MachineFacts& facts,
                      std::string& error);

/// HKEY_CLASSES_ROOT of a Wine prefix or file: Software\Classes below the file's root, the
/// user's (user.reg, when the prefix has one) over the machine's (system.reg), as Windows
/// merges them (Wine 8's own HKEY_CLASSES_ROOT shows the machine's classes only). Keys
/// elsewhere are skipped unread. A symbolic link key (#link) appears as an empty key:
/// its target lies outside the file's classes, and its SymbolicLinkValue is no value that
/// Windows shows through the link. Returns ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when a file
/// cannot be read; ERROR_BADDB when it is not a valid Wine registry file, with `error` one
/// line such as `prefix/system.reg:12: ...` and `classes` empty.
LSTATUS LoadWineClasses(const std::string& path, bool prefix, RegKey& classes,
                        std::string& error);

/// The ANSI and OEM code pages that Wine gives its processes for the Unix locale of this
/// process (LC_ALL, else LC_CTYPE, else LANG).
void WineCodePages(UINT& acp, UINT& oemcp);

}  // namespace tavplat
