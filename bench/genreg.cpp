// Writes a REGEDIT4 export with a given number of HKEY_CLASSES_ROOT subkeys, for timing
// tavdump on large registries: a third file types with open commands, a third
// extensions naming them, a third other keys.
//
//   genreg N FILE
//
// File type i (Type000000, ...) opens with "C:\Program Files\Vendor<i mod 100>\app<i>.exe"
// "%1", except types 0 to 2, which belong to "C:\Program Files\Bench\bench.exe". Every
// command contains "Program Files\" and none starts with it, so that path makes the scan
// fall back to the contains pass with every file type matching.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace {

std::string Numbered(const char* prefix, long i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06ld", prefix, i);
  return text;
}

void WriteFileType(std::ofstream& out, long i) {
  const std::string name = Numbered("Type", i);
  std::string program;
  if (i < 3) {
    program = "C:\\\\Program Files\\\\Bench\\\\bench.exe";
  } else {
    char vendor[16];
    std::snprintf(vendor, sizeof vendor, "%02ld", i % 100);
    program = std::string("C:\\\\Program Files\\\\Vendor") + vendor + "\\\\" + Numbered("app", i) +
              ".exe";
  }
  out << "[HKEY_CLASSES_ROOT\\" << name << "]\r\n@=\"Document " << i << "\"\r\n\r\n";
  out << "[HKEY_CLASSES_ROOT\\" << name << "\\DefaultIcon]\r\n@=\"" << program << ",0\"\r\n\r\n";
  out << "[HKEY_CLASSES_ROOT\\" << name << "\\shell\\open\\command]\r\n@=\"\\\"" << program
      << "\\\" \\\"%1\\\"\"\r\n\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: genreg N FILE\n";
    return 2;
  }
  const long total = std::strtol(argv[1], nullptr, 10);
  if (total < 3) {
    std::cerr << "genreg: N must be at least 3\n";
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary);
  out << "REGEDIT4\r\n\r\n";
  const long third = total / 3;
  const long types = total - 2 * third;
  for (long i = 0; i < types; ++i) WriteFileType(out, i);
  // Extension i names type i, so that each extension's lookup walks half the matched
  // types on average when all of them match.
  for (long i = 0; i < third; ++i)
    out << "[HKEY_CLASSES_ROOT\\" << Numbered(".e", i) << "]\r\n@=\"" << Numbered("Type", i)
        << "\"\r\n\r\n";
  for (long i = 0; i < third; ++i)
    out << "[HKEY_CLASSES_ROOT\\" << Numbered("Other", i) << "]\r\n@=\""
        << "Other key " << i << "\"\r\n\r\n";
  out.flush();
  if (!out) {
    std::cerr << "genreg: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
