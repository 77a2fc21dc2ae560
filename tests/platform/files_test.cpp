// Error codes are those CreateFileA, WriteFile and CloseHandle give under Wine 8 for the
// same situations on the same Linux file system, with two exceptions where Windows itself
// is followed: a read-only file refuses writing even to root, and a single name longer
// than the file system takes is "name too long" (Wine says "file not found").
#include "files.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavplat-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    oldCwd_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(oldCwd_);
    fs::remove_all(dir_);
  }

  static HANDLE Create(const std::string& name, DWORD access = GENERIC_WRITE,
                       DWORD disposition = CREATE_ALWAYS) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // The error CreateFileA gives for `name`, 0 when it succeeds (the handle is closed).
  static DWORD CreateError(const std::string& name, DWORD disposition = CREATE_ALWAYS) {
    const HANDLE h = Create(name, GENERIC_WRITE, disposition);
    return h == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(h), 0);
  }

  std::string Contents(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
  fs::path oldCwd_;
};

TEST_F(Files, CreateWriteCloseAndReplace) {
  HANDLE h = Create("out.txt");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD written = 99;
  EXPECT_TRUE(WriteFile(h, "a\r\n\0b", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(WriteFile(h, "", 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetFileType(h), FILE_TYPE_DISK);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(Contents("out.txt"), std::string("a\r\n\0b", 5));

  // Replacing empties the file and tells that it was there.
  h = Create("out.txt", GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(WriteFile(h, "xy", 2, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(Contents("out.txt"), "xy");
}

TEST_F(Files, ErrorsOfCreation) {
  fs::create_directory(dir_ / "adir");
  std::ofstream(dir_ / "afile") << "keep";
  const std::string prefix = dir_.string() + "/";
  const std::string fits = prefix + std::string(MAX_PATH - prefix.size(), 'q');
  const struct {
    std::string name;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {"nodir\\sub\\x.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"afile\\x.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"adir", CREATE_ALWAYS, ERROR_ACCESS_DENIED},
      {"adir\\", CREATE_ALWAYS, ERROR_ACCESS_DENIED},
      {"adir\\...", CREATE_ALWAYS, ERROR_ACCESS_DENIED},
      {"nodir\\x\\", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"afile", CREATE_NEW, ERROR_FILE_EXISTS},
      {"nosuch", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"nodir\\nosuch", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {fits, CREATE_ALWAYS, 0},
      {fits + "q", CREATE_ALWAYS, ERROR_FILENAME_EXCED_RANGE},
      // Within the limit, but one name longer than a Linux file system takes.
      {std::string(256, 'r'), CREATE_ALWAYS, ERROR_FILENAME_EXCED_RANGE},
      {"a?b", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"a*b", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"a<b", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"a>b", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"a|b", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"a\"b", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {"a\x01" "b", CREATE_ALWAYS, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) EXPECT_EQ(CreateError(c.name, c.disposition), c.error) << c.name;
  SetLastError(0);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Contents("afile"), "keep");
}

TEST_F(Files, ReadOnlyFilesRefuseEvenRoot) {
  std::ofstream(dir_ / "ro") << "old";  // root could write it; Windows would not
  fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::group_read |
                                   fs::perms::others_read);
  EXPECT_EQ(CreateError("ro", OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const HANDLE reading = Create("ro", GENERIC_READ, OPEN_EXISTING);
  DWORD written = 9;
  EXPECT_FALSE(WriteFile(reading, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(reading));
}

TEST_F(Files, NamesAreReadAsWindowsReadsThem) {
  fs::create_directory(dir_ / "sub");
  for (const auto& [name, file] : {std::pair{"sub\\missing\\..\\x.txt", "sub/x.txt"},
                                   {".\\sub/y.txt", "sub/y.txt"}, {"trail. ", "trail"}}) {
    EXPECT_EQ(CreateError(name), 0u) << name;
    EXPECT_TRUE(fs::exists(dir_ / file)) << name;
  }
  EXPECT_EQ(CreateError("mid. \\z.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  ScopedEnv acp("TAVDUMP_ACP", "932");
  // The second byte of U+8868 is a backslash's byte, yet no folder separator.
  EXPECT_EQ(CreateError("\x95\x5C.txt"), 0u);
  EXPECT_TRUE(fs::exists(dir_ / "\xE8\xA1\xA8.txt"));
}

TEST_F(Files, TheNullDeviceInEveryFolder) {
  fs::create_directory(dir_ / "sub");
  for (const char* name : {"NUL", "nul.txt", "sub\\Nul ", "nul:"}) {
    const HANDLE h = Create(name);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_CHAR) << name;
    EXPECT_TRUE(WriteFile(h, "x\r\n", 3, nullptr, nullptr)) << name;
    EXPECT_TRUE(CloseHandle(h)) << name;
  }
  EXPECT_EQ(CreateError("nodir\\nul"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError("NULx"), 0u);
  EXPECT_TRUE(fs::is_regular_file(dir_ / "NULx"));
}

TEST_F(Files, AReaderThatWentAwayAndTooManyOpenFiles) {
  // Standard output made a pipe whose reader is gone: an error, and the process lives on.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  const int savedOut = dup(1);
  dup2(ends[1], 1);
  close(ends[1]);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const DWORD type = GetFileType(out);
  const BOOL ok = WriteFile(out, "hello", 5, nullptr, nullptr);
  const DWORD error = GetLastError();
  dup2(savedOut, 1);
  close(savedOut);
  EXPECT_EQ(type, FILE_TYPE_PIPE);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, 233u) << "the pipe is not connected";

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<HANDLE> handles;
  while (handles.size() < 100 && (handles.empty() || handles.back() != INVALID_HANDLE_VALUE))
    handles.push_back(Create("f" + std::to_string(handles.size())));
  const DWORD tooMany = GetLastError();
  for (const HANDLE h : handles) CloseHandle(h);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(tooMany, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
}

TEST_F(Files, HandlesThatAreNotOpen) {
  const HANDLE h = Create("x");
  ASSERT_TRUE(CloseHandle(h));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DWORD written = 9;
  EXPECT_FALSE(WriteFile(h, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetFileType(INVALID_HANDLE_VALUE), FILE_TYPE_UNKNOWN);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(GetStdHandle(5), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(LastError, OneValuePerThread) {
  SetLastError(11);
  DWORD seenThere = 0;
  std::thread([&] {
    seenThere = GetLastError();
    SetLastError(22);
  }).join();
  EXPECT_EQ(seenThere, 0u);
  EXPECT_EQ(GetLastError(), 11u);
}

}  // namespace
