#include "server/chart_view.hpp"

#include <algorithm>

#include <exception>
#include <optional>
#include <utility>

#include "core/call_context.hpp"
#include "core/clock.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "server/resources.hpp"
#include "server/tool_helpers.hpp"
#include "server/wrappers.hpp"

namespace tessaro::server {

// The page as the build put it together (page.html with its stylesheet, the
// chart library of the Debian package libjs-d3 and the view's script inline);
// generated from src/server/chart_view/ by cmake/embed_chart_view.cmake.
namespace generated {
extern const unsigned char kChartViewPage[];
extern const size_t kChartViewPageSize;
}  // namespace generated

const std::string& chart_view_page() {
  static const std::string page(reinterpret_cast<const char*>(generated::kChartViewPage), generated::kChartViewPageSize);
  return page;
}

namespace {

// The view loads nothing: no origin for connections or resources is declared,
// which the extension reads as "none" (the page carries the same in its own CSP).
json view_resource_meta() {
  return {{"ui",
           {{"csp", {{"connectDomains", json::array()}, {"resourceDomains", json::array()}}}, {"prefersBorder", true}}}};
}

const ResourceRegistration reg_view{ResourceDecl{
    CHART_VIEW_URI, "tessaro-chart", "Tessaro 차트",
    "get_chart·get_intraday_chart·get_us_chart 결과를 그리는 캔들차트 화면 (봉 상태·세션 표시, 외부 요청 없음).",
    CHART_VIEW_MIME, [] { return chart_view_page(); }, view_resource_meta()}};

json string_or_null() { return json{{"type", json::array({"string", "null"})}}; }
json number_or_null() { return json{{"type", json::array({"number", "null"})}}; }

// Kept short: tools/list carries it to the assistant on every connection.
json bar_schema() {
  json p = json::object();
  p["t"] = {{"type", "string"}};
  for (const char* k : {"open", "high", "low", "close", "volume"}) p[k] = number_or_null();
  p["state"] = {{"enum", json::array({BAR_FINAL, BAR_FORMING, BAR_UNKNOWN})},
                {"description", "forming: 아직 만들어지는 중, unknown: 마감 여부 확인 불가"}};
  p["session"] = {{"type", "string"},
                  {"description", "regular, regular_and_after(애프터마켓 합산 일봉), closing_price_after_close, after_market, "
                                  "pre_market, after_hours, unknown"}};
  p["regular_close"] = number_or_null();
  p["regular_close"]["description"] = "정규장 종가(15:30)";
  return {{"type", "object"},
          {"properties", p},
          {"required", json::array({"t", "open", "high", "low", "close", "volume", "state", "session"})}};
}

json document_schema() {
  json p = json::object();
  p["tool"] = {{"type", "string"}};
  p["outcome"] = {{"enum", json::array({OUTCOME_OK, OUTCOME_NO_DATA, OUTCOME_NOT_FOUND, OUTCOME_FAILED, OUTCOME_REFUSED})},
                  {"description", "no_data: 조회됐으나 봉 없음, failed: 조회 실패(없음이 아님), refused: 인자 오류"}};
  p["market"] = string_or_null();
  p["symbol"] = string_or_null();
  p["meta"] = {{"type", json::array({"object", "null"})}, {"description", "텍스트의 메타 블록과 같음"}};
  p["bars"] = {{"type", "array"}, {"items", bar_schema()}};
  return {{"type", "object"},
          {"properties", p},
          {"required", json::array({"tool", "outcome", "market", "symbol", "bars", "meta"})}};
}

// What a body offered while it ran (set on the body's own thread).
struct Draft {
  std::optional<json> bars;
  json fields = json::object();
  std::string outcome;
};
thread_local Draft* t_draft = nullptr;

struct DraftScope {
  Draft draft;
  Draft* prev;
  DraftScope() : prev(t_draft) { t_draft = &draft; }
  ~DraftScope() { t_draft = prev; }
  DraftScope(const DraftScope&) = delete;
  DraftScope& operator=(const DraftScope&) = delete;
};

// The reply's text without its meta block, and the meta object (null when the
// reply has none or it does not parse).
std::pair<std::string, json> split_meta(const std::string& text) {
  const std::string start = std::string("\n\n") + rmeta::START_MARKER + "\n";
  const std::string end = std::string("\n") + rmeta::END_MARKER;
  size_t s = text.rfind(start);
  if (s == std::string::npos) return {text, nullptr};
  size_t from = s + start.size();
  size_t e = text.find(end, from);
  if (e == std::string::npos) return {text, nullptr};
  json meta = json::parse(text.substr(from, e - from), nullptr, false);
  if (meta.is_discarded() || !meta.is_object()) return {text, nullptr};
  return {text.substr(0, s), meta};
}

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// The reply's own notes, in order: lines opening with one of the fixed signs.
json notes_of(const std::string& body) {
  json out = json::array();
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t nl = body.find('\n', pos);
    std::string line = body.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (starts_with(line, "※") || starts_with(line, "⚠️") || starts_with(line, "💡")) out.push_back(line);
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return out;
}

json ledger_json() {
  json out = json::array();
  CallContext* ctx = current_call();
  if (!ctx) return out;
  for (const auto& e : ctx->ledger()) {
    json j = {{"source", e.source},
              {"outcome", e.outcome == LookupStatus::found       ? "found"
                          : e.outcome == LookupStatus::not_found ? "not_found"
                                                                 : "failed"}};
    if (!e.reason.empty()) j["reason"] = e.reason;
    if (!e.stood_in_for.empty()) j["stood_in_for"] = e.stood_in_for;
    out.push_back(std::move(j));
  }
  // Lookups run in parallel finish in any order: the document lists them sorted,
  // so the same call gives the same document.
  std::vector<json> sorted(out.begin(), out.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const json& a, const json& b) { return a.dump() < b.dump(); });
  return json(sorted);
}

json base_document(const ChartCall& c) {
  json d = json::object();
  d["tool"] = c.tool;
  d["outcome"] = OUTCOME_OK;
  d["market"] = c.market.empty() ? json() : json(c.market);
  d["symbol"] = c.symbol.empty() ? json() : json(c.symbol);
  d["timeframe"] = c.timeframe.empty() ? json() : json(c.timeframe);
  d["timezone"] = c.market == "US" ? json(mt::NEW_YORK) : c.market == "KR" ? json(mt::KST) : json();
  // The US history does not say its currency; the text reply does not either.
  d["units"] = {{"price", c.market == "KR" ? json("원") : json()}, {"volume", "주"}};
  d["request"] = c.request;
  d["message"] = nullptr;
  d["error"] = nullptr;
  d["meta"] = nullptr;
  d["notes"] = json::array();
  d["bars"] = json::array();
  return d;
}

// Which outcome a reply without bars is: the bar layer names a provider status
// in the meta of its failures; a meta of its own says the lookup ran.
std::string outcome_without_bars(const json& meta, const ChartCall& c) {
  if (!meta.is_object()) return c.without_meta;
  const json& st = meta.value("provider_status", json());
  if (st.is_string() && st != "ok" && st != "cached") return st == "entity_not_found" ? OUTCOME_NOT_FOUND : OUTCOME_FAILED;
  return OUTCOME_NO_DATA;
}

}  // namespace

ToolDecor chart_tool_decor() {
  ToolDecor d;
  d.output_schema = document_schema();
  // Both spellings of the view's key: hosts of the current extension read
  // `ui.resourceUri`, older ones the flat "ui/resourceUri".
  d.meta = {{"ui", {{"resourceUri", CHART_VIEW_URI}}}, {"ui/resourceUri", CHART_VIEW_URI}};
  return d;
}

ToolFn chart_tool(std::function<ChartCall(const Args&)> describe, ToolFn body) {
  return [describe = std::move(describe), body = std::move(body)](const Args& a) -> std::string {
    ChartCall c = describe(a);
    json doc = base_document(c);
    DraftScope scope;
    std::string text;
    try {
      text = body(a);
    } catch (const Cancelled&) {
      throw;
    } catch (const std::exception& e) {
      doc["outcome"] = OUTCOME_FAILED;
      doc["error"] = cause_text(e);
      doc["lookups"] = ledger_json();
      set_structured_result(std::move(doc));
      throw;
    }
    auto [rest, meta] = split_meta(text);
    doc["meta"] = meta;
    doc["notes"] = notes_of(rest);
    const Draft& d = scope.draft;
    for (auto& [k, v] : d.fields.items()) doc[k] = v;
    bool has_bars = d.bars && d.bars->is_array() && !d.bars->empty();
    if (has_bars) doc["bars"] = *d.bars;
    if (!d.outcome.empty()) doc["outcome"] = d.outcome;
    else if (!has_bars) doc["outcome"] = outcome_without_bars(meta, c);
    if (doc["outcome"] != OUTCOME_OK) doc["message"] = fmt::trim(rest);
    json lk = ledger_json();
    if (!lk.empty()) doc["lookups"] = lk;
    set_structured_result(std::move(doc));
    return text;
  };
}

void offer_chart_bars(json bars, json fields) {
  if (!t_draft) return;
  t_draft->bars = std::move(bars);
  if (fields.is_object())
    for (auto& [k, v] : fields.items()) t_draft->fields[k] = v;
}

void offer_chart_outcome(const std::string& outcome) {
  if (t_draft) t_draft->outcome = outcome;
}

json period_bars(const json& rows, const json& bar_state, const std::function<std::string(const json& row)>& session_of) {
  json out = json::array();
  if (!rows.is_array()) return out;
  std::optional<bool> last_complete;
  std::string last_done;
  if (bar_state.is_object()) {
    const json& c = bar_state.value("last_bar_complete", json());
    if (c.is_boolean()) last_complete = c.get<bool>();
    const json& ld = bar_state.value("last_completed_bar_date", json());
    if (ld.is_string()) last_done = ld.get<std::string>();
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const json& r = rows[i];
    std::string t = normalize_date(r.value("date", json()), false);
    const char* state = BAR_FINAL;
    if (i + 1 == rows.size())
      state = !last_complete ? BAR_UNKNOWN : *last_complete ? BAR_FINAL : BAR_FORMING;
    else if (last_complete == false && !last_done.empty() && t > last_done)
      state = BAR_FORMING;
    out.push_back(row_bar(t, r, state, session_of(r)));
  }
  return out;
}

json row_bar(const std::string& t, const json& row, const std::string& state, const std::string& session) {
  auto value = [&](const char* k) -> json {
    auto it = row.find(k);
    return it != row.end() && it->is_number() ? *it : json();
  };
  return {{"t", t},
          {"open", value("open")},
          {"high", value("high")},
          {"low", value("low")},
          {"close", value("close")},
          {"volume", value("volume")},
          {"state", state},
          {"session", session}};
}

void attach_regular_closes(json& bars, const json& checks) {
  if (!bars.is_array() || !checks.is_array()) return;
  for (const auto& c : checks) {
    std::string d = c.value("date", std::string());
    for (auto& b : bars)
      if (b.value("t", std::string()) == d) {
        const json& rc = c.value("regular_close", json());
        b["regular_close"] = rc.is_number() ? rc : json();
        b["regular_close_status"] = c.value("status", json("unknown"));
        // A day whose regular session closed at another time (the exam day) says when.
        if (c.contains("regular_close_time")) b["regular_close_time"] = c["regular_close_time"];
      }
  }
}

}  // namespace tessaro::server
