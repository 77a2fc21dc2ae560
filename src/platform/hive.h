// Windows' own registry files (regf hives) as sources of HKEY_CLASSES_ROOT and of what the
// machine tells of itself. A hive is checked whole when it is loaded; its classes' keys are
// then read one by one as the scan looks into them.
//
// A hive file is told apart by its root key:
//   - a `Classes` key beside a `Microsoft` key: the machine's SOFTWARE hive; its classes are
//     `Classes`, and it names the machine's folders;
//   - a `Select` key beside no `Classes` key: the machine's SYSTEM hive; no classes, but the
//     code pages and the machine-wide environment of the current control set;
//   - a `Software` key: a user's NTUSER.DAT; its classes are `Software\Classes` (none when
//     that key is missing);
//   - anything else: a user's UsrClass.dat, whose root holds the user's classes.
// A Windows system drive (a folder with Windows/System32/config/SOFTWARE in any letter case)
// gives the classes of that SOFTWARE hive and the facts of it and of the SYSTEM hive beside it.
#pragma once

#include <windows.h>

#include <string>

#include "machine.h"
#include "regtree.h"

namespace tavplat {

/// Reads the classes of the hive file `path` into `classes` (emptied first). Returns
/// ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when the file cannot be opened; ERROR_BADDB when it
/// is no sound hive. On failure `error` is one line naming the file and the problem, and
/// `classes` is empty.
LSTATUS LoadHiveClasses(const std::string& path, RegKey& classes, std::string& error);

/// The same for the SOFTWARE hive of the Windows system drive mounted at `drive`.
LSTATUS LoadSystemDriveClasses(const std::string& drive, RegKey& classes, std::string& error);

/// Adds to `facts` what the hive file `path` tells of its machine: from a SOFTWARE hive
/// ProgramFiles, CommonProgramFiles, SystemRoot, windir and SystemDrive; from a SYSTEM hive
/// the ANSI and OEM code pages and the machine-wide environment variables, expandable ones
/// expanded against the variables known before them, as Windows does when the user logs on.
/// Reads no code page. Returns as LoadHiveClasses.
LSTATUS ReadHiveFacts(const std::string& path, MachineFacts& facts, std::string& error);

/// The same for the SOFTWARE and SYSTEM hives of the system drive mounted at `drive`.
LSTATUS ReadSystemDriveFacts(const std::string& drive, MachineFacts& facts, std::string& error);

}  // namespace tavplat
