// Shared fetch layer of the Korean web source: browser headers, a Referer that
// matches the host, one retry on 5xx/429, EUC-KR decoding where a page needs it.
#include <string>

#include "core/errors.hpp"
#include "core/text.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

namespace {
const char* kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";

std::string default_referer(const std::string& host) {
  if (host == "stock.naver.com" || host == "api.stock.naver.com") return "https://stock.naver.com/";
  if (host == "m.stock.naver.com") return "https://m.stock.naver.com/";
  return "https://finance.naver.com/";
}
// The charset a body declares: the Content-Type header first, then an XML
// prolog or an HTML <meta> near the top. "" when nothing is declared.
std::string lower_ascii(std::string s) {
  for (auto& c : s) c = (char)std::tolower((unsigned char)c);
  return s;
}

std::string charset_after(const std::string& s, size_t pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '"' || s[pos] == '\'' || s[pos] == '=')) ++pos;
  size_t e = pos;
  while (e < s.size() && (std::isalnum((unsigned char)s[e]) || s[e] == '-' || s[e] == '_')) ++e;
  return s.substr(pos, e - pos);
}

}  // namespace

namespace {
std::string body_charset(const std::string& body) {
  std::string head = lower_ascii(body.substr(0, 4096));
  auto x = head.find("<?xml");
  if (x != std::string::npos && x < 8) {
    auto p = head.find("encoding", x);
    if (p != std::string::npos && p < head.find("?>", x)) {
      std::string cs = charset_after(head, p + 8);
      if (!cs.empty()) return cs;
    }
  }
  for (size_t p = head.find("<meta"); p != std::string::npos; p = head.find("<meta", p + 5)) {
    size_t end = head.find('>', p);
    auto c = head.find("charset", p);
    if (c != std::string::npos && c < end) {
      std::string cs = charset_after(head, c + 7);
      if (!cs.empty()) return cs;
    }
  }
  return "";
}

bool valid_utf8(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = (unsigned char)s[i];
    int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    for (int k = 1; k < len; ++k)
      if (((unsigned char)s[i + k] >> 6) != 0x2) return false;
    i += len;
  }
  return true;
}
}  // namespace

std::string declared_charset(const std::string& content_type, const std::string& body) {
  // What the document says of itself wins over a header that may be generic.
  std::string cs = body_charset(body);
  if (!cs.empty()) return cs;
  std::string ct = lower_ascii(content_type);
  if (auto p = ct.find("charset"); p != std::string::npos) return charset_after(ct, p + 7);
  return "";
}

std::string decode_body(const std::string& body, const std::string& content_type, bool euc_kr_default) {
  std::string cs = declared_charset(content_type, body);
  bool korean = cs == "euc-kr" || cs == "euckr" || cs == "cp949" || cs == "ks_c_5601-1987" || cs == "x-windows-949" ||
                cs == "ms949" || cs == "uhc";
  if (korean) return text::euckr_to_utf8(body);
  // A body declared (or assumed) UTF-8 that is not valid UTF-8 was sent in the
  // old page charset after all.
  if (valid_utf8(body)) return body;
  return euc_kr_default || cs.empty() ? text::euckr_to_utf8(body) : body;
}

std::string url(const std::string& host, const http::Target& target) {
  return http::Url("NAVER", host, target).str();
}

std::string fetch_text(const std::string& host, const http::Target& target, bool euc_kr,
                       const std::string& referer) {
  http::Request req;
  req.url = http::Url("NAVER", host, target);
  req.headers = {{"User-Agent", kUserAgent},
                 {"Accept", "application/json, text/plain, text/html, */*"},
                 {"Accept-Language", "ko-KR,ko;q=0.9"},
                 {"Referer", referer.empty() ? default_referer(host) : referer}};
  if (host == "stock.naver.com") req.headers.push_back({"Origin", "https://stock.naver.com"});
  req.timeout_s = 10.0;
  req.retries = 1;
  http::Response r = http::fetch(req);
  // Pages are decoded by the charset they declare: not every finance.naver.com
  // page is EUC-KR any more (the market-cap list is UTF-8). `euc_kr` only says
  // what to assume when a page declares nothing.
  return decode_body(r.body, r.header("content-type"), euc_kr);
}

json fetch_json(const std::string& host, const http::Target& target, bool euc_kr,
                const std::string& referer) {
  std::string body = fetch_text(host, target, euc_kr, referer);
  try {
    return json::parse(body);
  } catch (const json::parse_error&) {
    // A JSON endpoint that answers something else (an HTML error page, a
    // truncated body) was reached but not understood.
    throw NaverParseError("JSON 응답을 해석하지 못했습니다: " + host + target.str().substr(0, target.str().find('?')));
  }
}

}  // namespace tessaro::naver
