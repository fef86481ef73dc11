#include "core/secrets.hpp"

#include <algorithm>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include "core/text.hpp"

namespace tessaro::secrets {

namespace {

struct Store {
  std::shared_mutex m;
  std::vector<std::string> values;   // longest first, so a secret holding another is masked whole
};

Store& store() {
  static Store* s = new Store();   // process lifetime: masking may run during exit
  return *s;
}

void add_locked(Store& s, std::string v) {
  if (v.size() < MIN_MASKED_LENGTH) return;
  if (std::find(s.values.begin(), s.values.end(), v) != s.values.end()) return;
  s.values.push_back(std::move(v));
  std::stable_sort(s.values.begin(), s.values.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

}  // namespace

void remember(std::string_view value) {
  // Trimmed: a value read from a file or a header may carry a line end.
  size_t b = value.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return;
  size_t e = value.find_last_not_of(" \t\r\n");
  std::string v(value.substr(b, e - b + 1));
  if (v.size() < MIN_MASKED_LENGTH) return;
  Store& s = store();
  std::unique_lock lk(s.m);
  add_locked(s, v);
  std::string enc = text::url_encode(v);
  if (enc != v) add_locked(s, std::move(enc));
}

std::string mask(std::string text) {
  Store& s = store();
  std::shared_lock lk(s.m);
  for (const std::string& v : s.values) {
    for (size_t p = text.find(v); p != std::string::npos; p = text.find(v, p + 3)) text.replace(p, v.size(), "***");
  }
  return text;
}

bool holds_secret(std::string_view text) {
  Store& s = store();
  std::shared_lock lk(s.m);
  for (const std::string& v : s.values)
    if (text.find(v) != std::string_view::npos) return true;
  return false;
}

size_t count() {
  Store& s = store();
  std::shared_lock lk(s.m);
  return s.values.size();
}

void forget_all_for_tests() {
  Store& s = store();
  std::unique_lock lk(s.m);
  s.values.clear();
}

}  // namespace tessaro::secrets
