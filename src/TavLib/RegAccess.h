// Reading text values below HKEY_CLASSES_ROOT and expanding environment references.
#pragma once

#include <string>

/// Sets `result` to `source` with every reference to a defined environment variable
/// replaced by its value, or to "" when `source` is empty (no platform call) or the
/// expansion fails. References to undefined variables stay as written.
void ExpandEnvStr(const std::string& source, std::string& result);

/// Reads the default value of the key `keyPath` below HKEY_CLASSES_ROOT. True when it is a
/// non-empty REG_SZ or REG_EXPAND_SZ text: `value` then holds it, expanded if the value is
/// expandable and cut at its first zero byte. False leaves `value` exactly as it was.
bool ReadDefaultValue(const std::string& keyPath, std::string& value);
