// Folder variables: the program-files folder, the Windows folder and the system drive
// inside commands and icons are written as tokens that the target machine resolves.
#pragma once

#include <cstddef>
#include <string>

#include "TavLib.h"

/// The environment references of the three folders, and the CMD script's tokens for them.
extern const PathVarTable PathVarNames;
/// The setup engine's directory ids for the three folders; the program-files folder has none.
extern const PathVarTable InfDirIds;

/// Fills `expanded` with each of PathVarNames expanded through the environment and
/// upper-cased ("" where the expansion fails).
void ExpandPathVars(PathVarTable& expanded);

/// Sets `result` to `text` with every occurrence of an enabled folder of `expanded`
/// (compared without regard to letter case) replaced by its token, scanning left to right
/// by ANSI characters; at each character the entries are tried in index order and the
/// first match wins.
void SubstPathVars(const std::string& text, bool enable0, bool enable1, bool enable2,
                   const PathVarTable& tokens, const PathVarTable& expanded, std::string& result);

/// True when entry `index` is enabled, not empty and matches `text` at `position` (counted
/// in bytes from 1, at the start of a character; the folder is whole characters, so the
/// match ends at the end of one); the token is then appended to `result` and `position`
/// advanced past the match.
/// False leaves `position` and `result` untouched.
bool TryPathVar(bool enabled, std::size_t index, const std::string& text, std::size_t& position,
                std::string& result, const PathVarTable& tokens, const PathVarTable& expanded);
