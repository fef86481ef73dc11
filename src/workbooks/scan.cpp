// scan_to_excel: a one-sheet snapshot of many Korean stocks with the column
// groups the user picks, for query_excel or another spreadsheet to filter later.
#include <algorithm>
#include <map>
#include <mutex>

#include "core/format.hpp"
#include "core/parallel.hpp"
#include "server/registry.hpp"
#include "sources/indicators/indicators.hpp"
#include "sources/indicators/split_bars.hpp"
#include "sources/naver/naver.hpp"
#include "sources/xlsx/workbook.hpp"
#include "workbooks/common.hpp"

namespace tessaro::workbooks {

namespace {

const char* kScanDoc =
    "스캔엑셀 — 여러 종목의 현재가·52주 통계·재무·수급·업종·지표를 한 장의 스냅샷 Excel 로 저장합니다. 저장한 파일은 "
    "query_excel 로 조건 검색(네트워크 없음)할 수 있습니다.\n\n"
    "Args:\n"
    "    codes: 종목코드 목록 (최대 500개)\n"
    "    fields: 넣을 항목 묶음 — price, chart, financial, flow, sector, indicators (price·chart 는 항상 포함)\n"
    "    days: 차트 통계 기간 (기본 260 = 52주)\n"
    "    include_financial: fields 를 주지 않았을 때 재무 묶음을 넣을지 (기본 true)\n"
    "    filename: 파일 이름 (비우면 자동)";

constexpr size_t kMaxCodes = 500;
constexpr int kFlowDays = 20;
constexpr int kIndicatorBars = 260;

const std::vector<std::pair<std::string, std::vector<std::string>>>& groups() {
  static const std::vector<std::pair<std::string, std::vector<std::string>>> g = {
      {"price", {"current_price", "volume"}},
      {"chart",
       {"high", "high_date", "low", "low_date", "drawdown_pct", "recovery_pct", "period_return_pct", "avg_volume",
        "bars_count"}},
      {"financial", {"per", "per_basis", "pbr", "eps", "bps", "roe", "배당수익률", "시가총액", "fin_period"}},
      {"flow", {"inst_net", "foreign_net"}},
      {"sector", {"sector"}},
      {"indicators", {"ma_phase", "rsi", "vol_ratio"}},
  };
  return g;
}
std::vector<std::string> group_names() {
  std::vector<std::string> n;
  for (const auto& [k, _] : groups()) n.push_back(k);
  return n;
}

json number_or_null(const json& v) {
  if (v.is_number()) return v;
  if (v.is_string()) {
    if (auto n = fmt::parse_number(v.get<std::string>())) return *n;
  }
  return nullptr;
}

// 시가총액 as the site shows it ("5,613억", "1조 2,345억") in 억원; a number stays one.
json eok_number(const json& v) {
  if (v.is_number()) return v;
  if (!v.is_string()) return nullptr;
  std::string s = fmt::replace_all(fmt::replace_all(v.get<std::string>(), ",", ""), " ", "");
  if (fmt::ends_with(s, "억원")) s.erase(s.size() - std::string("원").size());
  double eok = 0;
  size_t jo = s.find("조");
  if (jo != std::string::npos) {
    auto j = fmt::parse_number(s.substr(0, jo));
    if (!j) return nullptr;
    eok = *j * 10000;
    s = s.substr(jo + std::string("조").size());
    if (s.empty()) return eok;
  }
  auto rest = fmt::parse_number(s);
  if (!rest) return nullptr;
  return eok + *rest;
}

// Price and period columns from one stock's daily bars (oldest first); halt
// placeholders and rows with missing prices are no trades and stay out.
json chart_columns(const json& bars) {
  json traded = indicators::split_valid_bars(bars).valid;
  if (!traded.is_array() || traded.empty()) return nullptr;
  auto num = [](const json& r, const char* k) -> std::optional<double> {
    auto it = r.find(k);
    if (it == r.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
  };
  std::optional<double> hi, lo, first_close, last_close, last_volume;
  std::string hi_date, lo_date;
  double vol_sum = 0;
  size_t vol_n = 0, n = 0;
  for (const auto& r : traded) {
    auto h = num(r, "high"), l = num(r, "low"), c = num(r, "close"), v = num(r, "volume");
    if (!c) continue;
    ++n;
    std::string d = r.contains("date") && r["date"].is_string() ? r["date"].get<std::string>() : "";
    if (h && (!hi || *h > *hi)) hi = h, hi_date = d;
    if (l && (!lo || *l < *lo)) lo = l, lo_date = d;
    if (!first_close) first_close = c;
    last_close = c;
    last_volume = v;
    if (v) vol_sum += *v, ++vol_n;
  }
  if (!last_close) return nullptr;
  auto pct = [](std::optional<double> a, std::optional<double> b) -> json {
    return a && b && *b > 0 ? json((*a / *b - 1) * 100) : json(nullptr);
  };
  return {{"current_price", *last_close},
          {"volume", last_volume ? json(*last_volume) : json(nullptr)},
          {"high", hi ? json(*hi) : json(nullptr)},
          {"high_date", hi ? json(hi_date) : json(nullptr)},
          {"low", lo ? json(*lo) : json(nullptr)},
          {"low_date", lo ? json(lo_date) : json(nullptr)},
          {"drawdown_pct", pct(last_close, hi)},
          {"recovery_pct", pct(last_close, lo)},
          {"period_return_pct", pct(last_close, first_close)},
          {"avg_volume", vol_n ? json(vol_sum / double(vol_n)) : json(nullptr)},
          {"bars_count", n}};
}

// EPS on the four latest quarters, the latest annual BPS and dividend yield.
json financial_columns(const json& fin) {
  json ttm = naver::ttm_eps_for(fin);
  json latest = naver::latest_fin(fin);
  bool has_ttm = ttm.is_object() && ttm.value("eps", json()).is_number();
  return {{"eps", has_ttm ? ttm["eps"] : json(nullptr)},
          {"bps", latest.is_object() ? latest.value("bps", json(nullptr)) : json(nullptr)},
          {"배당수익률", latest.is_object() ? latest.value("dividend_yield", json(nullptr)) : json(nullptr)}};
}

// Per-code extra columns gathered concurrently; a failed fetch leaves them empty.
void gather(const std::vector<std::string>& codes, const std::function<json(const std::string&)>& one,
            std::map<std::string, json>& into) {
  std::vector<json> got(codes.size());
  parallel_for(codes.size(), 10, [&](size_t i) { got[i] = one(codes[i]); });
  for (size_t i = 0; i < codes.size(); ++i)
    if (got[i].is_object())
      for (auto it = got[i].begin(); it != got[i].end(); ++it) into[codes[i]][it.key()] = *it;
}

}  // namespace

std::string scan_to_excel_with(const server::Args& a, const SnapshotFn& snapshot) {
  std::vector<std::string> codes;
  for (const auto& c : a.str_list("codes").value_or(std::vector<std::string>{})) {
    std::string t = fmt::trim(c);
    if (!t.empty() && std::find(codes.begin(), codes.end(), t) == codes.end()) codes.push_back(t);
  }
  if (codes.empty()) return "종목코드 리스트가 비어 있습니다.";
  if (codes.size() > kMaxCodes)
    return "⚠️ codes 는 한 번에 " + std::to_string(kMaxCodes) + "개까지입니다 (받은 수: " + std::to_string(codes.size()) +
           "). 나눠서 저장해 주세요.";
  int days = int(std::clamp<long long>(a.integer("days"), 2, 5000));
  std::vector<std::string> all = group_names();

  std::vector<std::string> wanted, unknown;
  if (auto f = a.str_list("fields"); f && !f->empty()) {
    for (const auto& raw : *f) {
      std::string g = fmt::lower(fmt::trim(raw));
      if (std::find(all.begin(), all.end(), g) != all.end()) wanted.push_back(g);
      else unknown.push_back(raw);
    }
    if (wanted.empty())
      return "알 수 없는 항목입니다: " + fmt::join(unknown, ", ") + "\n사용할 수 있는 값: " + fmt::join(all, ", ");
  } else {
    wanted = {"price", "chart"};
    if (a.boolean("include_financial")) wanted.push_back("financial");
  }
  wanted.push_back("price");
  wanted.push_back("chart");
  std::vector<std::string> requested;   // fixed group order
  for (const auto& g : all)
    if (std::find(wanted.begin(), wanted.end(), g) != wanted.end()) requested.push_back(g);
  auto on = [&](const char* g) { return std::find(requested.begin(), requested.end(), g) != requested.end(); };

  Target target = resolve_target(a.str("filename"), "scan");
  if (!target.ok) return target.error;

  json snap = snapshot(codes, days, on("financial"));
  std::map<std::string, json> by_code;
  if (snap.is_array())
    for (const auto& r : snap)
      if (r.is_object() && r.contains("code") && r["code"].is_string()) by_code[r["code"].get<std::string>()] = r;
  if (by_code.empty()) return "데이터를 수집하지 못했습니다.";

  std::vector<std::string> got_codes;
  for (const auto& c : codes)
    if (by_code.count(c)) got_codes.push_back(c);

  std::map<std::string, json> extra;
  if (on("flow"))
    gather(got_codes, [](const std::string& code) -> json {
      try {
        json rows = naver::get_investor_flow(code, kFlowDays);
        if (!rows.is_array() || rows.empty()) return nullptr;
        double inst = 0, frgn = 0;
        bool any_i = false, any_f = false;
        for (const auto& r : rows) {
          if (r.contains("institutional") && r["institutional"].is_number()) {
            inst += r["institutional"].get<double>();
            any_i = true;
          }
          if (r.contains("foreign") && r["foreign"].is_number()) {
            frgn += r["foreign"].get<double>();
            any_f = true;
          }
        }
        return {{"inst_net", any_i ? json(inst) : json(nullptr)}, {"foreign_net", any_f ? json(frgn) : json(nullptr)}};
      } catch (const std::exception&) {
        return nullptr;
      }
    }, extra);
  if (on("sector"))
    gather(got_codes, [](const std::string& code) -> json {
      try {
        json s = naver::get_stock_sector(code);
        if (s.is_object() && s.contains("sector_name") && s["sector_name"].is_string())
          return {{"sector", s["sector_name"]}};
      } catch (const std::exception&) {
      }
      return nullptr;
    }, extra);
  if (on("indicators"))
    gather(got_codes, [](const std::string& code) -> json {
      try {
        json rows = naver::get_ohlcv(code, "day", kIndicatorBars);
        if (!rows.is_array() || rows.empty()) return nullptr;
        json ind = indicators::compute_indicators(rows, {"ma_phase", "rsi", "volume"});
        json out = json::object();
        if (ind.contains("ma_phase") && ind["ma_phase"].is_object()) out["ma_phase"] = ind["ma_phase"].value("phase_label", json(nullptr));
        if (ind.contains("rsi") && ind["rsi"].is_object()) out["rsi"] = ind["rsi"].value("value", json(nullptr));
        if (ind.contains("volume") && ind["volume"].is_object())
          out["vol_ratio"] = ind["volume"].value("ratio_vs_avg_20b", json(nullptr));
        return out;
      } catch (const std::exception&) {
        return nullptr;
      }
    }, extra);

  excel::Table table;
  table.columns = {"code", "name"};
  for (const auto& [g, cols] : groups())
    if (on(g.c_str())) table.columns.insert(table.columns.end(), cols.begin(), cols.end());
  for (const auto& c : got_codes) {
    const json& rec = by_code[c];
    json row = json::object();
    for (const auto& col : table.columns) {
      json v = nullptr;
      if (rec.contains(col)) v = rec[col];
      auto e = extra.find(c);
      if (e != extra.end() && e->second.contains(col)) v = e->second[col];
      static const std::vector<std::string> texts = {"code", "name", "high_date", "low_date", "per_basis",
                                                     "fin_period", "sector", "ma_phase"};
      if (col == "시가총액") v = eok_number(v);
      else if (std::find(texts.begin(), texts.end(), col) == texts.end()) v = number_or_null(v);
      row[col] = v;
    }
    if (!row["code"].is_string()) row["code"] = c;
    table.rows.push_back(std::move(row));
  }

  auto path = target.path("snapshot_" + std::to_string(codes.size()));
  excel::save_dataframe_to_excel(table, path, "Snapshot",
                             json{{"days", days}, {"fields", fmt::join(requested, ",")},
                                  {"requested_codes", codes.size()}});

  std::string example = "{'period_return_pct_min': 0}";
  if (table.has_column("per")) example = "{'per': {'min': 0, 'max': 15}}";
  else if (table.has_column("drawdown_pct")) example = "{'drawdown_pct_max': -30}";
  else if (table.has_column("foreign_net")) example = "{'foreign_net_min': 0}";
  std::vector<std::string> lines = {"✓ 스냅샷 저장 완료 (" + std::to_string(table.rows.size()) + "개 종목)",
                                    "경로: " + path.string(), "넣은 항목: " + fmt::join(requested, ", "),
                                    "컬럼: " + fmt::join(table.columns, ", ")};
  if (!unknown.empty())
    lines.push_back("⚠️ 알 수 없어 무시한 항목: " + fmt::join(unknown, ", ") + " (사용할 수 있는 값: " +
                    fmt::join(all, ", ") + ")");
  if (got_codes.size() < codes.size()) {
    std::vector<std::string> missing;
    for (const auto& c : codes)
      if (!by_code.count(c)) missing.push_back(c);
    lines.push_back("⚠️ 조회 실패로 빠진 종목 " + std::to_string(missing.size()) + "개: " + fmt::join(missing, ", "));
  }
  lines.push_back("");
  lines.push_back("💡 다른 항목이 더 필요하면 fields 를 바꿔 다시 부르세요. 예: fields=[\"price\", \"flow\", \"sector\"]");
  lines.push_back("💡 조건 검색: query_excel(file_path='" + path.string() + "', filters=" + example + ")");
  return fmt::join(lines, "\n");
}

json snapshot_records(const std::vector<std::string>& codes, int days, bool include_financial) {
  json base;
  try {
    base = naver::scan_stocks_to_snapshot(codes, days, include_financial);
  } catch (const std::exception&) {
    base = json::array();
  }
  std::map<std::string, json> by_code;
  if (base.is_array())
    for (const auto& r : base)
      if (r.is_object() && r.contains("code") && r["code"].is_string()) by_code[r["code"].get<std::string>()] = r;
  // The quote record carries valuation only; the price and period columns come
  // from the daily bars of the asked period, the EPS/BPS columns from the
  // financial table.
  std::vector<json> bars_part(codes.size()), fin_part(codes.size());
  parallel_for(codes.size(), 10, [&](size_t i) {
    try {
      bars_part[i] = chart_columns(naver::get_ohlcv(codes[i], "day", days));
    } catch (const std::exception&) {
    }
    if (!include_financial) return;
    try {
      json fin = naver::get_financials(codes[i]);
      if (fin.is_object() && !fin.empty() && !fin.contains(naver::PARSE_MISS_KEY)) fin_part[i] = financial_columns(fin);
    } catch (const std::exception&) {
    }
  });
  json out = json::array();
  for (size_t i = 0; i < codes.size(); ++i) {
    auto it = by_code.find(codes[i]);
    if (it == by_code.end() && !bars_part[i].is_object()) continue;   // nothing at all for this stock
    json rec = it == by_code.end() ? json{{"code", codes[i]}, {"name", nullptr}} : it->second;
    for (const json* part : {&bars_part[i], &fin_part[i]})
      if (part->is_object())
        for (auto f = part->begin(); f != part->end(); ++f)
          if (!rec.contains(f.key()) || rec[f.key()].is_null()) rec[f.key()] = *f;
    // A PER of exactly 0 (an EPS of 0) is no PER: it stays empty, not 0.
    if (rec.value("per", json()).is_number() && rec["per"].get<double>() == 0) rec["per"] = nullptr;
    // The record's PER is price over the TTM EPS when the financial table gave
    // one; otherwise it is the site's own figure.
    if (include_financial && rec.value("per", json()).is_number() && !rec.contains("per_basis")) {
      bool ttm = fin_part[i].is_object() && fin_part[i].value("eps", json()).is_number();
      rec["per_basis"] = ttm ? "TTM" : "네이버 표시값";
    }
    out.push_back(std::move(rec));
  }
  return out;
}

namespace {
std::string scan_to_excel(const server::Args& a) { return scan_to_excel_with(a, snapshot_records); }
const server::ToolRegistration reg_scan{"scan_to_excel", kScanDoc, scan_to_excel};

}  // namespace
}  // namespace tessaro::workbooks
