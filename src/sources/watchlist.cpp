// The shared watchlist file. Layout (other programs read and write it too):
//   {"version": 1, "items": [{"code": "005930", "name": "삼성전자", "added_at": "..."}]}
// A bare array of items is accepted when reading. Keys we do not know (ours or
// an item's) are kept as they are when we write the file back.
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <regex>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/clock.hpp"
#include "sources/watchlist.hpp"

namespace tessaro::wl {

namespace {

std::mutex g_mu;   // one writer at a time inside this process

std::filesystem::path file_path() { return home_dir() / "watchlist.json"; }

// Advisory lock shared with the sibling programs for one read-modify-write.
class FileLock {
 public:
  FileLock() {
    auto p = home_dir() / "watchlist.json.lock";
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~FileLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

// The file as read, so that a write keeps its shape: a bare array stays an
// array, plain-code entries stay plain codes, entries we do not understand stay
// where they were.
struct Doc {
  json doc;                  // {"version", "items", ...} as normalised
  bool bare_array = false;   // the file was a bare array of items
  json raw_items = json::array();   // the stored entries, untouched
};

// The whole document; items normalised to an array of objects with a code.
json read_doc(Doc* shape = nullptr) {
  auto raw = read_file(file_path());
  json doc = {{"version", 1}, {"items", json::array()}};
  if (!raw || fmt::trim(*raw).empty()) {
    if (shape) shape->doc = doc;
    return doc;
  }
  json j;
  try {
    j = json::parse(*raw);
  } catch (const json::parse_error&) {
    // Never overwrite a file we cannot read: it may be another program's data.
    throw ValueError("관심종목 파일을 읽지 못했습니다: " + file_path().string());
  }
  if (j.is_array()) {
    doc["items"] = j;
  } else if (j.is_object()) {
    doc = j;
    if (!doc.contains("items") || !doc["items"].is_array()) doc["items"] = json::array();
  } else {
    throw ValueError("관심종목 파일 형식이 올바르지 않습니다: " + file_path().string());
  }
  if (shape) {
    shape->bare_array = j.is_array();
    shape->raw_items = doc["items"];
  }
  json items = json::array();
  for (auto& it : doc["items"]) {
    if (it.is_string()) it = json{{"code", it.get<std::string>()}, {"name", it.get<std::string>()}};
    if (!it.is_object() || !it.contains("code") || !it["code"].is_string()) continue;
    if (!it.contains("name") || !it["name"].is_string()) it["name"] = it["code"];
    items.push_back(it);
  }
  doc["items"] = items;
  if (shape) shape->doc = doc;
  return doc;
}

void write_doc(const json& doc) { write_file_atomic(file_path(), doc.dump(2) + "\n"); }

std::string entry_code(const json& it) {
  if (it.is_string()) return it.get<std::string>();
  if (it.is_object() && it.contains("code") && it["code"].is_string()) return it["code"].get<std::string>();
  return "";
}

// Writes the stored entries back in the file's own shape: `keep(i)` says which
// stored entries stay, `added` is appended (as a plain code when the list holds
// plain codes only).
void write_shaped(const Doc& d, const std::function<bool(const json&)>& keep, const json& added = nullptr) {
  json items = json::array();
  bool plain = !d.raw_items.empty();
  for (const auto& it : d.raw_items) {
    if (!it.is_string()) plain = false;
    if (keep(it)) items.push_back(it);
  }
  if (!added.is_null()) items.push_back(plain ? json(added["code"]) : added);
  if (d.bare_array) {
    write_file_atomic(file_path(), items.dump(2) + "\n");
    return;
  }
  json doc = d.doc;
  doc["items"] = items;
  write_doc(doc);
}

}  // namespace

json load() {
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  return read_doc()["items"];
}

std::vector<std::string> codes() {
  std::vector<std::string> out;
  for (const auto& it : load()) out.push_back(it["code"].get<std::string>());
  return out;
}

Lookup<std::vector<std::string>> try_codes() {
  try {
    return Lookup<std::vector<std::string>>::found(codes());
  } catch (const std::exception&) {
    return Lookup<std::vector<std::string>>::failed("관심종목 파일을 읽지 못했습니다: " + file_path().string());
  }
}

std::pair<bool, std::string> add(const std::string& code_in, const std::string& name_in) {
  std::string code = fmt::upper(fmt::trim(code_in));
  std::string name = fmt::trim(name_in);
  static const std::regex re("^[0-9A-Z]{6}$");
  if (!std::regex_match(code, re)) return {false, "종목코드는 6자리여야 합니다"};
  if (name.empty()) name = code;
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  Doc d;
  json doc = read_doc(&d);
  for (const auto& it : doc["items"])
    if (fmt::upper(it["code"].get<std::string>()) == code) return {false, "이미 관심종목에 있습니다"};
  write_shaped(d, [](const json&) { return true; },
               json{{"code", code}, {"name", name}, {"added_at", mt::iso_kst(mt::now())}});
  return {true, ""};
}

json remove(const std::string& query_in) {
  std::string q = fmt::trim(query_in);
  if (q.empty()) return nullptr;
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  Doc d;
  json doc = read_doc(&d);
  json& items = doc["items"];
  for (size_t i = 0; i < items.size(); ++i) {
    const json& it = items[i];
    if (fmt::upper(it["code"].get<std::string>()) == fmt::upper(q) || it["name"].get<std::string>() == q) {
      json removed = it;
      // Drop the stored entry with that code (the first one only), whatever its form.
      const std::string rc = removed["code"].get<std::string>();
      bool dropped = false;
      write_shaped(d, [&](const json& raw) {
        if (!dropped && entry_code(raw) == rc) {
          dropped = true;
          return false;
        }
        return true;
      });
      return removed;
    }
  }
  return nullptr;
}

int clear() {
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  Doc d;
  json doc = read_doc(&d);
  int n = static_cast<int>(doc["items"].size());
  // Entries we could not read as stocks are not ours to clear.
  write_shaped(d, [](const json& raw) { return entry_code(raw).empty(); });
  return n;
}

}  // namespace tessaro::wl
