#pragma once
// The chart view: the page an MCP Apps host renders beside the replies of the
// chart tools (get_chart, get_intraday_chart, get_us_chart), and the document
// those tools hand it as their structured result.
//
// The document carries the bars with each bar's state (final, forming, unknown)
// and the session that traded it, the reply's own meta object (read back from the
// text, so both say the same), the reply's notes, and the call's outcome: bars,
// nothing found, no such symbol, a failed lookup or a refused argument are told
// apart all the way to the picture. The text reply is not touched.
#include <functional>
#include <string>

#include "core/json.hpp"
#include "server/registry.hpp"

namespace tessaro::server {

inline constexpr const char* CHART_VIEW_URI = "ui://tessaro/chart";
inline constexpr const char* CHART_VIEW_MIME = "text/html;profile=mcp-app";

// Bar states and the call's outcomes, as the document writes them.
inline constexpr const char* BAR_FINAL = "final";
inline constexpr const char* BAR_FORMING = "forming";
inline constexpr const char* BAR_UNKNOWN = "unknown";
inline constexpr const char* OUTCOME_OK = "ok";
inline constexpr const char* OUTCOME_NO_DATA = "no_data";
inline constexpr const char* OUTCOME_NOT_FOUND = "not_found";
inline constexpr const char* OUTCOME_FAILED = "failed";
inline constexpr const char* OUTCOME_REFUSED = "refused";

// The page, with its chart library inside (built into the binary).
const std::string& chart_view_page();

// What a chart tool declares in tools/list: the document's schema and the view.
ToolDecor chart_tool_decor();

// What the view needs to know of a call before its body runs: market, symbol,
// timeframe (the tool's own word: "day", "5m", "1wk"), the arguments to call it
// again with, and the outcome when the body ends without bars and without meta
// (a refusal of the intraday checks, "no data" of the US chart).
struct ChartCall {
  std::string tool;
  std::string market;
  std::string symbol;
  std::string timeframe;
  json request = json::object();
  std::string without_meta = OUTCOME_NO_DATA;
};

// Wraps a chart tool's body: runs it, then sets the call's structured result to
// the chart document built from what the body offered (offer_chart_bars), the
// meta block of its text and its notes. A body that throws leaves a "failed"
// document (with the cause) and the exception goes on to the error wrapper.
ToolFn chart_tool(std::function<ChartCall(const Args&)> describe, ToolFn body);

// Called by a body once its bars are labelled. `fields` adds keys of the
// document (for example "timezone").
void offer_chart_bars(json bars, json fields = json::object());
// Called by a body that answers "no such symbol" (text and meta unchanged).
void offer_chart_outcome(const std::string& outcome);

// Period bars (day, week, month) as the document's bars: `t` the day, every bar
// final except those after the bar state's last finished bar (forming), the last
// one by the bar state (unknown when it cannot tell). `session_of` names the
// session whose trades a row holds.
json period_bars(const json& rows, const json& bar_state, const std::function<std::string(const json& row)>& session_of);

// One bar of the document from an OHLCV row (values that are not numbers become null).
json row_bar(const std::string& t, const json& row, const std::string& state, const std::string& session);

// The 15:30 checks of the daily chart put beside their bars: `regular_close`
// (null unless found), `regular_close_status` ("ok", "no_1530_bar", ...) and, on a
// day the regular session closed at another time, `regular_close_time`.
void attach_regular_closes(json& bars, const json& checks);

}  // namespace tessaro::server
