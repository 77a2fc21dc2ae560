// Writes the classes that genreg writes as an export (a third file types with open
// commands, a third extensions naming them, a third other keys) as Wine's system.reg, for
// timing tavdump on a large Wine registry:
//
//   genwinereg N FILE
//
// The file is laid out as Wine's server saves it: keys in the order Wine keeps them
// (subkeys sorted without regard to case, each key before its subkeys), a key line only
// for keys with values, each with its time stamp and "#time=" line, strings in Wine's
// escaping, "\n" line ends. A few keys outside the classes tell the machine's folders and
// environment, as in a real prefix.
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

// A key line as Wine writes it: the path with "\\" between names, then the time stamps.
void Key(std::ofstream& out, const std::string& path) {
  out << "\n[" << path << "] 1796632508\n#time=1dd8625ddfbcfee\n";
}

void WriteFileType(std::ofstream& out, long i) {
  const std::string key = "Software\\\\Classes\\\\" + Numbered("Type", i);
  std::string program;
  if (i < 3) {
    program = "C:\\\\Program Files\\\\Bench\\\\bench.exe";
  } else {
    char vendor[16];
    std::snprintf(vendor, sizeof vendor, "%02ld", i % 100);
    program = std::string("C:\\\\Program Files\\\\Vendor") + vendor + "\\\\" + Numbered("app", i) +
              ".exe";
  }
  Key(out, key);
  out << "@=\"Document " << i << "\"\n";
  Key(out, key + "\\\\DefaultIcon");
  out << "@=\"" << program << ",0\"\n";
  Key(out, key + "\\\\shell\\\\open\\\\command");
  out << "@=\"\\\"" << program << "\\\" \\\"%1\\\"\"\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: genwinereg N FILE\n";
    return 2;
  }
  const long total = std::strtol(argv[1], nullptr, 10);
  if (total < 3) {
    std::cerr << "genwinereg: N must be at least 3\n";
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary);
  out << "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n";
  const long third = total / 3;
  const long types = total - 2 * third;
  // ".e..." sorts before "Other...", which sorts before "Type...".
  for (long i = 0; i < third; ++i) {
    Key(out, "Software\\\\Classes\\\\" + Numbered(".e", i));
    out << "@=\"" << Numbered("Type", i) << "\"\n";
  }
  for (long i = 0; i < third; ++i) {
    Key(out, "Software\\\\Classes\\\\" + Numbered("Other", i));
    out << "@=\"Other key " << i << "\"\n";
  }
  for (long i = 0; i < types; ++i) WriteFileType(out, i);
  Key(out, "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion");
  out << "\"CommonFilesDir\"=\"C:\\\\Program Files\\\\Common Files\"\n"
         "\"ProgramFilesDir\"=\"C:\\\\Program Files\"\n";
  Key(out, "Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion");
  out << "\"SystemRoot\"=\"C:\\\\windows\"\n";
  Key(out, "System\\\\ControlSet001\\\\Control\\\\Session Manager\\\\Environment");
  out << "\"ComSpec\"=str(2):\"%SystemRoot%\\\\system32\\\\cmd.exe\"\n"
         "\"windir\"=str(2):\"%SystemRoot%\"\n";
  out.flush();
  if (!out) {
    std::cerr << "genwinereg: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
