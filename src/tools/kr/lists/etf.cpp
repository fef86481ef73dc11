// get_etf_list, get_etf_info: Korean ETFs listed with filters and sort keys,
// and one fund in detail. The list's change and volume columns can arrive as 0
// for every fund; they are then shown as missing, never as flat.
#include <cmath>
#include <regex>
#include <set>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
std::string or_dash(const json& v) {
  std::string s = fmt::trim(str(v));
  return s.empty() ? "-" : s;
}

std::string sort_label(const std::string& key) {
  for (const auto& [k, l] : naver::ETF_SORT_LABELS)
    if (k == key) return l;
  return key;
}

std::string get_etf_list(const server::Args& a) {
  std::string category = a.str("category"), keyword = a.str("keyword"), sort_by = a.str("sort_by");
  std::string key = naver::etf_sort_key(sort_by);
  if (key.empty()) {
    std::vector<std::string> keys;
    for (const auto& [k, l] : naver::ETF_SORT_LABELS) keys.push_back(k + "(" + l + ")");
    return "⚠️ ETF 목록은 '" + sort_by + "' 기준으로 정렬할 수 없습니다. 가능한 기준: " + fmt::join(keys, ", ") +
           ".\n1·6·12개월 수익률과 배당은 ETF 목록에 없는 값이라 순위를 매길 수 없습니다. 후보를 좁힌 뒤 get_etf_info 로 "
           "종목별로 확인하세요.";
  }
  json res = naver::get_etf_list(category, keyword, key, (int)a.integer("limit"));
  const json& items = res.value("items", json::array());
  if (!items.is_array() || items.empty()) return "조건에 맞는 ETF가 없습니다.";
  std::string filter;
  if (!category.empty()) filter += ", 카테고리: " + category;
  if (!keyword.empty()) filter += ", 키워드: '" + keyword + "'";
  long long total = res.value("total", json()).is_number() ? res["total"].get<long long>() : (long long)items.size();
  std::string used_label = str(res.value("sort_label", json()));
  std::vector<std::string> lines = {"ETF 목록 (" + std::to_string(total) + "개 중 상위 " + std::to_string(items.size()) +
                                        "개, 정렬: " + used_label + filter + ")",
                                    ""};
  std::vector<std::string> warnings;
  std::string used = str(res.value("sort_by", json())), requested = str(res.value("sort_requested", json()));
  if (used != requested) {
    lines.push_back("⚠️ 지금은 네이버 ETF 목록의 거래량이 전 종목 0이라 " + sort_label(requested) +
                    "으로 줄 세울 수 없습니다. " + used_label + "으로 보여 드립니다.");
    lines.push_back("");
  }
  bool live = res.value("quotes_live", true);
  if (!live)
    warnings.push_back("ETF 목록의 등락률·거래량이 전 종목 0으로 옴 — 보합이 아니라 빈 값이라 '등락률 없음'으로 표시");
  for (const auto& it : items) {
    const json& price = it.value("price", json());
    const json& cr = it.value("change_rate", json());
    const json& nav = it.value("nav", json());
    const json& cap = it.value("market_cap", json());
    const json& r3 = it.value("return_3m", json());
    std::string line = "- **" + str(it.value("name", json())) + "** (" + str(it.value("code", json())) + ") | " +
                       (price.is_number() ? fmt::fixed(price.get<double>(), 0, true) + "원" : "가격 없음") + " (" +
                       (cr.is_number() ? fmt::fixed(cr.get<double>(), 2, false, true) + "%" : "등락률 없음") +
                       ") | NAV " + (nav.is_number() ? fmt::fixed(nav.get<double>(), 0, true) + "원" : "없음") +
                       " | 시총 " + (cap.is_number() ? fmt::fixed(cap.get<double>(), 0, true) + "억원" : "없음");
    if (r3.is_number()) line += " | 3M: " + fmt::fixed(r3.get<double>(), 1, false, true) + "%";
    lines.push_back(line);
  }
  lines.push_back("");
  long long no_value = res.value("no_sort_value", json()).is_number() ? res["no_sort_value"].get<long long>() : 0;
  if (no_value) {
    if (used == "threeMonthEarnRate")
      lines.push_back("※ 3개월 수익률 값이 없는 ETF " + fmt::thousands(no_value) + "개는 순위에서 뺐습니다.");
    else
      lines.push_back("※ 정렬 값이 없는 ETF " + std::to_string(no_value) + "개는 0으로 치지 않고 목록 맨 뒤에 두었습니다.");
  }
  if (!live) {
    bool open = false;
    try {
      open = mt::build_market_clock()["krx"].value("is_open", false);
    } catch (...) {
    }
    lines.push_back("※ 지금 네이버 ETF 목록은 전 종목 등락률·거래량이 0으로 옵니다. 보합이라는 뜻이 아니어서 '등락률 없음'으로 "
                    "적었습니다. " +
                    std::string(open ? "장중인데 값이 비어 있어 네이버 목록 쪽 문제일 수 있습니다. 등락률은 get_price 로 "
                                       "확인하세요."
                                     : "장이 닫혀 있는 동안 네이버가 이 값을 비워 둔 상태입니다."));
  }
  std::vector<std::string> cats;
  const json& c = res.value("categories", json::object());
  if (c.is_object())
    for (const auto& [k, v] : c.items()) cats.push_back(str(v));
  lines.push_back("카테고리: " + fmt::join(cats, ", "));
  server::KrMetaArgs m;
  m.kind = "snapshot";
  m.price_session = rmeta::PRICE_SESSION_REGULAR;
  m.data_completeness = live ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.warnings = warnings;
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

// One field of the detail: "데이터 없음" when missing, never 0.
std::string field(const json& d, const char* key, int decimals, bool commas, const std::string& suffix = "",
                  bool signed_ = false) {
  const json& v = d.value(key, json());
  if (!v.is_number()) return "데이터 없음";
  double x = v.get<double>();
  return fmt::fixed(x, decimals, commas, signed_ && x > 0) + suffix;
}

std::string get_etf_info(const server::Args& a) {
  std::string code = a.str("code");
  static const std::regex re("^[A-Za-z0-9]{6}$");
  if (!std::regex_match(code, re)) return "⚠️ 종목코드 형식이 올바르지 않습니다: " + code;
  json d = naver::get_etf_detail(code);
  if (!d.is_object() || str(d.value("name", json())).empty())
    return "ETF코드 " + code + "의 정보를 가져올 수 없습니다. 코드를 확인해 주세요.";
  std::vector<std::string> L = {"# " + str(d["name"]) + " (" + code + ")", "", "## 기본 정보",
                                "- 기초지수: " + or_dash(d.value("base_index", json())),
                                "- 유형: " + or_dash(d.value("etf_type", json())),
                                "- 자산운용사: " + or_dash(d.value("issuer", json())),
                                "- 상장일: " + or_dash(d.value("listing_date", json())),
                                "- 펀드보수: 연 " + field(d, "total_fee", 3, false, "%"),
                                "- 펀드유형: " + or_dash(d.value("fund_type", json()))};
  if (!fmt::trim(str(d.value("dividend_base", json()))).empty())
    L.push_back("- 분배금 기준일: " + str(d["dividend_base"]));
  L.push_back("");
  L.push_back("## 시세 정보");
  // What the source could not read or reach: a failed quote answer is "조회 실패",
  // never a quiet "데이터 없음" in a complete reply.
  std::set<std::string> miss;
  if (d.contains(naver::PARSE_MISS_KEY) && d[naver::PARSE_MISS_KEY].is_array())
    for (const auto& f : d[naver::PARSE_MISS_KEY])
      if (f.is_string()) miss.insert(f.get<std::string>());
  const bool quote_failed = miss.count("basic") > 0;
  const bool integration_failed = miss.count("integration") > 0;
  if (quote_failed) L.push_back("- 현재가: 조회 실패 (시세 응답을 받지 못했습니다 — 값이 없는 것이 아니라 모름)");
  else L.push_back("- 현재가: " + field(d, "price", 0, true, "원"));
  const json& pc = d.value("price_change", json());
  const json& pr = d.value("price_change_rate", json());
  if (pc.is_number() && pr.is_number()) {
    std::string sign = pc.get<double>() > 0 ? "+" : "";
    L.push_back("- 전일대비: " + sign + fmt::fixed(pc.get<double>(), 0, true) + "원 (" + sign +
                fmt::fixed(pr.get<double>(), 2) + "%)");
  } else {
    L.push_back(quote_failed ? "- 전일대비: 조회 실패" : "- 전일대비: 데이터 없음");
  }
  L.push_back("- 시가총액: " + field(d, "market_cap", 0, true, "억원"));
  if (integration_failed) L.push_back("- 52주 최고/최저: 조회 실패");
  else L.push_back("- 52주 최고/최저: " + field(d, "year_high", 0, true, "원") + " / " + field(d, "year_low", 0, true, "원"));
  L.push_back("- 베타: " + field(d, "beta", 2, false));
  L.push_back("- 외국인 비율: " + (integration_failed ? std::string("조회 실패") : field(d, "foreign_rate", 2, false, "%")));
  L.push_back("- 20일 평균 거래량: " + field(d, "volume_20d_avg", 0, true, "주"));
  std::string lp = fmt::trim(str(d.value("lp_list", json())));
  if (!lp.empty()) L.push_back("- 유동성공급자(LP): " + lp);
  L.push_back("");
  L.push_back("## 수익률");
  for (const auto& [label, key] : std::vector<std::pair<std::string, const char*>>{
           {"1개월", "return_1m"}, {"3개월", "return_3m"}, {"6개월", "return_6m"}, {"1년", "return_1y"}})
    L.push_back("- " + label + ": " + field(d, key, 2, false, "%", true));
  const json& h = d.value("holdings", json::array());
  if (h.is_array() && !h.empty()) {
    // The analysis answer lists the largest holdings only: its length is never
    // the number of holdings in the basket.
    L.push_back("");
    L.push_back("## 구성종목 (상위 " + std::to_string(std::min<size_t>(h.size(), 10)) + "개)");
    L.push_back("");
    bool weighted = d.value("holdings_has_weight", true);
    bool with_shares = true;
    for (size_t i = 0; i < h.size() && i < 10; ++i) {
      if (weighted && !h[i].value("weight", json()).is_number()) weighted = false;
      if (!h[i].value("shares", json()).is_number()) with_shares = false;
    }
    if (weighted) {
      L.push_back("종목명 | 비중(%)");
      L.push_back("---|---");
      double sum = 0;
      for (size_t i = 0; i < h.size() && i < 10; ++i) {
        double w = h[i]["weight"].get<double>();
        sum += w;
        L.push_back(str(h[i].value("name", json())) + " | " + fmt::fixed(w, 2) + "%");
      }
      L.push_back("**TOP10 합계** | **" + fmt::fixed(sum, 2) + "%**");
    } else if (with_shares) {
      L.push_back("종목명 | 주식수");
      L.push_back("---|---");
      for (size_t i = 0; i < h.size() && i < 10; ++i)
        L.push_back(str(h[i].value("name", json())) + " | " + fmt::fixed(h[i]["shares"].get<double>(), 0, true));
    } else {
      // Neither weights nor share counts: the holdings alone, never a made-up column.
      L.push_back("종목명");
      L.push_back("---");
      for (size_t i = 0; i < h.size() && i < 10; ++i) L.push_back(str(h[i].value("name", json())));
      L.push_back("");
      L.push_back("※ 네이버가 이 ETF의 구성종목 비중을 주지 않아 종목명만 적었습니다.");
    }
  }
  // Fund facts of the analysis page, shown when present.
  auto num_line = [&](const char* key, const std::string& label, int dec, const std::string& suffix, bool sign) {
    const json& v = d.value(key, json());
    if (v.is_number()) L.push_back("- " + label + ": " + fmt::fixed(v.get<double>(), dec, true, sign && v.get<double>() > 0) + suffix);
  };
  bool facts = d.value("nav", json()).is_number() || d.value("tracking_error", json()).is_number() ||
               d.value("deviation_rate", json()).is_number();
  if (facts) {
    L.push_back("");
    L.push_back("## 운용 지표");
    num_line("nav", "NAV", 2, "원", false);
    num_line("deviation_rate", "괴리율", 2, "%", true);
    num_line("tracking_error", "추적오차", 2, "%", false);
  }
  const json& inflows = d.value("net_inflows", json());
  if (inflows.is_array() && !inflows.empty()) {
    std::string asof = str(d.value("net_inflow_as_of", json()));
    L.push_back("");
    L.push_back("## 누적 순유입" + (asof.empty() ? std::string() : " (" + asof + " 기준)"));
    L.push_back("");
    L.push_back("기간 | 순유입(억원)");
    L.push_back("---|---");
    for (const auto& f : inflows) {
      const json& v = f.value("amount_eok", json());
      L.push_back(str(f.value("period", json())) + " | " +
                  (v.is_number() ? fmt::fixed(v.get<double>(), 0, true, v.get<double>() > 0) : std::string("-")));
    }
  }
  const json& mix = d.value("asset_mix", json());
  if (mix.is_array() && !mix.empty()) {
    std::vector<std::string> parts;
    for (const auto& m : mix) {
      const json& w = m.value("weight", json());
      parts.push_back(str(m.value("type", json())) + " " + (w.is_number() ? fmt::fixed(w.get<double>(), 2) + "%" : "-"));
    }
    L.push_back("");
    L.push_back("- 자산 구성: " + fmt::join(parts, ", "));
  }
  server::KrMetaArgs m;
  // The quote's own day and session (ETFs have no after-market) label it.
  m.kind = "quote";
  m.code = code;
  m.name = d["name"];
  m.data_as_of = d.value("quote_date", json());
  m.price_session = rmeta::PRICE_SESSION_REGULAR;
  std::vector<std::string> failed, unread;
  if (quote_failed) failed.push_back("시세(basic)");
  if (integration_failed) failed.push_back("종목 요약(integration)");
  for (const auto& f : miss)
    if (f != "basic" && f != "integration") unread.push_back(f);
  if (!failed.empty()) {
    m.warnings.push_back("조회 실패: " + fmt::join(failed, ", ") + " — 해당 항목은 없음이 아니라 모름입니다.");
    L.push_back("");
    L.push_back("⚠️ 조회 실패: " + fmt::join(failed, ", ") + " — 해당 항목은 없음이 아니라 모름입니다.");
  }
  if (!unread.empty()) m.warnings.push_back("읽지 못한 항목: " + fmt::join(unread, ", ") + " — 값이 0인 것이 아니라 결측입니다.");
  if (!failed.empty() || miss.count("price")) m.data_completeness = rmeta::PARTIAL;
  return server::append_result_meta(fmt::join(L, NEWLINE), server::kr_meta(m));
}

const char* kList =
    "ETF목록 — ETF 전체 목록 조회, 카테고리·이름 키워드 필터링.\n"
    "한국 ETF 이름에는 테마가 들어 있으니 카테고리를 추측하기보다 keyword 로 찾으세요. 특정 회사를 담은 ETF는 키워드로 "
    "찾을 수 없고, 구성종목은 get_etf_info 로 확인해야 합니다.\n\n"
    "category: \"국내 시장지수\" / \"국내 업종/테마\" / \"국내 파생\" / \"해외 주식\" / \"원자재\" / \"채권/금리\" / "
    "\"단기자금\" (빈 값 = 전체)\nkeyword: 이름 키워드 (예: '반도체', '나스닥')\n"
    "sort_by: \"marketSum\"(시가총액, 기본) / \"quant\"(거래량) / \"threeMonthEarnRate\"(3개월 수익률; 값 없는 ETF는 "
    "제외) / \"nav\" — 모두 큰 값부터. 1·6·12개월 수익률과 분배금은 목록에 없어 정렬할 수 없습니다.\n"
    "limit: 반환 개수 (기본 20, 최대 50)";
const char* kInfo =
    "ETF정보 — ETF 상세 정보 (기초지수, 보수율, 수익률, 구성종목 TOP10).\n\ncode: ETF 종목코드 6자리 (예: '069500')";

const server::ToolRegistration r1{"get_etf_list", kList, get_etf_list};
const server::ToolRegistration r2{"get_etf_info", kInfo, get_etf_info};

}  // namespace
}  // namespace tessaro::tools
