// The shared watchlist file. Layout (other programs read and write it too):
//   {"version": 1, "items": [{"code": "005930", "name": "삼성전자", "added_at": "..."}]}
// A bare array of items is accepted when reading. Keys we do not know (ours or
// an item's) are kept as they are when we write the file back.
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <regex>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
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

// The whole document; items normalised to an array of objects with a code.
json read_doc() {
  auto raw = read_file(file_path());
  json doc = {{"version", 1}, {"items", json::array()}};
  if (!raw || fmt::trim(*raw).empty()) return doc;
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
  json items = json::array();
  for (auto& it : doc["items"]) {
    if (it.is_string()) it = json{{"code", it.get<std::string>()}, {"name", it.get<std::string>()}};
    if (!it.is_object() || !it.contains("code") || !it["code"].is_string()) continue;
    if (!it.contains("name") || !it["name"].is_string()) it["name"] = it["code"];
    items.push_back(it);
  }
  doc["items"] = items;
  return doc;
}

void write_doc(const json& doc) { write_file_atomic(file_path(), doc.dump(2) + "\n"); }

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

std::pair<bool, std::string> add(const std::string& code_in, const std::string& name_in) {
  std::string code = fmt::upper(fmt::trim(code_in));
  std::string name = fmt::trim(name_in);
  static const std::regex re("^[0-9A-Z]{6}$");
  if (!std::regex_match(code, re)) return {false, "종목코드는 6자리여야 합니다"};
  if (name.empty()) name = code;
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  json doc = read_doc();
  for (const auto& it : doc["items"])
    if (fmt::upper(it["code"].get<std::string>()) == code) return {false, "이미 관심종목에 있습니다"};
  doc["items"].push_back({{"code", code}, {"name", name}, {"added_at", mt::iso_kst(mt::now())}});
  write_doc(doc);
  return {true, ""};
}

json remove(const std::string& query_in) {
  std::string q = fmt::trim(query_in);
  if (q.empty()) return nullptr;
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  json doc = read_doc();
  json& items = doc["items"];
  for (size_t i = 0; i < items.size(); ++i) {
    const json& it = items[i];
    if (fmt::upper(it["code"].get<std::string>()) == fmt::upper(q) || it["name"].get<std::string>() == q) {
      json removed = it;
      items.erase(items.begin() + static_cast<long>(i));
      write_doc(doc);
      return removed;
    }
  }
  return nullptr;
}

int clear() {
  std::lock_guard<std::mutex> g(g_mu);
  FileLock lock;
  json doc = read_doc();
  int n = static_cast<int>(doc["items"].size());
  doc["items"] = json::array();
  write_doc(doc);
  return n;
}

}  // namespace tessaro::wl
