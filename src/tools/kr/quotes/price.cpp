// get_price: one quote of one Korean stock, with the session that made it, the
// 15:30 regular close in the after-market and the NXT quote as a separate block.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "core/lookup.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "market_time/day_times.hpp"
#include "market_time/quote_standing.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/naver/naver.hpp"
#include "sources/watchlist.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "현재가 — 종목의 현재 시세 스냅샷 (오늘 하루치 OHLC + 거래량).\n\n"
    "2개 이상 종목의 시세가 필요하면 이 도구를 반복 호출하지 말고 get_multi_stocks를 한 번 호출하세요.\n"
    "한 시점의 스냅샷이며 시계열이 아닙니다. 과거 흐름·일봉 이력은 get_chart를 사용하세요.\n"
    "NXT(대체거래소)에서도 거래되는 종목(KOSPI 200, KOSDAQ 150 등)은 KRX 정규장 수치가 본 수치이고, "
    "NXT 시세는 별도 블록으로 덧붙입니다. 두 시장의 수치를 섞지 마세요.\n\n"
    "Args:\n    code: 6자리 종목코드 (예: \"005930\")";

// Amounts as delivered: whole numbers with separators, fractions kept.
std::string amount(const json& v, bool plus = false) {
  if (v.is_number_integer() || v.is_number_unsigned()) return fmt::thousands(v.get<long long>(), plus);
  if (v.is_number_float()) {
    double d = v.get<double>();
    std::string s = fmt::pyfloat(d);
    bool neg = !s.empty() && s[0] == '-';
    if (neg) s = s.substr(1);
    auto dot = s.find_first_of(".eE");
    std::string ip = dot == std::string::npos ? s : s.substr(0, dot);
    std::string rest = dot == std::string::npos ? "" : s.substr(dot);
    std::string grouped;
    for (size_t i = 0; i < ip.size(); ++i) {
      if (i && (ip.size() - i) % 3 == 0) grouped += ',';
      grouped += ip[i];
    }
    return std::string(neg ? "-" : (plus && d > 0 ? "+" : "")) + grouped + rest;
  }
  if (v.is_string()) return v.get<std::string>();
  return "-";
}

bool nonzero_number(const json& v) { return v.is_number() && v.get<double>() != 0; }

std::string signed_amount(const json& v) {
  // "+" only for positive values; a negative value carries its own minus.
  return amount(v, true);
}

std::string session_label(const std::map<std::string, std::string>& table, const std::string& s,
                          const std::string& dflt) {
  auto it = table.find(s);
  return it == table.end() ? dflt : it->second;
}

// The stock's investment-warning, investment-risk and administrative-issue
// designations from the exchange's lists. Lists that could not be read leave
// their cause in `unknown`.
std::vector<std::string> designations(const std::string& code, std::string& unknown) {
  std::vector<std::string> out;
  std::vector<std::string> failed;
  auto take = [&](const json& labels_by_code, const std::vector<std::string>& wanted) {
    if (!labels_by_code.is_object()) return;
    if (labels_by_code.contains("_failed") && labels_by_code["_failed"].is_array())
      for (const auto& f : labels_by_code["_failed"])
        if (f.is_string() && std::find(wanted.begin(), wanted.end(), f.get<std::string>()) != wanted.end())
          failed.push_back(f.get<std::string>() + " 목록");
    if (!labels_by_code.contains(code) || !labels_by_code[code].is_array()) return;
    for (const auto& l : labels_by_code[code])
      if (l.is_string() && std::find(wanted.begin(), wanted.end(), l.get<std::string>()) != wanted.end())
        out.push_back(l.get<std::string>());
  };
  try {
    take(naver::get_alert_codes(), {"투자위험", "투자경고"});
  } catch (const std::exception& e) {
    failed.push_back("시장경보 목록 " + lookup_reason(e));
  }
  try {
    take(naver::get_management_codes(), {"관리종목"});
  } catch (const std::exception& e) {
    failed.push_back("관리종목 목록 " + lookup_reason(e));
  }
  unknown = fmt::join(failed, ", ");
  return out;
}

// The source answered that it has nothing for the code (a chart without items,
// a quote list without it): recorded as "not found" in this call's ledger. An
// empty result without such an answer (a malformed argument never sent) is not.
bool source_said_not_found() {
  if (CallContext* c = current_call())
    for (const auto& e : c->ledger())
      if (e.outcome == LookupStatus::not_found) return true;
  return false;
}

std::string get_price(const server::Args& args) {
  const std::string code = args.str("code");
  auto got = server::code_lookup([&] { return naver::get_current_price(code); });
  if (got.failure()) return server::code_failed_reply(code, "현재가", got.reason, "snapshot");
  if (got.missing() && source_said_not_found()) return server::code_not_found_reply(code, "snapshot");
  json rec = got.value;
  const std::vector<std::string> required = {"price", "change", "open", "high", "low", "volume"};

  std::vector<std::string> missing;
  bool empty = !rec.is_object() || rec.empty();
  if (empty) {
    missing = required;
  } else {
    std::set<std::string> m;
    if (rec.contains(naver::PARSE_MISS_KEY) && rec[naver::PARSE_MISS_KEY].is_array())
      for (const auto& f : rec[naver::PARSE_MISS_KEY])
        if (f.is_string()) m.insert(f.get<std::string>());
    for (const auto& f : required)
      if (!rec.contains(f)) m.insert(f);
    missing.assign(m.begin(), m.end());
  }

  if (empty || !rec.contains("price") || rec["price"].is_null()) {
    std::string name = (!empty && rec.value("name", json()).is_string()) ? rec["name"].get<std::string>() : "";
    std::string text, warning;
    if (!name.empty()) {
      std::string joined = fmt::join(missing, ", ");
      text = name + "(" + code + ")의 시세를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n못 읽은 항목: " +
             (joined.empty() ? "현재가" : joined) + "\n네이버 증권 페이지 구조가 바뀌었을 수 있어요. " +
             server::PARSE_FAIL_NEXT;
      warning = "현재가 파싱 실패(구조 변경 의심): " + (joined.empty() ? std::string("price") : joined);
    } else {
      text = "종목코드 " + code + "의 현재가를 가져올 수 없습니다.";
      warning = "현재가 데이터를 가져오지 못했습니다.";
    }
    server::KrMetaArgs ma;
    ma.kind = "snapshot";
    ma.code = code;
    ma.data_completeness = rmeta::NONE;
    ma.warnings = {warning};
    return server::append_result_meta(text, server::kr_meta(ma));
  }

  const bool has_nxt = rec.contains("nxt_price");
  const std::string session = rec.value("price_session", json()).is_string() ? rec["price_session"].get<std::string>() : "";
  const bool after = session == rmeta::PRICE_SESSION_AFTER_MARKET;
  std::string header;
  if (session.empty()) header = has_nxt ? "현재가 (KRX 정규장)" : "현재가";
  else header = "현재가 (" + session_label(server::KR_SESSION_LABEL, session, "KRX, 세션 미확인") + ")";

  const json base = rec.value("base_price", json());
  json check;
  json regular_close;
  // The regular close of the quote's own day: 15:30, 16:30 on the exam day.
  std::string close_hm = "15:30";
  if (const json qd = rec.value("quote_date", json()); qd.is_string())
    if (auto d = mt::parse_day(qd.get<std::string>())) close_hm = mt::hm_text(mt::krx_day_times_or_usual(*d).regular_close);
  if (after) {
    check = {{"date", nullptr}, {"regular_close", nullptr}, {"status", "no_quote_date"}, {"source", "naver_minute_1530"}};
    const json qd = rec.value("quote_date", json());
    if (qd.is_string() && !qd.get<std::string>().empty()) {
      check["date"] = qd;
      try {
        auto r = naver::lookup_regular_close(code, qd.get<std::string>(), close_hm);
        check["status"] = r.status;
        if (r.status == naver::REGULAR_CLOSE_LOOKUP_FAILED && !r.reason.empty()) check["reason"] = r.reason;
        if (r.close) {
          auto v = r.close;
          regular_close = *v == static_cast<long long>(*v) ? json(static_cast<long long>(*v)) : json(*v);
          check["regular_close"] = regular_close;
        }
      } catch (...) {
        check["status"] = "lookup_failed";
      }
    }
  }

  std::vector<std::string> lines;
  // The ⭐ mark is decoration: a watchlist file that cannot be read costs the
  // mark and one warning line, never the quote.
  auto wl_lookup = wl::try_codes();
  const auto& wl_codes = wl_lookup.value;
  bool starred = std::find(wl_codes.begin(), wl_codes.end(), code) != wl_codes.end();
  std::string name = rec.value("name", json()).is_string() ? rec["name"].get<std::string>() : code;
  lines.push_back(std::string(starred ? "⭐ " : "") + "종목: " + name + " (" + code + ")");

  std::vector<std::string> flags;
  if (rec.contains("status_flags") && rec["status_flags"].is_array())
    for (const auto& f : rec["status_flags"])
      if (f.is_string()) flags.push_back(f.get<std::string>());
  std::string designation_unknown;
  for (const auto& d : designations(code, designation_unknown))
    if (std::find(flags.begin(), flags.end(), d) == flags.end()) flags.push_back(d);
  if (!flags.empty())
    lines.push_back("⚠️ **시장경보/지정: " + fmt::join(flags, " · ") + "** — 일반 종목과 매매 조건·위험이 다릅니다");

  lines.push_back(header + ": " + amount(rec["price"]) + "원");
  // A last trade from before the latest trading day (a halted or illiquid stock,
  // the first seconds after the open) is that day's value, said beside the price.
  const mt::QuoteStanding standing =
      mt::quote_standing(rec.value("quote_date", json()), session.empty() ? json() : json(session),
                         mt::build_market_clock()["krx"]);
  if (standing.before_latest)
    lines.push_back("※ 마지막 체결 " + standing.data_as_of.get<std::string>() +
                    " — 그 뒤로 체결이 없어 오늘 시세가 아닙니다(거래정지·거래가 드문 종목이거나 개장 직후).");
  const std::string change_label = after ? "기준가 대비" : "전일대비";
  if (!rec.contains("change")) {
    lines.push_back(change_label + ": 데이터 없음");
  } else {
    std::string b = (after && nonzero_number(base)) ? " (기준가 " + amount(base) + "원)" : "";
    lines.push_back(change_label + ": " + signed_amount(rec["change"]) + "원" + b);
  }
  if (after) {
    if (regular_close.is_null()) {
      lines.push_back("정규장 종가 (" + close_hm + "): 확인 불가 (네이버 분봉에 " + close_hm + " 체결이 없거나 조회 실패)");
    } else {
      std::string l = "정규장 종가 (" + close_hm + "): " + amount(regular_close) + "원";
      if (nonzero_number(base)) {
        double diff = regular_close.get<double>() - base.get<double>();
        json d = (diff == static_cast<long long>(diff)) ? json(static_cast<long long>(diff)) : json(diff);
        double pct = diff / base.get<double>() * 100.0;
        l += " (기준가 대비 " + signed_amount(d) + "원, " + fmt::fixed(pct, 2, false, true) + "%)";
      }
      lines.push_back(l);
    }
  }
  const std::string sfx = after ? " (애프터마켓 포함)" : "";
  struct F {
    const char* key;
    std::string label;
    const char* unit;
  };
  for (const F& f : {F{"open", "시가", "원"}, F{"high", "고가" + sfx, "원"}, F{"low", "저가" + sfx, "원"},
                     F{"volume", "거래량" + sfx, ""}}) {
    if (rec.contains(f.key)) lines.push_back(f.label + ": " + amount(rec[f.key]) + f.unit);
    else lines.push_back(f.label + ": 데이터 없음");
  }

  if (has_nxt) {
    lines.push_back("");
    std::string ns = rec.value("nxt_price_session", json()).is_string() ? rec["nxt_price_session"].get<std::string>() : "";
    std::string short_label;
    if (!ns.empty()) {
      auto it = server::SESSION_SHORT.find(ns);
      if (it != server::SESSION_SHORT.end()) short_label = ", " + it->second;
    }
    lines.push_back("─ NXT(대체거래소" + short_label + ") ─");
    lines.push_back("현재가: " + amount(rec["nxt_price"]) + "원");
    if (rec.contains("nxt_change")) lines.push_back("전일대비: " + signed_amount(rec["nxt_change"]) + "원");
    if (rec.contains("nxt_volume")) lines.push_back("거래량: " + amount(rec["nxt_volume"]));
    std::string scope = (!session.empty() && session != rmeta::PRICE_SESSION_REGULAR) ? "KRX" : "정규장";
    lines.push_back("※ NXT는 KRX와 별도 체결 시장으로, 위 " + scope + " 수치에 포함되지 않습니다");
  }

  // The current quote API failed and the older one answered.
  std::string fallback_note;
  if (rec.value("quote_source", std::string()) == "legacy_polling") {
    fallback_note = "네이버 현재가 API 조회 실패 — 구 시세 API 값으로 대신 보여드립니다";
    if (session == rmeta::PRICE_SESSION_UNKNOWN)
      fallback_note += " (장중이 아니면 체결 시각이 없어 어느 날·어느 세션의 값인지 확인할 수 없습니다)";
    lines.push_back("");
    lines.push_back("⚠️ " + fallback_note);
  }

  if (wl_lookup.failure()) {
    lines.push_back("");
    lines.push_back("⚠️ " + wl_lookup.reason + " — 관심종목 표시(⭐)만 빠졌고 시세는 그대로입니다.");
  }

  std::vector<std::string> warnings;
  if (!flags.empty()) warnings.push_back("시장경보/지정 종목: " + fmt::join(flags, " · "));
  if (!fallback_note.empty()) warnings.push_back(fallback_note);
  if (wl_lookup.failure()) warnings.push_back(wl_lookup.reason);
  if (!designation_unknown.empty())
    warnings.push_back("시장경보·관리종목 지정 여부 확인 불가(" + designation_unknown +
                       ") — 지정이 없다는 뜻이 아닙니다.");
  if (!missing.empty())
    warnings.push_back("읽지 못한 항목: " + fmt::join(missing, ", ") + " — 값이 0인 것이 아니라 결측입니다.");
  json extra = json::object();
  if (!base.is_null()) extra["base_price"] = base;
  if (after) {
    if (close_hm != "15:30") check["regular_close_time"] = close_hm;
    extra["regular_close_check"] = json::array({check});
  }

  server::KrMetaArgs ma;
  ma.kind = "quote";
  ma.code = code;
  ma.name = rec.value("name", json());
  ma.data_as_of = rec.value("quote_date", json());
  ma.data_completeness = missing.empty() ? rmeta::COMPLETE : rmeta::PARTIAL;
  ma.warnings = warnings;
  ma.price_session = session.empty() ? json() : json(session);
  ma.extra = extra.empty() ? json() : extra;
  return server::append_result_meta(fmt::join(lines, server::NEWLINE), server::kr_meta(ma));
}

const server::ToolRegistration reg{"get_price", kDoc, get_price};
const server::ArgumentShape shape_get_price_code{"get_price", "code", server::Shape::KrCode};

}  // namespace
}  // namespace tessaro::tools
