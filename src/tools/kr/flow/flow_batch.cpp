// get_flow_batch, screen_by_flow: institutional and foreign net buying of many
// stocks in one reply, and the day's most traded stocks screened for
// consecutive net buying. Per-stock fetches all start at once; the HTTP
// layer's per-host connection limit keeps the site from being flooded.
#include <algorithm>
#include <set>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/day_times.hpp"
#include "server/arg_rules.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/wrappers.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::tools {
namespace {

using server::NEWLINE;

constexpr size_t kBatchMax = 30;
const int kWindows[] = {5, 20, 60};

std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }
// Python "{:+,}" of a share count; zero keeps its plus sign.
std::string sgn(long long v) { return v == 0 ? "+0" : fmt::thousands(v, true); }
long long val(const json& row, const char* k) {
  const json& v = row.value(k, json());
  return v.is_number() ? fmt::round_ll(v.get<double>()) : 0;
}
std::string cell(const json& row, const char* k) {
  const json& v = row.value(k, json());
  return v.is_number() ? sgn(fmt::round_ll(v.get<double>())) : std::string("-");
}

std::string get_flow_batch(const server::Args& a) {
  const json& raw = a.value("codes");
  if (!raw.is_array() || raw.empty()) return "종목코드 리스트가 비어 있습니다.";
  std::vector<std::string> valid, rejected;
  for (const auto& c : raw) {
    std::string s = c.is_string() ? c.get<std::string>() : "";
    (server::is_code(s) ? valid : rejected).push_back(s);
  }
  if (valid.empty()) return "유효한 종목코드가 없습니다 (6자리 영숫자).";
  std::vector<std::string> kept(valid.begin(), valid.begin() + std::min(valid.size(), kBatchMax));
  bool truncated = raw.size() > kept.size() + rejected.size();
  const bool deep = a.boolean("summary");
  const long long requested_days = a.integer("days");
  const int cap = deep ? 60 : 20;
  const int eff = (int)std::max<long long>(std::min<long long>(requested_days, cap), 1);
  const bool days_capped = requested_days > cap;

  ProgressStage progress("수급 조회");
  std::vector<json> results(kept.size());
  parallel_for(kept.size(), kept.size(), [&](size_t i) {
    try {
      results[i] = naver::get_investor_flow(kept[i], eff);
    } catch (...) {
      results[i] = nullptr;
    }
  });
  std::map<std::string, std::string> names;
  try {
    json q = naver::get_multi_stocks(kept);
    if (q.is_array())
      for (const auto& r : q) names[str(r.value("code", json()))] = str(r.value("name", json()));
  } catch (...) {
    names.clear();
  }

  std::vector<std::string> lines;
  if (days_capped)
    lines.push_back("⚠️ " + std::to_string(requested_days) + "일을 요청했지만 이 모드의 상한은 " + std::to_string(cap) +
                    "일입니다. 아래는 최근 " + std::to_string(eff) + "일치입니다 (" +
                    (deep ? "더 긴 구간은 get_flow 로 종목별 조회" : "60일까지는 summary=True 심층 모드로 한 번에 조회 가능") +
                    ").");
  if (truncated)
    lines.push_back("⚠️ " + std::to_string(raw.size()) + "종목을 요청했지만 한 번에 30종목까지만 조회합니다. 앞 " +
                    std::to_string(kept.size()) + "종목만 아래에 있습니다.");
  if (days_capped || truncated) lines.push_back("");
  if (deep) {
    lines.push_back("수급 심층 배치 (" + std::to_string(kept.size()) + "종목, 최근 " + std::to_string(eff) + "거래일 요약):");
    lines.push_back("각 종목: 창별 누적 순매매(주) (순매수 일수/창 일수)  ※ 양수=순매수");
  } else {
    lines.push_back("수급 배치 (" + std::to_string(kept.size()) + "종목, 최근 " + std::to_string(eff) + "일):");
    lines.push_back("각 행: 날짜 | 기관 순매매(주) | 외국인 순매매(주)  ※ 양수=순매수");
  }
  lines.push_back("");

  json per_entity = json::object(), as_of = json::object();
  std::vector<std::string> failed, short_codes, stand_in;
  int ok = 0;
  for (size_t i = 0; i < kept.size(); ++i) {
    const std::string& code = kept[i];
    json rows = results[i].is_array() ? results[i] : json::array();
    std::string label = fmt::trim("[" + code + "] " + names[code]);
    per_entity[code] = rows.size();
    std::optional<std::string> latest;
    for (const auto& r : rows)
      if (auto d = rmeta::normalize_day(r.value("date", json())))
        if (!latest || *d > *latest) latest = *d;
    if (latest) as_of[code] = *latest;
    if (rows.empty()) {
      failed.push_back(code);
      continue;
    }
    ++ok;
    // The trend API was down for this stock and its main page's few days stood in.
    if (naver::flow_from_main_page(rows)) stand_in.push_back(code);
    lines.push_back(label);
    if (deep) {
      std::vector<json> sorted(rows.begin(), rows.end());
      std::stable_sort(sorted.begin(), sorted.end(), [](const json& x, const json& y) {
        auto dx = rmeta::normalize_day(x.value("date", json())), dy = rmeta::normalize_day(y.value("date", json()));
        return dx.value_or("") > dy.value_or("");
      });
      std::set<int> ws;
      for (int w : kWindows)
        if (w <= eff) ws.insert(w);
      ws.insert(std::min<int>((int)sorted.size(), eff));
      for (const auto& [word, key] : std::vector<std::pair<std::string, const char*>>{{"기관  ", "institutional"},
                                                                                       {"외국인", "foreign"}}) {
        std::vector<std::string> parts;
        for (int w : ws) {
          int n = std::min<int>(w, (int)sorted.size());
          long long total = 0;
          int positive = 0;
          for (int k = 0; k < n; ++k) {
            long long v = val(sorted[k], key);
            total += v;
            if (v > 0) ++positive;
          }
          std::string wl = n >= w ? std::to_string(w) + "일" : std::to_string(w) + "일(" + std::to_string(n) + "일치)";
          parts.push_back(wl + " " + sgn(total) + " (" + std::to_string(positive) + "/" + std::to_string(n) + ")");
        }
        lines.push_back("  " + word + " " + fmt::join(parts, " · "));
      }
      lines.push_back("");
    } else {
      long long si = 0, sf = 0;
      for (const auto& r : rows) {
        lines.push_back("  " + str(r.value("date", json())) + "  " + cell(r, "institutional") + "  " + cell(r, "foreign"));
        si += val(r, "institutional");
        sf += val(r, "foreign");
      }
      lines.push_back("  합계(" + std::to_string(rows.size()) + "일)  " + sgn(si) + "  " + sgn(sf));
      lines.push_back("");
    }
  }
  for (const auto& code : kept) {
    long long n = per_entity[code].get<long long>();
    bool via_main_page = std::find(stand_in.begin(), stand_in.end(), code) != stand_in.end();
    if (n > 0 && n < eff && !via_main_page) short_codes.push_back(code);
  }
  if (ok == 0) {
    std::string s = "조회 가능한 종목이 없습니다.";
    if (!failed.empty()) s += " (실패: " + fmt::join(failed, ", ") + ")";
    return s;
  }
  if (!failed.empty()) lines.push_back("※ 조회 실패: " + fmt::join(failed, ", "));
  if (!short_codes.empty()) {
    std::vector<std::string> items;
    for (const auto& c : short_codes) items.push_back(c + "(" + std::to_string(per_entity[c].get<long long>()) + "일)");
    lines.push_back("※ 요청한 " + std::to_string(eff) + "일보다 짧게 온 종목: " + fmt::join(items, ", ") +
                    ". 상장한 지 얼마 안 됐거나 거래정지 구간이 있을 수 있습니다.");
  }
  std::string stand_in_note;
  if (!stand_in.empty()) {
    std::vector<std::string> items;
    for (const auto& c : stand_in) items.push_back(c + "(" + std::to_string(per_entity[c].get<long long>()) + "일)");
    stand_in_note = "투자자 동향 API 조회 실패로 네이버 종목 메인 페이지의 최근 며칠 표로 대신 보여준 종목: " +
                    fmt::join(items, ", ");
    lines.push_back("⚠️ " + stand_in_note);
  }
  bool capped = days_capped || truncated;
  bool incomplete = capped || !short_codes.empty() || !failed.empty() || !stand_in.empty();
  long long returned = 0;
  for (const auto& [c, n] : per_entity.items()) returned += n.get<long long>();
  json reason = capped ? json("server_cap")
                       : !short_codes.empty() || !stand_in.empty() ? json("source_limit")
                       : !failed.empty()                           ? json("unknown")
                                                                   : json(nullptr);
  json coverage = {{"requested", {{"unit", "day"}, {"value", requested_days}}},
                   {"effective", {{"unit", "day"}, {"value", eff}}},
                   {"requested_entities", raw.size()},
                   {"returned_entities", ok},
                   {"per_entity_returned_count", per_entity},
                   {"returned_count", returned},
                   {"total_count", nullptr},
                   {"truncated", capped},
                   {"short_entities", short_codes},
                   {"coverage_complete", !incomplete},
                   {"reason", reason}};
  json latest = nullptr;
  for (const auto& [c, d] : as_of.items())
    if (latest.is_null() || d.get<std::string>() > latest.get<std::string>()) latest = d;
  server::KrMetaArgs m;
  m.kind = "bars";
  m.data_as_of = latest;
  m.data_completeness = incomplete ? rmeta::PARTIAL : rmeta::COMPLETE;
  m.coverage = coverage;
  if (!stand_in_note.empty()) m.warnings = {stand_in_note};
  m.extra = {{"per_entity_data_as_of", as_of}, {"flow_mode", deep ? "window_summary" : "daily"}};
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

const server::Range kTopN{1, 500};
const server::ArgumentRange reg_top_n{"screen_by_flow", "top_n", kTopN};

const server::ArgumentChoices reg_flow_market{"screen_by_flow", "market", server::KR_MARKETS};
const server::ArgumentChoices reg_flow_sort{"screen_by_flow", "sort_by", server::VOLUME_SORT_KEYS};

std::string screen_by_flow(const server::Args& a) {
  if (auto no = server::market_refusal(a.str("market"))) return *no;
  if (auto no = server::volume_sort_refusal(a.str("sort_by"))) return *no;
  const int top_n = (int)kTopN.clamp(a.integer("top_n"));
  const int fd = (int)std::clamp<long long>(a.integer("foreign_days"), 0, 10);
  const int id = (int)std::clamp<long long>(a.integer("inst_days"), 0, 10);
  const int needed = std::max({fd, id, 1});
  const std::string market = server::KR_MARKETS.read(a.str("market"));
  const bool exclude_etf = a.boolean("exclude_etf");
  const std::string key = naver::volume_sort_key(a.str("sort_by"));
  const std::string label = key == "trade_value" ? "거래대금" : "거래량";
  json ranking = naver::get_volume_ranking(market, top_n, key);
  if (!ranking.is_array() || ranking.empty()) {
    if (auto pre = server::preopen_ranking_reply(label, market, "bars")) return *pre;
    server::KrMetaArgs m;
    m.kind = "bars";
    m.data_completeness = rmeta::NONE;
    m.warnings = {market + " " + label + " 순위를 가져오지 못했습니다."};
    return server::append_result_meta(market + " " + label + " 순위를 가져올 수 없습니다.", server::kr_meta(m));
  }
  std::vector<json> candidates;
  std::vector<std::string> excluded;
  std::set<std::string> seen;
  for (const auto& it : ranking) {
    std::string code = str(it.value("code", json()));
    if (code.empty() || !seen.insert(code).second) continue;
    std::string name = str(it.value("name", json()));
    if (exclude_etf && server::looks_like_etf(name)) {
      excluded.push_back(code + " " + name);
      continue;
    }
    candidates.push_back(it);
  }
  std::vector<json> flows(candidates.size());
  ProgressStage progress("수급 조회");
  std::vector<char> got(candidates.size(), 0);
  parallel_for(candidates.size(), candidates.size(), [&](size_t i) {
    try {
      flows[i] = naver::get_investor_flow(str(candidates[i]["code"]), needed);
      got[i] = 1;
    } catch (const Cancelled&) {
      throw;
    } catch (...) {
    }
  });
  int failed = 0, stand_ins = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (!got[i]) ++failed;
    else if (naver::flow_from_main_page(flows[i])) ++stand_ins;
  }
  std::vector<size_t> matches;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!got[i] || !flows[i].is_array() || (int)flows[i].size() < needed) continue;
    const json& rows = flows[i];
    auto all_pos = [&](int n, const char* k) {
      for (int j = 0; j < n; ++j) {
        const json& v = rows[j].value(k, json());
        if (!v.is_number() || v.get<double>() <= 0) return false;
      }
      return true;
    };
    if ((fd == 0 || all_pos(fd, "foreign")) && (id == 0 || all_pos(id, "institutional"))) matches.push_back(i);
  }
  std::vector<std::string> cond;
  if (fd > 0) cond.push_back("외국인 " + std::to_string(fd) + "일 연속 순매수");
  if (id > 0) cond.push_back("기관 " + std::to_string(id) + "일 연속 순매수");
  std::string condition = cond.empty() ? "조건 없음" : fmt::join(cond, " + ");
  std::vector<std::string> lines = {
      "수급 스크리닝 — " + market + " 상위 " + std::to_string(top_n) + " (" + label + ") 중 " + condition,
      "후보 " + std::to_string(candidates.size()) + "개 → 매치 " + std::to_string(matches.size()) + "개" +
          (excluded.empty() ? "" : " (ETF/ETN 제외: " + std::to_string(excluded.size()) + ")"),
      ""};
  server::KrMetaArgs m;
  m.kind = "bars";
  if (failed > 0) m.warnings.push_back("수급 조회 실패 종목 " + std::to_string(failed) + "개 — 스크리닝 후보에서 제외됨.");
  if (stand_ins > 0)
    m.warnings.push_back("투자자 동향 API 조회 실패로 네이버 종목 메인 페이지의 최근 며칠 표로 판정한 종목 " +
                         std::to_string(stand_ins) + "개.");
  m.data_completeness = failed > 0 || stand_ins > 0 ? rmeta::PARTIAL : rmeta::COMPLETE;
  // Said in the text too: a reader of the table must know which lookups failed
  // and which were judged on the stand-in table.
  std::vector<std::string> notes;
  if (failed > 0)
    notes.push_back("⚠️ 수급 조회 실패 " + std::to_string(failed) + "종목 — 확인하지 못해 후보에서 제외했습니다 (조건 "
                    "불충족이 아니라 모름).");
  if (stand_ins > 0)
    notes.push_back("※ 대체 출처: " + std::to_string(stand_ins) +
                    "종목은 투자자 동향 API가 응답하지 않아 종목 메인 페이지의 최근 며칠 표로 판정했습니다.");
  if (!candidates.empty() && failed == (int)candidates.size()) {
    m.data_completeness = rmeta::NONE;
    lines.push_back("⚠️ 수급 조회에 모두 실패했습니다 (" + std::to_string(failed) +
                    "종목) — 조건을 만족하는 종목이 없는 것이 아니라 확인하지 못했습니다. 잠시 후 다시 시도해 주세요.");
    lines.push_back(server::DOCTOR_HINT);
    return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
  }
  for (const auto& n : notes) lines.push_back(n);
  if (!notes.empty()) lines.push_back("");
  if (matches.empty()) {
    lines.push_back("⚠️ 조건을 만족하는 종목이 없습니다.");
    lines.push_back("");
    lines.push_back("💡 조건 완화 예: foreign_days=1 또는 inst_days=0 (외국인만 검사)");
    if (!excluded.empty()) {
      std::vector<std::string> first(excluded.begin(), excluded.begin() + std::min<size_t>(5, excluded.size()));
      lines.push_back("제외된 ETF/ETN (" + std::to_string(excluded.size()) + "개): " + fmt::join(first, ", ") +
                      (excluded.size() > 5 ? " …" : ""));
    }
    return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
  }
  lines.push_back("매치 종목 (각 행: 날짜 | 기관 순매매 | 외국인 순매매, 양수=순매수):");
  lines.push_back("");
  json matched = json::array();
  for (size_t i : matches) {
    const json& c = candidates[i];
    matched.push_back(c);
    const json& price = c.value("price", json());
    lines.push_back("[" + str(c["code"]) + "] " + str(c.value("name", json())) + "  현재가 " +
                    (price.is_number() ? fmt::thousands(fmt::round_ll(price.get<double>())) : std::string("-")) + " (" +
                    str(c.value("change_rate", json())) + ")");
    for (int j = 0; j < needed; ++j) {
      const json& r = flows[i][j];
      lines.push_back("  " + str(r.value("date", json())) + "  기관 " + cell(r, "institutional") + "  외국인 " +
                      cell(r, "foreign"));
    }
    lines.push_back("");
  }
  // The ranking marks no session: a row's price is an after-market trade while
  // one can be showing (ETFs and ETNs have none).
  mt::tag_list_sessions(matched, mt::build_market_clock()["krx"],
                        [](const json& r) { return server::looks_like_etf(str(r.value("name", json()))); });
  auto [session, counts] = mt::rows_price_session(matched);
  if (auto note = mt::rows_session_note(counts)) lines.push_back(*note);
  m.price_session = session;
  return server::append_result_meta(fmt::join(lines, NEWLINE), server::kr_meta(m));
}

const char* kBatch =
    "수급벌크 — 여러 종목의 투자자 수급(기관·외국인 순매매)을 한 번에 병렬 조회.\n"
    "종목마다 get_flow 를 부르는 것보다 훨씬 빠릅니다. 관심종목 수급 비교, '이 종목들 외국인 매수 같이 들어왔나' 같은 질문에 "
    "쓰세요.\n\ncodes: 종목코드 리스트 (최대 30개)\n"
    "days: 조회 일수 (기본 5, 일별 모드 최대 20 / summary 모드 최대 60)\n"
    "summary: True 면 일별 행 대신 5/20/60일 누적·순매수 일수 요약 (기본 False)";
const char* kScreen =
    "수급스크리닝 — 거래대금/거래량 상위 N개 중 외국인·기관이 최근 며칠 연속 순매수한 종목만 추립니다.\n"
    "'거래대금 상위 중 외국인·기관 동반 매수', '이틀 연속 수급 들어온 종목' 같은 질문에 쓰세요.\n\n"
    "top_n: 후보 수 (기본 100, 최대 500). 클수록 정확하나 느림(500≈20~50초)\n"
    "market: \"KOSPI\" / \"KOSDAQ\" / \"ALL\"\n"
    "foreign_days: 최근 N일 모두 외국인 순매수여야 매치 (0=미적용)\n"
    "inst_days: 최근 N일 모두 기관 순매수여야 매치 (0=미적용)\n"
    "exclude_etf: ETF/ETN 제외 (기본 True)\n"
    "sort_by: \"trade_value\"(거래대금, 기본) / \"volume\"(거래량)";

const server::ToolRegistration r1{"get_flow_batch", kBatch, get_flow_batch};
const server::ToolRegistration r2{"screen_by_flow", kScreen, screen_by_flow};

}  // namespace
}  // namespace tessaro::tools
