// save_analysis_to_excel: a workbook from the table the assistant assembled,
// with a sources-and-limits sheet and per-stock detail sheets (price position,
// valuation, results, stability, sector comparison, peers, flow, consensus,
// monthly target prices, disclosures, reports, disclosure reactions, extra
// cards) with close and flow charts.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/settled.hpp"
#include "core/parallel.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "analysis/event_reaction/event_reaction.hpp"
#include "analysis/indicators/split_bars.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"
#include "sources/xlsx/workbook.hpp"
#include "workbooks/common.hpp"

namespace tessaro::workbooks {

namespace {

const char* kAnalysisDoc =
    "분석엑셀 — 여러 도구로 모은 결과를 AI가 정리한 표를 Excel 통합문서로 저장합니다. 요약 시트, 근거와 한계 시트, "
    "종목별 상세 시트(종가·수급 그래프 포함)가 들어갑니다. 행이 20개 이하면 요약 시트에 비교 차트도 그립니다.\n\n"
    "Args:\n"
    "    title: 제목\n"
    "    rows: 표의 행 목록 (각 행은 사전; 키가 열 이름)\n"
    "    notes: 무엇을 걸렀고 무엇을 못 봤는지 (꼭 적어 주세요)\n"
    "    sources: 근거로 쓴 도구 이름 목록\n"
    "    detail_codes: 상세 시트를 만들 종목코드 (최대 8개)\n"
    "    detail_days: 상세 시트의 일별 수급·종가 기간 (기본 60, 최대 120)\n"
    "    extras: 종목코드 → 카드 목록 ({title, cols, rows}; 행은 셀 목록 또는 {cells, url})\n"
    "    filename: 파일 이름 (비우면 제목으로 자동)";

constexpr size_t kMaxDetail = 8;

std::optional<double> num(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) return fmt::parse_number(v.get<std::string>());
  return std::nullopt;
}
json jnum(std::optional<double> v, int decimals = 2) {
  return v && std::isfinite(*v) ? json(fmt::round_to(*v, decimals)) : json(nullptr);
}

// Runs of characters other than letters, digits and Hangul become "_".
std::string title_stem(const std::string& title) {
  std::string out;
  bool in_run = false;
  size_t i = 0;
  while (i < title.size()) {
    unsigned char c = (unsigned char)title[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    std::string ch = title.substr(i, len);
    bool keep = false;
    if (len == 1) keep = std::isalnum(c);
    else if (len == 3) {
      unsigned cp = ((c & 0x0F) << 12) | (((unsigned char)title[i + 1] & 0x3F) << 6) | ((unsigned char)title[i + 2] & 0x3F);
      keep = (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0x3131 && cp <= 0x318E);
    }
    if (keep) {
      out += ch;
      in_run = false;
    } else if (!in_run) {
      out += "_";
      in_run = true;
    }
    i += len;
  }
  return out.empty() ? "분석결과" : out;
}

std::string cell_text(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return dump_compact(v);
}

// Latest confirmed annual cell of a financial row (estimates skipped).
json latest_annual(const json& fin, const std::string& key) {
  if (!fin.contains(key) || !fin[key].is_array() || !fin.contains("_periods")) return nullptr;
  const json& annual = fin["_periods"].value("annual", json::array());
  for (size_t i = std::min(annual.size(), fin[key].size()); i-- > 0;) {
    std::string label = annual[i].is_string() ? annual[i].get<std::string>() : "";
    if (label.find("(E)") != std::string::npos) continue;
    if (auto v = num(fin[key][i])) return *v;
  }
  return nullptr;
}

struct Context {
  bool kospi_read = false;                       // the index's daily rows were read
  std::map<std::string, double> kospi_change;    // trading day -> KOSPI change (%) of that day
  json sectors = json::array();   // list_sectors rows: {name, change_rate, ...}
};

// Day change (%) of a sector in the market-wide sector list.
std::optional<double> sector_change(const Context& ctx, const std::string& sector) {
  for (const auto& r : ctx.sectors)
    if (r.is_object() && r.value("name", std::string()) == sector) return num(r.value("change_rate", json(nullptr)));
  return std::nullopt;
}

// Premium word of a PER against its sector's: within ±5 % is "비슷".
// Exactly 5 % over or under the sector is still "비슷".
const char* premium_word(double gap_pct) {
  double g = fmt::settled(gap_pct);
  return g < -5 ? "할인" : g > 5 ? "할증" : "비슷";
}

// "YYYY-MM" of the Unix time a target-price history entry carries.
std::string month_of(const json& unix_seconds) {
  if (!unix_seconds.is_number()) return cell_text(unix_seconds);
  mt::Civil c = mt::to_kst(mt::Instant{std::chrono::seconds(unix_seconds.get<long long>())});
  char b[16];
  std::snprintf(b, sizeof b, "%04d-%02d", c.year, c.month);
  return b;
}

// A reaction point's return, or why there is none (never a 0 %).
json reaction_cell(const json& reaction, const char* key) {
  const json& pts = reaction.value("points", json::object());
  json p = pts.is_object() ? pts.value(key, json::object()) : json::object();
  if (p.value("status", std::string()) == "available" && p.value("return_pct", json()).is_number()) return p["return_pct"];
  return p.value("reason", std::string()) == "not_yet_traded" ? json("아직 거래일 전") : json("데이터 없음");
}

// What became of each detail part: a failed lookup is named on the sheet and
// in the reply, and told apart from a part that found nothing.
struct PartStatus {
  std::vector<std::pair<std::string, std::string>> failed;   // part, cause
  std::vector<std::string> empty;
  void fail(const std::string& part, const std::exception& e) { fail(part, server::cause_text(e)); }
  void fail(const std::string& part, const std::string& cause) {
    for (const auto& f : failed)
      if (f.first == part) return;
    failed.push_back({part, cause});
    record_lookup("detail:" + part, LookupStatus::failed, cause);   // the call's ledger names it too
  }
  void none(const std::string& part) {
    if (std::find(empty.begin(), empty.end(), part) == empty.end()) empty.push_back(part);
  }
  std::vector<std::string> failed_parts() const {
    std::vector<std::string> out;
    for (const auto& f : failed) out.push_back(f.first);
    return out;
  }
};

excel::DetailSheet build_detail(const std::string& code, std::string& name, int detail_days, const Context& ctx,
                                const json& cards, PartStatus& st) {
  excel::DetailSheet d;
  json bars;
  std::optional<double> last_price, day_change;
  bool price_failed = false;
  // Price position from daily bars.
  try {
    bars = bars_cache::get_ohlcv(code, "day", std::max(260, detail_days));
    // Halt placeholders and broken rows are no prices: a zero low is not a 52-week low.
    json traded = bars.is_array() ? indicators::split_valid_bars(bars).valid : json::array();
    if (!traded.empty()) {
      std::vector<double> closes;
      std::vector<std::string> dates;
      double hi = -INFINITY, lo = INFINITY;
      size_t from = traded.size() > 252 ? traded.size() - 252 : 0;
      for (size_t i = 0; i < traded.size(); ++i) {
        auto c = num(traded[i].value("close", json(nullptr)));
        if (!c) continue;
        closes.push_back(*c);
        dates.push_back(cell_text(traded[i].value("date", json(""))));
        if (i >= from) {
          hi = std::max(hi, num(traded[i].value("high", json(nullptr))).value_or(*c));
          lo = std::min(lo, num(traded[i].value("low", json(nullptr))).value_or(*c));
        }
      }
      if (!closes.empty()) {
        double last = closes.back();
        std::optional<double> chg;
        if (closes.size() >= 2 && closes[closes.size() - 2] > 0) chg = (last / closes[closes.size() - 2] - 1) * 100;
        std::optional<double> pos;
        if (hi > lo) pos = (last - lo) / (hi - lo) * 100;
        last_price = last;
        day_change = chg;
        excel::DetailSection s{"가격 위치", {"항목", "값"}, {}, {}};
        s.rows.push_back({"현재가", last});
        s.rows.push_back({"등락률(%)", jnum(chg)});
        // The label names the span the figures cover: 52 weeks only when the
        // history holds a year of trading days.
        size_t span = traded.size() - from;
        std::string window = span >= 252 ? "52주" : "최근 " + std::to_string(span) + "거래일";
        s.rows.push_back({"고점가(" + window + ")", std::isfinite(hi) ? json(hi) : json(nullptr)});
        s.rows.push_back({"저점가(" + window + ")", std::isfinite(lo) ? json(lo) : json(nullptr)});
        s.rows.push_back({span >= 252 ? "52주위치(%)" : "구간위치(%, " + window + ")", jnum(pos, 1)});
        // Against the KOSPI of the same trading day as the stock's last bar,
        // never today's index against an older bar.
        if (chg && ctx.kospi_read) {
          const std::string& day = dates.back();
          if (auto k = ctx.kospi_change.find(day); k != ctx.kospi_change.end())
            s.rows.push_back({"상대성과(%p, 코스피 대비)", jnum(*chg - k->second),
                              "코스피 " + day + " " + fmt::fixed(k->second, 2, false, true) + "%"});
          else
            s.rows.push_back({"상대성과(%p, 코스피 대비)", "데이터 없음", "코스피 일별 시세에 " + day + " 가 없음"});
        }
        d.sections.push_back(std::move(s));
        excel::DetailChart ch{"종가", {}, {{"종가", {}}}};
        size_t start = closes.size() > size_t(detail_days) ? closes.size() - size_t(detail_days) : 0;
        for (size_t i = start; i < closes.size(); ++i) {
          ch.categories.push_back(dates[i]);
          ch.series[0].second.push_back(closes[i]);
        }
        d.charts.push_back(std::move(ch));
      }
    }
    if (!last_price) st.none("가격 위치·종가 그래프");
  } catch (const std::exception& e) {
    price_failed = true;
    st.fail("가격 위치·종가 그래프", e);
  }
  // Valuation, results and stability from the financial table.
  try {
    json fin = naver::get_financials(code);
    if (fin.is_object() && fin.contains(naver::PARSE_MISS_KEY))
      st.fail("밸류에이션·실적·안정성", "NaverParseError: 재무 표를 읽지 못함 (파싱 실패)");
    else if (!fin.is_object() || fin.empty())
      st.none("밸류에이션·실적·안정성");
    if (fin.is_object() && !fin.empty() && !fin.contains(naver::PARSE_MISS_KEY)) {
      if (name.empty() && fin.contains("name") && fin["name"].is_string()) name = fin["name"].get<std::string>();
      json ttm = naver::ttm_eps_for(fin);
      json latest = naver::latest_fin(fin);
      excel::DetailSection v{"밸류에이션", {"항목", "값", "기준"}, {}, {}};
      double price = last_price.value_or(0);
      auto eps = ttm.is_object() ? num(ttm.value("eps", json(nullptr))) : std::nullopt;
      const std::string eps_period = ttm.is_object() ? cell_text(ttm.value("period", json(""))) : "";
      // Each reason a PER is not given is named for what is actually missing: a
      // company with positive EPS is never called loss-making for want of a price.
      if (eps && *eps > 0 && price > 0)
        v.rows.push_back({"PER(TTM)", fmt::round_to(price / *eps, 2), "현재가 ÷ 최근 4분기 EPS (" + eps_period + ")"});
      else if (!eps)
        v.rows.push_back({"PER(TTM)", nullptr, "최근 4분기 EPS 없음"});
      else if (*eps <= 0)
        v.rows.push_back({"PER(TTM)", nullptr, "최근 4분기 EPS 적자 (" + fmt::fixed(*eps, 0, true) + "원, " + eps_period + ")"});
      else
        v.rows.push_back({"PER(TTM)", nullptr,
                          std::string(price_failed ? "현재가 조회 실패" : "현재가 없음") + " - 최근 4분기 EPS " +
                              fmt::fixed(*eps, 0, true) + "원 (" + eps_period + ")은 흑자, PER 은 계산하지 못함"});
      if (latest.is_object()) {
        v.rows.push_back({"PBR", latest.value("pbr", json(nullptr)), cell_text(latest.value("period", json("")))});
        v.rows.push_back({"ROE(%)", latest.value("roe", json(nullptr)), cell_text(latest.value("period", json("")))});
      }
      d.sections.push_back(std::move(v));
      excel::DetailSection r{"실적 (억원, (E)는 추정)", {"기간", "매출액", "영업이익"}, {}, {}};
      const json& periods = fin.value("_periods", json::object());
      std::vector<std::string> labels;
      for (const char* part : {"annual", "quarterly"})
        for (const auto& l : periods.value(part, json::array())) labels.push_back(cell_text(l));
      for (size_t i = 0; i < labels.size(); ++i) {
        auto cell = [&](const char* key) -> json {
          if (!fin.contains(key) || !fin[key].is_array() || i >= fin[key].size()) return nullptr;
          auto x = num(fin[key][i]);
          return x ? json(*x) : json(nullptr);
        };
        r.rows.push_back({labels[i], cell("매출액"), cell("영업이익")});
      }
      if (!r.rows.empty()) d.sections.push_back(std::move(r));
      excel::DetailSection st{"안정성", {"항목", "값"}, {}, {}};
      for (const char* key : {"부채비율", "당좌비율", "주당배당금(원)", "시가배당률(%)"})
        st.rows.push_back({key, latest_annual(fin, key)});
      d.sections.push_back(std::move(st));
    }
  } catch (const std::exception& e) {
    st.fail("밸류에이션·실적·안정성", e);
  }
  // Sector comparison: the stock's PER against the sector's, the day against
  // the sector's day, then peers from the sector's member list.
  std::string sector_name;
  try {
    json sec = naver::get_stock_sector(code);
    if (sec.is_object() && sec.value("sector_name", json()).is_string()) {
      sector_name = sec["sector_name"].get<std::string>();
      excel::DetailSection s{"업종 비교", {"항목", "값", "비고"}, {}, {}};
      s.rows.push_back({"업종", sector_name, ""});
      auto per = num(sec.value("per_ttm", json(nullptr)));
      auto sector_per = num(sec.value("sector_per_naver", json(nullptr)));
      s.rows.push_back({"PER", jnum(per), "네이버 종목 화면 값"});
      s.rows.push_back({"업종PER", jnum(sector_per), "네이버 동일업종 PER"});
      if (per && sector_per && *per > 0 && *sector_per > 0) {
        double gap = (*per / *sector_per - 1) * 100;
        s.rows.push_back({"업종PER 대비(%)", jnum(gap, 1), premium_word(gap)});
      } else {
        s.rows.push_back({"업종PER 대비(%)", nullptr, "비교할 수 없음 (PER 없음 또는 적자)"});
      }
      if (auto sc = sector_change(ctx, sector_name); sc && day_change)
        s.rows.push_back({"상대성과(%p, 업종 대비)", jnum(*day_change - *sc), "업종 등락률 " + fmt::fixed(*sc, 2, false, true) + "%"});
      d.sections.push_back(std::move(s));
    } else {
      st.none("업종 비교");
    }
  } catch (const std::exception& e) {
    st.fail("업종 비교", e);
  }
  if (!sector_name.empty()) {
    try {
      json page = naver::get_sector_stocks(sector_name, 100, 1);
      excel::DetailSection s{"동종 업종 종목 (" + sector_name + ", 등락률 순 최대 10개)",
                             {"코드", "종목명", "현재가", "등락률"}, {}, {}};
      for (const auto& m : page.value("stocks", json::array())) {
        if (!m.is_object() || m.value("code", std::string()) == code) continue;
        s.rows.push_back({m.value("code", json("")), m.value("name", json("")), m.value("price", json(nullptr)),
                          m.value("change_rate", json(""))});
        if (s.rows.size() >= 10) break;
      }
      if (!s.rows.empty()) d.sections.push_back(std::move(s));
      else st.none("동종 업종 종목");
    } catch (const std::exception& e) {
      st.fail("동종 업종 종목", e);
    }
  }
  // Daily institutional and foreign flow.
  try {
    json flow = naver::get_investor_flow(code, detail_days);
    if (flow.is_array() && !flow.empty()) {
      excel::DetailSection s{"일별 수급 (주)", {"날짜", "기관", "외국인", "종가"}, {}, {}};
      excel::DetailChart ch{"기관·외국인 누적 순매매(주)", {}, {{"기관", {}}, {"외국인", {}}}};
      double ci = 0, cf = 0;
      for (auto it = flow.rbegin(); it != flow.rend(); ++it) {   // oldest first
        const json& r = *it;
        s.rows.push_back({r.value("date", json("")), r.value("institutional", json(nullptr)),
                          r.value("foreign", json(nullptr)), r.value("close", json(nullptr))});
        auto i = num(r.value("institutional", json(nullptr))), f = num(r.value("foreign", json(nullptr)));
        ci += i.value_or(0);
        cf += f.value_or(0);
        ch.categories.push_back(cell_text(r.value("date", json(""))));
        ch.series[0].second.push_back(i ? std::optional<double>(ci) : std::nullopt);
        ch.series[1].second.push_back(f ? std::optional<double>(cf) : std::nullopt);
      }
      d.sections.push_back(std::move(s));
      d.charts.push_back(std::move(ch));
    } else {
      st.none("일별 수급·수급 그래프");
    }
  } catch (const std::exception& e) {
    st.fail("일별 수급·수급 그래프", e);
  }
  // Consensus: target, gap to the price, buy opinions, earnings surprise; then
  // the target price month by month.
  try {
    json c = naver::get_consensus(code);
    if (c.is_object() && !c.empty()) {
      excel::DetailSection s{"컨센서스", {"항목", "값", "비고"}, {}, {}};
      auto target = num(c.value("target_price", json(nullptr)));
      std::string basis = c.value("target_price_basis", json()).is_string() &&
                                  c["target_price_basis"].get<std::string>() == "consensus"
                              ? "네이버 컨센서스"
                              : "증권사 리포트 평균";
      s.rows.push_back({"목표주가", jnum(target, 0), target ? basis : "목표주가 없음"});
      if (target && last_price && *last_price > 0)
        s.rows.push_back({"괴리율(%)", jnum((*target / *last_price - 1) * 100), "목표주가 ÷ 현재가 − 1"});
      else
        s.rows.push_back({"괴리율(%)", nullptr, "목표주가 또는 현재가 없음"});
      const json& op = c.value("opinion", json(nullptr));
      if (op.is_object() && op.value("values", json()).is_object() && !op["values"].empty()) {
        long long buy = 0, total = 0;
        for (auto it = op["values"].begin(); it != op["values"].end(); ++it) {
          long long n = it->is_number() ? it->get<long long>() : 0;
          total += n;
          if (it.key().find("매수") != std::string::npos) buy += n;
        }
        s.rows.push_back({"매수 의견", std::to_string(buy) + "/" + std::to_string(total),
                          "증권사별 최근 의견 (" + cell_text(op.value("as_of", json(""))) + " 기준)"});
      } else {
        s.rows.push_back({"매수 의견", "데이터 없음", "집계할 의견이 없음"});
      }
      const json& surprise = c.value("earnings_surprise", json(nullptr));
      if (surprise.is_object() && !surprise.empty()) {
        for (auto it = surprise.begin(); it != surprise.end(); ++it)
          s.rows.push_back({"어닝 서프라이즈 " + it.key(), it->is_structured() ? json(dump_compact(*it)) : *it, ""});
      } else {
        s.rows.push_back({"어닝 서프라이즈", "데이터 없음",
                          "실적 대비 컨센서스 서프라이즈를 네이버가 공개하지 않아 출처가 없습니다 (0이 아님)"});
      }
      d.sections.push_back(std::move(s));
      const json& hist = c.value("target_price_history", json::array());
      if (hist.is_array() && !hist.empty()) {
        excel::DetailSection h{"목표주가 추이 (월별)", {"월", "목표주가"}, {}, {}};
        for (const auto& e : hist)
          if (e.is_object()) h.rows.push_back({month_of(e.value("date", json(nullptr))), e.value("price", json(nullptr))});
        d.sections.push_back(std::move(h));
      }
    } else {
      st.none("컨센서스·목표주가 추이");
    }
  } catch (const std::exception& e) {
    st.fail("컨센서스·목표주가 추이", e);
  }
  json disclosures = json::array();
  try {
    json list = naver::get_disclosure_list(code, 5);
    if (list.is_array() && !list.empty()) {
      disclosures = list;
      excel::DetailSection s{"최근 공시", {"제목", "날짜"}, {}, {}};
      for (const auto& r : list) {
        s.rows.push_back({r.value("title", json("")), r.value("date", json(""))});
        s.row_urls.push_back(cell_text(r.value("url", json(""))));
      }
      d.sections.push_back(std::move(s));
    } else {
      st.none("최근 공시");
    }
  } catch (const std::exception& e) {
    st.fail("최근 공시", e);
  }
  try {
    json reps = naver::get_reports(code, 5);
    if (reps.is_array() && !reps.empty()) {
      excel::DetailSection s{"리포트", {"제목", "증권사", "날짜"}, {}, {}};
      for (const auto& r : reps) {
        s.rows.push_back({"[리포트] " + cell_text(r.value("title", json(""))), r.value("broker", json("")),
                          r.value("date", json(""))});
        std::string nid = cell_text(r.value("nid", json("")));
        s.row_urls.push_back(nid.empty() ? cell_text(r.value("url", json(""))) : naver::report_page_url(nid));
      }
      d.sections.push_back(std::move(s));
    } else {
      st.none("리포트");
    }
  } catch (const std::exception& e) {
    st.fail("리포트", e);
  }
  // Reactions to the recent disclosures: next day and five days on, against
  // the close before the disclosure day (one row per day).
  if (bars.is_array() && !bars.empty() && !disclosures.empty()) {
    excel::DetailSection s{"공시 반응 (직전 종가 대비 %)", {"공시일", "공시", "다음날(D+1)", "5일후(D+5)"}, {}, {}};
    std::set<std::string> seen;
    for (const auto& r : disclosures) {
      std::string day = cell_text(r.value("date", json("")));
      if (day.empty() || !seen.insert(day).second) continue;
      try {
        event_reaction::ReactionArgs ra{code, day, bars, json::array(), 1, 5, std::nullopt};
        json re = event_reaction::build_event_reaction(ra);
        s.rows.push_back({day, r.value("title", json("")), reaction_cell(re, "D+1"), reaction_cell(re, "D+5")});
        s.row_urls.push_back(cell_text(r.value("url", json(""))));
      } catch (const std::exception& e) {
        st.fail("공시 반응", e);
      }
    }
    if (!s.rows.empty()) d.sections.push_back(std::move(s));
  }
  // The assistant's own cards, in the order given.
  if (cards.is_array())
    for (const auto& card : cards) {
      if (!card.is_object()) continue;
      excel::DetailSection s;
      s.title = cell_text(card.value("title", json("")));
      for (const auto& c : card.value("cols", json::array())) s.cols.push_back(cell_text(c));
      for (const auto& r : card.value("rows", json::array())) {
        std::vector<json> cells;
        std::string url;
        const json& src = r.is_object() ? r.value("cells", json::array()) : r;
        if (r.is_object()) url = cell_text(r.value("url", json("")));
        if (src.is_array())
          for (const auto& c : src) cells.push_back(c.is_structured() ? json(dump_compact(c)) : c);
        else
          cells.push_back(cell_text(src));
        s.rows.push_back(std::move(cells));
        s.row_urls.push_back(url);
      }
      d.sections.push_back(std::move(s));
    }
  d.sheet_name = name.empty() ? code : code + " " + name;
  d.heading = (name.empty() ? code : name + " (" + code + ")") + " 상세";
  // Failed and empty parts head the sheet, so a missing table is never read as
  // "nothing there".
  if (!st.failed.empty() || !st.empty.empty()) {
    excel::DetailSection s{"조회 상태", {"항목", "상태", "원인"}, {}, {}};
    for (const auto& [part, cause] : st.failed) s.rows.push_back({part, "⚠️ 조회 실패 — 시트에서 빠짐", cause});
    for (const auto& part : st.empty) s.rows.push_back({part, "자료 없음", ""});
    d.sections.insert(d.sections.begin(), std::move(s));
    if (!st.failed.empty()) d.heading += " — ⚠️ 일부 항목 조회 실패";
  }
  return d;
}

std::string save_analysis_to_excel(const server::Args& a) {
  const json& rows_in = a.value("rows");
  if (!rows_in.is_array() || rows_in.empty()) return "rows 가 비어 있습니다. 표로 만들 행을 넘겨 주세요.";
  json rows = json::array();
  for (const auto& r : rows_in)
    if (r.is_object()) rows.push_back(r);
  if (rows.empty()) return "rows 에 사전(dict) 형태의 행이 없습니다.";
  std::string title = fmt::trim(a.str("title"));
  if (title.empty()) title = "분석결과";
  std::vector<std::string> notes = a.str_list("notes").value_or(std::vector<std::string>{});
  std::vector<std::string> sources = a.str_list("sources").value_or(std::vector<std::string>{});
  std::vector<std::string> detail_codes;
  for (const auto& c : a.str_list("detail_codes").value_or(std::vector<std::string>{})) {
    std::string t = fmt::trim(c);
    if (!t.empty() && std::find(detail_codes.begin(), detail_codes.end(), t) == detail_codes.end())
      detail_codes.push_back(t);
  }
  if (detail_codes.size() > kMaxDetail) detail_codes.resize(kMaxDetail);
  int detail_days = int(std::clamp<long long>(a.integer("detail_days"), 5, 120));
  json extras = a.value("extras").is_object() ? a.value("extras") : json::object();

  Target target = resolve_target(a.str("filename"), "analysis");
  if (!target.ok) return target.error;

  excel::Table table = excel::table_from_rows(rows);

  // Names of the detail stocks as the table gives them.
  auto col_of = [&](std::initializer_list<const char*> names) -> std::string {
    for (const char* n : names)
      if (table.has_column(n)) return n;
    return "";
  };
  std::string name_col = col_of({"종목명", "name"}), code_col = col_of({"코드", "code", "종목코드"});
  std::vector<std::string> names(detail_codes.size());
  for (size_t i = 0; i < detail_codes.size(); ++i)
    for (const auto& r : table.rows)
      if (!code_col.empty() && cell_text(r.value(code_col, json(""))) == detail_codes[i] && !name_col.empty())
        names[i] = cell_text(r.value(name_col, json("")));

  Context ctx;
  std::vector<std::string> context_failed;   // market context parts that failed
  if (!detail_codes.empty()) {
    try {
      for (const auto& r : naver::get_index_daily("KOSPI", 30))
        if (auto v = num(r.value("change_rate", json(nullptr))); v && r.value("date", json()).is_string())
          ctx.kospi_change[r["date"].get<std::string>()] = *v;
      ctx.kospi_read = true;
    } catch (const std::exception&) {
      context_failed.push_back("코스피 등락률");
    }
    try {
      ctx.sectors = naver::list_sectors();
    } catch (const std::exception&) {
      context_failed.push_back("업종 등락률");
    }
  }
  ProgressStage progress("상세 시트 조회");
  std::vector<excel::DetailSheet> details(detail_codes.size());
  std::vector<PartStatus> status(detail_codes.size());
  parallel_for(detail_codes.size(), 4, [&](size_t i) {
    details[i] = build_detail(detail_codes[i], names[i], detail_days, ctx,
                              extras.contains(detail_codes[i]) ? extras[detail_codes[i]] : json::array(), status[i]);
  });

  // Fixed sheets first, then the detail sheets: every name valid and unique
  // (a code "0088m0" next to "0088M0", a stock called "요약") before any text names them.
  excel::WorkbookBuilder wb;
  const std::string summary_sheet = wb.add_table_sheet("요약", table,
                     json{{"제목", title},
                          {"행 수", table.rows.size()},
                          {"근거 도구", fmt::join(sources, ", ")},
                          {"작성 주체", "AI가 도구 결과를 정리한 표 (원본 조회 결과 아님)"}});
  std::vector<std::string> text = {"■ 이 표를 만든 도구"};
  for (const auto& s : sources) text.push_back("  · " + s);
  text.push_back("");
  text.push_back("■ 판단 근거와 한계");
  for (const auto& n : notes) text.push_back("  · " + n);
  text.push_back("");
  text.push_back("■ 이 자료를 읽을 때");
  json krx = mt::build_market_clock()["krx"];
  bool open = krx.value("is_open", false);
  mt::Civil now = mt::to_kst(mt::now());
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d", now.year, now.month, now.day, now.hour, now.minute);
  text.push_back(std::string("  · 조회 시각 ") + stamp + " · 한국장 " + (open ? "장중(마감 전)" : "마감 후") +
                 (open ? " — 장중 수치는 마감 시 달라질 수 있습니다." : ""));
  text.push_back("  · 2026-09-14 이후 네이버 일봉·수급표의 종가는 20:00 애프터마켓 마지막 체결가입니다. 정규장 종가(15:30)와 다를 수 있습니다.");
  text.push_back("  · 수급 열은 기관·외국인 순매매입니다. 개인 순매매는 get_flow 에서 볼 수 있고, 이 파일에는 넣지 않았습니다.");
  text.push_back("  · PER 은 현재가 ÷ 최근 4분기 EPS(TTM) 기준입니다. 실적표의 PER(각 기간말 주가 기준)과 값이 다를 수 있습니다.");
  const std::string sources_sheet = wb.reserve_sheet_name("근거와 한계");
  for (auto& d : details) d.sheet_name = wb.reserve_sheet_name(d.sheet_name);
  if (!details.empty()) {
    text.push_back("");
    text.push_back("■ 종목별 상세 시트");
    for (const auto& d : details) text.push_back("  · " + d.sheet_name);
    text.push_back("   (요약 시트에서 종목명을 누르면 이동합니다)");
  }
  text.push_back("");
  text.push_back("※ 이 표는 조회 결과를 정리한 것이며 매수·매도 권유가 아닙니다.");
  wb.add_text_sheet(sources_sheet, text);
  std::map<std::string, std::string> by_name, by_code;
  for (size_t i = 0; i < details.size(); ++i) {
    std::string sheet = wb.add_detail_sheet(details[i]);
    if (!names[i].empty()) by_name[names[i]] = sheet;
    by_code[detail_codes[i]] = sheet;
  }
  if (!details.empty()) {
    if (!name_col.empty() && !by_name.empty()) wb.link_column(summary_sheet, name_col, by_name);
    else if (!code_col.empty()) wb.link_column(summary_sheet, code_col, by_code);
  }
  auto path = wb.save(target.path(title_stem(title)));

  std::vector<std::string> lines = {"✓ 저장 완료 — " + title + " (" + std::to_string(table.rows.size()) + "행)",
                                    "경로: " + path.string(), "열: " + fmt::join(table.columns, ", ")};
  if (!details.empty())
    lines.push_back("종목별 흐름 시트: " + fmt::join(detail_codes, ", ") + " (종가·수급 그래프 포함)");
  std::vector<std::string> failed;
  for (size_t i = 0; i < status.size(); ++i)
    if (!status[i].failed.empty())
      failed.push_back(detail_codes[i] + "(" + fmt::join(status[i].failed_parts(), ", ") + ")");
  if (!failed.empty())
    lines.push_back("⚠️ 조회 실패로 상세 시트에서 빠진 항목: " + fmt::join(failed, "; ") +
                    " — 각 시트 맨 위 '조회 상태'에 적었습니다. 자료가 없는 것이 아니라 가져오지 못한 것입니다.");
  if (!context_failed.empty())
    lines.push_back("⚠️ 시장 비교 자료 조회 실패: " + fmt::join(context_failed, ", ") + " — 상대성과 행이 빠졌습니다.");
  if (!wb.sheet_errors().empty())
    lines.push_back("⚠️ 만들지 못한 시트: " + fmt::join(wb.sheet_errors(), "; "));
  if (!wb.cut_cells().empty())
    lines.push_back("⚠️ 엑셀 셀 한도(32,767자)를 넘어 앞부분만 저장한 셀 " + std::to_string(wb.cut_cells().size()) +
                    "개: " + fmt::join(wb.cut_cells(), ", ") + " - 셀 끝에 \"…[잘림: …]\" 표시가 있습니다. 전문이 필요하면 나눠 넣어 주세요.");
  lines.push_back("근거 도구: " + fmt::join(sources, ", "));
  if (notes.empty())
    lines.push_back("⚠️ notes 가 비어 있습니다 — 무엇을 걸렀고 무엇을 못 봤는지 적어 주세요. 표만 남으면 나중에 잘못 읽힙니다.");
  return fmt::join(lines, "\n");
}

const server::ToolRegistration reg_analysis{"save_analysis_to_excel", kAnalysisDoc, save_analysis_to_excel};
const server::ArgumentShape shape_save_analysis_to_excel_detail_codes{"save_analysis_to_excel", "detail_codes", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::workbooks
