// get_volume_ranking, get_change_ranking, get_market_cap_ranking: whole-market
// rankings with the notes that keep their numbers from being misread (KRX-only
// volumes, market-alert stocks, mixed security types, unconfirmed list ends).
#include <algorithm>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/day_times.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "core/lookup.hpp"
#include "sources/naver/naver.hpp"
#include "sources/watchlist.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

std::string num(const json& v) {
  if (v.is_number()) return fmt::thousands(fmt::round_ll(v.get<double>()));
  return "-";
}
std::string str(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  return "";
}
// A change rate the source could not give is shown as missing, not as a blank cell.
std::string rate(const json& v) {
  std::string t = str(v);
  return t.empty() ? "-" : t;
}

// Session note of the rows and the meta tail shared by the three rankings.
std::string finish(std::vector<std::string> lines, const json& rows_in, server::KrMetaArgs m) {
  // The ranking pages mark no session: a price there is an after-market trade
  // while one can be showing (ETFs and ETNs have none).
  json rows = rows_in;
  mt::tag_list_sessions(rows, mt::build_market_clock()["krx"],
                        [](const json& r) { return server::looks_like_etf(str(r.value("name", json()))); });
  auto [session, counts] = mt::rows_price_session(rows);
  if (auto note = mt::rows_session_note(counts)) {
    lines.push_back("");
    lines.push_back(*note);
  }
  m.kind = "snapshot";
  m.price_session = session;
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

const server::ArgumentChoices reg_volume_market{"get_volume_ranking", "market", server::KR_MARKETS};
const server::ArgumentChoices reg_volume_sort{"get_volume_ranking", "sort_by", server::VOLUME_SORT_KEYS};
const server::ArgumentChoices reg_change_market{"get_change_ranking", "market", server::KR_MARKETS};
const server::Choices kDirections{{"up", "down"}, server::Fold::Lower};
const server::ArgumentChoices reg_change_direction{"get_change_ranking", "direction", kDirections};

std::string get_volume_ranking(const server::Args& a) {
  if (auto no = server::market_refusal(a.str("market"))) return *no;
  if (auto no = server::volume_sort_refusal(a.str("sort_by"))) return *no;
  std::string market = server::KR_MARKETS.read(a.str("market"));
  int count = (int)std::min<long long>(a.integer("count"), 500);
  std::string key = naver::volume_sort_key(a.str("sort_by"));
  json rows = naver::get_volume_ranking(market, count, key);
  std::string label = key == "trade_value" ? "거래대금" : "거래량";
  if (!rows.is_array() || rows.empty()) {
    if (auto pre = server::preopen_ranking_reply(label, market)) return *pre;
    return market + " " + label + " 순위를 가져올 수 없습니다.";
  }
  std::vector<std::string> lines = {
      label + " 상위 (" + market + ", " + std::to_string(rows.size()) + "개, 정렬=" + key + "):", "",
      "순위 | 코드 | 종목명 | 현재가(원) | 등락률 | 거래량(주) | 거래대금(억원)", "---|---|---|---:|---:|---:|---:"};
  for (const auto& r : rows) {
    const json& tv = r.value("trade_value_krw", json());
    lines.push_back(str(r.value("rank", json())) + " | " + str(r.value("code", json())) + " | " +
                    str(r.value("name", json())) + " | " + num(r.value("price", json())) + " | " +
                    rate(r.value("change_rate", json())) + " | " + num(r.value("volume", json())) + " | " +
                    (tv.is_number() ? fmt::fixed(tv.get<double>() / 1e8, 1, true) : std::string("데이터 없음")));
  }
  lines.push_back("");
  lines.push_back("※ 거래량·거래대금은 KRX 체결분입니다(넥스트레이드 체결 제외).");
  return finish(lines, rows, {});
}

std::string get_change_ranking(const server::Args& a) {
  if (!kDirections.accepts(a.str("direction")))
    return "⚠️ direction 은 \"up\"(상승률) 또는 \"down\"(하락률) 이어야 합니다: " + a.str("direction");
  if (auto no = server::market_refusal(a.str("market"))) return *no;
  std::string direction = kDirections.read(a.str("direction")), market = server::KR_MARKETS.read(a.str("market"));
  int count = (int)std::min<long long>(a.integer("count"), 500);
  json rows = naver::get_change_ranking(direction, market, count);
  bool up = fmt::lower(direction) == "up";
  std::string label = up ? "상승률" : "하락률";
  if (!rows.is_array() || rows.empty()) {
    if (auto pre = server::preopen_ranking_reply(label, market)) return *pre;
    return market + " 등락률 순위를 가져올 수 없습니다.";
  }
  // The alert pages only decorate the ranking: when none of them can be read the
  // ranking still stands and every alert cell says it was not checked.
  auto alert_lookup = attempt_lookup([] { return naver::get_alert_codes(); }, [](const json&) { return false; });
  const bool alerts_unknown = alert_lookup.failure();
  json alerts = alerts_unknown ? json::object() : alert_lookup.value;
  // Some alert pages read and others not: a stock without a mark may carry one of
  // the unread kinds, so its cell is not checked either.
  std::vector<std::string> unread_kinds;
  if (alerts.is_object() && alerts.contains("_failed") && alerts["_failed"].is_array())
    for (const auto& k : alerts["_failed"])
      if (k.is_string()) unread_kinds.push_back(k.get<std::string>());
  const bool alerts_partial = !unread_kinds.empty();
  auto watch_lookup = wl::try_codes();
  std::vector<std::string> watch = watch_lookup.value;
  std::vector<std::string> lines = {label + " 상위 (" + market + ", " + std::to_string(rows.size()) + "개):", "",
                                    "순위 | 코드 | 종목명 | 현재가 | 등락률 | 거래량 | 시장경보",
                                    "---|---|---|---:|---:|---:|---"};
  int alerted = 0, pos = 0;
  std::vector<std::string> starred;
  for (const auto& r : rows) {
    ++pos;
    std::string code = str(r.value("code", json())), name = str(r.value("name", json()));
    std::vector<std::string> labels;
    if (alerts.is_object() && !code.empty() && code[0] != '_' && alerts.contains(code) && alerts[code].is_array())
      for (const auto& l : alerts[code])
        if (l.is_string()) labels.push_back(l.get<std::string>());
    if (!labels.empty()) ++alerted;
    bool star = std::find(watch.begin(), watch.end(), code) != watch.end();
    if (star) starred.push_back(name + "(" + code + ")");
    lines.push_back(std::to_string(pos) + " | " + code + " | " + (star ? "⭐ " : "") + name + " | " +
                    num(r.value("price", json())) + " | " + rate(r.value("change_rate", json())) + " | " +
                    num(r.value("volume", json())) + " | " +
                    (alerts_unknown ? std::string("확인 불가")
                     : labels.empty() ? std::string(alerts_partial ? "확인 불가" : "-")
                                      : "⚠️ " + fmt::join(labels, " · ")));
  }
  server::KrMetaArgs m;
  if (alerts_unknown) {
    lines.push_back("");
    lines.push_back("⚠️ 시장경보 목록 조회 실패(" + alert_lookup.reason +
                    ") — '시장경보' 열의 '확인 불가'는 지정이 없다는 뜻이 아니라 확인하지 못했다는 뜻입니다.");
    m.warnings.push_back("시장경보 목록 조회 실패(" + alert_lookup.reason + ") — 시장경보 열 확인 불가");
    m.data_completeness = rmeta::PARTIAL;
  }
  if (alerts_partial) {
    std::string kinds = fmt::join(unread_kinds, "·");
    lines.push_back("");
    lines.push_back("⚠️ 시장경보 목록 일부 조회 실패(" + kinds +
                    ") — '시장경보' 열의 '확인 불가'는 지정이 없다는 뜻이 아니라 확인하지 못했다는 뜻이며, 표시된 "
                    "경보 외에 " + kinds + " 지정 여부는 확인하지 못했습니다.");
    m.warnings.push_back("시장경보 목록 일부 조회 실패(" + kinds + ") — 해당 종류는 확인 불가");
    m.data_completeness = rmeta::PARTIAL;
  }
  if (watch_lookup.failure()) {
    lines.push_back("");
    lines.push_back("⚠️ " + watch_lookup.reason + " — 관심종목 표시(⭐)는 빠졌습니다.");
    m.warnings.push_back(watch_lookup.reason);
  }
  if (!starred.empty()) {
    lines.push_back("");
    lines.push_back("⭐ **이 목록에 내 관심종목이 있습니다:** " + fmt::join(starred, ", "));
  }
  if (alerted) {
    lines.push_back("");
    lines.push_back("※ " + std::to_string(alerted) +
                    "개 종목이 시장경보(투자주의/경고/위험) 지정 상태입니다. 일반 종목과 매매 조건·위험이 다르니 급등 사유를 "
                    "함께 확인하세요.");
    m.warnings.push_back("시장경보 지정 " + std::to_string(alerted) + "건 포함 — 표의 '시장경보' 열 확인");
  }
  // (A partial failure of the alert pages is told once, above.)
  return finish(lines, rows, m);
}

std::string get_market_cap_ranking(const server::Args& a) {
  std::string requested_market = a.str("market");
  auto w = server::list_window(a.value("count"), a.value("page"));
  json res = naver::get_market_cap_page(requested_market, w.page, w.count);
  long long total = res.is_object() && res.value("total_count", json()).is_number()
                        ? res["total_count"].get<long long>()
                        : 0;
  std::string market = res.is_object() ? str(res.value("market", json())) : "";
  if (market.empty()) market = requested_market;
  if (total <= 0) return market + " 시가총액 순위를 가져올 수 없습니다.";
  const json& rows = res.value("rows", json::array());
  long long pages = res.value("pages", json()).is_number() ? res["pages"].get<long long>()
                                                           : (total + w.count - 1) / w.count;
  const std::string T = fmt::thousands(total);
  if (!rows.is_array() || rows.empty())
    return "시가총액 순위 (" + market + ") — 전체 " + T + "개라 page=" + std::to_string(w.page) + "(count=" +
           std::to_string(w.count) + ")에는 종목이 없습니다. 마지막 쪽은 page=" + std::to_string(pages) + " 입니다.";
  long long first = rows.front().value("rank", json()).is_number() ? rows.front()["rank"].get<long long>()
                                                                   : (long long)(w.page - 1) * w.count + 1;
  long long last = rows.back().value("rank", json()).is_number() ? rows.back()["rank"].get<long long>()
                                                                 : first + (long long)rows.size() - 1;
  std::vector<std::string> lines = {"시가총액 상위 (" + market + ") — 전체 " + T + "개 중 " + fmt::thousands(first) +
                                        "~" + fmt::thousands(last) + "위 (" + std::to_string(w.page) + "/" +
                                        std::to_string(pages) + "쪽)",
                                    ""};
  bool type_col = false;
  for (const auto& r : rows)
    if (!str(r.value("security_type", json())).empty() || r.value("trade_stop", false)) type_col = true;
  if (type_col) {
    lines.push_back("순위 | 코드 | 종목명 | 현재가 | 등락률 | 시가총액(억원) | 구분");
    lines.push_back("---|---|---|---|---|---|---");
  } else {
    lines.push_back("순위 | 코드 | 종목명 | 현재가 | 등락률 | 시가총액(억원)");
    lines.push_back("---|---|---|---|---|---");
  }
  for (const auto& r : rows) {
    std::string row = str(r.value("rank", json())) + " | " + str(r.value("code", json())) + " | " +
                      str(r.value("name", json())) + " | " + num(r.value("price", json())) + " | " +
                      rate(r.value("change_rate", json())) + " | " + num(r.value("market_cap_billion", json()));
    if (type_col) {
      std::vector<std::string> parts;
      std::string t = str(r.value("security_type", json()));
      if (!t.empty()) {
        std::string l = naver::security_type_label(json(t));
        parts.push_back(l.empty() ? t : l);
      }
      if (r.value("trade_stop", false)) parts.push_back("거래정지");
      row += " | " + (parts.empty() ? std::string("-") : fmt::join(parts, " · "));
    }
    lines.push_back(row);
  }
  lines.push_back("");
  bool has_next = res.value("has_next", false);
  bool complete = res.value("complete", json(true)).is_boolean() ? res.value("complete", true) : true;
  if (fmt::upper(requested_market) != market)
    lines.push_back("※ 시가총액 순위는 KOSPI·KOSDAQ 따로만 됩니다. 요청한 '" + requested_market + "' 대신 " + market +
                    " 로 조회했습니다.");
  if (has_next)
    lines.push_back("※ 다음 쪽: `page=" + std::to_string(w.page + 1) + "` (count=" + std::to_string(w.count) +
                    " 그대로) → " + fmt::thousands(last + 1) + "위부터. 전체 " + T + "개는 " + std::to_string(pages) +
                    "쪽입니다.");
  else
    lines.push_back("※ " + market + " 목록의 마지막 쪽입니다 (전체 " + T + "개).");
  bool truncated = w.requested > server::LIST_PAGE_MAX;
  if (truncated)
    lines.push_back("※ count 는 한 번에 최대 " + std::to_string(server::LIST_PAGE_MAX) + "입니다 (요청 " +
                    std::to_string(w.requested) + " → " + std::to_string(w.count) + ").");
  // The type counts of the whole market: the page's own when it is the whole
  // list, otherwise summed over every page (a page's counts are never called the
  // market's). A page that cannot be read leaves only this page's counts.
  json tc = res.value("type_counts", json());
  long long halted = res.value("halted_count", json()).is_number() ? res["halted_count"].get<long long>() : 0;
  bool whole_market = false;
  {
    long long on_page = 0;
    if (tc.is_object())
      for (const auto& [k, v] : tc.items())
        if (v.is_number()) on_page += v.get<long long>();
    whole_market = on_page >= total;
    if (!whole_market && tc.is_object() && !tc.empty()) {
      try {
        json all = json::object();
        long long all_halted = 0, seen = 0;
        for (int p = 1; p <= (total + server::LIST_PAGE_MAX - 1) / server::LIST_PAGE_MAX; ++p) {
          json pg = naver::get_market_cap_page(market, p, server::LIST_PAGE_MAX);
          const json& ptc = pg.value("type_counts", json());
          if (!ptc.is_object() || !pg.value("rows", json()).is_array() || pg["rows"].empty()) break;
          for (const auto& [k, v] : ptc.items())
            if (v.is_number()) {
              all[k] = all.value(k, 0LL) + v.get<long long>();
              seen += v.get<long long>();
            }
          if (pg.value("halted_count", json()).is_number()) all_halted += pg["halted_count"].get<long long>();
        }
        if (seen >= total) {
          tc = all;
          halted = all_halted;
          whole_market = true;
        }
      } catch (const std::exception&) {
      }
    }
  }
  if (tc.is_object() && !tc.empty()) {
    std::vector<std::pair<std::string, long long>> entries;
    for (const auto& [k, v] : tc.items())
      if (v.is_number()) entries.push_back({k, v.get<long long>()});
    std::stable_sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) {
      if ((x.first == "ST") != (y.first == "ST")) return x.first == "ST";
      return x.second > y.second;
    });
    std::vector<std::string> parts;
    long long counted = 0;
    for (const auto& [k, v] : entries) counted += v;
    for (const auto& [k, v] : entries) {
      std::string l = k == "ST" ? "주식" : naver::security_type_label(json(k));
      parts.push_back((l.empty() ? "?" : l) + " " + fmt::thousands(v));
    }
    std::string scope = whole_market ? market + " 전체 " + T + "개" : "이 쪽 " + fmt::thousands(counted) + "개";
    std::string s = "※ " + scope + " 구분: " + fmt::join(parts, " · ");
    if (halted) s += ". 이 가운데 거래정지 " + fmt::thousands(halted) + "개";
    lines.push_back(s + ".");
  }
  if (!complete)
    lines.push_back("⚠️ 네이버 목록의 끝을 확인하지 못했습니다. 전체 " + T +
                    "개는 받은 데까지의 수라 실제 종목 수보다 적을 수 있습니다.");
  bool cov_complete = complete && !truncated;
  server::KrMetaArgs m;
  m.coverage = {{"requested", {{"unit", "rank"}, {"count", w.requested}, {"page", w.page}}},
                {"effective", {{"unit", "rank"}, {"count", w.count}, {"from", first}, {"to", last}}},
                {"returned_count", rows.size()},
                {"total_count", total},
                {"page", w.page},
                {"pages", pages},
                {"next_page", has_next ? json(w.page + 1) : json(nullptr)},
                {"truncated", truncated},
                {"coverage_complete", cov_complete},
                {"reason", !complete ? json("unknown") : truncated ? json("server_cap") : json(nullptr)}};
  m.data_completeness = cov_complete ? rmeta::COMPLETE : rmeta::PARTIAL;
  return finish(lines, rows, m);
}

const char* kVolume =
    "거래량순위 — 거래량(주) 또는 거래대금(원) 상위 종목.\n"
    "sort_by 두 가지는 네이버의 서로 다른 순위입니다(거래대금 순위는 거래량 상위를 다시 정렬한 것이 아님). 거래량 순위에는 "
    "주가가 낮은 종목이 몰리고 고가 대형주는 잘 나오지 않습니다. 수치는 KRX 체결분만입니다(넥스트레이드 제외).\n\n"
    "market: \"KOSPI\" / \"KOSDAQ\" / \"ALL\" (기본)\ncount: 종목 수 (기본 50, 최대 500)\n"
    "sort_by: \"volume\"(거래량, 기본) / \"trade_value\"(거래대금)";
const char* kChange =
    "등락률순위 — 그날 상승률 또는 하락률 상위 종목. 시장경보(투자주의/경고/위험) 지정 종목과 내 관심종목(⭐)을 표시합니다.\n\n"
    "direction: \"up\"(상승, 기본) / \"down\"(하락)\nmarket: \"KOSPI\" / \"KOSDAQ\" / \"ALL\" (기본)\n"
    "count: 종목 수 (기본 50, 최대 500)";
const char* kMarketCap =
    "시가총액순위 — 시장 전체를 시가총액 순으로 쪽을 나눠 조회. page p, count c 는 (p−1)·c+1 ~ p·c 위입니다.\n"
    "답에는 전체 종목 수, 다음 쪽 호출, 종목 구분(ETF·리츠 등)이 함께 나옵니다.\n\n"
    "market: \"KOSPI\"(기본) / \"KOSDAQ\" (전체 시장은 지원하지 않음)\ncount: 한 쪽의 종목 수 (기본 50, 최대 500)\n"
    "page: 쪽 번호 (기본 1)";

const server::ToolRegistration r1{"get_volume_ranking", kVolume, get_volume_ranking};
const server::ToolRegistration r2{"get_change_ranking", kChange, get_change_ranking};
const server::ToolRegistration r3{"get_market_cap_ranking", kMarketCap, get_market_cap_ranking};

}  // namespace
}  // namespace tessaro::tools
