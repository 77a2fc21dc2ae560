// Registry export files, one golden pair each in tests/platform/regfiles: NAME.reg and
// NAME.tree, the merged HKEY_CLASSES_ROOT it gives or the message for its mistake. A name
// beginning with cp932- is read with ANSI code page 932, all others with 1252.
#include "regfile.h"
#include "scoped_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "Process.h"
#include "codepage.h"

namespace {

char buffer[32];

// One line per key ("path"), then one per value ("  name=type:data"), strings as their
// UTF-8 text with a zero shown as "|", other data in hex.
std::string Dump(tavplat::RegKey& key, const std::string& path = "") {
  tavplat::Fill(key);
  std::string out = path + "\n";
  for (const tavplat::RegValue& v : key.values) {
    out += "  " + tavplat::Utf16ToUtf8(v.name) + "=" + std::to_string(v.type) + ":";
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ) &&
        v.data.size() % 2 == 0) {
      std::u16string text;
      for (std::size_t i = 0; i < v.data.size(); i += 2)
        text += static_cast<char16_t>(v.data[i] | v.data[i + 1] << 8);
      for (char c : tavplat::Utf16ToUtf8(text)) out += c ? std::string(1, c) : "|";
    } else {
      char b[4];
      for (BYTE x : v.data) out += (std::snprintf(b, sizeof b, "%02x ", x), b);
    }
    out += "\n";
  }
  for (const auto& sub : key.subkeys)
    out += Dump(*sub, path + "\\" + tavplat::Utf16ToUtf8(sub->name));
  return out;
}

TEST(RegFile, GoldenFiles) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TAVDUMP_SOURCE_DIR "/tests/platform/regfiles")) {
    const std::string name = entry.path().stem(), file = entry.path();
    if (entry.path().extension() != ".reg") continue;
    ScopedEnv acp("TAVDUMP_ACP", name.starts_with("cp932-") ? "932" : "1252");
    tavplat::RegKey root;
    std::string error;
    const LSTATUS status = tavplat::ParseRegFile(tavtest::ReadFileBytes(file), "t.reg", root, error);
    const std::string tree = status ? "error " + std::to_string(status) + ": " + error : Dump(root);
    EXPECT_TRUE(tavtest::SameBytes(name, tavtest::ReadFileBytes(file.substr(0, file.size() - 3) + "tree"), tree));
    EXPECT_EQ(error.empty(), status == ERROR_SUCCESS) << name;
    // The scan gives root keys back once read: read again, each must read alike.
    for (const auto& sub : root.subkeys) tavplat::Forget(*sub);
    if (status == ERROR_SUCCESS) {
      EXPECT_TRUE(tavtest::SameBytes(name + " again", tree, Dump(root)));
    }
    ++count;
  }
  EXPECT_GT(count, 30);
}

// One key with 100,000 named values, each set again in other letter case and every third
// deleted: values are found by name through an index, so this takes a second, not minutes.
TEST(RegFile, AHundredThousandValuesOfOneKey) {
  std::string file = "REGEDIT4\n[HKEY_CLASSES_ROOT\\k]\n";
  for (const char* form : {"\"v%d\"=\"a\"\n", "\"V%d\"=\"b\"\n"})
    for (int i = 0; i < 100000; ++i) file += (std::snprintf(buffer, sizeof buffer, form, i), buffer);
  for (int i = 0; i < 100000; i += 3) file += (std::snprintf(buffer, sizeof buffer, "\"v%d\"=-\n", i), buffer);
  tavplat::RegKey root;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(tavplat::ParseRegFile(file, "t.reg", root, error), ERROR_SUCCESS) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  tavplat::RegKey& key = *tavplat::FindSubkey(root, u"k");
  tavplat::Fill(key);
  const tavplat::RegValues& values = key.values;
  EXPECT_EQ(values.size(), 66666u);
  EXPECT_EQ(tavplat::Utf16ToUtf8(values.begin()->name), "v1") << "the first spelling stays";
}

}  // namespace
