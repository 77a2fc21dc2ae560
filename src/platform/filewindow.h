// A registry file read a window of bytes at a time instead of mapped.
//
// The text loaders check a whole file once and later read back the few places the scan
// asks for. Through a mapping, every page they pass stays in the process's memory until
// the end of the run (the whole file, at a million root keys more than the scan's own
// arrays), and on a virtual machine a mapped page costs more to reach the first time than
// the kernel's copy of it into a buffer that is read again and again. So the bytes come
// through one buffer, filled by pread from the place asked for.
//
// A file that changes after it was checked no longer gives the bytes the check saw. Where
// that shows (the file got shorter, a read fails), the run ends with one line on standard
// error and exit code 2: a fill cannot report a failure, and a scan that went on without
// the key would write a backup that silently lacks it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tavplat {

class FileWindow {
 public:
  /// The most bytes read at a time, unless one request asks for more.
  static constexpr std::size_t kWindow = std::size_t{1} << 20;
  /// The bytes read at a time where a request jumps away from the window's.
  static constexpr std::size_t kJump = std::size_t{1} << 12;

  FileWindow() = default;
  FileWindow(const FileWindow&) = delete;
  FileWindow& operator=(const FileWindow&) = delete;
  ~FileWindow();

  /// Opens the file `path` and takes its size; what is no regular file is read whole, as
  /// by Hold(). False when it cannot be opened or read: Problem() then tells why.
  bool Open(const std::string& path);
  /// Serves `bytes` instead of a file (a registry given in memory): every view is into them.
  void Hold(std::string bytes);

  const std::string& Name() const { return name_; }
  /// The file's size when it was opened: no view reaches beyond it.
  std::size_t Size() const { return size_; }

  /// The bytes from `pos` on: at least `length` of them (the window grows for more) and as
  /// many more as the window holds or reads (see kJump), never beyond Size(). Valid until
  /// the next call. False when the file no longer gives them: Problem() then tells why.
  /// Requires pos + length <= Size().
  bool Read(std::size_t pos, std::size_t length, std::string_view& bytes);

  /// Read() for what the check has read before: a failure means that the file changed
  /// since, and ends the run (see the top of this file).
  std::string_view Reread(std::size_t pos, std::size_t length);

  /// Why Open() or the last Read() failed, as words for a message.
  std::string Problem() const;

  /// Ends the run for a file whose bytes are no longer the ones the check read: a fill
  /// found something other than what the check found there.
  [[noreturn]] void Changed() const;

 private:
  // Closes the file after a failure, keeping errno for Problem(); false.
  bool Close();

  std::string name_;
  int fd_ = -1;
  std::size_t size_ = 0;
  std::string held_;  // Hold()'s bytes
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t at_ = 0;      // where the buffer's bytes start in the file
  std::size_t filled_ = 0;  // how many it holds
  int error_ = 0;           // errno of the last failure, 0 when the file got shorter
  // How many bytes the last read asked for, at least.
  std::size_t step_ = kWindow;
};

}  // namespace tavplat
