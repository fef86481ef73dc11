// export_to_excel (one Korean stock's daily bars, investor flow or financial
// table) and export_us_to_excel (long US price histories).
#include <algorithm>

#include "core/errors.hpp"
#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "server/tool_helpers.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"
#include "sources/xlsx/workbook.hpp"
#include "sources/yahoo/us.hpp"
#include "workbooks/common.hpp"

namespace tessaro::workbooks {

namespace {

const char* kExportDoc =
    "엑셀내보내기 — 한 종목의 일봉·수급·재무표를 Excel 파일(.xlsx)로 저장합니다. 대화 토큰을 쓰지 않고 파일로 넘길 때 "
    "쓰세요.\n\n"
    "Args:\n"
    "    data_type: 'chart'(일봉 OHLCV), 'flow'(투자자별 수급), 'financial'(재무표)\n"
    "    code: 종목코드 6자리\n"
    "    days: chart·flow 의 기간(일, 기본 180)\n"
    "    filename: 파일 이름 (비우면 자동). 항상 snapshots 폴더에 저장되며 같은 이름이 있으면 _2, _3 을 붙입니다.";

const char* kUsExportDoc =
    "미국엑셀 — 미국 종목의 긴 가격 이력을 Excel 파일로 저장합니다. get_us_chart 는 500행까지지만 이 도구는 행 수 제한이 "
    "없습니다.\n\n"
    "Args:\n"
    "    ticker: 티커 (예: AAPL, BRK.B)\n"
    "    period: 1d, 5d, 1mo, 3mo, 6mo, 1y, 2y, 5y, 10y, ytd, max (기본 10y)\n"
    "    interval: 1d, 1wk, 1mo (기본 1d)\n"
    "    filename: 파일 이름 (비우면 자동)";

// Rows with the parser's bookkeeping keys removed, in a fixed column order.
excel::Table table_of(const json& rows, const std::vector<std::string>& preferred) {
  excel::Table t;
  std::vector<std::string> extra;
  for (const auto& r : rows) {
    if (!r.is_object()) continue;
    json clean = json::object();
    for (auto it = r.begin(); it != r.end(); ++it) {
      if (!it.key().empty() && it.key()[0] == '_') continue;
      clean[it.key()] = *it;
      if (std::find(preferred.begin(), preferred.end(), it.key()) == preferred.end() &&
          std::find(extra.begin(), extra.end(), it.key()) == extra.end())
        extra.push_back(it.key());
    }
    t.rows.push_back(std::move(clean));
  }
  for (const auto& c : preferred)
    for (const auto& r : t.rows)
      if (r.contains(c)) {
        t.columns.push_back(c);
        break;
      }
  t.columns.insert(t.columns.end(), extra.begin(), extra.end());
  return t;
}

// Today's daily bar while it can still change: its sentence of the bar note
// ("오늘(...) 봉은 ..."), or a plain one when the note has none.
std::string today_bar_sentence(const json& info) {
  if (info.is_object()) {
    std::string note = mt::extended_bar_note(info, "일봉");
    auto at = note.find(" 오늘(");
    if (at != std::string::npos) return note.substr(at + 1);
  }
  return "장이 끝나기 전 값이라 바뀔 수 있습니다.";
}

// info: extended_bar_info of the rows (null when none are after-market bars);
// open_day: the date of the row whose day is not finished, else ""; newest_first:
// the sheet lists the newest row on top (the flow table).
std::string after_market_preamble(const json& info, const std::string& open_day, bool newest_first = false) {
  std::string out;
  if (info.is_object()) {
    int bars = info.value("bars", 0);
    // Today's unfinished bar holds no 20:00 close yet: it is told apart below.
    if (!open_day.empty() && info.value("last_bar", std::string()) == open_day) --bars;
    if (bars > 0)
      out += "⚠️ " + info.value("first_bar", std::string()) + " 이후 " + std::to_string(bars) +
             "개 행의 close(종가)는 20:00 애프터마켓 마지막 체결가입니다. 정규장 종가(15:30)가 아니니 파일을 넘길 때 함께 "
             "알려 주세요.\n";
  }
  if (!open_day.empty())
    out += std::string(newest_first ? "⚠️ 맨 위 행(" + open_day + ")은 아직 끝나지 않은 날이에요"
                                    : "⚠️ 마지막 행(" + open_day + ")은 아직 끝나지 않은 봉이에요") +
           " (시트의 봉상태 열에 '진행 중'으로 표시). " + today_bar_sentence(info) + "\n";
  return out.empty() ? out : out + "\n";
}

// What a table of daily rows (in any order) needs said about its days: the
// after-market record of the rows and the day of a bar not finished yet ("" when
// every bar is). ETFs and ETNs have no after-market; their day ends with the
// regular session. One reading for every daily table a file is made of.
struct DayRowsLabels {
  json info;
  std::string open_day;
};
DayRowsLabels day_rows_labels(const json& rows, bool after_market) {
  std::vector<json> asc(rows.begin(), rows.end());
  std::stable_sort(asc.begin(), asc.end(), [](const json& x, const json& y) {
    return rmeta::normalize_day(x.value("date", json())).value_or("") <
           rmeta::normalize_day(y.value("date", json())).value_or("");
  });
  json sorted(asc);
  DayRowsLabels out;
  out.info = after_market ? mt::extended_bar_info(sorted, "day") : json(nullptr);
  json state = mt::bar_state("day", sorted, std::nullopt, &mt::krx_calendar(after_market));
  if (state.is_object() && state.value("last_bar_complete", json()) == json(false))
    out.open_day = state.value("last_bar_date", std::string());
  return out;
}

// The bar-state column: the open day's row "진행 중 (미확정)", every other "확정".
void mark_open_row(excel::Table& t, const std::string& open_day) {
  if (open_day.empty()) return;
  t.columns.push_back("bar_state");
  for (auto& r : t.rows)
    r["bar_state"] = rmeta::normalize_day(r.value("date", json())).value_or("") == open_day ? "진행 중 (미확정)" : "확정";
}

// Whether the stock's bars can hold after-market trades; an unreadable division counts as yes.
bool can_hold_after_market(const std::string& code) {
  try {
    return mt::bars_can_include_after_market(naver::get_krx_sosok(code));
  } catch (const std::exception&) {
    return true;
  }
}

// The financial record as a reader wants it: one row per indicator, one column
// per period (annual, then quarterly; estimates keep their "(E)"), one value per
// cell — a number where the cell reads as one, the text as shown otherwise, and
// an empty cell where the source shows none.
excel::Table financial_table(const json& fin) {
  excel::Table t;
  t.columns = {"항목"};
  std::vector<std::string> periods;
  const json& ps = fin.value("_periods", json::object());
  for (const char* kind : {"annual", "quarterly"}) {
    const char* word = std::string(kind) == "annual" ? " (연간)" : " (분기)";
    if (ps.is_object() && ps.contains(kind) && ps[kind].is_array())
      for (const auto& p : ps[kind]) {
        std::string label = p.is_string() ? p.get<std::string>() : dump_compact(p);
        periods.push_back(label + word);
      }
  }
  t.columns.insert(t.columns.end(), periods.begin(), periods.end());
  for (auto it = fin.begin(); it != fin.end(); ++it) {
    const std::string& key = it.key();
    if (key.empty() || key[0] == '_' || key == "code" || key == "name" || !it->is_array()) continue;
    json row = {{"항목", key}};
    for (size_t i = 0; i < periods.size(); ++i) {
      json cell = i < it->size() ? (*it)[i] : json(nullptr);
      if (cell.is_string()) {
        std::string text = fmt::trim(cell.get<std::string>());
        if (text.empty() || text == "-") cell = nullptr;
        else if (auto v = fmt::parse_number(text)) cell = *v;
        else cell = text;
      }
      row[periods[i]] = cell;
    }
    t.rows.push_back(std::move(row));
  }
  return t;
}

std::string saved_reply(const std::filesystem::path& path, const excel::Table& t) {
  return "✓ Excel 파일 저장 완료\n경로: " + path.string() + "\n행 수: " + std::to_string(t.rows.size()) +
         "\n컬럼: " + column_list(t) + "\n\n" +
         "💡 이 파일을 Gemini/ChatGPT에 업로드하면 다른 AI에서도 분석할 수 있어요.";
}

const server::Choices kDataTypes{{"chart", "flow", "financial"}, server::Fold::Trim};
const server::ArgumentChoices reg_data_type{"export_to_excel", "data_type", kDataTypes};

std::string export_to_excel(const server::Args& a) {
  std::string data_type = fmt::trim(a.str("data_type"));
  std::string code = fmt::trim(a.str("code"));
  int days = int(std::clamp<long long>(a.integer("days"), 1, 10000));
  if (code.empty()) return "종목코드가 필요합니다.";
  if (!kDataTypes.accepts(data_type))
    return "지원하지 않는 data_type: " + data_type + ". 'chart', 'flow', 'financial' 중 선택.";
  Target target = resolve_target(a.str("filename"), "export");
  if (!target.ok) return target.error;

  // The code reaches the source and the file name: six letters or digits only.
  const bool valid_code = server::is_code(code);
  excel::Table table;
  table.currency = "KRW";
  std::string sheet, prefix, preamble;
  if (data_type == "chart") {
    json rows = valid_code ? bars_cache::get_ohlcv(code, "day", days) : json::array();
    if (!rows.is_array() || rows.empty()) return "차트 데이터를 가져올 수 없습니다: " + code;
    table = table_of(rows, {"date", "open", "high", "low", "close", "volume"});
    table.currency = "KRW";
    table.labels = {{"high", "고가"}, {"low", "저가"}};
    sheet = "OHLCV";
    prefix = "chart_" + excel::safe_name_part(code);
    DayRowsLabels labels = day_rows_labels(rows, can_hold_after_market(code));
    mark_open_row(table, labels.open_day);
    preamble = after_market_preamble(labels.info, labels.open_day);
  } else if (data_type == "flow") {
    if (!valid_code) return "수급 데이터를 가져올 수 없습니다: " + code;
    json rows;
    try {
      rows = naver::get_investor_flow(code, days);
    } catch (const NaverParseError& e) {
      record_lookup("naver.flow:" + code, LookupStatus::failed, lookup_reason(e));
      return "수급 표를 읽지 못했어요 (데이터 없음이 아니라 파싱 실패): " + code + "\n원인: " + e.what() +
             "\n네이버 증권 페이지 구조가 바뀌었을 수 있어요. " + server::PARSE_FAIL_NEXT;
    }
    if (!rows.is_array() || rows.empty()) return "수급 데이터를 가져올 수 없습니다: " + code;
    table = table_of(rows, {"date", "institutional", "foreign", "individual", "close", "volume"});
    table.currency = "KRW";
    sheet = "Investor Flow";
    prefix = "flow_" + excel::safe_name_part(code);
    // Rows newest first; today's row is unfinished until the day's last session ends.
    DayRowsLabels labels = day_rows_labels(rows, can_hold_after_market(code));
    mark_open_row(table, labels.open_day);
    preamble = after_market_preamble(labels.info, labels.open_day, true);
  } else if (data_type == "financial") {
    if (!valid_code) return "재무지표를 가져올 수 없습니다: " + code;
    json fin = naver::get_financials(code);
    if (!fin.is_object() || fin.empty()) return "재무지표를 가져올 수 없습니다: " + code;
    if (fin.contains(naver::PARSE_MISS_KEY)) {
      // A page that could not be read is no empty table: no file, and said so.
      record_lookup("naver.financials:" + code, LookupStatus::failed, "NaverParseError");
      std::vector<std::string> missed;
      const json& m = fin[naver::PARSE_MISS_KEY];
      if (m.is_array())
        for (const auto& x : m) missed.push_back(x.is_string() ? x.get<std::string>() : dump_compact(x));
      else if (m.is_string())
        missed.push_back(m.get<std::string>());
      return "재무지표를 가져올 수 없습니다: " + code +
             "\n⚠️ 네이버 증권 페이지를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n(원인: 읽지 못한 부분 — " +
             (missed.empty() ? std::string("재무 표") : fmt::join(missed, ", ")) +
             ")\n페이지 구조가 바뀌었을 수 있어요.\n" + server::PARSE_FAIL_NEXT;
    }
    table = financial_table(fin);
    if (table.rows.empty()) return "재무지표를 가져올 수 없습니다: " + code;
    sheet = "Financial";
    prefix = "financial_" + excel::safe_name_part(code);
  } else {
    return "지원하지 않는 data_type: " + data_type + ". 'chart', 'flow', 'financial' 중 선택.";
  }
  auto path = excel::save_dataframe_to_excel(table, target.path(prefix), sheet);
  return preamble + saved_reply(path, table);
}

// The price currency a Yahoo symbol trades in, as far as its suffix tells:
// Korean listings in won, plain US tickers (BRK.B a class, not an exchange)
// in dollars, other exchanges left to their values.
std::string us_currency(const std::string& ticker) {
  std::string t = fmt::upper(fmt::trim(ticker));
  auto dot = t.rfind('.');
  if (dot == std::string::npos || t.size() - dot - 1 <= 1) return "USD";
  std::string suffix = t.substr(dot + 1);
  if (suffix == "KS" || suffix == "KQ") return "KRW";
  return "";
}

const std::vector<std::string> kPeriods = {"1d", "5d", "1mo", "3mo", "6mo", "1y", "2y", "5y", "10y", "ytd", "max"};
const std::vector<std::string> kIntervals = {"1d", "1wk", "1mo"};
const server::Choices kPeriodChoices{kPeriods, server::Fold::Lower};
const server::Choices kIntervalChoices{kIntervals, server::Fold::Lower};
const server::ArgumentChoices reg_us_period{"export_us_to_excel", "period", kPeriodChoices};
const server::ArgumentChoices reg_us_interval{"export_us_to_excel", "interval", kIntervalChoices};

std::string export_us_to_excel(const server::Args& a) {
  std::string ticker = fmt::trim(a.str("ticker"));
  std::string period = kPeriodChoices.read(a.str("period"));
  std::string interval = kIntervalChoices.read(a.str("interval"));
  if (ticker.empty()) return "티커가 필요합니다.";
  if (!kPeriodChoices.accepts(period))
    return "⚠️ 지원하지 않는 period: " + a.str("period") + " (사용 가능: " + fmt::join(kPeriods, ", ") + ")";
  if (!kIntervalChoices.accepts(interval))
    return "⚠️ 지원하지 않는 interval: " + a.str("interval") + " (사용 가능: " + fmt::join(kIntervals, ", ") + ")";
  Target target = resolve_target(a.str("filename"), "export");
  if (!target.ok) return target.error;
  json rows = us::get_history(ticker, period, interval, false);
  if (!rows.is_array() || rows.empty()) return "티커 '" + ticker + "'의 데이터를 가져올 수 없습니다.";
  excel::Table table = table_of(rows, {"date", "datetime", "open", "high", "low", "close", "volume"});
  table.labels = {{"high", "고가"}, {"low", "저가"}};
  table.currency = us_currency(ticker);
  std::string prefix = "us_chart_" + excel::safe_name_part(fmt::replace_all(fmt::upper(ticker), ".", "_")) + "_" + period;
  auto path = excel::save_dataframe_to_excel(table, target.path(prefix), "OHLCV",
                                             json{{"ticker", ticker}, {"source", "Yahoo Finance (yfinance)"}});
  return "✓ US Excel 저장 완료\n티커: " + ticker + " · 기간: " + period + " · 간격: " + interval + "\n경로: " +
         path.string() + "\n행 수: " + std::to_string(table.rows.size()) + "\n컬럼: " + column_list(table) +
         "\n\n💡 이 파일을 엑셀·Gemini·ChatGPT 등에서 바로 분석 가능. AI 토큰 소비 없음.";
}

const server::ToolRegistration reg_export{"export_to_excel", kExportDoc, export_to_excel};
const server::ToolRegistration reg_us_export{"export_us_to_excel", kUsExportDoc, export_us_to_excel};
const server::ArgumentShape shape_export_us_to_excel_ticker{"export_us_to_excel", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_export_to_excel_code{"export_to_excel", "code", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::workbooks
