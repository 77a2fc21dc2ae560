// Registry export files, one golden pair each in tests/platform/regfiles: NAME.reg and
// NAME.tree, the merged HKEY_CLASSES_ROOT it gives or the message for its mistake. A name
// beginning with cp932- is read with ANSI code page 932, all others with 1252.
#include "regfile.h"
#include "scoped_env.h"
#include "winereg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

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

// A file several times the size of the window it is read through (1 MiB): lines and runs
// of blank lines cut at the window's end, a line longer than the window. Read from the file
// it gives what its bytes give from memory, also when read again, in UTF-16LE too, and a
// mistake after the first window is found as from memory.
TEST(RegFile, ReadThroughAWindowAsFromMemory) {
  std::mt19937 random(7);
  std::string body;
  auto blankLines = [&] {
    for (unsigned n = random() % 4; n; --n) body += std::string(random() % 300, ' ') + "\r\n";
  };
  // 12,000 root keys one after the other, then sections of the first 4,000 again, far
  // from their first: read one after the other, and here and there.
  for (int i = 0; i < 20000; ++i) {
    body += "[HKEY_CLASSES_ROOT\\k" + std::to_string(i < 12000 ? i : i % 4000);
    body += i % 3 ? "\\s]\r\n" : "]\r\n";
    body += "@=\"" + std::string(i == 9000 ? 1500000 : random() % 100, 'v') + "\"\n";
    blankLines();
    body += "\"h\"=hex:01,\\\r\n" + std::string(random() % 200, '\t') + "\n  02\r\n";
    blankLines();
  }
  std::string wide = "\xFF\xFE";
  for (char c : "Windows Registry Editor Version 5.00\r\n" + body) wide += {c, '\0'};
  for (const std::string& file : {"REGEDIT4\n" + body, wide, "REGEDIT4\n" + body + "bad\n"}) {
    tavtest::TempDir dir;
    const std::string path = dir.Path + "/t.reg";
    std::ofstream(path, std::ios::binary) << file;
    tavplat::RegKey fromFile, fromMemory;
    std::string error, memoryError;
    const LSTATUS status = tavplat::LoadRegFile(path, fromFile, error);
    EXPECT_EQ(status, tavplat::ParseRegFile(file, path, fromMemory, memoryError));
    EXPECT_EQ(error, memoryError);
    if (status != ERROR_SUCCESS) continue;
    const std::string tree = Dump(fromMemory);
    EXPECT_TRUE(tavtest::SameBytes("from the file", tree, Dump(fromFile)));
    for (const auto& sub : fromFile.subkeys) tavplat::Forget(*sub);
    EXPECT_TRUE(tavtest::SameBytes("from the file again", tree, Dump(fromFile)));
  }
}

// A text registry that changes after its check: the keys read later are no longer the
// ones it checked, and the run ends with one line and exit code 2, neither a crash nor a
// backup that silently lacks them. The file is larger than the bytes read at a time, so
// that its first root key is read from the file again. It gets shorter (cut to its header)
// or is written over with as many bytes (every character but the line ends an x).
TEST(RegFile, AFileThatChangesAfterItsCheck) {
  struct Row {
    const char* header;
    const char* section;
    bool wine;
  };
  for (const Row& row : {Row{"REGEDIT4\n", "[HKEY_CLASSES_ROOT\\.k%06d]\n@=\"x\"\n", false},
                         Row{"WINE REGISTRY Version 2\n", "[Software\\\\Classes\\\\.k%06d] 0\n@=\"x\"\n", true}}) {
    for (const bool shorter : {true, false}) {
      const std::string path = testing::TempDir() + "changed.reg";
      std::string file = row.header;
      char line[64];
      for (int i = 0; i < 60000; ++i) file += (std::snprintf(line, sizeof line, row.section, i), line);
      std::ofstream(path, std::ios::binary) << file;
      tavplat::RegKey root;
      std::string error;
      ASSERT_EQ(row.wine ? tavplat::LoadWineClasses(path, false, root, error)
                         : tavplat::LoadRegFile(path, root, error),
                ERROR_SUCCESS)
          << error;
      if (shorter) {
        std::filesystem::resize_file(path, std::strlen(row.header));
      } else {
        for (char& c : file) c = c == '\n' ? c : 'x';
        std::ofstream(path, std::ios::binary) << file;
      }
      EXPECT_EXIT(Dump(root), testing::ExitedWithCode(2),
                  "tavdump: " + path + ": the registry file " +
                      (shorter ? "got shorter" : "changed") + " while it was read\n")
          << row.header << shorter;
    }
  }
}

}  // namespace
