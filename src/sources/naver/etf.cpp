// ETF list (finance.naver.com etfItemList, JSON in EUC-KR bytes) and the
// detail of one fund (m.stock etfAnalysis, completed by the fund's quote).
#include <algorithm>
#include <cmath>
#include <functional>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/parse_util.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// ETF list and analysis shapes (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kEtfListShape = contracts::declare(
    {"naver.etf_list", "네이버 ETF 목록", false,
     {{"result", contracts::Kind::Object},
      {"result.etfItemList", contracts::Kind::Array},
      {"result.etfItemList[].itemcode", contracts::Kind::String},
      {"result.etfItemList[].itemname", contracts::Kind::String},
      {"result.etfItemList[].nowVal", contracts::Kind::Any, false}}});
static const contracts::Contract& kEtfAnalysisShape = contracts::declare(
    {"naver.etf_analysis", "네이버 ETF 분석", false,
     {{"itemCode", contracts::Kind::String},
      {"itemName", contracts::Kind::String, false},
      {"etfSummary", contracts::Kind::String, false},
      {"assetPortfolioList", contracts::Kind::Array, false},
      {"sectorPortfolioList", contracts::Kind::Array, false}}});
// The fund's quote, read from its basic record.
static const contracts::Contract& kEtfBasicShape = contracts::declare(
    {"naver.etf_basic", "네이버 ETF 시세", false,
     {{"closePrice", contracts::Kind::Numeric},
      {"stockName", contracts::Kind::String, false},
      {"compareToPreviousClosePrice", contracts::Kind::Numeric, false},
      {"compareToPreviousPrice", contracts::Kind::Object, false},
      {"fluctuationsRatio", contracts::Kind::Numeric, false},
      {"localTradedAt", contracts::Kind::String, false}}});

const std::vector<std::pair<std::string, std::string>> ETF_SORT_LABELS = {
    {"marketSum", "시가총액"}, {"quant", "거래량"}, {"threeMonthEarnRate", "3개월 수익률"}, {"nav", "NAV"}};

namespace {

detail::TtlCache g_etf_list(std::chrono::seconds(60));

// etfTabCode -> category name, in the site's tab order.
const std::vector<std::pair<int, std::string>> kCategories = {
    {1, "국내 시장지수"}, {2, "국내 업종/테마"}, {3, "국내 파생"}, {4, "해외 주식"},
    {5, "원자재"},       {6, "채권/금리"},     {7, "단기자금"}};

std::string label_of(const std::string& key) {
  for (const auto& [k, l] : ETF_SORT_LABELS)
    if (k == key) return l;
  return key;
}

std::string squash(const std::string& s) {
  std::string o;
  for (char c : fmt::lower(s))
    if (c != ' ') o.push_back(c);
  return o;
}

json raw_list() {
  return g_etf_list.get("all", [] {
    json j = fetch_json("finance.naver.com", http::Target("/api/sise/etfItemList.nhn?etfType=0"), true,
                        "https://finance.naver.com/sise/etf.nhn");
    if (!j.is_object() || !j.contains("result") || !j["result"].is_object() ||
        !j["result"].contains("etfItemList") || !j["result"]["etfItemList"].is_array())
      throw NaverParseError(contracts::problem(kEtfListShape, j).value_or("ETF 목록 응답에서 etfItemList를 읽지 못했습니다"));
    return j["result"]["etfItemList"];
  });
}

}  // namespace

std::string etf_sort_key(const std::string& sort_by) {
  std::string s = fmt::lower(fmt::trim(sort_by));
  for (const auto& [k, l] : ETF_SORT_LABELS)
    if (fmt::lower(k) == s) return k;
  return "";
}

json get_etf_list(const std::string& category, const std::string& keyword, const std::string& sort_by_in,
                  int limit) {
  std::string requested = etf_sort_key(sort_by_in);
  if (requested.empty()) requested = "marketSum";
  limit = std::clamp(limit, 1, 50);
  json all = raw_list();

  // Quotes are "live" unless every fund came with change 0 and volume 0: that is
  // the list's off-hours state, where 0 means empty, not flat.
  bool quotes_live = false;
  for (const auto& r : all) {
    auto cr = detail::jnum(r.value("changeRate", json()));
    auto q = detail::jnum(r.value("quant", json()));
    if ((cr && *cr != 0) || (q && *q != 0)) {
      quotes_live = true;
      break;
    }
  }
  std::string used = requested;
  if (!quotes_live && used == "quant") used = "marketSum";

  int tab = 0;
  std::string cat = fmt::trim(category);
  if (!cat.empty()) {
    tab = -1;
    for (const auto& [code, name] : kCategories)
      if (squash(name) == squash(cat) || std::to_string(code) == cat) tab = code;
    if (tab == -1)
      for (const auto& [code, name] : kCategories)
        if (squash(name).find(squash(cat)) != std::string::npos) tab = code;
  }
  std::string kw = squash(keyword);

  struct Fund {
    json item;
    std::optional<double> key;
  };
  std::vector<Fund> funds;
  int no_value = 0;
  for (const auto& r : all) {
    if (!r.is_object()) continue;
    if (tab != 0) {
      auto t = detail::jnum(r.value("etfTabCode", json()));
      if (!t || int(*t) != tab) continue;
    }
    std::string name = r.value("itemname", json()).is_string() ? r["itemname"].get<std::string>() : "";
    if (!kw.empty() && squash(name).find(kw) == std::string::npos) continue;
    json item = {{"name", name},
                 {"code", r.value("itemcode", json()).is_string() ? r["itemcode"] : json(nullptr)},
                 {"price", detail::jnum_or_null(r.value("nowVal", json()))},
                 {"change_rate", quotes_live ? detail::jnum_or_null(r.value("changeRate", json())) : json(nullptr)},
                 {"volume", quotes_live ? detail::jint_or_null(r.value("quant", json())) : json(nullptr)},
                 {"return_3m", detail::jnum_or_null(r.value("threeMonthEarnRate", json()))},
                 {"market_cap", detail::jnum_or_null(r.value("marketSum", json()))},
                 {"nav", detail::jnum_or_null(r.value("nav", json()))}};
    auto key = detail::jnum(r.value(used, json()));
    if (!key) ++no_value;
    if (!key && used == "threeMonthEarnRate") continue;   // no return, no rank
    funds.push_back({item, key});
  }
  // Largest first; funds without the value keep their order at the end.
  std::stable_sort(funds.begin(), funds.end(), [](const Fund& a, const Fund& b) {
    if (a.key && b.key) return *a.key > *b.key;
    return a.key.has_value() && !b.key.has_value();
  });
  json items = json::array();
  for (size_t i = 0; i < funds.size() && (int)i < limit; ++i) items.push_back(funds[i].item);
  json cats = json::object();
  for (const auto& [code, name] : kCategories) cats[std::to_string(code)] = name;
  return json{{"items", items},
              {"total", (long long)funds.size()},
              {"sort_label", label_of(used)},
              {"sort_by", used},
              {"sort_requested", requested},
              {"quotes_live", quotes_live},
              {"no_sort_value", no_value},
              {"categories", cats}};
}

namespace {

// First value stored under `key` anywhere inside j (the detail answers nest
// their fields differently from one fund type to another).
const json* find_key(const json& j, const std::string& key, int depth = 0) {
  if (depth > 6) return nullptr;
  if (j.is_object()) {
    auto it = j.find(key);
    if (it != j.end() && !it->is_null()) return &*it;
    for (const auto& [k, v] : j.items())
      if (v.is_structured())
        if (const json* f = find_key(v, key, depth + 1)) return f;
  } else if (j.is_array()) {
    for (const auto& v : j)
      if (const json* f = find_key(v, key, depth + 1)) return f;
  }
  return nullptr;
}

// The integration record's key figures, top-level totalInfos [{code, key, value}],
// by code: the part of that record its declared shape ("naver.integration") requires.
std::string total_info(const json& integ, const std::string& code) {
  auto ti = integ.find("totalInfos");
  if (ti == integ.end() || !ti->is_array()) return "";
  for (const auto& e : *ti)
    if (e.is_object() && e.value("code", json()).is_string() && e["code"].get<std::string>() == code &&
        e.value("value", json()).is_string())
      return e["value"].get<std::string>();
  return "";
}

std::string text_of(const json* v) {
  if (!v) return "";
  if (v->is_string()) return fmt::trim(v->get<std::string>());
  if (v->is_number()) return v->dump();
  return "";
}

std::string day_text(const std::string& s) {
  std::string d;
  for (char c : s)
    if (std::isdigit((unsigned char)c)) d.push_back(c);
  if (d.size() >= 8) return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
  return s;
}

}  // namespace

namespace {

// "33.66%", "6,924", 0.15 -> number; "-", "" and null are missing.
std::optional<double> num_of(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number()) return v->get<double>();
  if (!v->is_string()) return std::nullopt;
  std::string t = fmt::replace_all(fmt::trim(v->get<std::string>()), "%", "");
  return fmt::parse_number(t);
}

json opt_json(std::optional<double> v) { return v ? parse::to_json_number(*v) : json(nullptr); }

// The display amount "1조 5,567억" / "-669억" -> 억원; nullopt when unreadable.
std::optional<double> eok_amount(std::string t) {
  t = fmt::trim(t);
  if (t.empty() || t == "-") return std::nullopt;
  bool neg = t[0] == '-';
  if (neg || t[0] == '+') t = t.substr(1);
  double eok = 0;
  bool any = false;
  auto jo = t.find("조");
  if (jo != std::string::npos) {
    auto v = fmt::parse_number(t.substr(0, jo));
    if (!v) return std::nullopt;
    eok += *v * 10000, any = true;
    t = t.substr(jo + std::string("조").size());
  }
  t = fmt::replace_all(fmt::trim(t), "억", "");
  if (!fmt::trim(t).empty()) {
    auto v = fmt::parse_number(t);
    if (!v) return std::nullopt;
    eok += *v, any = true;
  }
  if (!any) return std::nullopt;
  return neg ? -eok : eok;
}

// [{detailTypeCode, weight}] -> [{type, weight}] (missing weights stay null).
json mix_of(const json& a, const char* key) {
  json out = json::array();
  const json& list = a.value(key, json());
  if (!list.is_array()) return out;
  for (const auto& e : list) {
    if (!e.is_object()) continue;
    std::string t = text_of(find_key(e, "detailTypeCode"));
    if (t.empty()) continue;
    out.push_back({{"type", t}, {"weight", opt_json(num_of(find_key(e, "weight")))}});
  }
  return out;
}

}  // namespace

json get_etf_detail(const std::string& code) {
  // The fund's analysis (summary, holdings, mixes, fees, flows) is required;
  // the quote (basic) and the key figures (integration) only complete it.
  json analysis, basic, integ;
  std::vector<std::function<void()>> jobs = {
      [&] {
        analysis = fetch_json("m.stock.naver.com", http::Target("/api/stock/{}/etfAnalysis", code), false,
                              "https://m.stock.naver.com/");
      },
      [&] { basic = fetch_json("m.stock.naver.com", http::Target("/api/stock/{}/basic", code), false, "https://m.stock.naver.com/"); },
      [&] {
        integ = fetch_json("m.stock.naver.com", http::Target("/api/stock/{}/integration", code), false,
                           "https://m.stock.naver.com/");
      }};
  auto errs = parallel_for(jobs.size(), jobs.size(), [&](size_t i) { jobs[i](); });
  // A 404/410 of the analysis answer is the endpoint gone, not a fund the site
  // does not know: the failure goes on as it is.
  if (errs[0]) std::rethrow_exception(errs[0]);
  if (!analysis.is_object() || analysis.empty())
    throw NaverParseError(contracts::problem(kEtfAnalysisShape, analysis).value_or("ETF 분석 응답이 객체가 아닙니다") + ": " + code);
  // A quote or key-figure answer of another shape counts as not read; what it
  // still holds is used.
  if (!errs[1])
    if (auto bad = contracts::problem(kEtfBasicShape, basic))
      errs[1] = std::make_exception_ptr(NaverParseError(*bad + ": " + code));
  if (const contracts::Contract* k = contracts::find("naver.integration"); k && !errs[2])
    if (auto bad = contracts::problem(*k, integ))
      errs[2] = std::make_exception_ptr(NaverParseError(*bad + ": " + code));
  if (!basic.is_object()) basic = json::object();
  if (!integ.is_object()) integ = json::object();

  json out = json::object();
  std::vector<std::string> miss;
  auto from_analysis = [&](const char* k) -> const json* {
    auto it = analysis.find(k);
    return it != analysis.end() && !it->is_null() ? &*it : nullptr;
  };
  std::string name = text_of(from_analysis("itemName"));
  if (name.empty()) name = text_of(find_key(basic, "stockName"));
  if (!name.empty()) out["name"] = name;
  out["base_index"] = text_of(from_analysis("etfBaseIndex"));
  out["etf_type"] = "";
  if (const json* tr = from_analysis("themeReturns"); tr && tr->is_object())
    out["etf_type"] = text_of(find_key(*tr, "themeMiddleCodeDesc"));
  out["issuer"] = text_of(from_analysis("issuerName"));
  out["listing_date"] = day_text(text_of(from_analysis("listedDate")));
  out["fund_type"] = "";
  out["dividend_base"] = "";
  out["summary"] = text_of(from_analysis("etfSummary"));
  out["total_fee"] = opt_json(num_of(from_analysis("totalFee")));
  if (out["total_fee"].is_null()) miss.push_back("total_fee");
  out["nav"] = opt_json(num_of(from_analysis("nav")));
  out["tracking_error"] = opt_json(num_of(from_analysis("chaseErrorRate")));
  // Deviation of price from NAV: sign in its own field.
  if (auto dv = num_of(from_analysis("deviationRate"))) {
    std::string sign = text_of(from_analysis("deviationSign"));
    out["deviation_rate"] = parse::to_json_number(sign == "-" ? -std::fabs(*dv) : *dv);
  } else {
    out["deviation_rate"] = nullptr;
  }

  // Quote from the basic answer (price and change), signed by the direction code.
  out["price"] = opt_json(num_of(find_key(basic, "closePrice")));
  out["price_change"] = opt_json(num_of(find_key(basic, "compareToPreviousClosePrice")));
  out["price_change_rate"] = opt_json(num_of(find_key(basic, "fluctuationsRatio")));
  if (const json* dir = find_key(basic, "compareToPreviousPrice")) {
    int d = parse::direction(*dir);
    for (const char* f : {"price_change", "price_change_rate"})
      if (out[f].is_number() && d < 0 && out[f].get<double>() > 0) out[f] = -out[f].get<double>();
  }
  for (const char* f : {"price", "price_change"})
    if (out[f].is_null()) miss.push_back(f);
  const std::string traded_at = text_of(find_key(basic, "localTradedAt"));
  if (traded_at.size() >= 10) out["quote_date"] = traded_at.substr(0, 10);

  // Market value in 억원: the raw figure in won, else the display text.
  out["market_cap"] = nullptr;
  if (auto raw = num_of(from_analysis("marketValueRaw"))) out["market_cap"] = parse::to_json_number(std::round(*raw / 1e8));
  else if (auto e = eok_amount(text_of(from_analysis("marketValue")))) out["market_cap"] = parse::to_json_number(*e);
  if (out["market_cap"].is_null()) miss.push_back("market_cap");
  out["year_high"] = opt_json(fmt::parse_number(total_info(integ, "highPriceOf52Weeks")));
  out["year_low"] = opt_json(fmt::parse_number(total_info(integ, "lowPriceOf52Weeks")));
  out["foreign_rate"] = opt_json(fmt::parse_number(fmt::replace_all(total_info(integ, "foreignRate"), "%", "")));
  out["beta"] = nullptr;
  out["volume_20d_avg"] = nullptr;

  // Returns by period code.
  static const std::vector<std::pair<const char*, const char*>> kReturns = {
      {"M1", "return_1m"}, {"M3", "return_3m"}, {"M6", "return_6m"}, {"Y1", "return_1y"}};
  for (const auto& [c, f] : kReturns) out[f] = nullptr;
  if (const json* rl = from_analysis("returnPerformanceList"); rl && rl->is_array())
    for (const auto& e : *rl)
      for (const auto& [c, f] : kReturns)
        if (e.is_object() && text_of(find_key(e, "periodTypeCode")) == c) out[f] = opt_json(num_of(find_key(e, "value")));
  out["returns_as_of"] = day_text(text_of(from_analysis("returnPerformanceReferenceDate")));
  out["lp_list"] = "";

  // Net inflows (억원, cumulative over each period).
  json inflows = json::array();
  if (const json* ni = from_analysis("cumulativeNetInflowList"); ni && ni->is_object()) {
    static const std::vector<std::pair<const char*, const char*>> kPeriods = {
        {"cumulativeNetInflow1d", "1일"}, {"cumulativeNetInflow1w", "1주"}, {"cumulativeNetInflow1m", "1개월"},
        {"cumulativeNetInflow3m", "3개월"}, {"cumulativeNetInflow6m", "6개월"}, {"cumulativeNetInflowYtd", "연초 이후"},
        {"cumulativeNetInflow1y", "1년"}};
    for (const auto& [k, label] : kPeriods)
      if (ni->contains(k)) inflows.push_back({{"period", label}, {"amount_eok", opt_json(eok_amount(text_of(&(*ni)[k])))}});
    out["net_inflow_as_of"] = day_text(text_of(find_key(*ni, "referenceDate")));
  }
  out["net_inflows"] = inflows;
  out["asset_mix"] = mix_of(analysis, "assetPortfolioList");
  out["sector_mix"] = mix_of(analysis, "sectorPortfolioList");
  out["country_mix"] = mix_of(analysis, "countryPortfolioList");

  // Top holdings: name, weight (%) and shares where given. A fund whose list
  // has no weights still lists its holdings.
  json holdings = json::array();
  bool has_weight = true, has_shares = true;
  if (const json* h = from_analysis("etfTop10MajorConstituentAssets"); h && h->is_array()) {
    for (const auto& e : *h) {
      if (!e.is_object()) continue;
      std::string n = text_of(find_key(e, "itemName"));
      if (n.empty()) continue;
      json row = {{"name", n}};
      std::string c = text_of(find_key(e, "itemCode"));
      if (!c.empty()) row["code"] = c;
      if (auto w = num_of(find_key(e, "etfWeight"))) row["weight"] = parse::to_json_number(*w);
      else has_weight = false;
      if (auto sh = num_of(find_key(e, "stockCount"))) row["shares"] = parse::to_json_number(*sh);
      else has_shares = false;
      holdings.push_back(row);
    }
  }
  if (holdings.empty()) miss.push_back("holdings");
  out["holdings"] = holdings;
  out["holdings_count"] = holdings.size();
  out["holdings_has_weight"] = !holdings.empty() && has_weight;
  out["holdings_has_shares"] = !holdings.empty() && has_shares;
  for (size_t i = 1; i < errs.size(); ++i)
    if (errs[i]) miss.push_back(i == 1 ? "basic" : "integration");
  if (!miss.empty()) out[PARSE_MISS_KEY] = miss;
  return out;
}

}  // namespace tessaro::naver
