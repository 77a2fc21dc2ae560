// Error codes are those CreateFileA, WriteFile and CloseHandle give under Wine 8 for the
// same situations on the same Linux file system, with two exceptions where Windows itself
// is followed: a read-only file refuses writing even to root, and a single name longer
// than the file system takes is "name too long" (Wine says "file not found").
#include "faults.h"
#include "files.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr DWORD kPipeNotConnected = 233;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    tavplat::ResetFaults();
    char pattern[] = "/tmp/tavplat-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    oldCwd_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    tavplat::ResetFaults();
    fs::current_path(oldCwd_);
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
  }

  static HANDLE Create(const std::string& name, DWORD access = GENERIC_WRITE,
                       DWORD disposition = CREATE_ALWAYS) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // The error CreateFileA gives for `name`, 0 when it succeeds (the handle is closed).
  static DWORD CreateError(const std::string& name, DWORD disposition = CREATE_ALWAYS) {
    const HANDLE h = Create(name, GENERIC_WRITE, disposition);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return 0;
    }
    return GetLastError();
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
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(WriteFile(h, "xy", 2, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(Contents("out.txt"), "xy");
}

TEST_F(Files, ErrorsOfCreation) {
  fs::create_directory(dir_ / "adir");
  std::ofstream(dir_ / "afile") << "keep";
  EXPECT_EQ(CreateError("nodir\\x.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError("nodir\\sub\\x.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError("afile\\x.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError("adir"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateError("adir\\"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateError("adir\\..."), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateError("nodir\\x\\"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(CreateError(""), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError("afile", CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(CreateError("nosuch", OPEN_EXISTING), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateError("nodir\\nosuch", OPEN_EXISTING), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  for (const char* name : {"a?b", "a*b", "a<b", "a>b", "a|b", "a\"b", "a\x01" "b"}) {
    EXPECT_EQ(CreateError(name), static_cast<DWORD>(ERROR_INVALID_NAME)) << name;
  }
  SetLastError(0);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Contents("afile"), "keep");
}

TEST_F(Files, NamesLongerThanWindowsAllows) {
  const std::string prefix = dir_.string() + "/";
  const std::string fits = prefix + std::string(MAX_PATH - prefix.size(), 'q');
  ASSERT_LT(prefix.size(), 200u);
  EXPECT_EQ(CreateError(fits), 0u);
  EXPECT_EQ(CreateError(fits + "q"), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  // Within the limit, but one name longer than a Linux file system takes.
  EXPECT_EQ(CreateError(std::string(256, 'r')), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(Files, ReadOnlyFilesRefuseEvenRoot) {
  std::ofstream(dir_ / "ro") << "old";
  fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(CreateError("ro"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateError("ro", OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Contents("ro"), "old");
  const HANDLE reading = Create("ro", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(reading, INVALID_HANDLE_VALUE);
  DWORD written = 9;
  EXPECT_FALSE(WriteFile(reading, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(reading));
}

TEST_F(Files, NamesAreReadAsWindowsReadsThem) {
  fs::create_directory(dir_ / "sub");
  EXPECT_EQ(CreateError("sub\\missing\\..\\x.txt"), 0u);
  EXPECT_TRUE(fs::exists(dir_ / "sub" / "x.txt"));
  EXPECT_EQ(CreateError(".\\sub/y.txt"), 0u);
  EXPECT_TRUE(fs::exists(dir_ / "sub" / "y.txt"));
  EXPECT_EQ(CreateError("trail. "), 0u);
  EXPECT_TRUE(fs::exists(dir_ / "trail"));
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
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetFileType(h), FILE_TYPE_CHAR) << name;
    EXPECT_TRUE(WriteFile(h, "x\r\n", 3, nullptr, nullptr)) << name;
    EXPECT_TRUE(CloseHandle(h));
  }
  EXPECT_EQ(CreateError("nodir\\nul"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError("NULx"), 0u);
  EXPECT_TRUE(fs::is_regular_file(dir_ / "NULx"));
}

TEST_F(Files, AFullDiskAndAReaderThatWentAway) {
  const HANDLE full = Create("/dev/full");
  ASSERT_NE(full, INVALID_HANDLE_VALUE);
  DWORD written = 9;
  EXPECT_FALSE(WriteFile(full, "hello", 5, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(full));

  // Standard output made a pipe whose reader is gone: an error, and the process lives on.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  const int savedOut = dup(1);
  dup2(ends[1], 1);
  close(ends[1]);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const DWORD type = GetFileType(out);
  const BOOL ok = WriteFile(out, "hello", 5, &written, nullptr);
  const DWORD error = GetLastError();
  dup2(savedOut, 1);
  close(savedOut);
  EXPECT_EQ(type, FILE_TYPE_PIPE);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, kPipeNotConnected);
}

TEST_F(Files, TooManyOpenFiles) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<HANDLE> handles;
  DWORD error = 0;
  for (int i = 0; i < 100 && error == 0; ++i) {
    const HANDLE h = Create("f" + std::to_string(i));
    if (h == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else {
      handles.push_back(h);
    }
  }
  for (const HANDLE h : handles) CloseHandle(h);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
}

TEST_F(Files, HandlesThatAreNoLongerOpen) {
  const HANDLE h = Create("x");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
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
}

TEST_F(Files, StandardHandles) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  for (const HANDLE h : {in, out, err}) {
    EXPECT_NE(h, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
  }
  EXPECT_NE(in, out);
  EXPECT_NE(out, err);
  SetLastError(0);
  EXPECT_EQ(GetStdHandle(5), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Files, InjectedWriteFailureCountsBytesOfCreatedFilesOnly) {
  auto& faults = tavplat::InjectedFaults();
  faults.writeError = ERROR_DISK_FULL;
  faults.writeFailAfter = 150;
  const HANDLE h = Create("out");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string block(100, 'b');
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, block.data(), 100, &written, nullptr));
  EXPECT_TRUE(WriteFile(h, block.data(), 100, &written, nullptr));
  EXPECT_FALSE(WriteFile(h, block.data(), 7, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (std::vector<DWORD>{100, 100, 7}));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(Contents("out").size(), 200u);

  // Standard error is no file of CreateFileA's: it neither fails nor is recorded.
  EXPECT_TRUE(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "", 0, &written, nullptr));
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites.size(), 3u);

  tavplat::ResetFaults();
  faults.writeError = ERROR_DISK_FULL;
  const HANDLE first = Create("first");
  EXPECT_FALSE(WriteFile(first, "a", 1, &written, nullptr));
  EXPECT_TRUE(CloseHandle(first));
}

TEST_F(Files, InjectedShortWriteTypeAndCloseFailures) {
  auto& faults = tavplat::InjectedFaults();
  faults.shortWrite = true;
  faults.fileTypeUnknown = true;
  faults.closeError = ERROR_ACCESS_DENIED;
  const HANDLE h = Create("out");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_TRUE(WriteFile(h, "", 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetFileType(h), FILE_TYPE_UNKNOWN);
  EXPECT_NE(GetFileType(GetStdHandle(STD_ERROR_HANDLE)), FILE_TYPE_UNKNOWN);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Contents("out"), "hell");
}

TEST(LastError, OneValuePerThread) {
  SetLastError(11);
  DWORD seenThere = 0;
  std::thread other([&] {
    seenThere = GetLastError();
    SetLastError(22);
  });
  other.join();
  EXPECT_EQ(seenThere, 0u);
  EXPECT_EQ(GetLastError(), 11u);
}

}  // namespace
