// Registry export files: what regedit writes, in each encoding, merged into one
// HKEY_CLASSES_ROOT view, and the message for each way a file can be wrong.
#include "regfile.h"
#include "scoped_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "codepage.h"

namespace {

// The tree as text: one line per key ("path"), then one per value ("  name=type:data"),
// strings as their UTF-8 text with a zero shown as "|", other data in hex.
std::string Dump(const tavplat::RegKey& key, const std::string& path = "") {
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
  for (const auto& [folded, sub] : key.subkeys)
    out += Dump(*sub, path + "\\" + tavplat::Utf16ToUtf8(sub->name));
  return out;
}

// The parsed tree, or "error: " and the message.
std::string Parse(const std::string& bytes) {
  tavplat::RegKey root;
  std::string error;
  const LSTATUS status = tavplat::ParseRegFile(bytes, "t.reg", root, error);
  if (status != ERROR_SUCCESS) return "error " + std::to_string(status) + ": " + error;
  EXPECT_EQ(error, "");
  return Dump(root);
}

std::string Utf16File(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return out;
}

class RegFile : public ::testing::Test {
 protected:
  ScopedEnv acp_{"TAVDUMP_ACP", "1252"};
};

TEST_F(RegFile, AnExportOfWineRegeditLoads) {
  tavplat::RegKey root;
  std::string error;
  ASSERT_EQ(
      tavplat::LoadRegFile(TAVDUMP_SOURCE_DIR "/tests/platform/data/wine-export.reg", root, error),
      ERROR_SUCCESS)
      << error;
  EXPECT_EQ(Dump(root),
            "\n\\TavX\n"
            "  =1:Tav \"x\" c:\\path|\n"
            "  bin=3:01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18 19 "
            "1a 1b 1c 1d 1e 1f 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f 30 \n"
            "  dw=4:2a 00 00 00 \n  empty=1:|\n  exp=2:%windir%|\n  multi=7:a|b||\n  none=0:\n"
            "  odd=64:01 02 \n  q=11:01 00 00 00 00 00 00 00 \n  str=1:h\xC3\xA9|\n"
            "\\TavX\\sub key\n\\TavX\\sub key\\deeper\n"
            "\\TavX\\_u\n  na\"me\\x=1:v|\n"
            "\\TavX\\\xC3\x89t\xC3\xA9 \xE6\x97\xA5\n"
            "  =2:%SystemRoot%\\\xC3\xA9.exe|\n  nl=1:a\nb\rc\td|\n");
}

TEST_F(RegFile, EveryEncodingGivesTheSameTree) {
  const std::string body =
      "\r\n[HKEY_CLASSES_ROOT\\.t\xC3\xA9]\r\n@=\"\xE6\x97\xA5\"\r\n"
      "\"x\"=hex(2):41,00,e9,00,00,00\r\n";
  const std::string expected = "\n\\.t\xC3\xA9\n  =1:\xE6\x97\xA5|\n  x=2:A\xC3\xA9|\n";
  const std::string v5 = "Windows Registry Editor Version 5.00" + body;
  EXPECT_EQ(Parse(v5), expected) << "UTF-8 without a byte-order mark";
  EXPECT_EQ(Parse("\xEF\xBB\xBF" + v5), expected) << "UTF-8 with one";
  EXPECT_EQ(Parse(Utf16File(tavplat::Utf8ToUtf16(v5))), expected) << "UTF-16LE";
  EXPECT_EQ(Parse(std::string("\xFE\xFF\0W", 4)),
            "error 1009: t.reg: UTF-16 big-endian text is not supported (save it as UTF-16LE)");
  EXPECT_EQ(Parse("\xFF\xFEW"),
            "error 1009: t.reg: the UTF-16 text ends in the middle of a character");
  EXPECT_EQ(Parse("Windows Registry Editor Version 5.00\r\n;\xE9\r\n"),
            "error 1009: t.reg:2: the line is not valid UTF-8");
}

TEST_F(RegFile, Regedit4IsAnsiTextAndSoAreItsHexStrings) {
  const std::string file =
      "REGEDIT4\r\n[HKEY_CLASSES_ROOT\\.t\xE9]\r\n@=\"\xE9\"\r\n"
      "\"e\"=hex(2):25,41,25,e9,00\r\n\"m\"=hex(7):61,00,e9,00,00\r\n\"s\"=hex(1):e9\r\n"
      "\"b\"=hex:e9\r\n";
  EXPECT_EQ(Parse(file),
            "\n\\.t\xC3\xA9\n  =1:\xC3\xA9|\n  e=2:%A%\xC3\xA9|\n  m=7:a|\xC3\xA9||\n"
            "  s=1:\xC3\xA9\n  b=3:e9 \n");
  ScopedEnv japanese("TAVDUMP_ACP", "932");
  // 0x95 0x5C is one character whose second byte is a backslash: it splits nothing.
  EXPECT_EQ(
      Parse("REGEDIT4\n[HKEY_CLASSES_ROOT\\a\x95\x5C]\n@=\"\x93\xFA\"\n\"e\"=hex(2):93,fa,00\n"),
      "\n\\a\xE8\xA1\xA8\n  =1:\xE6\x97\xA5|\n  e=2:\xE6\x97\xA5|\n");
}

TEST_F(RegFile, EverySyntaxElement) {
  EXPECT_EQ(Parse("REGEDIT4\n"
                  "; a comment\n"
                  "\n"
                  "  [HKEY_CLASSES_ROOT\\k\\no values]  ; keys come from their lines alone\n"
                  "[HKEY_CLASSES_ROOT\\k]\n"
                  "  @ =  \"a \\\"q\\\" \\\\ b\\n\\r\" ; trailing comment\n"
                  "\"\"=\"the default again\"\n"
                  "\"d\"=dword:DeadBeef\n"
                  "\"D2\"=DWORD:7 ;\n"
                  "\"h\"=hex:01, 2,\\\n"
                  "  ; a comment between continued lines\n"
                  "\n"
                  "    ff,\\\n"
                  "  10\n"
                  "\"n\"=hex(a):\n"
                  "\"gone\"=\"x\"\n"
                  "\"GONE\"=-\n"
                  "[HKEY_CLASSES_ROOT\\a]b]\n"
                  "[HKEY_CLASSES_ROOT\\x\\y\\z]\n"
                  "@=\"later deleted\"\n"
                  "[-HKEY_CLASSES_ROOT\\X\\Y]\n"
                  "[-HKEY_CLASSES_ROOT\\missing]\n"
                  "[HKEY_CLASSES_ROOT\\k]\n"
                  "@=-\n"
                  "\"d\"=dword:1\n"),
            "\n\\a]b\n\\k\n  d=4:01 00 00 00 \n  D2=4:07 00 00 00 \n  h=3:01 02 ff 10 \n"
            "  n=10:\n\\k\\no values\n\\x\n");
}

TEST_F(RegFile, MachineAndUserClassesMergeAsWindowsMergesThem) {
  EXPECT_EQ(
      Parse("REGEDIT4\n"
            "[hkey_local_machine\\software\\CLASSES\\both]\n@=\"machine\"\n\"m\"=\"only here\"\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\both\\msub]\n"
            "[HKEY_CURRENT_USER\\Software\\Classes\\Both]\n@=\"user\"\n"
            "[HKEY_CURRENT_USER\\Software\\Classes\\both\\usub]\n"
            "[HKEY_CURRENT_USER\\Software\\Classes\\useronly]\n"
            "[HKEY_CLASSES_ROOT\\both]\n\"via root\"=\"goes to the user's key\"\n"
            "[HKEY_CLASSES_ROOT\\rootonly]\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\ignored]\n@=\"x\"\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "[HKEY_USERS\\S-1-5-21\\Software\\Classes\\ignored]\n"
            "[HKEY_CURRENT_CONFIG\\ignored]\n"),
      "\n\\Both\n  =1:user|\n  via root=1:goes to the user's key|\n"
      "\\Both\\msub\n\\Both\\usub\n\\rootonly\n\\useronly\n");
  EXPECT_EQ(Parse("REGEDIT4\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\m]\n"
                  "[HKEY_CURRENT_USER\\Software\\Classes\\u\\sub]\n"
                  "[HKEY_CLASSES_ROOT\\both]\n"
                  "[HKEY_CURRENT_USER\\Software\\Classes\\both]\n@=\"u\"\n"
                  "[HKEY_CLASSES_ROOT\\both]\n\"v\"=-\n@=-\n"
                  "[-HKEY_CURRENT_USER\\Software]\n"),
            "\n\\both\n\\m\n")
      << "deleting above the classes removes them; deleting through the root removes from both";
}

TEST_F(RegFile, EachMistakeIsNamedWithItsLine) {
  const std::string header = "t.reg:1: not a registry file: the first line must be \"REGEDIT4\" or "
                             "\"Windows Registry Editor Version 5.00\"";
  const std::string key = "REGEDIT4\n[HKEY_CLASSES_ROOT\\a]\n";
  const std::string byte = " is not a hex byte (expected one or two hex digits between commas)";
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"", header},
           {"REGEDIT5\n", header},
           {"REGEDIT4\n\n@=\"x\"\n", "3: a value line before the first [key] line"},
           {"REGEDIT4\n[-HKEY_CLASSES_ROOT\\a]\n@=\"x\"\n",
            "3: a value line below a [-key] line, which deletes its key"},
           {"REGEDIT4\n[HKEY_CLASSES_ROOT\\a\n", "2: missing \"]\" at the end of the key line"},
           {"REGEDIT4\n[HKEY_CLASSES_ROOT\\a] x\n", "2: unexpected text \"x\" after the key line"},
           {"REGEDIT4\n[]\n", "2: the key line names no key"},
           {"REGEDIT4\n[HKCR\\a]\n", "2: unknown root key \"HKCR\" (expected a name like HKEY_CLASSES_ROOT)"},
           {"REGEDIT4\n[HKEY_CLASSES_ROOT\\a\\\\b]\n",
            "2: the key path \"HKEY_CLASSES_ROOT\\a\\\\b\" has an empty key name"},
           {key + "\"x\"\n", "3: expected \"=\" after the value name"},
           {key + "\"x=\"y\"\n", "3: expected \"=\" after the value name"},
           {key + "\"x\\\"=1\n", "3: missing closing quote at the end of the value name"},
           {key + "@=\"x\n", "3: missing closing quote at the end of the string"},
           {key + "@=\"c:\\path\"\n", "3: unknown escape \"\\p\" in the string (a backslash is written \\\\)"},
           {key + "@=\"x\" y\n", "3: unexpected text \"y\" after the closing quote"},
           {key + "@=-x\n", "3: unexpected text \"x\" after \"-\""},
           {key + "@=dword:123456789\n", "3: expected 1 to 8 hex digits after \"dword:\""},
           {key + "@=dword:12g\n", "3: unexpected text \"g\" after the dword"},
           {key + "@=hex:01,,02\n", "3: \"\"" + byte},
           {key + "@=hex:01,\\\n 100\n", "4: \"100\"" + byte},
           {key + "@=hex:01,\\\n", "3: the file ends after a \"\\\" that continues the hex data on the next line"},
           {key + "@=hex(z):01\n", "3: expected a hex type number and \"):\" after \"hex(\", as in \"hex(2):\""},
           {key + "@=str:\"x\"\n",
            "3: expected a quoted string, \"dword:\", \"hex:\", \"hex(N):\" or \"-\" after \"=\""},
           {key + "x=1\n", "3: unexpected text \"x=1\" (expected a [key] line, a value line or a comment)"},
           {key + "x\x1b[2J\r\t" + std::string(1, '\0') + "\x7f\x01\xe9" + std::string(99, 'y') + "\n",
            "3: unexpected text \"x\\x1b[2J\\r\\t\\0\\x7f\\x01\xc3\xa9" + std::string(49, 'y') +
                "...\" (expected a [key] line, a value line or a comment)"}})
    EXPECT_EQ(Parse(text), "error 1009: " + (message[0] == 't' ? message : "t.reg:" + message)) << text;
}

TEST_F(RegFile, AFolderIsNoRegistryFileAndLeavesNothingBehind) {
  tavplat::RegKey root;
  tavplat::MakeSubkey(root, u"stale");
  std::string error;
  EXPECT_EQ(tavplat::LoadRegFile("/", root, error), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(error, "/: cannot read the registry file: Is a directory");
  EXPECT_TRUE(root.subkeys.empty());
}

}  // namespace
