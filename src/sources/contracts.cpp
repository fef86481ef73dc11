#include "sources/contracts.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "core/format.hpp"

namespace tessaro::contracts {

namespace {

struct Registry {
  std::mutex m;
  std::map<std::string, std::unique_ptr<Contract>> by_id;
};
Registry& registry() {
  static Registry* r = new Registry();   // used from static initialisers of many files
  return *r;
}

const char* type_of(const json& v) {
  if (v.is_null()) return "null";
  if (v.is_boolean()) return "bool";
  if (v.is_number()) return "number";
  if (v.is_string()) return "string";
  if (v.is_array()) return "array";
  return "object";
}

bool numeric_text(const std::string& s_in) {
  std::string s;
  for (char c : fmt::trim(s_in))
    if (c != ',') s += c;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.erase(0, 1);
  if (s.empty()) return false;
  bool digit = false, dot = false;
  for (char c : s) {
    if (std::isdigit((unsigned char)c)) digit = true;
    else if (c == '.' && !dot) dot = true;
    else return false;
  }
  return digit;
}

bool fits(const json& v, Kind k) {
  switch (k) {
    case Kind::Any: return !v.is_null();
    case Kind::Number: return v.is_number();
    case Kind::Numeric: return v.is_number() || (v.is_string() && numeric_text(v.get<std::string>()));
    case Kind::String: return v.is_string();
    case Kind::Bool: return v.is_boolean();
    case Kind::Object: return v.is_object();
    case Kind::Array: return v.is_array();
    case Kind::Marker: return true;
  }
  return true;
}

enum class Found { Yes, Missing, Retyped, Unverifiable };

// Walks `path` in `body`. On Missing/Retyped, `where` is the path up to the
// step that failed and `got` the type met there.
Found walk(const json& body, const std::string& path, const json*& leaf, std::string& where, std::string& got) {
  const json* cur = &body;
  std::string done;
  size_t b = 0;
  while (b <= path.size()) {
    size_t e = path.find('.', b);
    if (e == std::string::npos) e = path.size();
    std::string seg = path.substr(b, e - b);
    bool each = seg.size() >= 2 && seg.compare(seg.size() - 2, 2, "[]") == 0;
    std::string key = each ? seg.substr(0, seg.size() - 2) : seg;
    if (!key.empty()) {
      done += (done.empty() ? "" : ".") + key;
      if (!cur->is_object()) {
        // Name the field that could not be reached, and what held it instead of an object.
        std::string parent = done.substr(0, done.size() - key.size() - (done.size() > key.size() ? 1 : 0));
        where = done;
        got = (parent.empty() ? std::string("본문") : parent) + ": object → " + type_of(*cur);
        return Found::Retyped;
      }
      auto it = cur->find(key);
      if (it == cur->end() || it->is_null()) {
        where = done;
        return Found::Missing;
      }
      cur = &*it;
    }
    if (each) {
      done += "[]";
      if (!cur->is_array()) {
        where = done.substr(0, done.size() - 2);
        if (where.empty()) where = "(본문)";
        got = std::string("array → ") + type_of(*cur);
        return Found::Retyped;
      }
      if (cur->empty()) return Found::Unverifiable;
      cur = &(*cur)[0];
    }
    b = e + 1;
  }
  leaf = cur;
  return Found::Yes;
}

void add_once(std::vector<std::string>& v, const std::string& s) {
  if (std::find(v.begin(), v.end(), s) == v.end()) v.push_back(s);
}

std::string message(const Contract& c, const Verdict& v) {
  std::string s = c.label + " 응답 모양이 달라졌습니다 (";
  if (v.unreadable) return s + "JSON으로 읽지 못함)";
  std::vector<std::string> parts;
  if (!v.missing.empty()) parts.push_back("없는 항목: " + fmt::join(v.missing, ", "));
  if (!v.retyped.empty()) parts.push_back("형식이 바뀐 항목: " + fmt::join(v.retyped, ", "));
  return s + fmt::join(parts, "; ") + ")";
}

}  // namespace

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Any: return "value";
    case Kind::Number: return "number";
    case Kind::Numeric: return "numeric";
    case Kind::String: return "string";
    case Kind::Bool: return "bool";
    case Kind::Object: return "object";
    case Kind::Array: return "array";
    case Kind::Marker: return "marker";
  }
  return "value";
}

std::string Verdict::summary() const {
  if (unreadable) return "body is not JSON";
  std::vector<std::string> parts;
  if (!missing.empty()) parts.push_back("missing: " + fmt::join(missing, ", "));
  if (!retyped.empty()) parts.push_back("retyped: " + fmt::join(retyped, ", "));
  return fmt::join(parts, "; ");
}

const Contract& declare(Contract c) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lk(r.m);
  auto& slot = r.by_id[c.id];
  slot = std::make_unique<Contract>(std::move(c));
  return *slot;
}

const Contract* find(const std::string& id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lk(r.m);
  auto it = r.by_id.find(id);
  return it == r.by_id.end() ? nullptr : it->second.get();
}

std::vector<const Contract*> all() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lk(r.m);
  std::vector<const Contract*> out;
  for (auto& [id, c] : r.by_id) out.push_back(c.get());
  return out;
}

Verdict check(const Contract& c, const json& body) {
  Verdict v;
  for (const Field& f : c.fields) {
    if (f.kind == Kind::Marker) continue;
    const json* leaf = nullptr;
    std::string where, got;
    Found r = walk(body, f.path, leaf, where, got);
    if (r == Found::Yes && !fits(*leaf, f.kind)) {
      r = Found::Retyped;
      where = f.path;
      got = std::string(kind_name(f.kind)) + " → " + type_of(*leaf);
    }
    if (r == Found::Yes || r == Found::Unverifiable) continue;
    if (!f.required) {
      add_once(v.optional_missing, f.path);
      continue;
    }
    if (r == Found::Missing) add_once(v.missing, where);
    else add_once(v.retyped, where + " (" + got + ")");
  }
  return v;
}

Verdict check_text(const Contract& c, const std::string& body) {
  if (!c.text) {
    json j = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) {
      Verdict v;
      v.unreadable = true;
      return v;
    }
    return check(c, j);
  }
  Verdict v;
  for (const Field& f : c.fields) {
    if (f.kind != Kind::Marker) continue;
    bool found = body.find(f.needle) != std::string::npos;
    for (const std::string& n : f.also) found = found || body.find(n) != std::string::npos;
    if (found) continue;
    if (f.required) add_once(v.missing, f.path);
    else add_once(v.optional_missing, f.path);
  }
  return v;
}

std::optional<std::string> problem(const Contract& c, const json& body) {
  Verdict v = check(c, body);
  if (v.ok()) return std::nullopt;
  return message(c, v);
}

std::optional<std::string> problem_text(const Contract& c, const std::string& body) {
  Verdict v = check_text(c, body);
  if (v.ok()) return std::nullopt;
  return message(c, v);
}

}  // namespace tessaro::contracts
