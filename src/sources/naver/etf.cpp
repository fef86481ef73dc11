// ETF list (finance.naver.com etfItemList, JSON in EUC-KR bytes) and the
// detail of one fund (m.stock JSON).
#include <algorithm>
#include <cmath>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

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
    json j = fetch_json("finance.naver.com", "/api/sise/etfItemList.nhn?etfType=0", true,
                        "https://finance.naver.com/sise/etf.nhn");
    if (!j.is_object() || !j.contains("result") || !j["result"].is_object() ||
        !j["result"].contains("etfItemList") || !j["result"]["etfItemList"].is_array())
      throw NaverParseError("ETF 목록 응답에서 etfItemList를 읽지 못했습니다");
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

// totalInfos entries [{code, key, value}] by code.
std::string total_info(const json& integ, const std::string& code) {
  const json* ti = find_key(integ, "totalInfos");
  if (!ti || !ti->is_array()) return "";
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

json get_etf_detail(const std::string& code) {
  json basic, integ;
  std::vector<std::function<void()>> jobs = {
      [&] { basic = fetch_json("m.stock.naver.com", "/api/etf/" + code + "/basic", false, "https://m.stock.naver.com/"); },
      [&] {
        integ = fetch_json("m.stock.naver.com", "/api/stock/" + code + "/integration", false,
                           "https://m.stock.naver.com/");
      }};
  auto errs = parallel_for(jobs.size(), jobs.size(), [&](size_t i) { jobs[i](); });
  if (errs[0] && errs[1]) std::rethrow_exception(errs[0]);

  json out = json::object();
  std::vector<std::string> miss;
  auto pick = [&](std::initializer_list<const char*> keys) -> const json* {
    for (const char* k : keys) {
      if (const json* v = find_key(basic, k)) return v;
      if (const json* v = find_key(integ, k)) return v;
    }
    return nullptr;
  };
  auto put_text = [&](const char* field, std::initializer_list<const char*> keys) {
    out[field] = text_of(pick(keys));
  };
  auto put_num = [&](const char* field, std::initializer_list<const char*> keys, const std::string& info_code = "") {
    std::optional<double> v;
    if (const json* j = pick(keys)) v = detail::jnum(*j);
    if (!v && !info_code.empty()) v = fmt::parse_number(total_info(integ, info_code));
    out[field] = v ? json(*v) : json(nullptr);
    if (!v) miss.push_back(field);
  };
  put_text("name", {"stockName", "itemName", "etfName"});
  put_text("base_index", {"etfBaseIdx", "baseIndexName", "indexName"});
  put_text("etf_type", {"etfType", "etfTypeName"});
  put_text("issuer", {"issuerNameKo", "issueName", "issuerName"});
  put_text("listing_date", {"listingDate", "listedDate"});
  out["listing_date"] = day_text(out["listing_date"].get<std::string>());
  put_text("fund_type", {"fundType", "fundTypeName"});
  put_text("dividend_base", {"dividendBaseDate", "dividendBase"});
  put_num("total_fee", {"totalFee"});
  put_num("price", {"closePriceRaw", "closePrice", "nowVal"});
  put_num("price_change", {"compareToPreviousClosePriceRaw", "compareToPreviousClosePrice"});
  put_num("price_change_rate", {"fluctuationsRatioRaw", "fluctuationsRatio"});
  // A change given without sign: take it from the direction code.
  if (const json* dir = pick({"compareToPreviousPrice"})) {
    std::string c = dir->is_object() ? text_of(&(*dir)["code"]) : text_of(dir);
    bool falling = c == "4" || c == "5";
    for (const char* f : {"price_change", "price_change_rate"})
      if (out[f].is_number() && falling && out[f].get<double>() > 0) out[f] = -out[f].get<double>();
  }
  // Market value in 억원: from the raw figure in won, else from the display text
  // ("1조 2,345억").
  out["market_cap"] = nullptr;
  if (const json* raw = pick({"marketValueRaw"}); raw && detail::jnum(*raw))
    out["market_cap"] = *detail::jnum(*raw) / 1e8;
  else if (std::string t = total_info(integ, "marketValue"); !t.empty()) {
    double eok = 0;
    bool any = false;
    auto jo = t.find("조");
    if (jo != std::string::npos) {
      if (auto v = fmt::parse_number(t.substr(0, jo))) eok += *v * 10000, any = true;
      t = t.substr(jo + 3);
    }
    if (auto v = fmt::parse_number(t)) eok += *v, any = true;
    out["market_cap"] = any ? json(eok) : json(nullptr);
  }
  if (out["market_cap"].is_null()) miss.push_back("market_cap");
  put_num("year_high", {"highPriceOf52Weeks"}, "highPriceOf52Weeks");
  put_num("year_low", {"lowPriceOf52Weeks"}, "lowPriceOf52Weeks");
  put_num("beta", {"beta"});
  put_num("foreign_rate", {"foreignRate"}, "foreignRate");
  put_num("volume_20d_avg", {"avgVolume20", "averageVolume20Days"});
  put_num("return_1m", {"oneMonthEarnRate"});
  put_num("return_3m", {"threeMonthEarnRate"});
  put_num("return_6m", {"sixMonthEarnRate"});
  put_num("return_1y", {"oneYearEarnRate"});
  put_text("lp_list", {"lpName", "lpList"});
  // Holdings: [{name, weight}] where the answer carries them.
  json holdings = json::array();
  bool has_weight = true;
  if (const json* h = pick({"etfTop10MajorConstituentAssets", "constituents", "holdings"}); h && h->is_array()) {
    for (const auto& e : *h) {
      if (!e.is_object()) continue;
      std::string n = text_of(find_key(e, "itemName"));
      if (n.empty()) n = text_of(find_key(e, "name"));
      if (n.empty()) continue;
      json row = {{"name", n}};
      const json* w = find_key(e, "etfWeight");
      if (!w) w = find_key(e, "weight");
      if (w && detail::jnum(*w)) row["weight"] = *detail::jnum(*w);
      else has_weight = false;
      holdings.push_back(row);
    }
  }
  if (holdings.empty()) miss.push_back("holdings");
  out["holdings"] = holdings;
  out["holdings_count"] = holdings.size();
  out["holdings_has_weight"] = has_weight;
  if (!miss.empty()) out[PARSE_MISS_KEY] = miss;
  if (out["name"].get<std::string>().empty()) out.erase("name");
  return out;
}

}  // namespace tessaro::naver
