#include "core/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/errors.hpp"

namespace fs = std::filesystem;

namespace tessaro {

std::string env_or(const char* name, const std::string& dflt) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : dflt;
}

fs::path home_dir() {
  std::string h = env_or("TESSARO_HOME", "");
  fs::path p;
  if (!h.empty()) {
    p = h;
  } else {
    std::string user_home = env_or("HOME", "/tmp");
    p = fs::path(user_home) / ".tessaro";
  }
  std::error_code ec;
  fs::create_directories(p, ec);
  return p;
}

static void write_all(int fd, const std::string& data, const fs::path& path) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error("write failed: " + path.string() + ": " + std::strerror(errno));
    }
    off += size_t(n);
  }
}

void write_file_atomic(const fs::path& path, const std::string& content, std::optional<int> mode) {
  static std::atomic<unsigned> seq{0};
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  fs::path tmp = path;
  tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(seq.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode.value_or(0644));
  if (fd < 0) throw Error("cannot create " + tmp.string() + ": " + std::strerror(errno));
  try {
    write_all(fd, content, tmp);
    if (mode) ::fchmod(fd, mode_t(*mode));
    ::fsync(fd);
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw Error("cannot replace " + path.string() + ": " + std::strerror(err));
  }
}

void append_line_locked(const fs::path& path, const std::string& line) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw Error("cannot open " + path.string() + ": " + std::strerror(errno));
  ::flock(fd, LOCK_EX);
  try {
    // A crash may have left a torn last line; start ours on a fresh line.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
      char last = 0;
      if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') write_all(fd, "\n", path);
    }
    write_all(fd, line + "\n", path);
  } catch (...) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    throw;
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace tessaro
