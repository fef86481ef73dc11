// get_sector_valuation: median PER, PBR and ROE of a whole sector or theme and
// where each member stands against the median. Medians, because means are
// pulled by loss-makers and extremes; loss-makers are left out of the PER
// statistics and counted; the aggregation covers the whole sector up to a cap,
// whatever number of rows the position table shows.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/settled.hpp"
#include "core/result_meta.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

constexpr size_t kSectorAggCap = 300;

std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
std::string f2(double v) { return fmt::replace_all(fmt::fixed(v, 2, true), "nan", "-"); }

struct Point {
  std::string code, name;
  double value;
};

std::vector<Point> series(const json& recs, const char* key, bool positive_only) {
  std::vector<Point> out;
  for (const auto& r : recs) {
    const json& v = r.value(key, json());
    if (!v.is_number()) continue;
    double d = v.get<double>();
    if (std::isnan(d) || (positive_only && d <= 0)) continue;
    out.push_back({str(r.value("code", json())), str(r.value("name", json())), d});
  }
  return out;
}

std::optional<double> median(std::vector<double> v) {
  if (v.empty()) return std::nullopt;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

std::vector<double> values(const std::vector<Point>& s) {
  std::vector<double> v;
  for (const auto& p : s) v.push_back(p.value);
  return v;
}

std::string stat_line(const std::string& label, const std::vector<Point>& s) {
  if (s.empty()) return label + " | - | - | - | 0";
  auto v = values(s);
  double mean = 0;
  for (double x : v) mean += x;
  mean /= v.size();
  auto [mn, mx] = std::minmax_element(v.begin(), v.end());
  return label + " | " + f2(*median(v)) + " | " + f2(mean) + " | " + f2(*mn) + " ~ " + f2(*mx) + " | " +
         std::to_string(v.size());
}

std::string get_sector_valuation(const server::Args& a) {
  const int top_n = (int)std::clamp<long long>(a.integer("top_n"), 5, 80);
  std::string code = fmt::trim(a.str("code"));
  std::string name = a.str("sector_name");
  std::string kind = a.str("kind");
  json focus_per = nullptr, sector_per = nullptr;
  if (!code.empty()) {
    json s = naver::get_stock_sector(code);
    const LedgerSummary looked = current_ledger_summary();
    if ((!s.is_object() || str(s.value("sector_name", json())).empty()) && looked.failed > 0)
      // The pages that name the sector did not come: unknown, not "no sector".
      return "⚠️ 종목 " + code + "의 업종 조회 실패 (" + server::ledger_failure_text(looked) +
             ") — 업종이 없는 것이 아니라 확인하지 못했습니다. 잠시 후 다시 시도하거나 sector_name 으로 업종명을 직접 "
             "넘겨 주세요.";
    if (!s.is_object() || str(s.value("sector_name", json())).empty()) {
      std::string reason = s.is_object() ? str(s.value("reason", json())) : "";
      return "종목 " + code + "의 업종을 찾지 못했습니다 — " + (reason.empty() ? "업종 정보 없음" : reason) +
             ". 업종명을 직접 넘기거나, ETF라면 get_etf_info 를 쓰세요.";
    }
    name = str(s["sector_name"]);
    kind = "sector";
    focus_per = s.value("per_ttm", json());
    sector_per = s.value("sector_per_naver", json());
  }
  if (fmt::trim(name).empty()) return "업종·테마 이름이나 종목코드(code) 중 하나는 필요합니다.";
  const bool theme = kind == "theme";
  json res;
  if (theme) {
    auto r = naver::find_theme_stocks(name, (int)kSectorAggCap, false, 1);
    if (r.failure()) return server::theme_lookup_failed(name, r.reason);
    res = r.value;
  } else {
    res = naver::get_sector_stocks(name, (int)kSectorAggCap, 1);
  }
  long long total = 0;
  json members = json::array();
  if (res.is_array()) {
    members = res;
  } else if (res.is_object()) {
    if (res.value("total_count", json()).is_number()) total = res["total_count"].get<long long>();
    if (res.value("stocks", json()).is_array()) members = res["stocks"];
    else if (res.value("items", json()).is_array()) members = res["items"];
  }
  if (members.empty())
    return "'" + name + "'에 해당하는 종목을 찾지 못했습니다. list_sectors / list_themes 로 이름을 확인하세요.";
  std::vector<std::string> codes;
  for (const auto& m : members) {
    std::string c = m.is_object() ? str(m.value("code", json())) : "";
    if (!c.empty()) codes.push_back(c);
  }
  if (codes.empty()) return "'" + name + "'에서 종목코드를 얻지 못했습니다.";
  long long universe = std::max<long long>(total, (long long)codes.size());
  std::vector<std::string> agg(codes.begin(), codes.begin() + std::min(codes.size(), kSectorAggCap));
  const bool full = universe <= (long long)agg.size();
  if (!code.empty() && std::find(agg.begin(), agg.end(), code) == agg.end()) {
    std::vector<std::string> with{code};
    for (size_t i = 0; i < codes.size() && with.size() < kSectorAggCap; ++i) with.push_back(codes[i]);
    agg = with;
  }
  ProgressStage progress("업종 종목 조회");
  json recs = naver::scan_stocks_to_snapshot(agg, 0, true);   // valuation only: no daily bars
  if (!recs.is_array() || recs.empty()) return "'" + name + "' 재무 데이터를 가져오지 못했습니다.";

  auto per = series(recs, "per", true), pbr = series(recs, "pbr", true), roe = series(recs, "roe", false);
  std::vector<json> deficits;
  long long missing_per = 0;
  std::map<std::string, int> periods;
  int counted = 0;
  for (const auto& r : recs) {
    const json& p = r.value("per", json());
    if (p.is_number() && p.get<double>() <= 0) deficits.push_back(r);
    if (!p.is_number()) ++missing_per;
    std::string fp = str(r.value("fin_period", json()));
    if (!fp.empty()) {
      periods[fp]++;
      ++counted;
    }
  }
  std::string focus_name = code;
  for (const auto& r : recs)
    if (!code.empty() && str(r.value("code", json())) == code) focus_name = str(r.value("name", json()));

  // Stocks whose snapshot could not be read are named: they are missing from
  // the statistics, not members without figures.
  std::set<std::string> got;
  for (const auto& r : recs) got.insert(str(r.value("code", json())));
  std::vector<std::string> unread;
  for (const auto& c : agg)
    if (!got.count(c) && std::find(unread.begin(), unread.end(), c) == unread.end()) unread.push_back(c);
  const std::string med_label = full && unread.empty() ? "중앙값" : "표본 중앙값(sample_median)";

  std::vector<std::string> L = {"## " + name + " 밸류에이션 집계", ""};
  if (!code.empty()) L.push_back("- 기준 종목: **" + focus_name + "(" + code + ")** → 업종 `" + name + "`");
  if (full && !unread.empty())
    // A member that failed is a hole in the sample: never "the whole sector".
    L.push_back("- 집계 대상: " + std::to_string(recs.size()) + "개 / 업종 전체 **" + std::to_string(universe) +
                "개** → ⚠️ " + std::to_string(unread.size()) +
                "개 조회 실패로 빠진 **표본 중앙값**입니다. 업종 전체 중앙값이 아닙니다.");
  else if (full)
    L.push_back("- 집계 대상: **업종 전체 " + std::to_string(recs.size()) + "개** (표본 편향 없음, 표시는 시총 상위 " +
                std::to_string(top_n) + "개까지)");
  else
    L.push_back("- 집계 대상: " + std::to_string(recs.size()) + "개 / 업종 전체 **" + std::to_string(universe) +
                "개** → ⚠️ 집계 상한(" + std::to_string(kSectorAggCap) +
                ")을 넘어 **표본 중앙값(sample_median)**입니다. 업종 전체 중앙값이 아닙니다.");
  if (!unread.empty()) {
    std::vector<std::string> shown(unread.begin(), unread.begin() + std::min<size_t>(unread.size(), 6));
    L.push_back("  ⚠️ 조회 실패 " + std::to_string(unread.size()) + "개: " + fmt::join(shown, ", ") +
                (unread.size() > shown.size() ? " 외" : "") + " — 집계에서 빠졌습니다.");
  }
  if (!periods.empty()) {
    std::vector<std::string> parts;
    for (auto it = periods.rbegin(); it != periods.rend(); ++it)
      parts.push_back(it->first + "(" + std::to_string(it->second) + "개)");
    L.push_back("- 재무 기준 기간: " + fmt::join(parts, ", "));
    const auto& latest = *periods.rbegin();
    if (latest.second < counted)
      L.push_back("  ⚠️ 기준 시점이 종목마다 다릅니다 — 최신 `" + latest.first + "` 기준이 " +
                  fmt::fixed(100.0 * latest.second / counted, 0) +
                  "%. 실적 발표가 늦은 종목은 오래된 분기로 계산돼 비교가 완전히 공정하지는 않습니다.");
  }
  if (!deficits.empty()) {
    std::vector<std::string> names;
    for (size_t i = 0; i < deficits.size() && i < 6; ++i) names.push_back(str(deficits[i].value("name", json())));
    L.push_back("- **PER 집계 제외(적자) " + std::to_string(deficits.size()) + "개**: " + fmt::join(names, ", "));
  }
  L.push_back("- 계산 방식: **종목별 지표의 중앙값**");
  L.push_back("  · PER = 현재가 ÷ **최근 4분기 EPS 합(TTM)** — 네이버 종목 화면과 같은 기준");
  L.push_back("  · PBR·ROE = 최근 확정 분기 기준");
  bool has_focus_per = focus_per.is_number() && focus_per.get<double>() != 0;
  bool has_sector_per = sector_per.is_number() && sector_per.get<double>() != 0;
  if (has_focus_per || has_sector_per) {
    L.push_back("");
    L.push_back("### 참고 — 네이버 기준값 (계산 방식이 다릅니다)");
    L.push_back("구분 | 값 | 방식");
    L.push_back("---|---:|---");
    if (has_focus_per)
      L.push_back(focus_name + " PER | " + f2(focus_per.get<double>()) +
                  " | 네이버 표기값 — 위 표의 PER 과 **같은 기준**이라 일치해야 정상");
    if (has_sector_per)
      L.push_back("동일업종 PER | " + f2(sector_per.get<double>()) + " | 업종 **집계**(합산 시총÷합산 순이익 계열)");
    L.push_back("");
    L.push_back("⚠️ 위 집계 PER 은 **적자 기업이 있으면 크게 부풀 수 있습니다**. 분모(순이익 합계)가 깎이기 때문이며, 그러면 업종 "
                "내 대부분 종목이 '할인'으로 보입니다. 실측에서 기계 업종은 113.39배였습니다. 아래 중앙값과 함께 보고, 두 값이 "
                "크게 다르면 그 이유부터 확인하세요.");
  }
  L.push_back("");
  L.push_back("지표 | " + med_label + " | 평균 | 최소~최대 | 표본");
  L.push_back("---|---:|---:|---|---:");
  L.push_back(stat_line("PER(배)", per));
  L.push_back(stat_line("PBR(배)", pbr));
  L.push_back(stat_line("ROE(%)", roe));

  if (auto med = median(values(per))) {
    std::map<std::string, double> per_map;
    std::map<std::string, std::string> names;
    std::map<std::string, json> rec_of;
    for (const auto& p : per) per_map[p.code] = p.value;
    for (const auto& r : recs) {
      std::string c = str(r.value("code", json()));
      names[c] = str(r.value("name", json()));
      rec_of[c] = r;
    }
    std::vector<std::string> table;
    for (const auto& r : recs) {
      std::string c = str(r.value("code", json()));
      if (per_map.count(c) && !names[c].empty() && std::find(table.begin(), table.end(), c) == table.end())
        table.push_back(c);
    }
    auto cap_of = [&](const std::string& c) {
      json v = server::market_cap_eok(rec_of[c].value("시가총액", json()));
      return v.is_number() ? v.get<double>() : 0.0;
    };
    size_t omitted = 0;
    if ((int)table.size() > top_n) {
      std::vector<std::string> by_cap = table;
      std::stable_sort(by_cap.begin(), by_cap.end(),
                       [&](const std::string& x, const std::string& y) { return cap_of(x) > cap_of(y); });
      std::vector<std::string> kept(by_cap.begin(), by_cap.begin() + top_n);
      bool focus_in = !code.empty() && std::find(table.begin(), table.end(), code) != table.end();
      if (focus_in && std::find(kept.begin(), kept.end(), code) == kept.end()) {
        std::vector<std::string> k2{code};
        for (int i = 0; i < top_n - 1; ++i) k2.push_back(by_cap[i]);
        kept = k2;
      }
      omitted = table.size() - kept.size();
      table = kept;
    }
    std::stable_sort(table.begin(), table.end(),
                     [&](const std::string& x, const std::string& y) { return per_map[x] < per_map[y]; });
    L.push_back("");
    std::string title = "### " + med_label + "(PER " + f2(*med) + "배) 대비 위치";
    if (omitted) title += " — 시총 상위 " + std::to_string(table.size()) + "개 표시 (" + std::to_string(omitted) + "개 생략)";
    L.push_back(title);
    L.push_back("종목 | PER | 중앙값 대비 | PBR | ROE(%) | 시총(억)");
    L.push_back("---|---:|---:|---:|---:|---:");
    for (const auto& c : table) {
      double p = per_map[c];
      double gap = (p - *med) / *med * 100.0;
      // A stock exactly 5 % off the median is "비슷" despite binary fractions.
      double g = fmt::settled(gap);
      std::string tag = g < -5 ? "할인" : g > 5 ? "할증" : "비슷";
      std::string mark = c == code ? "**" : "";
      const json& r = rec_of[c];
      std::string row = mark + names[c] + "(" + c + ")" + mark + " | " + f2(p) + " | " +
                        fmt::fixed(gap, 0, false, true) + "% " + tag;
      const json& pb = r.value("pbr", json());
      row += pb.is_number() ? " | " + f2(pb.get<double>()) : " | -";
      const json& ro = r.value("roe", json());
      row += ro.is_number() ? " | " + f2(ro.get<double>()) : " | -";
      json cap = server::market_cap_eok(r.value("시가총액", json()));
      row += cap.is_number() ? " | " + fmt::fixed(cap.get<double>(), 0, true) : " | -";
      L.push_back(row);
    }
  }
  for (const char* s :
       {"", "※ **기준이 다르면 결론이 뒤집힙니다.** 같은 종목이 작년 연간 재무로는 할증,",
        "  TTM 기준으로는 할인으로 보일 수 있습니다(실측 27.94배 vs 12.84배).",
        "  이 표의 PER 은 네이버와 같은 TTM 기준이라 종목 화면에서 대조할 수 있습니다.",
        "※ 적자이거나 확정 분기가 4개 미만이면 TTM PER 을 만들지 않습니다 —", "  3개를 12개월인 척 합치지 않습니다.",
        "※ 낮은 PER이 곧 저평가는 아닙니다. 이익이 정점이거나 성장이 멈출 것이라는",
        "  기대가 반영된 결과일 수 있습니다. **왜 그 숫자인지**를 함께 확인하세요.",
        "※ 적자 기업(PER 음수)은 집계에서 빠져 있습니다 — 위 제외 목록을 보세요.",
        "※ top_n 은 표시 개수만 정합니다. 집계(중앙값)는 바뀌지 않습니다."})
    L.push_back(s);

  server::KrMetaArgs m;
  m.kind = "filing";
  m.data_completeness = full && unread.empty() ? rmeta::COMPLETE : rmeta::PARTIAL;
  if (!unread.empty())
    m.warnings.push_back("종목 " + std::to_string(unread.size()) + "개의 시세·재무를 받지 못해 집계에서 뺐습니다: " +
                         fmt::join(unread, ", "));
  if (!full)
    m.coverage = {{"requested", {{"unit", "stock"}, {"value", universe}}},
                  {"effective", {{"unit", "stock"}, {"value", recs.size()}}},
                  {"truncated", true},
                  {"coverage_complete", false},
                  {"reason", "server_cap"}};
  m.extra = {{"valuation_sample",
              {{"scope", full ? "full" : "sample"},
               {"universe", universe},
               {"aggregated", recs.size()},
               {"valid", {{"per", per.size()}, {"pbr", pbr.size()}, {"roe", roe.size()}}},
               {"excluded", {{"loss_per", deficits.size()}, {"missing_per", missing_per}}},
               {"median_name", full ? "median" : "sample_median"}}}};
  return server::append_result_meta(fmt::join(L, NEWLINE), server::kr_meta(m));
}

const char* kDoc =
    "업종밸류에이션 — 업종·테마의 PER·PBR·ROE **집계**와 종목별 할증/할인 위치.\n"
    "'이 종목 업종 대비 싼가?' 같은 질문에 쓰세요. 통계는 중앙값이며 적자 기업(PER ≤ 0)은 PER 집계에서 빠지고 따로 셉니다. "
    "집계는 업종 전체(최대 300종목)를 대상으로 하고 top_n 은 표시 행 수만 정합니다. ETF·ETN에는 업종이 없습니다.\n\n"
    "sector_name: 업종·테마 이름 (예: \"반도체와반도체장비\", \"건설\"; code 를 주면 생략 가능)\n"
    "top_n: 위치 표에 **표시할** 종목 수 (기본 40, 최대 80). 집계 분모가 아닙니다.\n"
    "kind: \"sector\"(기본) / \"theme\"\ncode: 종목코드 6자리 — 주면 그 종목의 업종을 찾아 표에 표시합니다";

const server::ToolRegistration reg{"get_sector_valuation", kDoc, get_sector_valuation};
const server::ArgumentShape shape_get_sector_valuation_code{"get_sector_valuation", "code", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::tools
