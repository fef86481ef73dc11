// get_us_screener, get_us_sector, get_us_etf_info: ready-made lists of the US
// source, with the security type of every screener row.
#include <algorithm>
#include <cctype>
#include <map>

#include "core/format.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/screener.hpp"
#include "tools/us/us_format.hpp"

namespace tessaro::tools::us {

namespace {

std::string str_field(const json& q, const char* key) {
  if (!q.is_object() || !q.contains(key) || !q[key].is_string()) return "";
  return q[key].get<std::string>();
}

bool contains(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

// Ordered type -> count (first seen first).
struct Counts {
  std::vector<std::pair<std::string, int>> items;
  void add(const std::string& k) {
    for (auto& [t, n] : items)
      if (t == k) {
        ++n;
        return;
      }
    items.emplace_back(k, 1);
  }
  int total() const {
    int s = 0;
    for (auto& p : items) s += p.second;
    return s;
  }
  json to_json() const {
    json j = json::object();
    for (auto& [t, n] : items) j[t] = n;
    return j;
  }
};

std::string pct2(double fraction) { return fmt::fixed(fraction * 100, 2) + "%"; }

// "real_estate" -> "Real Estate".
std::string title_words(std::string key) {
  std::replace(key.begin(), key.end(), '_', ' ');
  bool start = true;
  for (char& c : key) {
    if (c == ' ') {
      start = true;
    } else if (start) {
      c = char(std::toupper(static_cast<unsigned char>(c)));
      start = false;
    } else {
      c = char(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return key;
}

}  // namespace

std::string classify_us_security(const json& q) {
  std::string name = fmt::lower(str_field(q, "name"));
  if (contains(name, "warrant")) return "warrant";
  if (contains(name, "right") && !contains(name, "copyright")) return "right";
  if (fmt::ends_with(name, " unit") || fmt::ends_with(name, " units") || contains(name, " units ")) return "unit";
  if (contains(name, "american depositary") || contains(" " + name, " adr")) return "adr";

  std::string qt = fmt::upper(str_field(q, "quote_type"));
  if (qt == "ETF") return "etf";
  if (qt == "MUTUALFUND" || qt == "MONEYMARKET") return "fund";
  if (qt == "INDEX" || qt == "CRYPTOCURRENCY" || qt == "FUTURE" || qt == "CURRENCY") return fmt::lower(qt);

  std::string sym = fmt::upper(str_field(q, "symbol"));
  if (qt == "EQUITY" && sym.size() == 5 &&
      std::all_of(sym.begin(), sym.end(), [](unsigned char c) { return std::isalpha(c); })) {
    // Nasdaq fifth-letter convention.
    if (sym.back() == 'W') return "warrant";
    if (sym.back() == 'R') return "right";
    if (sym.back() == 'U') return "unit";
  }
  return qt == "EQUITY" ? "common_stock" : "unknown";
}

std::string render_us_screener(const std::string& preset, const json& res, bool common_stock_only) {
  if (res.is_object() && res.contains("error") && !res["error"].is_null()) return "⚠️ " + plain(res["error"]);
  json quotes = res.is_object() ? res.value("quotes", json::array()) : json::array();
  if (!quotes.is_array() || quotes.empty()) return "'" + preset + "' 결과 없음.";

  Counts types, excluded;
  json shown = json::array();
  for (auto& q : quotes) {
    if (!q.is_object()) continue;
    json row = q;
    std::string t = classify_us_security(q);
    row["_sec_type"] = t;
    types.add(t);
    if (common_stock_only && t != "common_stock") {
      excluded.add(t);
      continue;
    }
    shown.push_back(std::move(row));
  }

  std::vector<std::string> lines;
  std::string title = text(res.value("title", json())).value_or(preset);
  std::string total = res.contains("total") && !res["total"].is_null() ? plain(res["total"]) : "-";
  lines.push_back("**" + title + "** (" + std::to_string(shown.size()) + " / 전체 " + total + ")");
  if (auto d = text(res.value("description", json()))) lines.push_back("_" + *d + "_");
  if (excluded.total() > 0) {
    std::vector<std::string> parts;
    for (auto& [t, n] : excluded.items) parts.push_back(t + " " + std::to_string(n) + "개");
    lines.push_back("⚠️ common_stock_only=True - 보통주가 아닌 " + std::to_string(excluded.total()) +
                    "개 제외: " + fmt::join(parts, ", "));
  }
  lines.push_back("");
  lines.push_back("티커 | 이름 | 유형 | 거래소 | 현재가 | 변동% | 거래량 | 시총 | P/E");
  lines.push_back("---|---|---|---|---|---|---|---|---");
  for (auto& q : shown) {
    std::string name = str_field(q, "name");
    std::string exch = str_field(q, "exchange");
    auto price = num(q.value("price", json()));
    auto chg = num(q.value("change_percent", json()));
    auto vol = num(q.value("volume", json()));
    auto cap = num(q.value("market_cap", json()));
    auto pe = num(q.value("pe", json()));
    std::string sym = ccy_prefix(q.value("currency", json()));   // "$" only for USD rows
    std::vector<std::string> cells = {
        str_field(q, "symbol"),
        name.empty() ? "-" : fmt::cp_cut(name, 30),
        q["_sec_type"].get<std::string>(),
        exch.empty() ? "-" : exch,
        price ? sym + fmt::fixed(*price, 2, true) : "-",
        chg ? fmt::fixed(*chg, 2, false, true) + "%" : "-",
        vol ? fmt_volume(*vol, 2) : "-",
        cap && *cap != 0 ? fmt_num(q["market_cap"], "", 2, sym) : "-",
        pe ? fmt::fixed(*pe, 2) : "-",
    };
    lines.push_back(fmt::join(cells, " | "));
  }
  if (shown.empty()) lines.push_back("(필터 후 남은 종목 없음)");
  lines.push_back("");
  lines.push_back(
      "※ 유형 unknown 은 확인 불가라는 뜻이며 보통주로 치지 않습니다. warrant/right/unit 은 이름 또는 나스닥 5글자 "
      "접미사(W/R/U) 규약으로 판정합니다.");

  json extra = {{"security_types", types.to_json()}};
  if (common_stock_only)
    extra["security_filter"] = {{"common_stock_only", true}, {"excluded", excluded.to_json()}};
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.extra = extra;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

std::string render_us_sector(const std::string& sector_key, const json& d, int top_n) {
  if (d.is_null() || !d.is_object() || d.empty())
    return "⚠️ 섹터 조회 실패";
  if (d.contains("error") && !d["error"].is_null()) {
    std::string e = plain(d["error"]);
    return "⚠️ " + (e.empty() ? std::string("섹터 조회 실패") : e);
  }
  std::vector<std::string> lines = {"**섹터: " + sector_key + "**", "", "## 📊 Overview"};
  if (auto v = num(d.value("companies_count", json())))
    lines.push_back("- 종목 수: " + fmt::thousands(fmt::round_ll(*v)));
  if (num(d.value("market_cap", json()))) lines.push_back("- 시가총액: " + fmt_num(d["market_cap"]));
  if (auto v = num(d.value("market_weight", json()))) lines.push_back("- 시장 비중: " + pct2(*v));
  if (d.contains("industries_count") && !d["industries_count"].is_null())
    lines.push_back("- 산업 수: " + plain(d["industries_count"]));
  if (auto v = num(d.value("employee_count", json())))
    lines.push_back("- 총 고용: " + fmt::thousands(fmt::round_ll(*v)) + "명");
  if (auto desc = text(d.value("description", json()))) {
    lines.push_back("");
    lines.push_back("_" + fmt::cp_cut(*desc, 400) + "_");
  }
  json tops = d.value("top_companies", json::array());
  if (tops.is_array() && top_n >= 0 && tops.size() > size_t(std::max(top_n, 1)))
    tops = json(std::vector<json>(tops.begin(), tops.begin() + std::max(top_n, 1)));
  if (tops.is_array() && !tops.empty()) {
    lines.push_back("");
    lines.push_back("## 🏢 Top " + std::to_string(tops.size()) + " 기업");
    lines.push_back("순위 | 종목 | 투자의견 | 시장 비중");
    lines.push_back("---|---|---|---");
    int rank = 0;
    for (auto& c : tops) {
      ++rank;
      std::string sym = text(c.value("symbol", json())).value_or(text(c.value("index", json())).value_or("-"));
      std::string name = str_field(c, "name");
      std::string rating = text(c.value("rating", json())).value_or("-");
      auto w = num(c.value("market_weight", json()));
      if (!w) w = num(c.value("market weight", json()));
      lines.push_back(std::to_string(rank) + " | **" + sym + "** " + (name.empty() ? "-" : fmt::cp_cut(name, 35)) +
                      " | " + rating + " | " + (w ? pct2(*w) : "-"));
    }
  }
  server::UsMetaArgs m;
  m.kind = "snapshot";
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

std::string render_us_etf_info(const std::string& ticker, const json& d) {
  if (d.is_null() || (d.is_object() && d.empty())) return not_found(ticker);
  if (d.contains("error") && !d["error"].is_null()) return "⚠️ " + plain(d["error"]);
  std::string tk = text(d.value("ticker", json())).value_or(ticker);
  // A stock or an index is not a fund: say so instead of an empty fund sheet.
  std::string qtype = fmt::upper(text(d.value("quote_type", json())).value_or(""));
  if (!qtype.empty() && qtype != "ETF" && qtype != "MUTUALFUND" && qtype != "MONEYMARKET")
    return "'" + tk + "' 종목은 ETF가 아닙니다 (Yahoo 유형: " + qtype +
           "). 종목 정보는 get_us_info, 시세는 get_us_price 로 조회하세요.";
  std::vector<std::string> lines;
  lines.push_back("**" + text(d.value("name", json())).value_or(ticker) + "** (" + tk + ")");
  lines.push_back("카테고리: " + text(d.value("category", json())).value_or("-") + " · " +
                  text(d.value("family", json())).value_or("-"));
  if (auto v = num(d.value("expense_ratio", json()))) lines.push_back("보수율: " + fmt::fixed(*v, 3) + "%");
  if (auto v = num(d.value("total_assets", json())); v && *v != 0)
    lines.push_back("운용자산(AUM): " + fmt_num(d["total_assets"]));
  if (auto v = num(d.value("ytd_return", json()))) lines.push_back("YTD 수익률: " + fmt::fixed(*v, 2, false, true) + "%");

  json ac = d.value("asset_classes", json::object());
  std::vector<std::string> alloc;
  if (ac.is_object())
    for (auto& [k, v] : ac.items())
      if (auto f = num(v); f && *f > 0) alloc.push_back("- " + k + ": " + pct2(*f));
  if (!alloc.empty()) {   // no heading over an empty section
    lines.push_back("");
    lines.push_back("## 📊 자산 배분");
    lines.insert(lines.end(), alloc.begin(), alloc.end());
  }
  json sw = d.value("sector_weightings", json::object());
  if (sw.is_object() && !sw.empty()) {
    std::vector<std::pair<std::string, double>> ws;
    for (auto& [k, v] : sw.items()) ws.emplace_back(k, num(v).value_or(0.0));
    std::stable_sort(ws.begin(), ws.end(), [](auto& a, auto& b) { return a.second > b.second; });
    if (!ws.empty() && ws.front().second > 0) {
      lines.push_back("");
      lines.push_back("## 🏭 섹터 비중");
    }
    for (auto& [k, f] : ws)
      if (f > 0) lines.push_back("- " + title_words(k) + ": " + pct2(f));
  }
  json hs = d.value("top_holdings", json::array());
  if (hs.is_array() && !hs.empty()) {
    std::string n = std::to_string(hs.size());
    lines.push_back("");
    lines.push_back("## 🏆 Top Holdings (" + n + "개)");
    lines.push_back("> ℹ️ **Yahoo Finance는 상위 " + n +
                    "개 보유 종목만 공개합니다.** ETF 전체 구성종목(예: SPY 500종목)은 발행사 공식 페이지에서 확인 "
                    "가능합니다 (예: SPY - State Street SPDR ssga.com, QQQ - Invesco invesco.com, SCHD - Charles "
                    "Schwab schwabassetmanagement.com).");
    lines.push_back("");
    lines.push_back("종목 | 비중");
    lines.push_back("---|---");
    for (auto& h : hs) {
      std::string sym = text(h.value("symbol", json())).value_or(text(h.value("index", json())).value_or("-"));
      std::string name = text(h.value("name", json()))
                             .value_or(text(h.value("holding_name", json())).value_or(text(h.value("holding", json())).value_or("")));
      auto w = num(h.value("holding_percent", json()));
      if (!w) w = num(h.value("weight", json()));
      if (!w) w = num(h.value("pct_held", json()));
      lines.push_back("**" + sym + "** " + name + " | " + (w ? pct2(*w) : "-"));
    }
  }
  if (auto desc = text(d.value("description", json()))) {
    lines.push_back("");
    lines.push_back("_" + fmt::cp_cut(*desc, 400) + "_");
  }
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.ticker = ticker;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

}  // namespace tessaro::tools::us
