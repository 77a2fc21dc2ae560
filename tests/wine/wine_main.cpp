// The Wine suite's entry point. Besides running the tests it makes and removes the pristine
// prefix that every test copies, so that ctest can do either once per run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Wine.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--make-pristine") == 0) {
    if (!std::filesystem::exists(TAVDUMP_WINDOWS_EXE)) {
      std::fprintf(stderr, "%s is missing: build the windows preset first\n", TAVDUMP_WINDOWS_EXE);
      return 1;
    }
    std::string error = winetest::EnsurePristinePrefix();
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty() ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--remove-work") == 0) {
    winetest::RemoveWorkRoot();
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
