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

#include "Process.h"

namespace fs = std::filesystem;

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(dir_.Path);
    fs::create_directory("adir");
    ASSERT_TRUE(tavtest::WriteFileBytes("afile", "keep"));
  }
  void TearDown() override { fs::current_path(old_); }
  static HANDLE Create(const std::string& name, DWORD access = GENERIC_WRITE,
                       DWORD disposition = CREATE_ALWAYS) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  tavtest::TempDir dir_;
  fs::path old_;
};

TEST_F(Files, CreationAndItsErrors) {
  const std::string prefix = dir_.Path + "/", fits = prefix + std::string(MAX_PATH - prefix.size(), 'q');
  const struct {
    const char* acp;
    std::string name;
    DWORD disposition, error;
    const char* made;  // the file that must be there afterwards
  } cases[] = {
      {"1252", "nodir\\sub\\x.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, ""},
      {"1252", "afile\\x.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, ""},
      {"1252", "", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, ""},
      {"1252", "adir", CREATE_ALWAYS, ERROR_ACCESS_DENIED, ""},
      {"1252", "adir\\", CREATE_ALWAYS, ERROR_ACCESS_DENIED, ""},
      {"1252", "adir\\...", CREATE_ALWAYS, ERROR_ACCESS_DENIED, ""},
      {"1252", "nodir\\x\\", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "afile", CREATE_NEW, ERROR_FILE_EXISTS, ""},
      {"1252", "nosuch", OPEN_EXISTING, ERROR_FILE_NOT_FOUND, ""},
      {"1252", "nodir\\nosuch", OPEN_EXISTING, ERROR_PATH_NOT_FOUND, ""},
      {"1252", fits, CREATE_ALWAYS, 0, ""},
      {"1252", fits + "q", CREATE_ALWAYS, ERROR_FILENAME_EXCED_RANGE, ""},
      {"1252", std::string(256, 'r'), CREATE_ALWAYS, ERROR_FILENAME_EXCED_RANGE, ""},
      {"1252", "a?b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "a*b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "a<b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "a>b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "a|b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "a\"b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "a\x01" "b", CREATE_ALWAYS, ERROR_INVALID_NAME, ""},
      {"1252", "adir\\missing\\..\\x.txt", CREATE_ALWAYS, 0, "adir/x.txt"},
      {"1252", ".\\adir/y.txt", CREATE_ALWAYS, 0, "adir/y.txt"},
      {"1252", "trail. ", CREATE_ALWAYS, 0, "trail"},
      {"1252", "mid. \\z.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, ""},
      {"1252", "nodir\\nul", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, ""},
      {"1252", "NULx", CREATE_ALWAYS, 0, "NULx"},
      {"932", "\x95\x5C.txt", CREATE_ALWAYS, 0, "\xE8\xA1\xA8.txt"},  // a trail byte like '\'
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    const HANDLE h = Create(c.name, GENERIC_WRITE, c.disposition);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(h), 0), c.error) << c.name;
    EXPECT_TRUE(!*c.made || fs::is_regular_file(c.made)) << c.name;
  }
  SetLastError(0);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(tavtest::ReadFileBytes("afile"), "keep");
  for (const char* name : {"NUL", "nul.txt", "adir\\Nul ", "nul:"}) {
    const HANDLE h = Create(name);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_CHAR)) << name;
    EXPECT_TRUE(WriteFile(h, "x\r\n", 3, nullptr, nullptr) && CloseHandle(h)) << name;
  }
}

TEST_F(Files, WritingReplacingAndHandlesThatCannotBeWritten) {
  HANDLE h = Create("out.txt");
  EXPECT_EQ(GetLastError(), 0u);
  DWORD written = 99;
  EXPECT_TRUE(WriteFile(h, "a\r\n\0b", 5, &written, nullptr) && written == 5);
  EXPECT_TRUE(WriteFile(h, "", 0, &written, nullptr) && written == 0);
  EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_DISK));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(tavtest::ReadFileBytes("out.txt"), std::string("a\r\n\0b", 5));
  h = Create("out.txt", GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << "replacing tells that it was there";
  EXPECT_TRUE(WriteFile(h, "xy", 2, nullptr, nullptr) && CloseHandle(h));
  EXPECT_EQ(tavtest::ReadFileBytes("out.txt"), "xy");

  fs::permissions("afile", fs::perms::owner_read);  // root could write it; Windows would not
  EXPECT_EQ(Create("afile", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  const HANDLE reading = Create("afile", GENERIC_READ, OPEN_EXISTING);
  written = 9;
  EXPECT_FALSE(WriteFile(reading, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError() * 10 + written, DWORD(ERROR_ACCESS_DENIED) * 10);
  EXPECT_TRUE(CloseHandle(reading));

  SetLastError(0);
  EXPECT_FALSE(CloseHandle(reading));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  written = 9;
  EXPECT_FALSE(WriteFile(reading, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError() * 10 + written, DWORD(ERROR_INVALID_HANDLE) * 10);
  SetLastError(0);
  EXPECT_EQ(GetFileType(INVALID_HANDLE_VALUE), DWORD(FILE_TYPE_UNKNOWN));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(GetStdHandle(5), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
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
  EXPECT_EQ(type, DWORD(FILE_TYPE_PIPE));
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
  EXPECT_EQ(tooMany, DWORD(ERROR_TOO_MANY_OPEN_FILES));
}

}  // namespace
