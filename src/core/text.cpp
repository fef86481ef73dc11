#include "core/text.hpp"

#include <algorithm>
#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/format.hpp"

namespace tessaro::text {

std::string euckr_to_utf8(std::string_view bytes) {
  // Plain ASCII reads the same in both (a chart's digits): no converter needed.
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return (unsigned char)c < 0x80; })) return std::string(bytes);
  // One converter a thread, opened once (opening one costs more than a page's
  // conversion) and reset before each use.
  struct Converter {
    iconv_t cd = iconv_open("UTF-8", "CP949");
    ~Converter() {
      if (cd != (iconv_t)-1) iconv_close(cd);
    }
  };
  thread_local Converter conv;
  iconv_t cd = conv.cd;
  if (cd == (iconv_t)-1) return std::string(bytes);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.resize(bytes.size() * 2 + 16);
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* op = out.data();
  size_t out_left = out.size();
  while (in_left > 0) {
    size_t r = iconv(cd, &in, &in_left, &op, &out_left);
    if (r != (size_t)-1) break;
    if (errno == E2BIG) {
      size_t used = size_t(op - out.data());
      out.resize(out.size() * 2);
      op = out.data() + used;
      out_left = out.size() - used;
      continue;
    }
    // Invalid or truncated sequence: emit U+FFFD and skip one byte.
    if (out_left < 3) {
      size_t used = size_t(op - out.data());
      out.resize(out.size() * 2);
      op = out.data() + used;
      out_left = out.size() - used;
    }
    std::memcpy(op, "\xEF\xBF\xBD", 3);
    op += 3;
    out_left -= 3;
    ++in;
    --in_left;
  }
  out.resize(size_t(op - out.data()));
  return out;
}

std::string url_encode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string o;
  o.reserve(s.size());
  for (unsigned char c : s) {
    // The unreserved set, byte by byte (no locale decides what a letter is).
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      o.push_back(char(c));
    } else {
      o.push_back('%');
      o.push_back(hex[c >> 4]);
      o.push_back(hex[c & 15]);
    }
  }
  return o;
}

static void append_utf8(std::string& o, unsigned long cp) {
  if (cp < 0x80) {
    o.push_back(char(cp));
  } else if (cp < 0x800) {
    o.push_back(char(0xC0 | (cp >> 6)));
    o.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    o.push_back(char(0xE0 | (cp >> 12)));
    o.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    o.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    o.push_back(char(0xF0 | (cp >> 18)));
    o.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    o.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    o.push_back(char(0x80 | (cp & 0x3F)));
  }
}

std::string decode_entities(std::string_view s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      o.push_back(s[i]);
      continue;
    }
    size_t semi = s.find(';', i);
    if (semi == std::string_view::npos || semi - i > 10) {
      o.push_back('&');
      continue;
    }
    std::string_view ent = s.substr(i + 1, semi - i - 1);
    std::string rep;
    if (ent == "amp") rep = "&";
    else if (ent == "lt") rep = "<";
    else if (ent == "gt") rep = ">";
    else if (ent == "quot") rep = "\"";
    else if (ent == "apos" || ent == "#39") rep = "'";
    else if (ent == "nbsp") rep = " ";
    else if (!ent.empty() && ent[0] == '#') {
      unsigned long cp = 0;
      try {
        cp = (ent.size() > 1 && (ent[1] == 'x' || ent[1] == 'X'))
                 ? std::stoul(std::string(ent.substr(2)), nullptr, 16)
                 : std::stoul(std::string(ent.substr(1)));
      } catch (...) {
        o.push_back('&');
        continue;
      }
      append_utf8(rep, cp);
    } else {
      o.push_back('&');
      continue;
    }
    o += rep;
    i = semi;
  }
  return o;
}

namespace {

bool ascii_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Where the tag opening at html[i] ('<') ends (the index of its '>'), or npos when
// the '<' opens no tag: markup is "<name", "</name", "<!" or "<?" closed by a '>'
// before the next '<'. A bare "<" in text ("목표가 < 현재가") is text.
size_t tag_end(std::string_view html, size_t i) {
  if (i + 1 >= html.size()) return std::string_view::npos;
  char n = html[i + 1];
  bool opens = ascii_alpha(n) || n == '!' || n == '?' || (n == '/' && i + 2 < html.size() && ascii_alpha(html[i + 2]));
  if (!opens) return std::string_view::npos;
  if (html.substr(i, 4) == "<!--") {
    size_t e = html.find("-->", i + 4);
    return e == std::string_view::npos ? e : e + 2;
  }
  for (size_t k = i + 1; k < html.size(); ++k) {
    if (html[k] == '>') return k;
    if (html[k] == '<') return std::string_view::npos;
  }
  return std::string_view::npos;
}

}  // namespace

std::string strip_html(std::string_view html) {
  std::string o;
  o.reserve(html.size());
  for (size_t i = 0; i < html.size(); ++i) {
    if (html[i] == '<') {
      size_t e = tag_end(html, i);
      if (e != std::string_view::npos) {
        i = e;
        continue;
      }
    }
    o.push_back(html[i]);
  }
  return decode_entities(o);
}

std::string squash_spaces(std::string_view s) {
  std::string o;
  bool ws = false;
  for (unsigned char c : s) {
    if (std::isspace(c)) {
      ws = true;
      continue;
    }
    if (ws && !o.empty()) o.push_back(' ');
    ws = false;
    o.push_back(char(c));
  }
  return o;
}

}  // namespace tessaro::text
