// get_detailed_investor_flow and get_supply_pressure: the connected broker's
// supply-and-demand evidence as JSON, with the meta under `_meta`. The broker named
// as source (or the primary one for "auto") is the only one asked.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "core/json.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "server/output_schema.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/market_data/evidence.hpp"
#include "sources/market_data/evidence_service.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/market_data/public_brokers.hpp"

namespace tessaro::tools {
namespace {

namespace md = market_data;

const char* kFlowDoc =
    "상세 투자자 수급 — 연결된 증권사에서 받은 종목별 일별 순매수를 투자자 세부 분류(개인, 외국인, 기관계와 그 세부: "
    "금융투자·보험·투신·사모·은행·기타금융·연기금, 국가, 기타법인 등)로 JSON으로 돌려줍니다.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드 (code 또는 codes 중 하나는 반드시 지정)\n"
    "    codes: 여러 종목코드 목록 (code와 합쳐 중복 제거, 최대 30개)\n"
    "    days: 조회할 거래일 수 (기본 20, 최대 120)\n"
    "    measure: net_quantity(순매수 수량, 주) | net_amount(순매수 금액, 백만원)\n"
    "    source: auto|kis|kiwoom — auto는 주 사용 증권사로 고정됩니다. 증권사를 지정하면 그 증권사만 쓰며, "
    "실패해도 다른 증권사로 바꾸지 않습니다.\n\n"
    "읽는 법:\n"
    "- values에 없는 분류는 값이 없는 것이고, unsettled에 든 분류는 아직 확정되지 않은 것입니다. 어느 쪽도 0이 아닙니다.\n"
    "- data_state가 \"provisional\"인 행은 잠정치로, 확정값이 아닙니다.\n"
    "- institution_total(기관계)은 세부 기관 분류를 이미 포함합니다. 세부 분류와 더하면 이중으로 셉니다.\n"
    "- net_quantity(주)와 net_amount(백만원)는 서로 다른 양입니다. 숫자를 옮길 때 unit을 함께 밝히세요.\n"
    "- data_availability.unavailable은 이 증권사가 주지 않는 분류입니다. alternative_provider가 있으면 그 증권사를 "
    "source로 지정해 다시 요청할 수 있습니다 (자동으로 바꾸지 않습니다).";

const char* kPressureDoc =
    "수급 압력 — 연결된 증권사에서 받은 프로그램 매매(program_trading), 공매도(short_selling), 신용(credit), "
    "대차(securities_lending), 외국인 보유(foreign_holding), CFD(cfd) 자료를 종류별 블록으로 JSON으로 돌려줍니다.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드 (code 또는 codes 중 하나는 반드시 지정)\n"
    "    codes: 여러 종목코드 목록 (code와 합쳐 중복 제거, 최대 30개)\n"
    "    kind: 한 종류 (program_trading|short_selling|credit|securities_lending|foreign_holding|cfd)\n"
    "    kinds: 여러 종류 목록 (kind·kinds 모두 없으면 전부)\n"
    "    days: 조회할 거래일 수 (기본 30, 최대 120)\n"
    "    source: auto|kis|kiwoom — auto는 주 사용 증권사로 고정됩니다. 증권사를 지정하면 그 증권사만 쓰며, "
    "실패해도 다른 증권사로 바꾸지 않습니다.\n\n"
    "읽는 법:\n"
    "- status가 \"ok\"가 아닌 블록은 받지 못한 것입니다 (이유는 unavailable_reason). 값이 0이라는 뜻이 아닙니다.\n"
    "- granularity는 증권사마다 다릅니다 (장중 시계열 intraday 대 일별 daily). 장중 관측값은 observed_at에 관측 시각이 있습니다.\n"
    "- 단위는 measure_units를 따르세요.\n"
    "- 대차(securities_lending)는 공매도가 아닙니다. 대차 잔고를 공매도 물량으로 읽지 마세요.\n"
    "- alternative_provider가 있으면 그 증권사를 source로 지정해 다시 요청할 수 있습니다 (자동으로 바꾸지 않습니다).";

const int kFlowDaysMax = 120;
const int kPressureDaysMax = 120;

const std::map<std::string, std::string>& reason_status() {
  static const std::map<std::string, std::string> m = {
      {md::EV_PROVIDER_NOT_CONFIGURED, md::ST_NOT_CONFIGURED},
      {md::EV_UNKNOWN_CAPABILITY, md::ST_NOT_FOUND},
      {md::EV_PROVIDER_CHANGED, md::ST_UNAVAILABLE},
      {md::EV_UNSUPPORTED, md::ST_UNSUPPORTED},
      {md::EV_UNVERIFIED, md::ST_UNSUPPORTED},
  };
  return m;
}

bool has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

std::vector<std::string> public_broker_ids() {
  std::vector<std::string> out;
  for (const auto& id : md::ids())
    if (md::is_broker_id(id) && md::broker_is_public(id)) out.push_back(id);
  return out;
}

// Sources: "auto" or a broker that is switched on for this process.
const server::Choices kSources{public_broker_ids, server::Fold::None, {"auto"}};
const server::Choices kMeasures{[] { return md::evidence_measures(); }};
// Read trimmed, "" skipped; a kind outside the set comes back as its own failed block.
const server::Choices kPressureKinds{[] { return md::pressure_kinds(); }, server::Fold::Trim, {""}};
const server::ArgumentChoices reg_flow_source{"get_detailed_investor_flow", "source", kSources};
const server::ArgumentChoices reg_flow_measure{"get_detailed_investor_flow", "measure", kMeasures};
const server::ArgumentChoices reg_pressure_source{"get_supply_pressure", "source", kSources};
const server::ArgumentChoices reg_pressure_kind{"get_supply_pressure", "kind", kPressureKinds};
const server::ArgumentChoices reg_pressure_kinds{"get_supply_pressure", "kinds", kPressureKinds};

md::EvidenceService evidence_service() {
  return md::EvidenceService(md::runtime(), public_broker_ids(), md::EvidenceCache(md::runtime().home()));
}

std::string str_or(const json& j, const char* k) {
  return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
}

json evidence_meta(const json& code, const json& provider, const json& profile, const std::string& provider_status,
                   const json& data_as_of, const std::string& completeness, const std::vector<std::string>& warnings,
                   const json& coverage = nullptr, const json& extra = nullptr) {
  json fields = {{"provider", provider.is_string() ? provider : json("none")},
                 {"provider_status", provider_status},
                 {"provider_profile", profile}};
  if (extra.is_object())
    for (const auto& [k, v] : extra.items()) fields[k] = v;
  server::KrMetaArgs a;
  a.kind = "bars";
  a.code = code;
  a.data_as_of = data_as_of;
  a.data_completeness = completeness;
  a.warnings = warnings;
  a.coverage = coverage;
  a.extra = rmeta::provider_extension(fields);
  if (completeness != rmeta::NONE && !data_as_of.is_null()) a.bar_forming = mt::closed_if_before_latest_day(data_as_of);
  return server::kr_meta(a);
}

std::string evidence_error(const json& code, const std::string& message, const std::string& provider_status,
                           const json& body = nullptr) {
  json out = {{"ok", false}, {"market", "KR"}};
  if (body.is_object())
    for (const auto& [k, v] : body.items()) out[k] = v;
  out["_meta"] = evidence_meta(code, nullptr, nullptr, provider_status, nullptr, rmeta::NONE, {server::mask_queries(message)});
  return dump_compact(out);
}

std::string evidence_status_of(const json& result) {
  if (result.value("ok", false)) return "ok";
  std::string ec = str_or(result, "error_code");
  if (rmeta::is_provider_status(ec)) return ec;
  if (ec == md::EV_ALL_FAILED) {
    // The most frequent reason; on a tie the one seen first.
    std::vector<std::pair<std::string, int>> counts;
    if (result.contains("entity_failures") && result["entity_failures"].is_array())
      for (const auto& f : result["entity_failures"]) {
        std::string r = str_or(f, "reason");
        if (r.empty()) continue;
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r; });
        if (it == counts.end())
          counts.emplace_back(r, 1);
        else
          ++it->second;
      }
    std::string best;
    int top = 0;
    for (const auto& [r, n] : counts)
      if (n > top) top = n, best = r;
    if (!best.empty()) {
      if (auto it = reason_status().find(best); it != reason_status().end()) return it->second;
      if (rmeta::is_provider_status(best)) return best;
    }
  }
  if (auto it = reason_status().find(ec); it != reason_status().end()) return it->second;
  return md::ST_UNAVAILABLE;
}

// (error text or "", code list)
std::pair<std::string, std::vector<std::string>> validate_evidence_request(const std::optional<std::string>& code,
                                                                           const std::optional<std::vector<std::string>>& codes,
                                                                           const std::string& source) {
  std::vector<std::string> list;
  auto add = [&](const std::string& raw) {
    std::string c = fmt::trim(raw);
    if (!c.empty() && !has(list, c)) list.push_back(c);
  };
  if (code) add(*code);
  if (codes)
    for (const auto& c : *codes) add(c);
  if (list.empty()) return {"code 또는 codes 중 하나는 반드시 지정해야 합니다.", list};
  if ((int)list.size() > md::EVIDENCE_MAX_CODES)
    return {"한 번에 조회할 수 있는 종목은 최대 " + std::to_string(md::EVIDENCE_MAX_CODES) + "개입니다 (요청 " +
                std::to_string(list.size()) + "개).",
            list};
  if (!kSources.accepts(source))
    return {"지원하지 않는 source입니다: " + source + " (지원: " + fmt::join(kSources.values(), ", ") + ")", list};
  return {"", list};
}

json meta_code(const std::vector<std::string>& codes) { return codes.size() == 1 ? json(codes[0]) : json(nullptr); }

std::string alt_warning(const std::string& alt) {
  return "이미 연결된 " + alt + " 는 이 항목을 제공합니다. source=\"" + alt +
         "\" 로 요청하면 받을 수 있습니다. 자동으로 바꾸지 않습니다.";
}

std::string failure_warning(const std::string& code, const std::string& reason) {
  return code + " 조회 실패(" + reason + "). 다른 증권사로 대체하지 않았습니다.";
}

std::vector<std::string> strings_of(const json& arr) {
  std::vector<std::string> out;
  if (arr.is_array())
    for (const auto& v : arr)
      if (v.is_string()) out.push_back(v.get<std::string>());
  return out;
}

// Broker messages reach the user only with their URL queries masked.
std::vector<std::string> masked(std::vector<std::string> texts) {
  for (auto& t : texts) t = server::mask_queries(t);
  return texts;
}

json iso_day(const json& v) {
  auto d = rmeta::normalize_day(v);
  return d ? json(*d) : json(nullptr);
}

json field(const json& j, const char* k, const json& dflt = nullptr) {
  return j.is_object() && j.contains(k) ? j[k] : dflt;
}

json flow_row_json(const json& r) {
  return {{"date", iso_day(field(r, "date"))},
          {"close", field(r, "close")},
          {"volume", field(r, "volume")},
          {"values", field(r, "values", json::object())},
          {"unsettled", field(r, "unsettled", json::array())},
          {"data_state", field(r, "data_state")},
          {"balance_ok", field(r, "balance_ok")},
          {"raw_categories", field(r, "raw_categories", json::object())}};
}

json flow_dataset_json(const json& rec) {
  json rows = json::array();
  bool provisional = false;
  if (rec.contains("rows") && rec["rows"].is_array())
    for (const auto& r : rec["rows"]) {
      rows.push_back(flow_row_json(r));
      if (field(r, "data_state") == json("provisional")) provisional = true;
    }
  json state = field(rec, "data_state");
  if (state.is_null()) state = provisional ? "provisional" : "final";
  return {{"symbol", field(rec, "symbol")},
          {"provider", field(rec, "provider")},
          {"profile", field(rec, "profile")},
          {"market", field(rec, "market", "KR")},
          {"measure", field(rec, "measure")},
          {"unit", field(rec, "unit")},
          {"data_state", state},
          {"source_endpoint", field(rec, "source_endpoint")},
          {"coverage", field(rec, "coverage", json::object())},
          {"warnings", masked(strings_of(field(rec, "warnings", json::array())))},
          {"rows", rows}};
}

json pressure_block_json(const json& b) {
  json rows = json::array();
  if (b.contains("rows") && b["rows"].is_array())
    for (const auto& r : b["rows"])
      rows.push_back({{"date", iso_day(field(r, "date"))},
                      {"observed_at", field(r, "observed_at")},
                      {"measures", field(r, "measures", json::object())}});
  json as_of = field(b, "data_as_of");
  if (!as_of.is_string() || as_of.get<std::string>().empty()) as_of = nullptr;
  return {{"kind", field(b, "kind")},
          {"status", field(b, "status")},
          {"provider", field(b, "provider")},
          {"market", field(b, "market", "KR")},
          {"granularity", field(b, "granularity")},
          {"measure_units", field(b, "measure_units", json::object())},
          {"data_as_of", as_of},
          {"data_completeness", field(b, "data_completeness")},
          {"unavailable_reason", field(b, "unavailable_reason")},
          {"coverage", field(b, "coverage", json::object())},
          {"warnings", masked(strings_of(field(b, "warnings", json::array())))},
          {"rows", rows},
          {"items", field(b, "items", json::array())},
          {"raw_fields", field(b, "raw_fields", json::array())}};
}

int clamp_days(long long d, int hi) { return (int)std::clamp<long long>(d, 1, hi); }

std::string get_detailed_investor_flow(const server::Args& a) {
  const std::string source = a.str("source");
  const std::string measure = a.str("measure");
  auto [err, codes] = validate_evidence_request(a.opt_str("code"), a.str_list("codes"), source);
  if (!err.empty()) return evidence_error(meta_code(codes), err, md::ST_NOT_FOUND);
  if (!kMeasures.accepts(measure))
    return evidence_error(meta_code(codes),
                          "지원하지 않는 measure입니다: " + measure + " (지원: " + fmt::join(md::evidence_measures(), ", ") + ")",
                          md::ST_NOT_FOUND);
  const int days = clamp_days(a.integer("days"), kFlowDaysMax);
  const bool batch = codes.size() > 1;

  auto svc = evidence_service();
  json result = batch ? svc.investor_flow_batch(codes, days, measure, source)
                      : svc.investor_flow(codes[0], days, measure, source);

  std::vector<std::string> warnings = masked(strings_of(field(result, "warnings")));
  std::string alt = str_or(result, "alternative_provider");
  if (!alt.empty()) warnings.push_back(alt_warning(alt));

  json records = json::array();
  std::string latest;
  bool records_complete = true;
  if (result.contains("records") && result["records"].is_array())
    for (const auto& rec : result["records"]) {
      records.push_back(flow_dataset_json(rec));
      const json& cov = field(rec, "coverage", json::object());
      if (cov.is_object() && (cov.value("complete", true) == false || cov.value("truncated", false) == true))
        records_complete = false;
      for (const auto& row : records.back()["rows"])
        if (row["date"].is_string() && row["date"].get<std::string>() > latest) latest = row["date"].get<std::string>();
    }
  json availability = field(result, "data_availability", json{{"unavailable", json::array()}});
  json failures = field(result, "entity_failures", json::array());

  json body = {{"ok", field(result, "ok", false)},
               {"market", "KR"},
               {"provider", field(result, "provider")},
               {"measure", measure},
               {"unit", field(result, "unit")},
               {"data_availability", availability},
               {"records", records}};
  if (batch) {
    body["entities"] = field(result, "entities", json::array());
    body["entity_failures"] = failures;
  }
  if (batch) {
    for (const auto& f : failures) warnings.push_back(failure_warning(str_or(f, "code"), str_or(f, "reason")));
  } else if (!field(result, "ok", false).get<bool>()) {
    std::string ec = str_or(result, "error_code");
    warnings.push_back(failure_warning(codes[0], ec.empty() ? md::ST_UNAVAILABLE : ec));
  }

  bool unavailable = availability.is_object() && availability.contains("unavailable") &&
                     availability["unavailable"].is_array() && !availability["unavailable"].empty();
  std::string completeness = rmeta::COMPLETE;
  if (records.empty())
    completeness = rmeta::NONE;
  else if ((failures.is_array() && !failures.empty()) || !records_complete || unavailable)
    completeness = rmeta::PARTIAL;
  bool complete = completeness == rmeta::COMPLETE;
  json coverage = {{"coverage_complete", complete}};
  if (!complete) coverage["reason"] = "source_limit";

  body["_meta"] = evidence_meta(meta_code(codes), field(result, "provider"), field(result, "profile"),
                                evidence_status_of(result), latest.empty() ? json(nullptr) : json(latest),
                                completeness, warnings, coverage, json{{"data_availability", availability}});
  return dump_compact(body);
}

std::string get_supply_pressure(const server::Args& a) {
  const std::string source = a.str("source");
  auto [err, codes] = validate_evidence_request(a.opt_str("code"), a.str_list("codes"), source);
  if (!err.empty()) return evidence_error(meta_code(codes), err, md::ST_NOT_FOUND);
  std::vector<std::string> kinds;
  auto add_kind = [&](const std::string& raw) {
    std::string k = fmt::trim(raw);
    if (!k.empty() && !has(kinds, k)) kinds.push_back(k);
  };
  if (auto k = a.opt_str("kind")) add_kind(*k);
  if (auto ks = a.str_list("kinds"))
    for (const auto& k : *ks) add_kind(k);
  if (kinds.empty()) kinds = md::pressure_kinds();
  const int days = clamp_days(a.integer("days"), kPressureDaysMax);

  json result = evidence_service().supply_pressure_batch(codes, kinds, days, source);

  std::vector<std::string> warnings = masked(strings_of(field(result, "warnings")));
  std::string alt = str_or(result, "alternative_provider");
  if (!alt.empty()) warnings.push_back(alt_warning(alt));

  const json& fallback = field(result, "fallback_blocks", json::object());
  json entities = json::array();
  std::vector<std::string> served;
  bool any_ok = false, some_not_ok = false;
  std::string latest;
  std::vector<std::string> block_warnings;
  if (result.contains("entities") && result["entities"].is_array())
    for (const auto& ent : result["entities"]) {
      std::string code = str_or(ent, "code");
      const json& items = field(ent, "items", json::object());
      json blocks = json::array();
      for (const auto& k : kinds) {
        json b;
        if (items.is_object() && items.contains(k))
          b = items[k];
        else if (fallback.is_object() && fallback.contains(k))
          b = fallback[k];
        else
          continue;
        json bj = pressure_block_json(b);
        if (bj["status"] == "ok") {
          any_ok = true;
          if (!has(served, k)) served.push_back(k);
          auto d = rmeta::normalize_day(bj["data_as_of"]);
          if (d && *d > latest) latest = *d;
        } else {
          some_not_ok = true;
        }
        for (const auto& w : strings_of(bj["warnings"])) block_warnings.push_back(code + " " + k + ": " + server::mask_queries(w));
        blocks.push_back(std::move(bj));
      }
      entities.push_back({{"code", code}, {"blocks", blocks}});
    }
  json failures = field(result, "entity_failures", json::array());
  for (const auto& f : failures) warnings.push_back(failure_warning(str_or(f, "code"), str_or(f, "reason")));
  for (auto& w : block_warnings) warnings.push_back(std::move(w));

  json body = {{"ok", field(result, "ok", false)},
               {"market", "KR"},
               {"provider", field(result, "provider")},
               {"requested_kinds", kinds},
               {"entities", entities},
               {"entity_failures", failures}};

  bool all_served = served.size() == kinds.size();
  std::string completeness = rmeta::COMPLETE;
  if (!any_ok)
    completeness = rmeta::NONE;
  else if (some_not_ok || (failures.is_array() && !failures.empty()) || !all_served)
    completeness = rmeta::PARTIAL;
  bool complete = completeness == rmeta::COMPLETE;
  // served_kinds keeps the requested order.
  json served_json = json::array();
  for (const auto& k : kinds)
    if (has(served, k)) served_json.push_back(k);
  json coverage = {{"requested_kinds", kinds}, {"served_kinds", served_json}, {"coverage_complete", complete}};
  if (!complete) coverage["reason"] = "source_limit";

  body["_meta"] = evidence_meta(meta_code(codes), field(result, "provider"), field(result, "profile"),
                                evidence_status_of(result), latest.empty() ? json(nullptr) : json(latest),
                                completeness, warnings, coverage);
  return dump_compact(body);
}

const server::ToolRegistration reg_flow{"get_detailed_investor_flow", kFlowDoc, get_detailed_investor_flow};
const server::ToolRegistration reg_pressure{"get_supply_pressure", kPressureDoc, get_supply_pressure};
const server::ArgumentShape shape_get_detailed_investor_flow_code{"get_detailed_investor_flow", "code", server::Shape::KrCode};
const server::ArgumentShape shape_get_detailed_investor_flow_codes{"get_detailed_investor_flow", "codes", server::Shape::KrCode};
const server::ArgumentShape shape_get_supply_pressure_code{"get_supply_pressure", "code", server::Shape::KrCode};
const server::ArgumentShape shape_get_supply_pressure_codes{"get_supply_pressure", "codes", server::Shape::KrCode};

// The replies are the JSON documents below (an error too: ok false with its
// reason in the meta); the host sends them as structuredContent too.
const server::ToolDecorRegistration decor_flow{
    "get_detailed_investor_flow",
    {server::json_reply_schema({{"ok", {{"type", "boolean"}}},
                                {"market", {{"type", "string"}}},
                                {"records", server::array_schema()},
                                {"entities", server::array_schema()},
                                {"entity_failures", server::array_schema()}},
                               {"ok", "market"})}};
const server::ToolDecorRegistration decor_pressure{
    "get_supply_pressure",
    {server::json_reply_schema({{"ok", {{"type", "boolean"}}},
                                {"market", {{"type", "string"}}},
                                {"requested_kinds", server::array_schema()},
                                {"entities", server::array_schema()},
                                {"entity_failures", server::array_schema()}},
                               {"ok", "market"})}};

}  // namespace
}  // namespace tessaro::tools
