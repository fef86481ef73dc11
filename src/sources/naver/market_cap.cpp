// Market-cap ranking pages of one market, from the mobile list API
// (m.stock.naver.com/api/stocks/marketValue/<KOSPI|KOSDAQ>), which serves at most
// 100 rows a request with a total count. A logical page of `count` rows is
// assembled from the upstream pages that cover it; repeated rows (an upstream page
// served twice) are dropped and a short delivery is reported as incomplete.
#include <algorithm>
#include <cmath>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// The market-value ranking of m.stock (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kMarketValueShape = contracts::declare(
    {"naver.market_value", "네이버 시가총액 순위", false,
     {{"stocks", contracts::Kind::Array},
      {"stocks[].itemCode", contracts::Kind::String},
      {"stocks[].stockName", contracts::Kind::String},
      {"stocks[].marketValue", contracts::Kind::Any, false},
      {"totalCount", contracts::Kind::Any, false}}});

namespace {

constexpr int kUpstreamPageSize = 100;

std::string text_of(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  if (v.is_number()) return fmt::pyfloat(v.get<double>());
  return "";
}

std::optional<double> number_of(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) return fmt::parse_number(v.get<std::string>());
  return std::nullopt;
}

const json& field(const json& row, const char* key) {
  static const json null_value = nullptr;
  auto it = row.find(key);
  return it == row.end() ? null_value : *it;
}

// The direction code of the list (1 상한, 2 상승, 3 보합, 4 하한, 5 하락) decides the
// sign when the ratio text comes unsigned.
std::optional<double> signed_ratio(const json& row) {
  auto r = number_of(field(row, "fluctuationsRatioRaw"));
  if (!r) r = number_of(field(row, "fluctuationsRatio"));
  if (!r) return std::nullopt;
  std::string code;
  const json& dir = field(row, "compareToPreviousPrice");
  if (dir.is_object()) code = text_of(field(dir, "code"));
  if ((code == "4" || code == "5") && *r > 0) return -*r;
  if (code == "3") return 0.0;
  return *r;
}

// Market cap in 억원. The raw twin is in won; the display text is in 억원.
std::optional<double> market_cap_billion(const json& row) {
  if (auto raw = number_of(field(row, "marketValueRaw"))) {
    // A won amount of any listed company is far above 1e8; a value below that is
    // already in 억원.
    return *raw >= 1e8 ? *raw / 1e8 : *raw;
  }
  if (auto disp = number_of(field(row, "marketValue"))) return *disp;
  return std::nullopt;
}

}  // namespace

// KRX security-group codes: "" for ordinary shares (counted as "ST"), EF ETF,
// EN ETN, RT REIT, IF infrastructure fund.
std::string market_cap_security_type(const std::string& end_type, const std::string& name) {
  std::string t = fmt::lower(end_type);
  if (t == "etf") return "EF";
  if (t == "etn") return "EN";
  if (name.find("리츠") != std::string::npos) return "RT";
  if (name.find("인프라") != std::string::npos && (name.find("투융자") != std::string::npos ||
                                                  fmt::ends_with(name, "인프라")))
    return "IF";
  if (!t.empty() && t != "stock") return fmt::upper(t);
  return "";
}

namespace {
json load_market_cap_page(const std::string& market, int page, int count);
// A page is shared by every caller within a minute (a screen of both markets and
// the ranking tools ask for the same pages at once).
detail::TtlCache g_market_cap_pages(std::chrono::seconds(60));
}  // namespace

json get_market_cap_page(const std::string& market_in, int page, int count) {
  std::string market = fmt::upper(fmt::trim(market_in));
  if (market != "KOSDAQ") market = "KOSPI";   // the list API serves one market at a time
  page = std::max(1, page);
  count = std::clamp(count, 1, 500);
  return g_market_cap_pages.get(market + "|" + std::to_string(page) + "|" + std::to_string(count),
                                [&] { return load_market_cap_page(market, page, count); });
}

namespace {
json load_market_cap_page(const std::string& market_in, int page, int count) {
  std::string market = fmt::upper(fmt::trim(market_in));
  if (market != "KOSDAQ") market = "KOSPI";   // the list API serves one market at a time
  page = std::max(1, page);
  count = std::clamp(count, 1, 500);
  long long start = (long long)(page - 1) * count, end = start + count;

  json rows = json::array();
  std::set<std::string> seen;
  long long total = -1;
  bool complete = true;
  bool last_upstream_full = true;
  int first_up = int(start / kUpstreamPageSize) + 1, last_up = int((end - 1) / kUpstreamPageSize) + 1;
  // The upstream pages of one logical page are asked for together; they are read
  // in order below, and a page past a short one (the end) is ignored, failed or not.
  const size_t n_up = size_t(last_up - first_up + 1);
  std::vector<json> bodies(n_up);
  auto errs = parallel_for(n_up, std::min<size_t>(n_up, 10), [&](size_t k) {
    bodies[k] = fetch_json("m.stock.naver.com", http::Target("/api/stocks/marketValue/{}?page={}&pageSize={}", market,
                                                                  first_up + int(k), kUpstreamPageSize));
  });
  for (int up = first_up; up <= last_up; ++up) {
    const size_t k = size_t(up - first_up);
    if (errs[k]) std::rethrow_exception(errs[k]);
    const json& body = bodies[k];
    const json* list = nullptr;
    if (body.is_object() && body.contains("stocks") && body["stocks"].is_array()) list = &body["stocks"];
    else if (body.is_array()) list = &body;
    if (!list)
      throw NaverParseError(contracts::problem(kMarketValueShape, body).value_or("시가총액 순위 응답에 stocks 목록이 없습니다") +
                            ": " + market);
    if (body.is_object()) {
      if (auto t = number_of(field(body, "totalCount"))) total = (long long)*t;
    }
    last_upstream_full = list->size() >= size_t(kUpstreamPageSize);
    long long base = (long long)(up - 1) * kUpstreamPageSize;
    for (size_t i = 0; i < list->size(); ++i) {
      long long pos = base + (long long)i;
      if (pos < start || pos >= end) continue;
      const json& s = (*list)[i];
      if (!s.is_object()) continue;
      std::string code = text_of(field(s, "itemCode"));
      if (code.empty()) code = text_of(field(s, "itemcode"));
      if (!code.empty() && !seen.insert(code).second) continue;   // served twice
      std::string name = text_of(field(s, "stockName"));
      json r = json::object();
      r["rank"] = pos + 1;
      r["code"] = code;
      r["name"] = name;
      auto price = number_of(field(s, "closePriceRaw"));
      if (!price) price = number_of(field(s, "closePrice"));
      r["price"] = price ? json(*price) : json(nullptr);
      auto ratio = signed_ratio(s);
      r["change_rate"] = ratio ? fmt::fixed(*ratio, 2, false, true) + "%" : std::string("-");
      auto cap = market_cap_billion(s);
      r["market_cap_billion"] = cap ? json(*cap) : json(nullptr);
      r["security_type"] = market_cap_security_type(text_of(field(s, "stockEndType")), name);
      bool stop = false;
      const json& ts = field(s, "tradeStopType");
      if (ts.is_object()) {
        std::string n = text_of(field(ts, "name"));
        stop = !n.empty() && n != "TRADING";
      }
      r["trade_stop"] = stop;
      rows.push_back(std::move(r));
    }
    if (list->empty() || !last_upstream_full) break;
    if (total >= 0 && base + kUpstreamPageSize >= total) break;
  }

  long long expected = count;
  if (total >= 0) expected = std::max<long long>(0, std::min<long long>(count, total - start));
  if ((long long)rows.size() < expected) complete = false;

  json type_counts = json::object();
  long long halted = 0;
  for (const auto& r : rows) {
    std::string t = r["security_type"].get<std::string>();
    if (t.empty()) t = "ST";
    type_counts[t] = type_counts.value(t, 0) + 1;
    if (r["trade_stop"].get<bool>()) ++halted;
  }
  json out = json::object();
  out["market"] = market;
  out["total_count"] = total >= 0 ? json(total) : json(nullptr);
  out["rows"] = rows;
  out["pages"] = total >= 0 ? json((total + count - 1) / count) : json(nullptr);
  out["has_next"] = total >= 0 ? end < total : last_upstream_full && !rows.empty();
  out["complete"] = complete;
  out["type_counts"] = type_counts;
  out["halted_count"] = halted;
  return out;
}

}  // namespace

}  // namespace tessaro::naver
