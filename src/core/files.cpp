#include "core/files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
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
  const mode_t m = mode_t(mode.value_or(0644));
  fs::path tmp;
  int fd = -1;
  // A fresh file every time: a leftover of a dead process with our pid (or a
  // planted link) is never reused, so the mode holds from the first byte.
  for (int attempt = 0; attempt < 100000 && fd < 0; ++attempt) {
    tmp = path;
    tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(seq.fetch_add(1));
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw Error("cannot create " + tmp.string() + ": " + std::strerror(errno));
  try {
    if (mode) ::fchmod(fd, m);   // exactly the mode asked for, whatever the umask
    write_all(fd, content, tmp);
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

fs::path publish_unique(const fs::path& tmp, const fs::path& dir, const std::string& stem, const std::string& ext) {
  for (int i = 1; i < 10000; ++i) {
    fs::path target = dir / (i == 1 ? stem + ext : stem + "_" + std::to_string(i) + ext);
    if (::link(tmp.c_str(), target.c_str()) == 0) {
      ::unlink(tmp.c_str());
      return target;
    }
    int err = errno;
    if (err == EEXIST) continue;
    if (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == EXDEV || err == EMLINK) {
      // No hard links here: a rename that refuses to replace.
      if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
      err = errno;
      if (err == EEXIST) continue;
    }
    ::unlink(tmp.c_str());
    throw Error("cannot save " + target.filename().string() + ": " + std::strerror(err));
  }
  ::unlink(tmp.c_str());
  throw Error("no free file name for " + stem + ext);
}

namespace {

// Code point at `i` (advancing it); a broken sequence is one byte, U+FFFD.
char32_t next_code_point(const std::string& s, size_t& i) {
  unsigned char c = (unsigned char)s[i];
  size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = (unsigned char)s[i + k];
    if ((cc >> 6) != 2) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  i += len;
  return cp;
}

bool direction_or_control(char32_t cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
}

}  // namespace

bool has_control_or_direction_mark(const std::string& text) {
  for (size_t i = 0; i < text.size();)
    if (direction_or_control(next_code_point(text, i))) return true;
  return false;
}

bool reserved_file_name(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (auto& c : base) c = (char)std::toupper((unsigned char)c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

std::string file_name_from_text(const std::string& stem, const std::string& suffix, const std::string& fallback) {
  const size_t room = FILE_NAME_MAX_BYTES - FILE_NAME_UNIQUE_ROOM;
  const size_t budget = suffix.size() < room ? room - suffix.size() : 0;
  std::string out;
  for (size_t i = 0; i < stem.size();) {
    size_t at = i;
    char32_t cp = next_code_point(stem, i);
    if (direction_or_control(cp) || cp == '/' || cp == '\\' || cp == 0xFFFD) continue;
    if (out.empty() && (cp == '.' || cp == ' ')) continue;
    if (out.size() + (i - at) > budget) break;   // whole code points only
    out.append(stem, at, i - at);
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (out.empty()) out = fallback.substr(0, std::min(fallback.size(), budget));
  if (reserved_file_name(out + suffix) || reserved_file_name(out)) out = "_" + out;
  return out + suffix;
}

bool path_inside(const fs::path& path, const fs::path& dir) {
  std::error_code ec1, ec2;
  fs::path p = fs::weakly_canonical(path, ec1), d = fs::weakly_canonical(dir, ec2);
  if (ec1 || ec2) return false;
  fs::path rel = p.lexically_relative(d);
  if (rel.empty() || rel == ".") return false;
  for (const auto& part : rel)
    if (part == "..") return false;
  return true;
}

namespace {

bool all_digits(const std::string& s) {
  return !s.empty() && s.size() <= 10 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The writer's pid of a temp file name, 0 when the name is no temp file of ours.
long temp_owner(const std::string& name) {
  if (name.rfind(".tmp-", 0) == 0) {   // .tmp-<pid>-<n>...
    auto dash = name.find('-', 5);
    std::string pid = name.substr(5, dash == std::string::npos ? std::string::npos : dash - 5);
    return dash != std::string::npos && all_digits(pid) ? std::stol(pid) : 0;
  }
  auto at = name.rfind(".tmp.");   // <name>.tmp.<pid>.<n>
  if (at == std::string::npos || at == 0) return 0;
  std::string rest = name.substr(at + 5);
  auto dot = rest.find('.');
  if (dot == std::string::npos) return 0;
  std::string pid = rest.substr(0, dot), n = rest.substr(dot + 1);
  return all_digits(pid) && all_digits(n) ? std::stol(pid) : 0;
}

}  // namespace

bool is_temp_file_name(const std::string& name) { return temp_owner(name) > 0; }

size_t remove_stale_temp_files(const fs::path& dir, int depth) {
  size_t removed = 0;
  std::error_code ec;
  fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
  if (ec) return 0;
  const auto day_ago = fs::file_time_type::clock::now() - std::chrono::hours(24);
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& e = *it;
    std::error_code sec;
    if (e.is_symlink(sec)) {
      // A temp name that is a link was never ours to follow; drop the link itself.
      if (is_temp_file_name(e.path().filename().string()) && fs::remove(e.path(), sec)) ++removed;
      continue;
    }
    if (e.is_directory(sec)) {
      if (depth > 0) removed += remove_stale_temp_files(e.path(), depth - 1);
      continue;
    }
    if (!e.is_regular_file(sec)) continue;
    long pid = temp_owner(e.path().filename().string());
    if (pid <= 0) continue;
    bool writer_alive = pid == long(::getpid()) || ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
    auto mtime = e.last_write_time(sec);
    bool old = !sec && mtime < day_ago;
    if (writer_alive && !old) continue;
    if (fs::remove(e.path(), sec)) ++removed;
  }
  return removed;
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
