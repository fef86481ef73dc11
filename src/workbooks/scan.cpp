// scan_to_excel: a one-sheet snapshot of many Korean stocks with the column
// groups the user picks, for query_excel or another spreadsheet to filter later.
#include <algorithm>
#include <map>
#include <mutex>

#include "core/call_context.hpp"
#include "core/lookup.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "server/arg_rules.hpp"
#include "server/tool_helpers.hpp"
#include "server/registry.hpp"
#include "analysis/indicators/indicators.hpp"
#include "sources/market_data/daily_bars.hpp"
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

// Per-code extra columns gathered concurrently. A failed fetch leaves the cells
// empty and is recorded under `source` (with the code); the codes that failed
// come back so the reply can name them.
std::vector<std::string> gather(const std::vector<std::string>& codes, const std::string& source,
                                const std::function<json(const std::string&)>& one, std::map<std::string, json>& into) {
  std::vector<json> got(codes.size());
  std::vector<std::string> why(codes.size());
  parallel_for(codes.size(), 10, [&](size_t i) {
    try {
      got[i] = one(codes[i]);
      record_lookup(source + ":" + codes[i], got[i].is_object() ? LookupStatus::found : LookupStatus::not_found);
    } catch (const Cancelled&) {
      throw;
    } catch (const std::exception& e) {
      why[i] = lookup_reason(e);
      record_lookup(source + ":" + codes[i], LookupStatus::failed, why[i]);
    }
  });
  std::vector<std::string> failed;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (!why[i].empty()) failed.push_back(codes[i]);
    if (got[i].is_object())
      for (auto it = got[i].begin(); it != got[i].end(); ++it) into[codes[i]][it.key()] = *it;
  }
  return failed;
}

// The failed lookups the call recorded from entry `from` on.
std::vector<LedgerEntry> failures_since(size_t from) {
  std::vector<LedgerEntry> out;
  if (CallContext* c = current_call()) {
    auto all = c->ledger();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].outcome == LookupStatus::failed) out.push_back(all[i]);
  }
  return out;
}
size_t ledger_size() {
  CallContext* c = current_call();
  return c ? c->ledger().size() : 0;
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

  ProgressStage progress("종목 스캔");
  const size_t ledger_from = ledger_size();
  json snap = snapshot(codes, days, on("financial"));
  std::map<std::string, json> by_code;
  if (snap.is_array())
    for (const auto& r : snap)
      if (r.is_object() && r.contains("code") && r["code"].is_string()) by_code[r["code"].get<std::string>()] = r;
  if (by_code.empty()) {
    // A site that did not answer is not a list without stocks.
    auto failed = failures_since(ledger_from);
    if (failed.empty()) return "데이터를 수집하지 못했습니다.";
    // "naver.snapshot:005930" -> "005930"
    std::string what = failed.front().source.substr(failed.front().source.rfind(':') + 1);
    return "⚠️ 데이터를 수집하지 못했습니다 - 네이버 조회 실패 " + std::to_string(failed.size()) + "건 (예: " + what + " " +
           failed.front().reason +
           "). 종목이 없다는 뜻이 아니라 조회가 실패한 것이며 파일은 만들지 않았습니다. 잠시 후 다시 시도하고, 계속되면 "
           "`tessaro-mcp doctor` 로 연결을 점검하세요.";
  }

  std::vector<std::string> got_codes;
  for (const auto& c : codes)
    if (by_code.count(c)) got_codes.push_back(c);

  std::map<std::string, json> extra;
  std::vector<std::pair<std::string, std::vector<std::string>>> group_failures;   // group, codes
  if (on("flow"))
    group_failures.push_back({"flow", gather(got_codes, "naver.flow", [](const std::string& code) -> json {
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
    }, extra)});
  if (on("sector"))
    group_failures.push_back({"sector", gather(got_codes, "naver.sector", [](const std::string& code) -> json {
      json s = naver::get_stock_sector(code);
      if (s.is_object() && s.contains("sector_name") && s["sector_name"].is_string())
        return {{"sector", s["sector_name"]}};
      return nullptr;
    }, extra)});
  if (on("indicators"))
    group_failures.push_back({"indicators", gather(got_codes, "naver.daily_bars", [](const std::string& code) -> json {
      json rows = bars_cache::get_ohlcv(code, "day", kIndicatorBars);
      if (!rows.is_array() || rows.empty()) return nullptr;
      json ind = indicators::compute_indicators(rows, {"ma_phase", "rsi", "volume"});
      json out = json::object();
      if (ind.contains("ma_phase") && ind["ma_phase"].is_object()) out["ma_phase"] = ind["ma_phase"].value("phase_label", json(nullptr));
      if (ind.contains("rsi") && ind["rsi"].is_object()) out["rsi"] = ind["rsi"].value("value", json(nullptr));
      if (ind.contains("volume") && ind["volume"].is_object())
        out["vol_ratio"] = ind["volume"].value("ratio_vs_avg_20b", json(nullptr));
      return out;
    }, extra)});

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
      // 시가총액 comes as the site shows it ("1조 2,345억"): written in 억원.
      if (col == "시가총액") v = v.is_number() ? v : server::market_cap_eok(v);
      // A PER of exactly 0 (an EPS of 0) is no PER: an empty cell, not 0.
      else if (col == "per" && v.is_number() && v.get<double>() == 0) v = nullptr;
      else if (std::find(texts.begin(), texts.end(), col) == texts.end()) v = number_or_null(v);
      row[col] = v;
    }
    if (!row["code"].is_string()) row["code"] = c;
    table.rows.push_back(std::move(row));
  }

  table.currency = "KRW";
  auto path = excel::save_dataframe_to_excel(table, target.path("snapshot_" + std::to_string(codes.size())), "Snapshot",
                                             json{{"days", days}, {"fields", fmt::join(requested, ",")},
                                                  {"requested_codes", codes.size()}});

  std::string example = "{'period_return_pct_min': 0}";
  if (table.has_column("per")) example = "{'per': {'min': 0, 'max': 15}}";
  else if (table.has_column("drawdown_pct")) example = "{'drawdown_pct_max': -30}";
  else if (table.has_column("foreign_net")) example = "{'foreign_net_min': 0}";
  std::vector<std::string> lines = {"✓ 스냅샷 저장 완료 (" + std::to_string(table.rows.size()) + "개 종목)",
                                    "경로: " + path.string(), "넣은 항목: " + fmt::join(requested, ", "),
                                    "컬럼: " + column_list(table)};
  if (!unknown.empty())
    lines.push_back("⚠️ 알 수 없어 무시한 항목: " + fmt::join(unknown, ", ") + " (사용할 수 있는 값: " +
                    fmt::join(all, ", ") + ")");
  if (got_codes.size() < codes.size()) {
    std::vector<std::string> missing;
    for (const auto& c : codes)
      if (!by_code.count(c)) missing.push_back(c);
    lines.push_back("⚠️ 조회 실패로 빠진 종목 " + std::to_string(missing.size()) + "개: " + fmt::join(missing, ", "));
  }
  for (const auto& [group, failed] : group_failures)
    if (!failed.empty())
      lines.push_back("⚠️ " + group + " 조회 실패 " + std::to_string(failed.size()) + "개 종목: " + fmt::join(failed, ", ") +
                      " - 그 칸은 0 이 아니라 확인 불가라 비워 두었습니다.");
  lines.push_back("");
  lines.push_back("💡 다른 항목이 더 필요하면 fields 를 바꿔 다시 부르세요. 예: fields=[\"price\", \"flow\", \"sector\"]");
  lines.push_back("💡 조건 검색: query_excel(file_path='" + path.string() + "', filters=" + example + ")");
  return fmt::join(lines, "\n");
}

namespace {
std::string scan_to_excel(const server::Args& a) { return scan_to_excel_with(a, naver::scan_stocks_to_snapshot); }
const server::ToolRegistration reg_scan{"scan_to_excel", kScanDoc, scan_to_excel};
const server::ArgumentShape shape_scan_to_excel_codes{"scan_to_excel", "codes", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::workbooks
