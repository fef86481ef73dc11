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
}  // namespace

std::string url(const std::string& host, const std::string& path_and_query) {
  std::string p = path_and_query;
  if (p.empty() || p[0] != '/') p = "/" + p;
  return http::base("NAVER", host) + p;
}

std::string fetch_text(const std::string& host, const std::string& path_and_query, bool euc_kr,
                       const std::string& referer) {
  http::Request req;
  req.url = url(host, path_and_query);
  req.headers = {{"User-Agent", kUserAgent},
                 {"Accept", "application/json, text/plain, text/html, */*"},
                 {"Accept-Language", "ko-KR,ko;q=0.9"},
                 {"Referer", referer.empty() ? default_referer(host) : referer}};
  if (host == "stock.naver.com") req.headers.push_back({"Origin", "https://stock.naver.com"});
  req.timeout_s = 10.0;
  req.retries = 1;
  http::Response r = http::fetch(req);
  return euc_kr ? text::euckr_to_utf8(r.body) : r.body;
}

json fetch_json(const std::string& host, const std::string& path_and_query, bool euc_kr,
                const std::string& referer) {
  std::string body = fetch_text(host, path_and_query, euc_kr, referer);
  try {
    return json::parse(body);
  } catch (const json::parse_error&) {
    // A JSON endpoint that answers something else (an HTML error page, a
    // truncated body) was reached but not understood.
    throw NaverParseError("JSON 응답을 해석하지 못했습니다: " + host + path_and_query.substr(0, path_and_query.find('?')));
  }
}

}  // namespace tessaro::naver
