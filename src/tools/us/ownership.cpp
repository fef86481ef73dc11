// US ownership and derivatives: option chain, insider trades, holders, short interest.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "core/lookup.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/us_format.hpp"

namespace tessaro::tools {

namespace us {
// Economic type of one insider transaction row.
std::string classify_insider_tx(const json& row) {
  std::string t = text(row.value("transaction", json())).value_or("");
  if (t.empty()) t = text(row.value("text", json())).value_or("");
  t = fmt::lower(t);
  auto v = num(row.value("value", json()));
  bool paid = v && *v > 0;
  auto has = [&](const char* s) { return t.find(s) != std::string::npos; };
  if (has("gift")) return "gift";
  if (has("award") || has("grant")) return "grant";
  if (has("tax") || has("payment of exercise")) return "tax_withholding";
  if (has("exercise") || has("conversion")) return "exercise";
  if (has("purchase") || has("buy")) return paid ? "open_market_buy" : "unknown";
  if (has("sale") || has("sell")) return "sale";
  return "unknown";
}
}  // namespace us

namespace {

using namespace tools::us;
using server::Args;


std::string count_text(const json& v) {
  auto d = num(v);
  return d ? fmt::thousands(fmt::round_ll(*d)) : "-";
}

// ---- get_us_options ---------------------------------------------------------
const char* kOptionsDoc =
    "미국 주식 옵션 체인 (현재가 주변 행사가의 콜·풋).\n\n"
    "ticker: 미국 티커\n"
    "expiration: 만기일 YYYY-MM-DD (생략하면 가장 가까운 만기)\n"
    "strikes_around_spot: 현재가 위·아래로 보여 줄 행사가 수 (기본 10)\n"
    "Greeks(델타·감마 등)는 포함되지 않습니다. IV 는 공급자 값이며, 공급자가 계산하지 못한 계약(호가 없음)은 '-' 로 "
    "둡니다(0% 나 50% 가 아님).";

json around_spot(const json& rows, const json& spot, int n) {
  auto s = num(spot);
  if (!s || !rows.is_array()) return rows;
  std::set<double> strikes;
  for (const json& r : rows)
    if (auto k = num(r.value("strike", json()))) strikes.insert(*k);
  std::vector<double> below, above;
  for (double k : strikes) (k < *s ? below : above).push_back(k);
  std::set<double> keep;
  for (size_t i = 0; i < below.size() && int(i) < n; ++i) keep.insert(below[below.size() - 1 - i]);
  for (size_t i = 0; i < above.size() && int(i) < n; ++i) keep.insert(above[i]);
  json out = json::array();
  for (const json& r : rows)
    if (auto k = num(r.value("strike", json())); k && keep.count(*k)) out.push_back(r);
  return out;
}

// Contracts shown without an IV: returns how many, by whether the source sent a
// solver placeholder or nothing.
void option_table(std::vector<std::string>& lines, const std::string& title, const json& rows, size_t& unsolved,
                  size_t& absent) {
  lines.push_back("\n### " + title);
  if (!rows.is_array() || rows.empty()) {
    lines.push_back("데이터 없음");
    return;
  }
  lines.push_back("Strike | Last | Bid | Ask | Vol | OI | IV | ITM");
  lines.push_back("---|---|---|---|---|---|---|---");
  for (const json& r : rows) {
    auto f2 = [&](const char* k) { return fmt::fixed(num(r.value(k, json())).value_or(0.0), 2); };
    auto whole = [&](const char* k) { return std::to_string(fmt::round_ll(num(r.value(k, json())).value_or(0.0))); };
    auto iv = num(r.value("impliedVolatility", json()));
    if (!iv) ++(r.value("iv_unsolved", false) ? unsolved : absent);
    json itm = r.value("inTheMoney", json());
    lines.push_back(fmt::join({f2("strike"), f2("lastPrice"), f2("bid"), f2("ask"), whole("volume"),
                               whole("openInterest"), iv ? fmt::fixed(*iv * 100, 1) + "%" : "-",
                               itm.is_boolean() && itm.get<bool>() ? "Y" : "N"},
                              " | "));
  }
}

std::string get_us_options(const Args& a) {
  std::string ticker = a.str("ticker");
  json exp = a.value("expiration");
  if (exp.is_string() && !exp.get<std::string>().empty()) {
    std::string e = exp.get<std::string>();
    if (e.size() != 10 || !mt::parse_day(e))
      return "⚠️ expiration 은 YYYY-MM-DD 형식이어야 합니다 (받음: " + e + ").";
  } else {
    exp = nullptr;
  }
  int n = int(std::clamp<long long>(a.integer("strikes_around_spot"), 1, 100));
  json d = ::tessaro::us::get_options(ticker, exp);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  const json& exps = d.value("expirations", json::array());
  if (!exps.is_array() || exps.empty()) return "**" + ticker + "** — 옵션 거래 없음.";
  std::vector<std::string> shown;
  for (size_t i = 0; i < exps.size() && i < 8; ++i) shown.push_back(plain(exps[i]));
  std::string avail = fmt::join(shown, ", ") + (exps.size() > 8 ? " ..." : "");
  if (d.value("expiration_not_offered", false))
    return "⚠️ 만기 " + plain(d.value("requested_expiration", json())) + " 는 이 종목에 없습니다. 사용 가능 만기: " + avail;
  std::vector<std::string> lines = {"**" + ticker + "** 옵션 체인"};
  json spot = d.value("spot", json());
  if (auto s = num(spot)) lines.push_back("현재가(spot): $" + fmt::fixed(*s, 2, true));
  lines.push_back("");
  lines.push_back("선택 만기: **" + plain(d.value("selected_expiration", json())) + "**");
  lines.push_back("사용 가능 만기: " + avail);
  size_t unsolved = 0, absent = 0;
  option_table(lines, "📞 Calls", around_spot(d.value("calls", json()), spot, n), unsolved, absent);
  option_table(lines, "📉 Puts", around_spot(d.value("puts", json()), spot, n), unsolved, absent);
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.ticker = ticker;
  if (unsolved + absent > 0) {
    std::string note = "IV '-' " + std::to_string(unsolved + absent) +
                       "건은 공급자가 IV 를 계산하지 못한 계약입니다(호가 없음 등). 자리표시값(1e-05, 0.500005, 0.2500075 …)은 "
                       "값으로 쓰지 않았습니다 - 0% 나 50% 가 아니라 확인 불가입니다.";
    lines.push_back("");
    lines.push_back("※ " + note);
    m.warnings.push_back(note);
    m.extra = json{{"iv_missing", {{"unsolved_placeholder", unsolved}, {"absent", absent}}}};
  }
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_insider ---------------------------------------------------------
const char* kInsiderDoc =
    "미국 주식 내부자 거래 (Form 4) — 실제 현금 거래(공개시장 매수·매도)를 먼저, 부여·증여·행사 등은 유형별로 따로.\n\n"
    "ticker: 미국 티커. 공급자의 6개월 요약은 무상 부여·증여를 매수로 세므로 참고용으로만 보여 주며, "
    "스스로 모순이면 invalid 로 표시합니다.";

const std::vector<std::pair<std::string, std::string>> kTxTypes = {
    {"open_market_buy", "공개시장 매수"},          {"sale", "매도"},
    {"grant", "무상 부여(grant)"},                 {"gift", "증여(gift)"},
    {"exercise", "옵션 행사(exercise)"},           {"tax_withholding", "세금 원천징수(tax_withholding)"},
    {"unknown", "unknown"}};

std::string type_label(const std::string& t) {
  for (auto& [k, l] : kTxTypes)
    if (k == t) return l;
  return t;
}

std::string get_us_insider(const Args& a) {
  std::string ticker = a.str("ticker");
  json d = ::tessaro::us::get_insider(ticker);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  std::vector<std::string> lines = {"**" + ticker + "** 내부자 거래", ""};
  std::vector<std::string> warns;
  const json& txs = d.value("recent_transactions", json::array());
  struct Total {
    long long count = 0;
    double shares = 0, value = 0;
  };
  std::map<std::string, Total> totals;
  std::vector<std::string> types;
  if (txs.is_array())
    for (const json& t : txs) {
      std::string ty = classify_insider_tx(t);
      types.push_back(ty);
      Total& x = totals[ty];
      x.count += 1;
      x.shares += num(t.value("shares", json())).value_or(0.0);
      x.value += num(t.value("value", json())).value_or(0.0);
    }
  Total buy = totals.count("open_market_buy") ? totals["open_market_buy"] : Total{};
  Total sale = totals.count("sale") ? totals["sale"] : Total{};
  lines.push_back("## 💵 실제 현금 거래만 (부여·증여 제외) - 기본 판단 기준");
  lines.push_back("- 공개시장 매수(Purchase): " + std::to_string(buy.count) + "건, $" + fmt::fixed(buy.value, 0, true));
  lines.push_back("- 매도(Sale): " + std::to_string(sale.count) + "건, $" + fmt::fixed(sale.value, 0, true));
  if (buy.count == 0)
    lines.push_back("- ⚠️ 대금이 실제로 지급된 **매수는 없습니다** - 아래 제공자 요약의 순매수는 부여·증여입니다.");
  lines.push_back("");
  lines.push_back("## 📦 전체 주식 이동 (유형별 - 현금 거래와 별개)");
  lines.push_back("유형 | 건수 | 주식수 | 금액($)");
  lines.push_back("---|---:|---:|---:");
  json categories = json::object();
  for (auto& [k, label] : kTxTypes) {
    auto it = totals.find(k);
    if (it == totals.end()) continue;
    lines.push_back(label + " | " + std::to_string(it->second.count) + " | " +
                    fmt::thousands(fmt::round_ll(it->second.shares)) + " | " + fmt::fixed(it->second.value, 0, true));
    categories[k] = json{{"count", it->second.count}, {"shares", it->second.shares}, {"value", it->second.value}};
  }
  if (totals.count("unknown"))
    lines.push_back("※ unknown " + std::to_string(totals["unknown"].count) +
                    "건은 원문에 유형·대금이 비어 있는 이동입니다. 무상 부여 등일 수 있으나 이 데이터로는 확인 불가라 "
                    "매수로도 부여로도 세지 않습니다.");

  // Provider summary: shown for reference, flagged when it contradicts itself.
  const json& summary = d.value("purchases_last_6m", json::array());
  bool summary_valid = true;
  if (summary.is_array() && !summary.empty()) {
    std::optional<double> net_shares, net_pct;
    for (const json& r : summary) {
      if (!r.value("net", false)) continue;
      if (auto s = num(r.value("shares", json()))) net_shares = s;
      if (auto p = num(r.value("percent", json()))) net_pct = p;
    }
    if (net_shares && net_pct && ((*net_shares > 0 && *net_pct < 0) || (*net_shares < 0 && *net_pct > 0))) {
      summary_valid = false;
      warns.push_back("제공자 요약 자체 모순: 순주식수 " + fmt::fixed(*net_shares, 0, true, true) + "주인데 순비율은 " +
                      fmt::fixed(*net_pct, 3, false, true) +
                      "% 로 부호가 다릅니다. 이 요약의 순매수 방향은 신뢰할 수 없습니다(invalid). 무상 부여가 매수로 섞인 "
                      "집계일 가능성이 높으니 위의 현금 거래를 기준으로 읽으세요.");
    }
    lines.push_back("");
    lines.push_back("## 📊 제공자 요약 (부여·증여 포함 - 참고용)");
    bool marked = false;
    for (const json& r : summary) {
      std::vector<std::string> vals;
      if (auto s = num(r.value("shares", json()))) vals.push_back(fmt::thousands(fmt::round_ll(*s)));
      if (auto p = num(r.value("percent", json()))) vals.push_back(fmt::fixed(*p, 3) + "%");
      std::string line = "- " + plain(r.value("label", json())) + ": " + (vals.empty() ? "-" : fmt::join(vals, " "));
      if (auto n = num(r.value("trans", json()))) line += " (" + fmt::thousands(fmt::round_ll(*n)) + "건)";
      if (!summary_valid && !marked && r.value("net", false)) {
        line += " ⚠️ invalid";
        marked = true;
      }
      lines.push_back(line);
    }
  }

  lines.push_back("");
  std::string latest;
  size_t listed = txs.is_array() ? txs.size() : 0;
  if (listed == 0) {
    lines.push_back("내부자 거래 정보 없음 (ETF나 펀드는 해당 없음).");
  } else {
    lines.push_back("## 🗓️ 최근 거래 (" + std::to_string(listed) + ")");
    lines.push_back("일자 | 인사 | 직위 | 유형 | 주식수 | 금액");
    lines.push_back("---|---|---|---|---|---");
    for (size_t i = 0; i < listed; ++i) {
      const json& t = txs[i];
      std::string date = text(t.value("date", json())).value_or("-");
      if (date != "-") latest = std::max(latest, date);
      std::string action = text(t.value("transaction", json())).value_or("");
      if (action.empty()) action = text(t.value("text", json())).value_or("");
      auto cut = action.find(" at price");
      if (cut != std::string::npos) action = action.substr(0, cut);
      if (action.empty()) action = type_label(types[i]);
      auto value = num(t.value("value", json()));
      lines.push_back(fmt::join({date, text(t.value("insider", json())).value_or("-"),
                                 text(t.value("position", json())).value_or("-"), action,
                                 count_text(t.value("shares", json())),
                                 value ? "$" + fmt::fixed(*value, 0, true) : "-"},
                                " | "));
    }
  }

  // The roster is a second request: when it fails, the transactions above stand and
  // the roster is named as not read (never as "no insiders").
  json roster;
  std::string roster_failed;
  try {
    roster = ::tessaro::us::get_insider_roster(ticker);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    roster_failed = lookup_reason(e);
  }
  if (!roster_failed.empty()) {
    lines.push_back("");
    lines.push_back("## 👥 현재 내부자 명단");
    lines.push_back("⚠️ 현재 내부자 명단 조회 실패 (" + roster_failed +
                    ") - 명단이 없다는 뜻이 아니라 확인 불가입니다. 위 거래 내역은 그대로 유효합니다. 잠시 후 다시 시도하세요.");
    warns.push_back("조회 실패: 현재 내부자 명단 (" + roster_failed + ")");
  } else if (roster.is_array() && !roster.empty()) {
    lines.push_back("");
    lines.push_back("## 👥 현재 내부자 명단 (" + std::to_string(roster.size()) + ")");
    lines.push_back("이름 | 직위 | 보유주식 | 최근 거래");
    lines.push_back("---|---|---|---");
    for (size_t i = 0; i < roster.size() && i < 15; ++i) {
      const json& r = roster[i];
      auto name = text(r.value("name", json()));
      auto pos = text(r.value("position", json()));
      json held = r.value("position_direct", json());
      if (held.is_null()) held = r.value("shares_owned_directly", json());
      if (held.is_null()) held = r.value("shares", json());
      std::string recent = text(r.value("most_recent_transaction", json())).value_or("-");
      if (auto dt = text(r.value("latest_transaction_date", json()))) recent += " (" + *dt + ")";
      lines.push_back(fmt::join({name ? fmt::cp_cut(*name, 25) : "-", pos ? fmt::cp_cut(*pos, 25) : "-",
                                 count_text(held), recent},
                                " | "));
    }
  }
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_as_of = latest.empty() ? json(nullptr) : json(latest);
  const bool whole = listed > 0 && roster_failed.empty();
  m.data_completeness = whole ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.coverage = json{{"truncated", false},
                    {"coverage_complete", whole},
                    {"reason", whole ? json(nullptr) : json(roster_failed.empty() ? "unknown" : "source_limit")}};
  if (!roster_failed.empty()) m.coverage["failed_sections"] = json::array({"insider_roster"});
  m.extra = json{{"insider_coverage",
                  {{"provider_window", "6m"},
                   {"transactions_listed", listed},
                   {"latest_transaction_date", m.data_as_of},
                   {"categories", categories},
                   {"provider_summary_valid", summary_valid}}}};
  m.warnings = warns;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_holders ---------------------------------------------------------
const char* kHoldersDoc =
    "미국 주식 보유 현황 (기관·뮤추얼 펀드 상위 보유자, 기관·내부자 보유 비중).\n\n"
    "ticker: 미국 티커. 보유자 목록은 13F 등 보고일 기준이라 최신 매매를 반영하지 않을 수 있습니다.";

std::string pct2(const json& v, bool plus = false) {
  auto d = num(v);
  return d ? fmt::fixed(*d * 100, 2, false, plus) + "%" : "-";
}

std::string get_us_holders(const Args& a) {
  std::string ticker = a.str("ticker");
  json d = ::tessaro::us::get_holders(ticker);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  std::vector<std::string> lines = {"**" + ticker + "** 보유 현황", ""};
  const json& inst = d.value("institutional_holders", json::array());
  const json& funds = d.value("mutualfund_holders", json::array());
  json pi = d.value("held_pct_institutions", json()), pn = d.value("held_pct_insiders", json());
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  bool lists = (inst.is_array() && !inst.empty()) || (funds.is_array() && !funds.empty());
  if (!lists && !num(pi) && !num(pn)) {
    lines.push_back("보유자 정보 없음 (ETF·신규 상장·소형주의 경우 데이터가 제공되지 않을 수 있습니다).");
    return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
  }
  lines.push_back("## 📊 전체 비중");
  if (num(pi)) lines.push_back("- 기관 보유: " + pct2(pi));
  if (num(pn)) lines.push_back("- 내부자 보유: " + pct2(pn));
  std::string latest;
  auto table = [&](const std::string& title, const std::string& head, const std::string& delim, const json& rows,
                   bool full) {
    lines.push_back("");
    lines.push_back(title);
    lines.push_back(head);
    lines.push_back(delim);
    if (!rows.is_array()) return;
    for (size_t i = 0; i < rows.size() && i < 10; ++i) {
      const json& r = rows[i];
      std::string name = fmt::trim(text(r.value("holder", json())).value_or(""));
      auto value = num(r.value("value", json()));
      std::vector<std::string> cells = {name.empty() ? "-" : name, pct2(r.value("pctheld", json())),
                                        count_text(r.value("shares", json())),
                                        value ? "$" + fmt::fixed(*value, 0, true) : "-"};
      std::string date = text(r.value("date_reported", json())).value_or("-");
      if (date != "-") latest = std::max(latest, date);
      if (full) {
        cells.push_back(pct2(r.value("pctchange", json()), true));
        cells.push_back(date);
      }
      lines.push_back(fmt::join(cells, " | "));
    }
  };
  table("## 🏦 기관 투자자 TOP 10", "기관 | 보유% | 주식수 | 평가액 | 변동% | 보고일", "---|---|---|---|---|---", inst, true);
  table("## 💼 뮤추얼 펀드 TOP 10", "펀드 | 보유% | 주식수 | 평가액", "---|---|---|---", funds, false);
  // The breakdown is a second request: a failure there keeps the holder tables.
  json major;
  std::string major_failed;
  try {
    major = ::tessaro::us::get_major_holders(ticker);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    major_failed = lookup_reason(e);
  }
  const json& summary = major.is_object() ? major.value("summary", json::object()) : json::object();
  if (!major_failed.empty()) {
    lines.push_back("");
    lines.push_back("## 📋 Breakdown");
    lines.push_back("⚠️ 보유 구성(Breakdown) 조회 실패 (" + major_failed +
                    ") - 값이 없다는 뜻이 아니라 확인 불가입니다. 위 보유자 표는 그대로 유효합니다.");
    m.warnings.push_back("조회 실패: 보유 구성 Breakdown (" + major_failed + ")");
    m.data_completeness = rmeta::PARTIAL;
    m.coverage = json{{"truncated", false}, {"coverage_complete", false}, {"reason", "source_limit"},
                      {"failed_sections", json::array({"major_holders"})}};
  } else if (summary.is_object() && !summary.empty()) {
    lines.push_back("");
    lines.push_back("## 📋 Breakdown");
    for (auto it = summary.begin(); it != summary.end(); ++it) lines.push_back("- " + it.key() + ": " + plain(*it));
  }
  if (!latest.empty()) m.data_as_of = latest;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_short -----------------------------------------------------------
const char* kShortDoc =
    "미국 주식 공매도 지표 (Shares Short, Float 대비 비율, Days to Cover, 전월 대비).\n\n"
    "ticker: 미국 티커. FINRA 보고일(월 2회)을 반드시 함께 보여 주며, 35일보다 오래된 보고는 stale 로 경고합니다.";

std::string get_us_short(const Args& a) {
  std::string ticker = a.str("ticker");
  json d = ::tessaro::us::get_short_interest(ticker);
  if (d.is_null() || !d.is_object()) return not_found(ticker);
  std::vector<std::string> warns;
  json report_day = nullptr;
  json age = nullptr;
  bool stale = false;
  if (auto t = num(d.value("date_short_interest", json())); t && *t > 0) {
    std::string day = ::tessaro::us::epoch_day((long long)*t);
    report_day = day;
    ReportAge ra = short_report_age(day);
    long days = ra.days.value_or(0);
    age = ra.days ? json(days) : json(nullptr);
    if (ra.stale) {
      stale = true;
      warns.push_back("공매도 보고일(" + day + ")이 " + std::to_string(days) +
                      "일 전입니다 - 통상 주기(2~4주)보다 오래됐습니다(stale). 최신 수치가 아닐 수 있습니다.");
    }
  } else {
    warns.push_back("공매도 수치의 기준일(FINRA 보고일)을 확인하지 못했습니다. 언제 것인지 모르는 값입니다.");
  }
  std::vector<std::string> lines = {"**" + ticker + "** 공매도 지표", "",
                                    "⚠️ 보고 기준일: **" + (report_day.is_string() ? report_day.get<std::string>() : "-") +
                                        "** (FINRA bi-monthly — 최대 2~4주 stale)",
                                    "", "## 📊 현재 지표"};
  auto ss = num(d.value("shares_short", json()));
  lines.push_back(ss ? "- Shares Short: " + fmt::fixed(*ss, 0, true) : "- Shares Short: -");
  if (auto p = num(d.value("short_percent_of_float", json())))
    lines.push_back("- % of Float (shorted): **" + fmt::fixed(*p * 100, 2) + "%**");
  if (auto r = num(d.value("short_ratio", json()))) lines.push_back("- Days to Cover (short ratio): " + fmt::fixed(*r, 2) + "일");
  if (auto f = num(d.value("float_shares", json()))) lines.push_back("- Float: " + fmt::fixed(*f, 0, true) + "주");
  if (auto prior = num(d.value("shares_short_prior_month", json()))) {
    lines.push_back("");
    lines.push_back("## 📈 전월 대비");
    lines.push_back("- 전월 (" + text(d.value("prior_month_date", json())).value_or("-") + "): " + fmt::fixed(*prior, 0, true));
    if (ss) {
      std::string line = "- 변동: " + fmt::fixed(*ss - *prior, 0, true, true);
      if (*prior != 0) line += " (" + fmt::fixed((*ss - *prior) / *prior * 100, 2, false, true) + "%)";
      lines.push_back(line);
    }
  }
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_as_of = report_day;
  bool known = report_day.is_string();
  m.data_completeness = known ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.coverage = json{{"truncated", false}, {"coverage_complete", known}, {"reason", known ? json(nullptr) : json("unknown")}};
  m.extra = json{{"staleness", {{"report_date", report_day}, {"age_days", age}, {"cadence", "FINRA bi-monthly"}, {"stale", stale}}}};
  m.warnings = warns;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

const server::ToolRegistration reg_options{"get_us_options", kOptionsDoc, get_us_options};
const server::ToolRegistration reg_insider{"get_us_insider", kInsiderDoc, get_us_insider};
const server::ToolRegistration reg_holders{"get_us_holders", kHoldersDoc, get_us_holders};
const server::ToolRegistration reg_short{"get_us_short", kShortDoc, get_us_short};
const server::ArgumentShape shape_get_us_options_ticker{"get_us_options", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_insider_ticker{"get_us_insider", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_holders_ticker{"get_us_holders", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_short_ticker{"get_us_short", "ticker", server::Shape::UsTicker};

}  // namespace
}  // namespace tessaro::tools
