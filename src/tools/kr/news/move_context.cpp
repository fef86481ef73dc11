// get_move_context: the facts of one stock's day in time order — quote,
// volume against the recent average, today's articles, disclosures and broker
// reports — without judging which one moved the price.
#include <algorithm>
#include <chrono>
#include <exception>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "market_time/quote_standing.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "tools/kr/news/move_context.hpp"
#include "tools/kr/news/news_collect.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "오늘왜움직였나 — 시세·거래량 배수·기사·거래소 공시·증권사 리포트를 **시각순으로** 한 번에.\n\n"
    "현재가(세션 표시 포함), 최근 평균 대비 거래량 배수, 오늘 기사(시각순), 오늘·최근 14일 거래소 공시, 최근 30일 "
    "증권사 리포트를 함께 모아 놓습니다. 어느 것이 원인인지는 판정하지 않습니다. 한 출처가 실패하면 그 부분만 "
    "\"조회 실패\"로 표시하고 나머지는 그대로 돌려줍니다 — 실패는 '없음'이 아니라 '모름'입니다.\n\n"
    "Args:\n"
    "    code: 6자리 종목코드";

constexpr int kDisclosureCount = 20;

std::string error_name(const std::exception_ptr& ep) {
  try {
    std::rethrow_exception(ep);
  } catch (const std::exception& e) {
    return exception_class_name(e);
  } catch (...) {
    return "Exception";
  }
}

// The name a non-list value would have had for the reader of a failure line.
std::string value_type_name(const json& v) {
  if (v.is_null()) return "NoneType";
  if (v.is_object()) return "dict";
  if (v.is_string()) return "str";
  if (v.is_boolean()) return "bool";
  if (v.is_number_float()) return "float";
  if (v.is_number()) return "int";
  return "parse";
}

std::string text_of(const json& obj, const char* key) {
  if (!obj.is_object() || !obj.contains(key)) return "";
  const json& v = obj[key];
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  if (v.is_number()) return fmt::pyfloat(v.get<double>());
  return "";
}

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

bool is_num(const json& obj, const char* key) {
  return obj.is_object() && obj.contains(key) && obj[key].is_number();
}

std::string day_of(const json& obj, const char* key) {
  if (!obj.is_object() || !obj.contains(key)) return "";
  auto d = rmeta::normalize_day(obj[key]);
  return d ? *d : text_of(obj, key);
}

}  // namespace

namespace news {

std::string with_commas(const json& v, bool plus) {
  if (v.is_number_integer()) return fmt::thousands(v.get<long long>(), plus);
  double d = v.get<double>();
  if (d == (double)(long long)d) return fmt::thousands((long long)d, plus);
  return fmt::fixed(d, 2, true, plus);
}

std::string volume_ratio_text(const json& rows, const std::string& today_compact, double today_volume) {
  if (!rows.is_array() || rows.empty()) return "";
  std::vector<const json*> prior;
  for (const auto& r : rows) {
    std::string d = fmt::replace_all(fmt::replace_all(text_of(r, "date"), "-", ""), ".", "");
    if (d != today_compact) prior.push_back(&r);
  }
  size_t start = prior.size() > 20 ? prior.size() - 20 : 0;
  double sum = 0;
  int n = 0;
  for (size_t i = start; i < prior.size(); ++i) {
    const json& r = *prior[i];
    if (is_num(r, "volume")) {
      sum += r["volume"].get<double>();
      ++n;
    }
  }
  if (n == 0) return "";
  double avg = sum / n;
  if (avg <= 0) return "";
  return " — 최근 " + std::to_string(n) + "거래일 평균(" + fmt::fixed(avg, 0, true) + "주)의 " +
         fmt::fixed(today_volume / avg, 1) + "배";
}

}  // namespace news

namespace {

std::string get_move_context(const server::Args& a) {
  std::string code = a.str("code");
  if (!news::valid_code(code)) return news::BAD_CODE_TEXT;

  mt::Instant now = mt::now();
  mt::Civil kst = mt::to_kst(now);
  std::string today = kst.date_str();
  std::string today_compact = fmt::replace_all(today, "-", "");
  std::string since14 = mt::day_str(kst.date() - std::chrono::days(14));
  std::string since30 = mt::day_str(kst.date() - std::chrono::days(30));

  news::KrSources src = news::sources();
  json res[4];
  auto errs = parallel_for(4, 4, [&](size_t i) {
    switch (i) {
      case 0: res[0] = src.current_price(code); break;
      case 1: res[1] = src.ohlcv(code, "day", 25); break;
      case 2: res[2] = src.disclosures(code, kDisclosureCount); break;
      default: res[3] = src.reports(code, 5); break;
    }
  });

  std::vector<std::pair<std::string, std::string>> failed;
  auto reason_of = [&](size_t i) { return errs[i] ? error_name(errs[i]) : value_type_name(res[i]); };

  // Price snapshot.
  bool price_ok = !errs[0] && res[0].is_object() && res[0].contains("price");
  const json& quote = res[0];
  if (!price_ok) failed.emplace_back("시세", errs[0] ? error_name(errs[0]) : "parse");
  std::optional<std::string> name;
  if (!errs[0] && quote.is_object() && quote.contains("name") && quote["name"].is_string() &&
      !quote["name"].get<std::string>().empty())
    name = quote["name"].get<std::string>();

  const char* labels[] = {"", "일봉", "공시", "리포트"};
  bool have[4] = {price_ok, false, false, false};
  for (size_t i = 1; i < 4; ++i) {
    have[i] = !errs[i] && res[i].is_array();
    if (!have[i]) failed.emplace_back(labels[i], reason_of(i));
  }
  const json& bars = res[1];
  const json empty = json::array();
  const json& discs = have[2] ? res[2] : empty;
  const json& reports = have[3] ? res[3] : empty;

  // Articles.
  news::NewsCollection col = news::collect_kr_news(code, name, 15);
  for (auto it = col.status.begin(); it != col.status.end(); ++it) {
    std::string v = it.value().get<std::string>();
    if (fmt::starts_with(v, "failed"))
      failed.emplace_back("뉴스(" + news::source_label(it.key()) + ")", v.substr(v.find(':') + 1));
  }
  std::vector<json> today_news, older;
  for (const auto& r : col.items) {
    std::string dt = r.value("datetime", std::string());
    if (fmt::starts_with(dt, today)) today_news.push_back(r);
    else if (older.size() < 5) older.push_back(r);
  }
  std::stable_sort(today_news.begin(), today_news.end(), [](const json& x, const json& y) {
    return x.value("datetime", std::string()) < y.value("datetime", std::string());
  });
  std::vector<const json*> today_disc;
  for (const auto& d : discs)
    if (day_of(d, "date") == today) today_disc.push_back(&d);

  std::vector<std::string> L;
  std::string label = name ? *name + " (" + code + ")" : code;
  L.push_back("## 오늘 움직임 맥락 — " + label + " · " + today);
  L.push_back("");
  // The quote's own day: before the open (or for a halted stock) it is an earlier day's last trade.
  const std::optional<std::string> quote_day = price_ok ? mt::quote_day_of(quote) : std::nullopt;
  if (quote_day && *quote_day != today)
    L.push_back("### 시세 (" + *quote_day + " 마지막 체결 — 오늘(" + today + ") 체결 아님)");
  else
    L.push_back("### 시세");
  if (!price_ok) {
    L.push_back("- 조회 실패(" + failed.front().second + ") — 시세 없음이 아니라 모름");
  } else {
    bool has_base = is_num(quote, "base_price") && quote["base_price"].get<double>() != 0;
    std::string change_text;
    if (!is_num(quote, "change")) {
      change_text = "전일대비 데이터 없음";
    } else {
      change_text = news::with_commas(quote["change"], true) + "원";
      if (has_base)
        change_text += " (" +
                       fmt::fixed(quote["change"].get<double>() / quote["base_price"].get<double>() * 100, 2,
                                  false, true) +
                       "%)";
    }
    std::string line = "- 현재가 " + (is_num(quote, "price") ? news::with_commas(quote["price"], false)
                                                             : or_dash(text_of(quote, "price"))) +
                       "원";
    std::string session = text_of(quote, "price_session");
    auto sl = server::KR_SESSION_LABEL.find(session);
    if (sl != server::KR_SESSION_LABEL.end() && !sl->second.empty()) line += " [" + sl->second + "]";
    line += ", 기준가 대비 " + change_text;
    if (has_base) line += " (기준가 " + news::with_commas(quote["base_price"], false) + "원)";
    L.push_back(line);
    if (is_num(quote, "open") && is_num(quote, "high") && is_num(quote, "low"))
      L.push_back("- 시가 " + news::with_commas(quote["open"], false) + " / 고가 " +
                  news::with_commas(quote["high"], false) + " / 저가 " + news::with_commas(quote["low"], false));
    if (is_num(quote, "volume"))
      L.push_back("- 거래량 " + news::with_commas(quote["volume"], false) + "주" +
                  news::volume_ratio_text(have[1] ? bars : json(nullptr), today_compact,
                                          quote["volume"].get<double>()));
    else
      L.push_back("- 거래량 데이터 없음");
  }

  L.push_back("");
  L.push_back("### 오늘 시각순 — 기사");
  if (today_news.empty()) {
    bool news_failed = std::any_of(failed.begin(), failed.end(),
                                   [](const auto& f) { return fmt::starts_with(f.first, "뉴스"); });
    if (news_failed && col.items.empty())
      L.push_back("- 뉴스 조회 실패 — 기사 없음이 아니라 모름");
    else
      L.push_back("- 오늘 날짜 기사 없음 (조회 성공 범위 안에서. 이름검색은 당일 기사를 빨리 잡지만 태그는 늦게 붙습니다)");
  } else {
    for (auto& l : news::render_news_lines(json(today_news), name)) L.push_back(std::move(l));
  }

  if (!today_disc.empty()) {
    L.push_back("");
    L.push_back("### 오늘 거래소 공시 (시각 없음, 날짜만)");
    for (const json* d : today_disc)
      L.push_back("- " + or_dash(text_of(*d, "title")) + " · " + or_dash(text_of(*d, "source")));
  }
  if (!older.empty()) {
    L.push_back("");
    L.push_back("### 최근 기사 (오늘 제외, 최신 5건)");
    for (auto& l : news::render_news_lines(json(older), name)) L.push_back(std::move(l));
  }

  auto reason_for = [&](const std::string& lbl) {
    for (const auto& f : failed)
      if (f.first == lbl) return f.second;
    return std::string();
  };

  L.push_back("");
  L.push_back("### 최근 14일 거래소 공시 (" + since14 + " ~ " + today + ")");
  if (!have[2]) {
    L.push_back("- 조회 실패(" + reason_for("공시") + ") — 없음이 아니라 모름");
  } else {
    size_t shown = 0;
    for (const auto& d : discs) {
      std::string day = day_of(d, "date");
      if (day < since14) continue;
      L.push_back("- " + day + " · " + or_dash(text_of(d, "title")) + " · " + or_dash(text_of(d, "source")));
      ++shown;
    }
    if (shown == 0) L.push_back("- 없음 (조회 성공, 0건) — 재료 없음이 아닙니다. 보도자료·기사는 공시가 아닙니다.");
  }
  L.push_back("  (DART 전용 보고서·기간 전체는 Dorvik `list_disclosures`)");

  L.push_back("");
  L.push_back("### 최근 30일 증권사 리포트 (" + since30 + " ~ " + today + ")");
  if (!have[3]) {
    L.push_back("- 조회 실패(" + reason_for("리포트") + ") — 없음이 아니라 모름");
  } else {
    size_t shown = 0;
    for (const auto& r : reports) {
      std::string day = day_of(r, "date");
      if (day < since30) continue;
      L.push_back("- " + day + " · " + or_dash(text_of(r, "broker")) + " · " + or_dash(text_of(r, "title")) +
                  " (`get_report_content(nid=\"" + text_of(r, "nid") + "\")`)");
      ++shown;
    }
    if (shown == 0) L.push_back("- 없음 (조회 성공, 최근 30일 0건)");
  }

  L.push_back("");
  L.push_back("### 읽는 법 (원인 판정 아님)");
  L.push_back("- 이 도구는 사실을 시각순으로 놓을 뿐, 어느 것이 원인인지 판정하지 않습니다.");
  L.push_back(
      "- 기사 시각이 가격 반응보다 앞서는지 보세요. '약' 시각은 표시 기준 근사라 ±1시간 오차가 있습니다. 분봉은 "
      "`get_intraday_chart`, 투자자별 수급은 `get_flow`.");
  std::string stage = news::NEWS_STAGE_FOOT;
  if (fmt::starts_with(stage, "※ ")) stage = stage.substr(std::string("※ ").size());
  L.push_back("- " + stage);
  L.push_back(
      "- 테마 동반 여부는 `get_theme_stocks(테마명)`, 커뮤니티 언급은 Skaldo `telegram_stock_buzz`(설치돼 있을 때).");

  std::vector<std::string> warnings;
  if (!failed.empty()) {
    std::vector<std::string> parts;
    for (const auto& f : failed) {
      parts.push_back(f.first + "(" + f.second + ")");
      warnings.push_back("조회 실패: " + f.first + "(" + f.second + ")");
    }
    L.push_back("");
    L.push_back("⚠️ 조회 실패: " + fmt::join(parts, ", ") + " — 실패한 부분은 '없음'이 아니라 '모름'입니다.");
  }

  server::KrMetaArgs m;
  m.kind = price_ok ? "quote" : "snapshot";
  m.code = code;
  m.name = name ? json(*name) : json(nullptr);
  m.data_as_of = quote_day ? json(*quote_day) : json(today);
  m.data_completeness = (!price_ok && col.items.empty()) ? rmeta::NONE
                        : !failed.empty()                 ? rmeta::PARTIAL
                                                          : rmeta::COMPLETE;
  if (price_ok && quote.contains("price_session")) m.price_session = quote["price_session"];
  json sections = json::object();
  sections["price"] = price_ok ? "ok" : "failed";
  sections["ohlcv"] = have[1] ? "ok" : "failed";
  sections["disclosure"] = have[2] ? "ok" : "failed";
  sections["reports"] = have[3] ? "ok" : "failed";
  sections["news"] = col.status;
  m.extra = {{"sections", sections}, {"today_news_count", today_news.size()}};
  m.warnings = warnings;
  return server::append_result_meta(fmt::join(L, "\n"), server::kr_meta(m));
}

const server::ToolRegistration reg{"get_move_context", kDoc, get_move_context};

}  // namespace
}  // namespace tessaro::tools
