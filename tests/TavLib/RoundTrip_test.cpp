// Random registries drawn from the characters of each code page pair, written in every
// format: the REG file loads back to the same scan and the same file; the script, read as
// cmd and reg.exe read it, and the INF file, read as the setup engine reads it, give back
// every character as the code pages allow.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "CmdWriter.h"
#include "InfWriter.h"
#include "RegWriter.h"
#include "Scan.h"
#include "codepage.h"
#include "registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace {

using tavplat::FromUtf16;
using tavplat::ToUtf16;
using Text = std::u16string;
using Pairs = std::vector<std::pair<Text, Text>>;  // (key, value), sorted

// Doubled percent signs and the system drive's token, as cmd or the setup engine read them.
Text Percents(const Text& text, const Text& drive) {
  Text out;
  for (std::size_t i = 0, close; i < text.size(); ++i) {
    if (text[i] != u'%' || (close = text.find(u'%', i + 1)) == Text::npos) out += text[i];
    else {
      const Text name = text.substr(i + 1, close - i - 1);
      out += name.empty() ? u"%" : name == drive ? u"C:" : u"<" + name + u">";
      i = close;
    }
  }
  return out;
}

// A script line (percent signs read) after cmd's carets, split as assoc and ftype split it,
// or as reg.exe reads its arguments: \" is a quote, backslashes before a quote halve.
std::pair<Text, Text> ReadCmdLine(const Text& expanded) {
  Text line, arg;
  bool quoted = false;
  for (std::size_t i = 0; i < expanded.size(); line += expanded.at(i++)) {
    if (expanded[i] == u'"') quoted = !quoted;
    if (!quoted && expanded[i] == u'^') ++i;
  }
  const std::size_t eq = line.find(u'=');
  if (line.starts_with(u"assoc ") || line.starts_with(u"ftype ")) return {line.substr(6, eq - 6), line.substr(eq + 1)};
  std::vector<Text> args;
  std::size_t slashes = 0;
  quoted = false;
  for (char16_t c : line + u" ") {
    if (c == u'\\' && ++slashes) continue;
    arg.append(c == u'"' ? slashes / 2 : slashes, u'\\');
    if (c == u'"' && slashes % 2 == 0) quoted = !quoted;
    else if (c == u' ' && !quoted) args.push_back(std::exchange(arg, Text()));
    else arg += c;
    slashes = 0;
  }
  return {args.at(2).substr(5), args.at(5)};
}

std::string Temp(const char* leaf) { return ::testing::TempDir() + "roundtrip-" + std::to_string(getpid()) + leaf; }

std::string ReadFile(const char* leaf) {
  std::ifstream in(Temp(leaf), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Scans the registry and writes the three files.
void ScanAndWrite() {
  DWORD count = 0, longest = 0;
  RegQueryInfoKeyA(HKEY_CLASSES_ROOT, 0, 0, 0, &count, &longest, 0, 0, 0, 0, 0, 0);
  TTavArrayOfString keys;
  TTavFTypes types;
  TTavTavs exts;
  EnumRootKeys(keys, count, longest);
  const std::int32_t typeCount = FindFileTypes(UpperCase("C:\\Prog\\app.exe"), types, keys);
  const std::int32_t extCount = FindExtensions(exts, types, typeCount, keys);
  SaveToReg(Temp(".reg"), exts, extCount, types, typeCount);
  SaveToCmd(Temp(".cmd"), exts, extCount, types, typeCount, true, true, true);
  SaveToInf(Temp(".inf"), exts, extCount, types, typeCount, true, true);
}

TEST(RoundTrip, EveryFormatKeepsEveryCharacterTheCodePagesAllow) {
  for (auto [name, value] : {std::pair{"ProgramFiles", "C:\\Program Files"}, {"SystemRoot", "C:\\Windows"}, {"SystemDrive", "C:"}})
    setenv(name, value, 1);
  std::mt19937 random{20240611};
  std::vector<Text> chars;  // the ASCII characters first, then the others of the ANSI page
  std::size_t ascii = 0;
  const auto draw = [&](std::size_t most, bool name) {
    Text text;
    for (std::size_t n = random() % (most + 1); n > 0; --n) {
      const Text& c = chars[random() % (random() % 2 ? ascii : chars.size())];
      if (!name || (c != u"\\" && c != u"=")) text += c;
    }
    return text;
  };
  Pairs made;  // every pair the INF file must give back: an empty text makes no value
  const auto def = [&](const Text& key, const Text& text) {
    made.push_back({key, text});
    if (!text.empty()) tavplat::SetRegString(tavplat::Utf16ToUtf8(key), "", tavplat::Utf16ToUtf8(text));
  };
  const auto oem = [](const Text& text) {  // what the OEM page makes of each character
    Text out;
    for (char16_t c : text) out += ToUtf16(FromUtf16(Text(1, c), CP_OEMCP), CP_OEMCP);
    return out;
  };
  for (auto [acp, oemcp] : {std::pair{"1252", "437"}, {"1252", "850"}, {"1251", "866"}, {"932", "932"},
                            {"936", "936"}, {"949", "949"}, {"950", "950"}, {"932", "437"}, {"1252", "932"}}) {
    setenv("TAVDUMP_ACP", acp, 1);
    setenv("TAVDUMP_OEMCP", oemcp, 1);
    tavplat::ResetCodePages();
    chars.clear();
    for (char16_t c = u' '; c < 0x7F; ++c)  // no small c: "c:" would come back as the drive's "C:"
      if (c != u'c') chars.push_back(Text(1, c));
    ascii = chars.size();
    const bool dbcs = IsDBCSLeadByte(0x81) || IsDBCSLeadByte(0xA1);
    for (int code = 0x80; code < (dbcs ? 0x10000 : 0x100); ++code) {
      const char trail = char(code & 0xFF);  // trail bytes that look like ASCII, and a sample
      if (code > 0xFF && (code < 0x8100 || (!std::strchr("\\|^[]{}@", trail) && !std::isalpha(trail) && code % 97)))
        continue;
      const std::string bytes = code > 0xFF ? std::string{char(code >> 8), trail} : std::string(1, trail);
      const Text c = ToUtf16(bytes, CP_ACP);
      if (c.size() != 1 || FromUtf16(c, CP_ACP) != bytes || (code > 0xFF) != bool(IsDBCSLeadByte(bytes[0]))) continue;
      chars.push_back(c);
      if (trail == 'C') chars.push_back(c + u":");  // holds the system drive's bytes
    }
    for (int round = 0; round < 12; ++round) {
      const std::string pair = std::string(acp) + "/" + oemcp + " round " + std::to_string(round);
      tavplat::ResetRegistry();
      made.clear();
      for (char16_t t = u'0', types = u'1' + random() % 3; t < types; ++t) {
        const Text name = Text(u"T") + t + draw(6, true), ext = Text(u".e") + t + draw(4, true);
        def(name + u"\\shell\\open\\command", u"C:\\Prog\\app.exe " + draw(12, false));
        def(name, draw(12, false));
        def(name + u"\\DefaultIcon", draw(8, false));
        if (random() % 2) def(ext, name);
      }
      ScanAndWrite();
      std::sort(made.begin(), made.end());
      const std::string reg = ReadFile(".reg"), script = ReadFile(".cmd"), file = ReadFile(".inf");
      // The script's pairs: keys without their subkeys, every character through the OEM page.
      Pairs cmd, cmdRead, infRead;
      for (auto [key, value] : made) cmd.push_back({oem(key.substr(0, key.find(u'\\'))), oem(value)});
      for (std::size_t at = 0, end; (end = script.find("\r\n", at)) != std::string::npos; at = end + 2) {
        auto [key, value] = ReadCmdLine(Percents(ToUtf16(script.substr(at, end - at), CP_OEMCP), u"systemdrive"));
        cmdRead.push_back({key.substr(0, key.find(u'\\')), value});
      }
      std::sort(cmd.begin(), cmd.end());
      std::sort(cmdRead.begin(), cmdRead.end());
      EXPECT_EQ(cmdRead, cmd) << pair << "\n" << script;
      // The INF file's lines HKCR,"key",,,"value", quotes doubled inside the quotes.
      const Text text(reinterpret_cast<const char16_t*>(file.data()) + 1, file.size() / 2 - 1);
      for (std::size_t at = text.find(u"HKCR,\""); at != Text::npos; at = text.find(u"HKCR,\"", at)) {
        Text field[2];
        for (int f = 0; f < 2; ++f)
          for (at += f ? 5 : 6; text[at] != u'"' || text[at + 1] == u'"'; ++at)
            field[f] += text[text[at] == u'"' ? at++ : at];
        infRead.push_back({Percents(field[0], u"24"), Percents(field[1], u"24")});
      }
      std::sort(infRead.begin(), infRead.end());
      EXPECT_EQ(infRead, made) << pair;
      setenv("TAVDUMP_REGISTRY", Temp(".reg").c_str(), 1);
      tavplat::ResetRegistry(true);
      ScanAndWrite();
      EXPECT_EQ(ReadFile(".reg"), reg) << pair << ": the REG file loads back to the same keys";
      EXPECT_EQ(ReadFile(".inf"), file) << pair << "\n" << reg;
    }
  }
  for (const char* name : {"TAVDUMP_REGISTRY", "TAVDUMP_ACP", "TAVDUMP_OEMCP"}) unsetenv(name);
  tavplat::ResetCodePages();
}

}  // namespace
