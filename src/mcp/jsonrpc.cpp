#include "mcp/jsonrpc.hpp"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tessaro::mcp {

json error_response(const json& id, int code, const std::string& message, const json& data) {
  json e{{"code", code}, {"message", message}};
  if (!data.is_null()) e["data"] = data;
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(e)}};
}

json result_response(const json& id, json result) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

bool valid_id(const json& id) { return id.is_string() || id.is_number(); }

// ---- Reading messages ---------------------------------------------------------

namespace {

void put_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Invalid UTF-8 sequences become U+FFFD.
std::string repair_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(char(c));
      ++i;
      continue;
    }
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (ok && len >= 3) {
      unsigned char c1 = s[i + 1];
      if (c == 0xE0 && c1 < 0xA0) ok = false;          // overlong
      if (c == 0xED && c1 > 0x9F) ok = false;          // encoded surrogate
      if (c == 0xF0 && c1 < 0x90) ok = false;          // overlong
      if (c == 0xF4 && c1 > 0x8F) ok = false;          // beyond U+10FFFF
    }
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      put_replacement(out);
      ++i;
    }
  }
  return out;
}

int hex4(std::string_view s, size_t at) {
  if (at + 4 > s.size()) return -1;
  int v = 0;
  for (size_t k = 0; k < 4; ++k) {
    char ch = s[at + k];
    int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// "\ud83d" without its low half (text cut inside an emoji) becomes "\ufffd"; a
// lone low half too. Every backslash of valid JSON opens an escape, so a plain
// left-to-right scan finds them all.
std::string repair_surrogate_escapes(std::string_view s) {
  if (s.find("\\u") == std::string_view::npos && s.find("\\U") == std::string_view::npos) return std::string(s);
  std::string out;
  out.reserve(s.size());
  size_t i = 0, n = s.size();
  while (i < n) {
    if (s[i] != '\\' || i + 1 >= n) {
      out.push_back(s[i++]);
      continue;
    }
    if (s[i + 1] != 'u') {
      out.append(s.substr(i, 2));
      i += 2;
      continue;
    }
    int cu = hex4(s, i + 2);
    if (cu < 0) {
      out.append(s.substr(i, 2));
      i += 2;
      continue;
    }
    if (cu >= 0xD800 && cu <= 0xDBFF) {
      int lo = i + 7 < n && s[i + 6] == '\\' && s[i + 7] == 'u' ? hex4(s, i + 8) : -1;
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        out.append(s.substr(i, 12));
        i += 12;
      } else {
        out += "\\ufffd";
        i += 6;
      }
    } else if (cu >= 0xDC00 && cu <= 0xDFFF) {
      out += "\\ufffd";
      i += 6;
    } else {
      out.append(s.substr(i, 6));
      i += 6;
    }
  }
  return out;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// A number literal beyond the range of a double ("1e999") is no value any
// argument can take: it is read as a string holding its literal, so the
// argument checks refuse it in words rather than the whole message failing to
// parse. Strings are skipped whole; outside them '-' and digits only open numbers.
std::string quote_overflowing_numbers(std::string text) {
  std::string_view s(text);
  std::string out;
  size_t i = 0, n = s.size(), copied = 0;
  bool changed = false;
  while (i < n) {
    char c = s[i];
    if (c == '"') {
      for (++i; i < n && s[i] != '"'; ++i)
        if (s[i] == '\\') ++i;
      ++i;
      continue;
    }
    if (c != '-' && !digit(c)) {
      ++i;
      continue;
    }
    size_t j = i + (c == '-' ? 1 : 0);
    while (j < n && digit(s[j])) ++j;
    if (j < n && s[j] == '.')
      for (++j; j < n && digit(s[j]);) ++j;
    bool exponent = j < n && (s[j] == 'e' || s[j] == 'E');
    if (exponent) {
      ++j;
      if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
      while (j < n && digit(s[j])) ++j;
    }
    if (exponent || j - i > 300) {
      std::string literal(s.substr(i, j - i));
      if (!std::isfinite(std::strtod(literal.c_str(), nullptr))) {
        out.append(s.substr(copied, i - copied));
        out += '"' + literal + '"';
        copied = j;
        changed = true;
      }
    }
    i = j > i ? j : i + 1;
  }
  if (!changed) return text;
  out.append(s.substr(copied));
  return out;
}

// Walks a message without building it: checks the nesting depth and picks up the
// top-level "id" and whether a "method" is there. The walk itself keeps no
// recursion, so any depth is safe to look at.
struct Prescan : nlohmann::json_sax<json> {
  int depth = 0;
  bool too_deep = false;
  bool top_is_object = false;
  bool id_next = false, has_id = false, has_method = false;
  json id;

  bool scalar(json v) {
    if (id_next && depth == 1) {
      id = std::move(v);
      has_id = true;
    }
    id_next = false;
    return true;
  }
  bool open() {
    if (depth == 0) top_is_object = false;
    id_next = false;
    if (++depth > MAX_NESTING) {
      too_deep = true;
      return false;
    }
    return true;
  }
  bool null() override { return scalar(nullptr); }
  bool boolean(bool v) override { return scalar(v); }
  bool number_integer(number_integer_t v) override { return scalar(v); }
  bool number_unsigned(number_unsigned_t v) override { return scalar(v); }
  bool number_float(number_float_t v, const string_t&) override { return scalar(v); }
  bool string(string_t& v) override { return scalar(v); }
  bool binary(binary_t&) override { return scalar(nullptr); }
  bool start_object(std::size_t) override {
    bool top = depth == 0;
    bool ok = open();
    if (top) top_is_object = true;
    return ok;
  }
  bool key(string_t& k) override {
    if (depth == 1) {
      id_next = k == "id";
      if (k == "method") has_method = true;
    }
    return true;
  }
  bool end_object() override {
    --depth;
    return true;
  }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

// The error reply for a message we will not build: with its id when one was read,
// nothing for what looks like a notification.
json refuse(const Prescan& p, int code, const std::string& message) {
  if (p.has_id && valid_id(p.id)) return error_response(p.id, code, message);
  if (p.top_is_object && p.has_method && !p.has_id) return nullptr;
  return error_response(nullptr, code, message);
}

}  // namespace

Incoming read_message(std::string text, bool truncated) {
  Incoming in;
  text = quote_overflowing_numbers(repair_surrogate_escapes(repair_utf8(text)));
  Prescan scan;
  bool ok = json::sax_parse(text, &scan, nlohmann::detail::input_format_t::json, true);
  if (truncated) {
    in.error = refuse(scan, -32600,
                      "Invalid Request: ⚠️ 요청이 너무 큽니다 (한 메시지는 " + std::to_string(MAX_MESSAGE_BYTES >> 20) +
                          " MiB까지).");
    return in;
  }
  if (scan.too_deep) {
    in.error = refuse(scan, -32600,
                      "Invalid Request: ⚠️ 요청의 중첩이 너무 깊습니다 (" + std::to_string(MAX_NESTING) + "단계까지).");
    return in;
  }
  if (!ok) {
    json e = error_response(nullptr, -32700, "Parse error: ⚠️ 요청을 JSON으로 읽을 수 없습니다.");
    if (scan.has_id && valid_id(scan.id)) e["id"] = scan.id;
    in.error = std::move(e);
    return in;
  }
  try {
    in.message = json::parse(text);
  } catch (const json::exception&) {
    in.error = error_response(nullptr, -32700, "Parse error: ⚠️ 요청을 JSON으로 읽을 수 없습니다.");
  }
  return in;
}

}  // namespace tessaro::mcp
