#pragma once
// Internal helpers of the Naver list, ranking, ETF and market-wide parsers:
// a small HTML document wrapper (libxml2), a time-limited cache and number
// readers that keep "missing" apart from zero. Defined in lists.cpp.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "core/json.hpp"

namespace tessaro::naver::detail {

// An HTML page already decoded to UTF-8 (declared charsets are ignored).
class HtmlDoc {
 public:
  explicit HtmlDoc(const std::string& utf8_html);
  ~HtmlDoc();
  HtmlDoc(const HtmlDoc&) = delete;
  HtmlDoc& operator=(const HtmlDoc&) = delete;

  // XPath over the document, or relative to ctx.
  std::vector<xmlNodePtr> select(const std::string& xpath, xmlNodePtr ctx = nullptr) const;
  xmlNodePtr first(const std::string& xpath, xmlNodePtr ctx = nullptr) const;

  static std::string text(xmlNodePtr n);        // content with blanks squashed
  static std::string attr(xmlNodePtr n, const char* name);

 private:
  xmlDocPtr doc_ = nullptr;
};

// XPath predicate for an element carrying one CSS class.
std::string has_class(const std::string& cls);

// Number of a JSON value that may be a number or a site string ("1,234", "-",
// "", null): nullopt for missing, never 0.
std::optional<double> jnum(const json& v);
json jnum_or_null(const json& v);
// Integer form of jnum.
json jint_or_null(const json& v);
// "3.51" -> "+3.51%", "-1.2" -> "-1.20%", 0 -> "0.00%"; empty when missing.
std::string rate_text(std::optional<double> v);
// Value of a query parameter inside an href ("...?type=theme&no=176" -> "176").
std::string href_param(const std::string& href, const std::string& key);
// "A179880" -> "179880" style six-character code out of an href "code=..."
std::string code_from_href(const std::string& href);

// Entries of one cache live `ttl`; loader runs outside the lock. One load per
// key at a time: callers that find a load under way wait for it and share its
// answer, or its failure (a failure is not kept; the next caller loads again).
class TtlCache {
 public:
  explicit TtlCache(std::chrono::seconds ttl) : ttl_(ttl) {}
  json get(const std::string& key, const std::function<json()>& loader);
  void clear();

 private:
  struct Flight;
  std::chrono::seconds ttl_;
  std::mutex mu_;
  std::map<std::string, std::pair<std::chrono::steady_clock::time_point, json>> entries_;
  std::map<std::string, std::shared_ptr<Flight>> flights_;
};

// Drops every list cache of this source (tests).
void clear_list_caches();

}  // namespace tessaro::naver::detail
