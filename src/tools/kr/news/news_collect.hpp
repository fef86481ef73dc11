#pragma once
// Korean news collection shared by the news tools: the two article sources run
// together, copies are merged away, and each article's time says how exact it is.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::tools::news {

// The data-source operations these tools read. Defaults call the Korean web
// source; tests swap in their own.
struct KrSources {
  std::function<json(const std::string&)> current_price;
  std::function<json(const std::string&, const std::string&, int)> ohlcv;
  std::function<json(const std::string&, int)> disclosures;
  std::function<json(const std::string&, int)> reports;
  std::function<json(const std::string&, int)> stock_news;
  std::function<json(const std::string&, int)> search_news;
};
KrSources default_sources();
KrSources sources();
void set_sources_for_tests(std::optional<KrSources> s);

extern const std::map<std::string, std::string> NEWS_SOURCE_LABEL;
extern const char* const NEWS_FOOT;
extern const char* const NEWS_STAGE_FOOT;
extern const char* const BAD_CODE_TEXT;

bool valid_code(const std::string& code);
// The display label of a source key (the raw key when unknown).
std::string source_label(const std::string& key);

// Title without white space, first 24 characters.
std::string news_dedup_key(const json& item);

struct NewsCollection {
  json items = json::array();    // merged, newest first, not cut to the limit
  json status = json::object();  // source key -> "ok:n" / "failed:Type" / "skipped:no_name"
};
NewsCollection collect_kr_news(const std::string& code, const std::optional<std::string>& name, int limit);

std::string news_time_label(const json& item);
std::vector<std::string> render_news_lines(const json& items, const std::optional<std::string>& name);

}  // namespace tessaro::tools::news
