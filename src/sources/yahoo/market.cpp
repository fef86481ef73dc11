// News headlines, predefined screens, sector pages and fund details.
#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/clock.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/parse.hpp"
#include "sources/yahoo/us.hpp"

namespace tessaro::us {

using namespace detail;

namespace parse {

json news_from_search(const json& body) {
  json out = json::array();
  if (!body.is_object() || !body.contains("news") || !body["news"].is_array()) return out;
  for (const json& n : body["news"]) {
    auto t = dnum(n.value("providerPublishTime", json()));
    out.push_back({{"title", str(n.value("title", json()))},
                   {"summary", str(n.value("summary", json()))},
                   {"published", t ? json(iso_in_zone((long long)*t, mt::NEW_YORK)) : json(nullptr)},
                   {"provider", str(n.value("publisher", json()))},
                   {"url", str(n.value("link", json()))},
                   {"related_tickers", n.value("relatedTickers", json::array())}});
  }
  return out;
}

json screen_result(const json& body) {
  const json& fin = body.is_object() ? body.value("finance", json()) : json();
  if (!fin.is_object() || !fin.contains("result") || !fin["result"].is_array() || fin["result"].empty()) return nullptr;
  const json& r = fin["result"][0];
  json quotes = json::array();
  if (r.contains("quotes") && r["quotes"].is_array())
    for (const json& q : r["quotes"]) {
      json row = quote(q);
      // Screen rows are named by symbol and carry the trailing P/E as `pe`.
      row["symbol"] = row["ticker"];
      row.erase("ticker");
      row["pe"] = field(q, "trailingPE");
      row["average_volume_3m"] = field(q, "averageDailyVolume3Month");
      quotes.push_back(row);
    }
  return json{{"id", str(r.value("id", json()))},
              {"title", str(r.value("title", json()))},
              {"description", str(r.value("description", json()))},
              {"total", field(r, "total")},
              {"quotes", quotes}};
}

json screen_reply(long status, const json& body, const std::string& text, const std::string& preset) {
  auto failed = [&](const std::string& why) {
    return json{{"error", "'" + preset + "' 스크린 조회 실패 (" + why + ") - 결과가 없는 것이 아니라 확인 불가입니다. 잠시 후 다시 시도하세요."},
                {"quotes", json::array()}};
  };
  const json& fin = body.is_object() ? body.value("finance", json()) : json();
  if (!fin.is_object()) {
    if (text.find("Will be right back") != std::string::npos) return failed("Yahoo Finance 일시 중단");
    return failed("HTTP " + std::to_string(status) + ", 읽을 수 없는 응답");
  }
  const json& err = fin.value("error", json());
  if (err.is_object()) {
    std::string code = err.value("code", std::string()), desc = err.value("description", std::string());
    std::string why = code.empty() ? desc : desc.empty() ? code : code + ": " + desc;
    return failed("HTTP " + std::to_string(status) + (why.empty() ? "" : ", " + why));
  }
  if (status >= 400) return failed("HTTP " + std::to_string(status));
  json out = screen_result(body);
  if (out.is_null()) return failed("응답에 스크린 결과가 없음");
  return out;
}

json sector(const json& body) {
  const json& d = body.is_object() ? body.value("data", json()) : json();
  if (!d.is_object()) return nullptr;
  const json& ov = d.value("overview", json::object());
  json companies = json::array(), industries = json::array();
  if (d.contains("topCompanies") && d["topCompanies"].is_array())
    for (const json& c : d["topCompanies"])
      companies.push_back({{"symbol", str(c.value("symbol", json()))},
                           {"name", str(c.value("name", json()))},
                           {"rating", str(c.value("rating", json()))},
                           {"market_weight", field(c, "marketWeight")}});
  if (d.contains("industries") && d["industries"].is_array())
    for (const json& i : d["industries"]) {
      if (i.value("name", std::string()) == "All Industries") continue;
      industries.push_back({{"key", str(i.value("key", json()))},
                            {"name", str(i.value("name", json()))},
                            {"market_weight", field(i, "marketWeight")}});
    }
  return json{{"name", str(d.value("name", json()))},
              {"symbol", str(d.value("symbol", json()))},
              {"companies_count", field(ov, "companiesCount")},
              {"market_cap", field(ov, "marketCap")},
              {"market_weight", field(ov, "marketWeight")},
              {"industries_count", field(ov, "industriesCount")},
              {"employee_count", field(ov, "employeeCount")},
              {"description", str(ov.value("description", json()))},
              {"top_companies", companies},
              {"industries", industries}};
}

json etf_info(const json& r, const json& quote_row) {
  if (!r.is_object()) return nullptr;
  const json& th = r.value("topHoldings", json::object());
  const json& fp = r.value("fundProfile", json::object());
  const json& sd = r.value("summaryDetail", json::object());
  const json& ks = r.value("defaultKeyStatistics", json::object());
  const json& qt = r.value("quoteType", json::object());
  json holdings = json::array();
  if (th.contains("holdings") && th["holdings"].is_array())
    for (const json& h : th["holdings"])
      holdings.push_back({{"symbol", str(h.value("symbol", json()))},
                          {"name", str(h.value("holdingName", json()))},
                          {"weight", field(h, "holdingPercent")}});
  json sectors = json::object();
  if (th.contains("sectorWeightings") && th["sectorWeightings"].is_array())
    for (const json& s : th["sectorWeightings"])
      if (s.is_object())
        for (auto it = s.begin(); it != s.end(); ++it) sectors[it.key()] = num(*it);
  json classes = json::object();
  for (const char* k : {"stockPosition", "bondPosition", "cashPosition", "preferredPosition", "convertiblePosition", "otherPosition"})
    if (json v = field(th, k); !v.is_null()) classes[k] = v;   // an unreported class is absent, not 0
  json expense = quote_row.is_object() ? field(quote_row, "netExpenseRatio") : json(nullptr);   // percent
  if (expense.is_null() && fp.contains("feesExpensesInvestment")) {
    auto f = dnum(fp["feesExpensesInvestment"].value("annualReportExpenseRatio", json()));
    if (f) expense = *f * 100;
  }
  json ytd = quote_row.is_object() ? field(quote_row, "ytdReturn") : json(nullptr);   // percent
  if (ytd.is_null())
    if (auto f = dnum(ks.value("ytdReturn", json()))) ytd = *f * 100;
  json quote_type = first_of(qt, {"quoteType"});
  if (quote_type.is_null() && quote_row.is_object()) quote_type = str(quote_row.value("quoteType", json()));
  json description = first_of(module_of(r, "summaryProfile"), {"longBusinessSummary"});
  if (description.is_null()) description = first_of(module_of(r, "assetProfile"), {"longBusinessSummary"});
  json tk = first_of(qt, {"symbol"});
  if (tk.is_null() && quote_row.is_object()) tk = str(quote_row.value("symbol", json()));
  json name = first_of(qt, {"longName", "shortName"});
  if (name.is_null() && quote_row.is_object()) name = first_of(quote_row, {"longName", "shortName"});
  return json{{"ticker", tk},
              {"name", name},
              {"quote_type", quote_type},
              {"family", first_of(fp, {"family"})},
              {"category", first_of(fp, {"categoryName"})},
              {"expense_ratio", expense},
              {"ytd_return", ytd},
              {"total_assets", field(sd, "totalAssets")},
              {"nav_price", field(sd, "navPrice")},
              {"yield", field(sd, "yield")},
              {"top_holdings", holdings},
              {"sector_weightings", sectors},
              {"asset_classes", classes},
              {"description", description},
              {"quote", quote_row.is_object() ? quote(quote_row) : json(nullptr)}};
}

}  // namespace parse

json get_news(const std::string& ticker, int limit) {
  auto sym = normalize_symbol(ticker);
  if (!sym) return json{{"news", json::array()}};
  int n = std::max(1, std::min(limit, 50));
  json body = api_json(Q2, http::Target("/v1/finance/search"),
                       {{"q", *sym}, {"quotesCount", "0"}, {"newsCount", std::to_string(n)}, {"enableFuzzyQuery", "false"},
                        {"newsQueryId", "news_cie_vespa"}, {"lang", "en-US"}, {"region", "US"}});
  json news = parse::news_from_search(body);
  if ((int)news.size() > n) news.erase(news.begin() + n, news.end());
  return json{{"ticker", *sym}, {"news", news}};
}

namespace {
const char* const kKnownPresets =
    "day_gainers, day_losers, most_actives, most_shorted_stocks, aggressive_small_caps, growth_technology_stocks, "
    "undervalued_growth_stocks, undervalued_large_caps, small_cap_gainers, conservative_foreign_funds";
}  // namespace

json screen(const std::string& preset, int count) {
  std::string id = fmt::trim(preset);
  if (id.empty()) return nullptr;
  for (unsigned char c : id)
    if (!(std::isalnum(c) || c == '_')) return json{{"error", "잘못된 preset 이름입니다: " + id}, {"quotes", json::array()}};
  int n = std::max(1, std::min(count, 250));
  ApiReply r;
  try {
    r = api(Q1, http::Target("/v1/finance/screener/predefined/saved"),
            {{"scrIds", id}, {"count", std::to_string(n)}, {"formatted", "false"}, {"lang", "en-US"},
             {"region", "US"}, {"corsDomain", "finance.yahoo.com"}});
  } catch (const HTTPStatusError& e) {
    // Yahoo refuses an id it has no saved screen for with a 400: the name is wrong,
    // retrying will not help.
    if (e.status() != 400) throw;
    return json{{"error", "'" + id + "' 는 Yahoo 에 없는 스크린(preset) 이름입니다 (HTTP 400). 사용할 수 있는 preset: " +
                              std::string(kKnownPresets) + "."},
                {"unknown_preset", true},
                {"quotes", json::array()}};
  }
  json out = parse::screen_reply(r.status, r.body, r.text, id);
  // An answer that could not be read is a failed lookup in the call's ledger too.
  if (out.contains("error") && !out["error"].is_null())
    record_lookup("yahoo:/v1/finance/screener/predefined/saved?scrIds=" + id, LookupStatus::failed, "unreadable screen");
  return out;
}

json get_sector(const std::string& sector_key) {
  std::string key = fmt::lower(fmt::trim(sector_key));
  if (key.empty()) return nullptr;
  for (unsigned char c : key)
    if (!(std::isalnum(c) || c == '-')) return nullptr;
  ApiReply r = api(Q1, http::Target("/v1/finance/sectors/{}", key),
                   {{"formatted", "true"}, {"withReturns", "true"}, {"lang", "en-US"}, {"region", "US"}});
  if (r.status == 404) return nullptr;
  json out = r.body.is_null() ? json(nullptr) : parse::sector(r.body);
  // A 200 that is not a sector answer is a failure, never "no such sector".
  if (out.is_null() || (out.contains("error") && !out["error"].is_null())) {
    record_lookup("yahoo:/v1/finance/sectors/" + key, LookupStatus::failed, "unreadable sector");
    if (out.is_null()) return json{{"error", "섹터 '" + key + "' 응답을 읽지 못했습니다 - 섹터가 없다는 뜻이 아니라 조회 실패입니다. 잠시 후 다시 시도하세요."}};
  }
  return out;
}

json get_etf_info(const std::string& ticker) {
  return from_summary(ticker, "quoteType,summaryProfile,topHoldings,fundProfile,summaryDetail,defaultKeyStatistics",
                      [](const json& r, const std::string& sym) {
                        json q = nullptr;
                        for (const json& row : quote_rows({sym}))
                          if (row.value("symbol", std::string()) == sym) q = row;
                        return parse::etf_info(r, q);
                      });
}

}  // namespace tessaro::us
