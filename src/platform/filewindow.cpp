#include "filewindow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavplat {

FileWindow::~FileWindow() {
  if (fd_ >= 0) close(fd_);
}

bool FileWindow::Open(const std::string& path) {
  name_ = path;
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd_ < 0 || fstat(fd_, &info) != 0) return Close();
  // A regular file is read where asked. Anything else (a pipe, a device) has no place to
  // read again, and a file of /proc tells no size: those are read whole.
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    size_ = static_cast<std::size_t>(info.st_size);
    return true;
  }
  std::string bytes;
  for (;;) {
    char chunk[65536];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Close();
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  Close();
  Hold(std::move(bytes));
  return true;
}

bool FileWindow::Close() {
  error_ = errno;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return false;
}

void FileWindow::Hold(std::string bytes) {
  held_ = std::move(bytes);
  size_ = held_.size();
}

bool FileWindow::Read(std::size_t pos, std::size_t length, std::string_view& bytes) {
  if (fd_ < 0) {
    bytes = std::string_view(held_).substr(pos);
    return true;
  }
  if (pos >= at_ && pos + length <= at_ + filled_) {
    bytes = std::string_view(buffer_.get() + (pos - at_), at_ + filled_ - pos);
    return true;
  }
  // A request near the bytes at hand, at most a window before or after them (the next
  // lines, a line cut at the end, the keys around) reads twice as much as the read before,
  // up to kWindow; one farther away (a key whose sections lie among other keys') reads
  // kJump. So reading a few lines here and there costs about those lines, not a window
  // each time, and reading on soon costs a window per call again.
  const bool near = pos + kWindow >= at_ && pos <= at_ + filled_ + kWindow;
  step_ = near ? std::min(2 * step_, kWindow) : kJump;
  const std::size_t want = std::min(std::max(step_, length), size_ - pos);
  // A window grown for one long key goes back to its size once a request fits again: the
  // memory is the run's, and the next long key is rare. A file smaller than a window gets
  // a buffer of its size: a megabyte to be mapped and freed for each small file costs more
  // than reading it.
  if (want > capacity_ || (capacity_ > kWindow && want <= kWindow)) {
    buffer_.reset();
    capacity_ = std::max(want, std::min(kWindow, size_));
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  }
  filled_ = 0;
  while (filled_ < want) {
    const ssize_t n = pread(fd_, buffer_.get() + filled_, want - filled_,
                            static_cast<off_t>(pos + filled_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n == 0 ? 0 : errno;
      // Nothing read is kept: the next request reads its window afresh.
      filled_ = 0;
      return false;
    }
    filled_ += static_cast<std::size_t>(n);
  }
  at_ = pos;
  bytes = std::string_view(buffer_.get(), filled_);
  return true;
}

std::string_view FileWindow::Reread(std::size_t pos, std::size_t length) {
  std::string_view bytes;
  if (Read(pos, length, bytes)) return bytes;
  std::fprintf(stderr, "tavdump: %s: %s\n", name_.c_str(), Problem().c_str());
  std::exit(2);
}

void FileWindow::Changed() const {
  std::fprintf(stderr, "tavdump: %s: the registry file changed while it was read\n", name_.c_str());
  std::exit(2);
}

std::string FileWindow::Problem() const {
  return error_ == 0 ? "the registry file got shorter while it was read"
                     : "cannot read the registry file: " + std::string(std::strerror(error_));
}

}  // namespace tavplat
