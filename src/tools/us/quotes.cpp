// US quote tools: one quote, company profile, OHLCV chart, many quotes with
// stale-quote detection, major indices, ticker search.
#include <algorithm>
#include <map>
#include <set>

#include "core/format.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "market_time/day_times.hpp"
#include "market_time/listing.hpp"
#include "server/arg_rules.hpp"
#include "server/chart_view.hpp"
#include "server/tool_helpers.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/us_format.hpp"
#include "sources/yahoo/history_ranges.hpp"

namespace tessaro::tools {
namespace {

using namespace tools::us;
using server::Args;

// Yahoo's marketState -> the session names of the market clock.
json quote_session(const json& market_state) {
  std::string s = fmt::upper(text(market_state).value_or(""));
  if (s == "REGULAR") return mt::SESSION_REGULAR;
  if (s == "PRE" || s == "PREPRE") return mt::SESSION_PRE_MARKET;
  if (s == "POST" || s == "POSTPOST") return mt::SESSION_AFTER_HOURS;
  if (s == "CLOSED") return mt::SESSION_CLOSED;
  return nullptr;
}

// The exchange a quote's listing trades on (Yahoo names its zone).
mt::Listing quote_listing(const json& q, const std::string& fallback_symbol = "") {
  return mt::listing_of(text(q.value("ticker", json())).value_or(fallback_symbol),
                        text(q.value("exchange_timezone", json())).value_or(""));
}

// The day a quote belongs to: its trade time on the listing's own calendar day.
json quote_day(const json& quote_time, const mt::Listing& listing) {
  auto t = num(quote_time);
  if (!t || *t <= 0) return nullptr;
  auto d = mt::listing_day(listing, (long long)*t);
  return d ? json(*d) : json(nullptr);
}

// Which session the listing's exchange is in: Yahoo's word for US listings; the
// KRX calendar for Korean ones (Yahoo's stated Korean hours are not KRX's);
// "unconfirmed" where no calendar is known.
json listing_session(const json& q, const mt::Listing& listing, const json& part) {
  if (listing.market == "US") return quote_session(q.value("market_state", json()));
  return part.value("current_session", json());
}

// ---- get_us_price -----------------------------------------------------------
const char* kPriceDoc =
    "미국 주식 현재가 스냅샷 (Yahoo Finance).\n\n"
    "ticker: 미국 티커 (예: AAPL, MSFT, BRK.B). 회사 이름만 알면 get_us_search 로 먼저 찾으세요.\n"
    "현재가·전일대비·시가/고가/저가·거래량·52주 고저·베타·시가총액·마켓 상태를 돌려줍니다. "
    "현재가는 정규장 가격이며 최대 15분 지연될 수 있습니다. 프리·애프터마켓 가격은 get_us_chart(prepost=True) 로 확인하세요.";

std::string get_us_price(const Args& a) {
  std::string ticker = a.str("ticker");
  json d = ::tessaro::us::get_price(ticker);
  if (d.is_null() || !d.is_object())
    return "티커 '" + ticker + "'를 찾을 수 없습니다. 정확한 미국 주식 심볼인지 확인해 주세요.";
  std::string tk = text(d.value("ticker", json())).value_or(ticker);
  std::string ccy = text(d.value("currency", json())).value_or("USD");
  // Every money amount in the listing's own currency ("$" only for USD).
  std::string sym = ccy_prefix(ccy);
  std::vector<std::string> lines;
  lines.push_back("**" + text(d.value("name", json())).value_or(tk) + "** (" + tk + ") — " +
                  text(d.value("exchange", json())).value_or(""));
  auto price = num(d.value("price", json()));
  lines.push_back(price ? "현재가: " + sym + fmt::fixed(*price, 2, true) : "현재가: -");
  auto ch = num(d.value("change", json()));
  auto pct = num(d.value("change_percent", json()));
  if (ch && pct) lines.push_back("전일대비: " + fmt::fixed(*ch, 2, true, true) + " (" + fmt::fixed(*pct, 2, false, true) + "%)");
  lines.push_back("시가/고가/저가: " + fmt_num(d.value("open", json()), "", 2, sym) + " / " +
                  fmt_num(d.value("day_high", json()), "", 2, sym) + " / " + fmt_num(d.value("day_low", json()), "", 2, sym));
  auto vol = num(d.value("volume", json()));
  lines.push_back(vol && *vol != 0 ? "거래량: " + fmt::thousands(fmt::round_ll(*vol)) : "거래량: -");
  lines.push_back("52주 고저: " + fmt_num(d.value("52w_high", json()), "", 2, sym) + " / " +
                  fmt_num(d.value("52w_low", json()), "", 2, sym));
  if (auto b = num(d.value("beta", json()))) lines.push_back("베타: " + fmt::fixed(*b, 2));
  auto mc = num(d.value("market_cap", json()));
  if (mc && *mc != 0) lines.push_back("시가총액: " + fmt_num(d.value("market_cap", json()), "", 2, sym));
  if (auto ms = text(d.value("market_state", json()))) lines.push_back("마켓 상태: " + *ms);

  mt::Listing listing = quote_listing(d, tk);
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.ticker = tk;
  m.data_as_of = quote_day(d.value("quote_time", json()), listing);
  m.listing = mt::listing_market_part(listing, mt::now());
  json extra = json::object();
  // The price shown is the regular-session price; the session says which session
  // the listing's exchange was in when the quote was taken.
  extra["quote_session"] = listing_session(d, listing, m.listing);
  extra["price_basis"] = "regular_market";
  m.extra = extra;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_info ------------------------------------------------------------
const char* kInfoDoc =
    "미국 기업 정보 (섹터·산업·거래소·국가·시가총액·기업가치·발행주식수·임직원·웹사이트·사업 요약).\n\n"
    "ticker: 미국 티커. 시가총액은 주가 통화, 기업가치(EV)는 재무제표 통화 기준이며 두 통화가 다르면 경고합니다.";

std::string get_us_info(const Args& a) {
  std::string ticker = a.str("ticker");
  json info = ::tessaro::us::get_info(ticker);
  if (info.is_null() || !info.is_object()) return not_found(ticker);
  std::string tk = text(info.value("ticker", json())).value_or(ticker);
  std::vector<std::string> lines;
  lines.push_back("**" + text(info.value("name", json())).value_or(tk) + "** (" + tk + ")");
  lines.push_back("섹터/산업: " + text(info.value("sector", json())).value_or("-") + " / " +
                  text(info.value("industry", json())).value_or("-"));
  lines.push_back("거래소: " + text(info.value("exchange", json())).value_or("-") + " (" +
                  text(info.value("quote_type", json())).value_or("-") + ")");
  lines.push_back("국가: " + text(info.value("country", json())).value_or("-"));
  std::string price_ccy = text(info.value("currency", json())).value_or("");
  std::string stmt_ccy = text(info.value("financial_currency", json())).value_or("");
  bool mismatch = !price_ccy.empty() && !stmt_ccy.empty() && price_ccy != stmt_ccy;
  auto mc = num(info.value("market_cap", json()));
  if (mc && *mc != 0) lines.push_back("시가총액: " + fmt_num(*mc, "", 2, ccy_prefix(price_ccy)));
  auto ev = num(info.value("enterprise_value", json()));
  if (ev && *ev != 0) {
    lines.push_back("기업가치(EV): " + fmt_num(*ev, "", 2, ccy_prefix(stmt_ccy)));
    if (mismatch)
      lines.push_back("⚠️ **통화 불일치** — 시가총액은 주가 통화(" + price_ccy + "), 기업가치(EV)는 재무제표 통화(" +
                      stmt_ccy + ") 기준입니다. 두 값을 나눠 배수로 쓰면 안 됩니다.");
  }
  if (auto so = num(info.value("shares_outstanding", json())))
    lines.push_back("발행주식수: " + fmt::fixed(*so, 0, true));
  if (auto emp = num(info.value("employees", json())))
    lines.push_back("임직원: " + fmt::thousands(fmt::round_ll(*emp)) + "명");
  if (auto web = text(info.value("website", json()))) lines.push_back("웹사이트: " + *web);
  if (auto bs = text(info.value("business_summary", json()))) {
    lines.push_back("");
    lines.push_back("## 사업 요약");
    lines.push_back(fmt::cp_cut(*bs, 800) + (fmt::cp_len(*bs) > 800 ? "..." : ""));
  }
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.ticker = tk;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_chart -----------------------------------------------------------
// The zone a chart's times are written in, as a reader says it.
std::string zone_name_ko(const std::string& zone) {
  if (zone == mt::NEW_YORK) return "뉴욕 시각(America/New_York)";
  if (zone == mt::KST) return "한국 시각(Asia/Seoul)";
  return "거래소 현지 시각(" + (zone.empty() ? std::string("미상") : zone) + ")";
}

// The view's intraday bars: each with the session the table names, and final once
// the bar's end (the next bar's start, and for a regular bar the regular close)
// has passed.
json us_view_bars(const json& rows, const std::vector<std::string>& sessions, int minutes, bool us_listing) {
  mt::Instant now = mt::now();
  json out = json::array();
  for (size_t i = 0; i < rows.size(); ++i) {
    const json& r = rows[i];
    std::string stamp = server::normalize_date(r.value("datetime", json()), true);
    std::string session = i < sessions.size() ? sessions[i] : "unknown";
    std::string state = server::BAR_UNKNOWN;
    if (auto t = num(r.value("timestamp", json()))) {
      mt::Instant start{std::chrono::seconds{(long long)*t}};
      mt::Instant end = start + std::chrono::minutes(minutes);
      if (i + 1 < rows.size())
        if (auto nt = num(rows[i + 1].value("timestamp", json())))
          end = std::min(end, mt::Instant{std::chrono::seconds{(long long)*nt}});
      auto d = mt::parse_day(stamp);
      if (us_listing && d && session == mt::SESSION_REGULAR)
        if (auto reg = mt::us_calendar().regular(*d))
          end = std::min(end, mt::from_zone(*d, reg->close_min / 60, reg->close_min % 60, mt::NEW_YORK));
      state = end <= now ? server::BAR_FINAL : server::BAR_FORMING;
    }
    out.push_back(server::row_bar(stamp, r, state, session));
  }
  return out;
}

const char* kChartDoc =
    "미국 주식 OHLCV 차트 (Yahoo Finance).\n\n"
    "ticker: 미국 티커\n"
    "period: \"1d\",\"5d\",\"1mo\",\"3mo\",\"6mo\",\"1y\",\"2y\",\"5y\",\"10y\",\"ytd\",\"max\" (기본 \"3mo\")\n"
    "interval: \"1m\",\"5m\",\"15m\",\"30m\",\"1h\",\"1d\",\"1wk\",\"1mo\" (기본 \"1d\")\n"
    "prepost: 프리·애프터마켓 포함 여부 (분봉·시간봉에서만 의미 있음, 기본 False)\n"
    "limit: 최대 행수 (기본 500, 최대 5000)\n"
    "일봉·주봉·월봉은 마지막 봉이 완성됐는지 bar_state 로 알려 줍니다.";

// Passed on as given; the history source answers any other with no bars.
const server::Choices kChartPeriods{[] { return ::tessaro::us::history_ranges(); }};
const server::Choices kChartIntervals{[] { return ::tessaro::us::history_intervals(); }};
const server::ArgumentChoices reg_chart_period{"get_us_chart", "period", kChartPeriods};
const server::ArgumentChoices reg_chart_interval{"get_us_chart", "interval", kChartIntervals};
const server::Range kChartLimit{10, 5000};
const server::ArgumentRange reg_chart_limit{"get_us_chart", "limit", kChartLimit};

std::string get_us_chart(const Args& a) {
  std::string ticker = a.str("ticker");
  std::string period = a.str("period");
  std::string interval = a.str("interval");
  bool prepost = a.boolean("prepost");
  long long limit = kChartLimit.clamp(a.integer("limit"));
  json series = ::tessaro::us::get_chart(ticker, period, interval, prepost);
  json rows = series.is_object() ? series.value("rows", json()) : json();
  if (!rows.is_array() || rows.empty()) return "티커 '" + ticker + "'의 차트 데이터를 가져올 수 없습니다.";
  // The listing's own exchange: its zone writes the times, its calendar says the
  // sessions and whether the last bar has closed.
  std::string zone = text(series.value("timezone", json())).value_or("");
  mt::Listing listing = mt::listing_of(text(series.value("symbol", json())).value_or(ticker), zone);
  if (listing.zone.empty()) listing.zone = zone;
  long long total = (long long)rows.size();
  bool cut = total > limit;
  // Sessions are read over the whole series (a bar's span ends where the next begins).
  auto minutes = mt::intraday_minutes(interval);
  bool intraday = minutes.has_value();
  std::vector<std::string> sessions;
  if (intraday) {
    for (size_t i = 0; i < rows.size(); ++i) {
      auto t = num(rows[i].value("timestamp", json()));
      if (!t || !listing.calendar) {
        sessions.push_back(listing.calendar ? "unknown" : mt::SESSION_UNCONFIRMED);
        continue;
      }
      mt::Instant start{std::chrono::seconds{(long long)*t}};
      mt::Instant end = start + std::chrono::minutes(*minutes);
      if (i + 1 < rows.size())
        if (auto nt = num(rows[i + 1].value("timestamp", json())))
          end = std::min(end, mt::Instant{std::chrono::seconds{(long long)*nt}});
      sessions.push_back(mt::bar_session(*listing.calendar, start, end, prepost));
    }
  }
  if (cut) {
    json kept = json::array();
    for (long long i = total - limit; i < total; ++i) kept.push_back(rows[size_t(i)]);
    rows = kept;
    sessions.erase(sessions.begin(), sessions.begin() + std::min<size_t>(sessions.size(), size_t(total - limit)));
  }
  std::string head = "**" + fmt::upper(ticker) + "** " + period + " " + interval + " OHLCV (" +
                     std::to_string(rows.size()) + " bars";
  if (cut) head += " · 원본 " + std::to_string(total) + "행 중 최근 " + std::to_string(limit) + "행";
  head += ")";
  std::vector<std::string> lines = {head, ""};
  std::vector<std::string> table = server::format_ohlcv_rows(rows, intraday, 2);
  json session_counts = json::object();
  if (intraday) {
    // Every intraday bar says its session: Yahoo sends extended-hours bars even
    // when they were not asked for, and they must never read as regular ones.
    for (size_t i = 0; i < rows.size() && i + 2 < table.size(); ++i) {
      table[i + 2] += "|" + mt::session_label_ko(sessions[i]);
      session_counts[sessions[i]] = session_counts.value(sessions[i], 0) + 1;
    }
    if (table.size() >= 2) {
      table[0] += "|세션";
      table[1] += "|---";
    }
  }
  for (auto& l : table) lines.push_back(l);
  if (intraday) {
    lines.push_back("");
    lines.push_back("※ 시각은 " + zone_name_ko(listing.zone) + ", 봉이 시작한 시각입니다.");
    if (listing.market == "US")
      lines.push_back("※ 세션은 봉의 시각과 그날 거래시간으로 정합니다: 프리마켓(정규장 전)·정규장(09:30~16:00, 조기 폐장일은 "
                      "13:00까지)·애프터아워(정규장 후). 프리·애프터아워 봉은 거래가 적어 정규장 가격과 따로 읽으세요.");
    else if (listing.market == "KR")
      lines.push_back("※ 세션은 봉의 시각과 KRX 거래일 시간표로 정합니다 (정규장 마감·애프터마켓 포함).");
    else
      lines.push_back("※ 이 거래소의 거래 시간표가 없어 봉의 세션(정규장·시간외)을 확인하지 못했습니다.");
    if (session_counts.contains(mt::SESSION_MIXED))
      lines.push_back("※ 혼합: 한 봉에 두 세션의 체결이 섞여 있습니다.");
  }
  if (cut) {
    lines.push_back("");
    lines.push_back("💡 더 필요하면 `limit=" + std::to_string(std::min<long long>(total, 5000)) +
                    "`로 재호출하세요. 백테스트·CSV 저장 용도면 **export_us_to_excel** 로 파일 저장 (토큰 0).");
  }
  static const std::map<std::string, std::string> kTimeframe = {{"1d", "day"}, {"1wk", "week"}, {"1mo", "month"}};
  json bs = nullptr;
  auto tf = kTimeframe.find(interval);
  std::string timeframe = tf != kTimeframe.end() ? tf->second : "";
  if (!timeframe.empty()) bs = mt::bar_state(timeframe, rows, std::nullopt, listing.calendar);
  const json& last = rows.back();
  json as_of = last.value("date", json());
  if (!text(as_of)) as_of = last.value("datetime", json());
  // A weekly or monthly bar holds trades up to its latest trading day, not its date.
  if (auto ltd = text(last.value("last_trade_day", json()))) as_of = *ltd;
  else if (!timeframe.empty() && timeframe != "day" && listing.calendar)
    as_of = mt::bar_data_as_of(timeframe, as_of, *listing.calendar);
  server::UsMetaArgs m;
  m.kind = "bars";
  m.ticker = ticker;
  m.data_as_of = as_of;
  m.bar_state = bs;
  m.listing = mt::listing_market_part(listing, mt::now());
  json extra = json::object();
  if (intraday) {
    extra["bar_times"] = json{{"zone", listing.zone.empty() ? json(nullptr) : json(listing.zone)}, {"stamp", "bar_start"}};
    extra["bar_sessions"] = session_counts;
  }
  if (num(series.value("regular_change_percent", json())))
    extra["regular_market"] = json{{"price", series.value("regular_market_price", json())},
                                   {"change_percent", series["regular_change_percent"]},
                                   {"time", series.value("regular_market_time", json())}};
  if (!extra.empty()) m.extra = extra;
  // Daily and longer bars are regular-session bars; the last one's state is the bar state's.
  json view_bars = intraday ? us_view_bars(rows, sessions, *minutes, listing.market == "US")
                            : server::period_bars(rows, bs, [](const json&) { return std::string(mt::SESSION_REGULAR); });
  // An intraday series is as final as its last bar: one still forming (an
  // after-hours minute after the close) is never a last close.
  if (intraday && !view_bars.empty()) {
    const std::string state = view_bars.back().value("state", std::string());
    if (state == server::BAR_FORMING) m.bar_forming = true;
    else if (state == server::BAR_FINAL) m.bar_forming = false;
  }
  server::offer_chart_bars(std::move(view_bars), {{"prepost", prepost}});
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

server::ChartCall describe_us_chart(const Args& a) {
  return {"get_us_chart", "US", fmt::upper(a.str("ticker")), a.str("interval"),
          {{"ticker", a.str("ticker")}, {"period", a.str("period")}, {"interval", a.str("interval")},
           {"prepost", a.boolean("prepost")}, {"limit", a.value("limit")}}};
}

// ---- get_us_multi_price -----------------------------------------------------
const char* kMultiDoc =
    "여러 미국 종목 시세를 한 표로 (최대 30개).\n\n"
    "tickers: 티커 리스트 (예: [\"AAPL\",\"MSFT\",\"NVDA\"]). 30개를 넘으면 앞 30개만 조회합니다.\n"
    "각 종목의 기준일(quote 날짜)을 함께 보여 주며, 배치 최신일보다 오래된 quote 는 ⚠️ 로 표시합니다.";

std::string get_us_multi_price(const Args& a) {
  std::vector<std::string> tickers = a.str_list("tickers").value_or(std::vector<std::string>{});
  if (tickers.empty()) return "티커 리스트가 비어있습니다.";
  size_t requested = tickers.size();
  bool truncated = requested > 30;
  std::vector<std::string> asked(tickers.begin(), tickers.begin() + std::min<size_t>(requested, 30));
  json results = ::tessaro::us::get_multi_prices(asked);
  if (!results.is_array() || results.empty()) return "데이터를 가져올 수 없습니다.";

  std::vector<std::string> failed, unknown, stale;
  std::map<std::string, std::string> day_of;   // ticker -> quote day (on its exchange's own calendar)
  std::map<std::string, std::string> market_of;   // ticker -> market of its listing
  std::map<std::string, std::string> latest_of;   // market -> latest quote day among its listings
  std::map<std::string, json> part_of;            // market -> its state now
  json per_day = json::object(), per_session = json::object();
  std::string latest;
  mt::Instant at = mt::now();
  for (const json& r : results) {
    std::string tk = text(r.value("ticker", json())).value_or("?");
    if (r.contains("error") && !r["error"].is_null()) {
      failed.push_back(tk);
      continue;
    }
    mt::Listing listing = quote_listing(r, tk);
    if (!part_of.count(listing.market)) part_of[listing.market] = mt::listing_market_part(listing, at);
    market_of[tk] = listing.market;
    json day = quote_day(r.value("quote_time", json()), listing);
    if (day.is_string()) {
      std::string d = day.get<std::string>();
      day_of[tk] = d;
      latest = std::max(latest, d);
      latest_of[listing.market] = std::max(latest_of[listing.market], d);
      per_day[tk] = day;
    } else {
      unknown.push_back(tk);
      per_day[tk] = nullptr;
    }
    per_session[tk] = listing.market == "US" ? r.value("market_state", json())
                                             : part_of[listing.market].value("current_session", json());
  }
  // A quote is stale against the listings of its own exchange: a Tokyo trade of
  // today says nothing about a New York quote of yesterday evening.
  for (auto& [tk, d] : day_of)
    if (d < latest_of[market_of[tk]]) stale.push_back(tk);
  auto is_stale = [&](const std::string& tk) { return std::find(stale.begin(), stale.end(), tk) != stale.end(); };
  // The day the stale ones are measured against (their exchange's latest).
  std::string stale_ref;
  for (const auto& tk : stale) stale_ref = std::max(stale_ref, latest_of[market_of[tk]]);

  std::vector<std::string> lines = {"**멀티 티커 스냅샷** (" + std::to_string(results.size()) + "개)", "",
                                    "티커 | 이름 | 현재가 | 변동 | 변동% | 거래량 | 시총 | 기준일",
                                    "---|---|---|---|---|---|---|---"};
  for (const json& r : results) {
    std::string tk = text(r.value("ticker", json())).value_or("?");
    if (r.contains("error") && !r["error"].is_null()) {
      lines.push_back(tk + " | ⚠️ " + plain(r["error"]) + " | - | - | - | - | - | -");
      continue;
    }
    auto name = text(r.value("name", json()));
    auto price = num(r.value("price", json()));
    auto ch = num(r.value("change", json()));
    auto pct = num(r.value("change_percent", json()));
    auto vol = num(r.value("volume", json()));
    std::string sym = ccy_prefix(r.value("currency", json()));
    std::string day;
    auto it = day_of.find(tk);
    if (it == day_of.end()) day = "미상";
    else day = (is_stale(tk) ? "⚠️ " : "") + it->second;
    std::vector<std::string> cells = {
        "**" + tk + "**",
        name ? fmt::cp_cut(*name, 25) : "-",
        price ? sym + fmt::fixed(*price, 2, true) : "-",
        ch ? fmt::fixed(*ch, 2, true, true) : "-",
        pct ? fmt::fixed(*pct, 2, false, true) + "%" : "-",
        vol ? fmt_volume(*vol, 1) : "-",
        fmt_num(r.value("market_cap", json()), "", 2, sym),
        day};
    lines.push_back(fmt::join(cells, " | "));
  }
  if (!stale.empty()) {
    lines.push_back("");
    lines.push_back("⚠️ 기준일이 배치 최신일보다 오래된 티커: " + fmt::join(stale, ", ") +
                    " - 거래정지·상장폐지·수집 지연일 수 있습니다. 이 가격을 " + stale_ref + " 시점 가격으로 읽지 마세요.");
  }
  if (!unknown.empty())
    lines.push_back("※ quote 시각 미상 티커: " + fmt::join(unknown, ", ") + " - 언제 가격인지 확인되지 않았습니다.");

  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  bool complete = !truncated && failed.empty() && stale.empty() && unknown.empty();
  json cov = json::object();
  cov["requested_entities"] = requested;
  cov["returned_entities"] = results.size() - failed.size();
  cov["failed_entities"] = sorted(failed);
  cov["stale_entities"] = sorted(stale);
  cov["unknown_as_of_entities"] = sorted(unknown);
  cov["truncated"] = truncated;
  cov["coverage_complete"] = complete;
  cov["reason"] = truncated ? json("server_cap") : (!complete ? json("source_limit") : json(nullptr));
  std::vector<std::string> warns;
  if (truncated) warns.push_back("티커 요청 중 앞 " + std::to_string(asked.size()) + "개만 조회했습니다(상한 30).");
  if (!stale.empty()) warns.push_back("배치 최신일(" + stale_ref + ")보다 오래된 quote: " + fmt::join(sorted(stale), ", "));
  if (!failed.empty()) warns.push_back("조회 실패 티커: " + fmt::join(sorted(failed), ", "));
  if (!unknown.empty()) warns.push_back("quote 시각을 확인하지 못한 티커: " + fmt::join(sorted(unknown), ", "));
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.data_as_of = latest.empty() ? json(nullptr) : json(latest);
  m.data_completeness = complete ? rmeta::COMPLETE : rmeta::PARTIAL;
  m.coverage = cov;
  m.extra = json{{"per_entity_data_as_of", per_day}, {"per_entity_session", per_session}};
  m.warnings = warns;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_market ----------------------------------------------------------
const char* kMarketDoc =
    "미국 주요 지수 현황 (S&P 500, 다우, 나스닥 등).\n\n"
    "지수 구성은 데이터 소스가 돌려주는 대로이며 고정되어 있지 않습니다.";

std::string get_us_market(const Args&) {
  json s = ::tessaro::us::get_market_summary();
  json indices = s.is_object() ? s.value("indices", json()) : json();
  if (!indices.is_array() || indices.empty()) return "지수 데이터를 가져올 수 없습니다.";
  std::vector<std::string> lines = {"**미국 주요 지수**", "", "지수 | 심볼 | 현재 | 변동 | 변동률 | 상태",
                                    "---|---|---|---|---|---"};
  for (const json& r : indices) {
    auto pct = num(r.value("change_percent", json()));
    std::vector<std::string> cells = {plain(r.value("label", json())),
                                      text(r.value("symbol", json())).value_or("-"),
                                      money(r.value("price", json())),
                                      money(r.value("change", json()), 2, true),
                                      pct ? fmt::fixed(*pct, 2, false, true) + "%" : "-",
                                      text(r.value("market_state", json())).value_or("-")};
    lines.push_back(fmt::join(cells, " | "));
  }
  server::UsMetaArgs m;
  m.kind = "snapshot";
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_search ----------------------------------------------------------
const char* kSearchDoc =
    "미국 종목 검색 (회사 이름·키워드 → 티커).\n\n"
    "사용자가 회사 이름만 말했다면 다른 미국 도구보다 이 도구를 먼저 호출해 티커를 확인하세요. "
    "결과가 여러 개면 어느 종목인지 사용자에게 물어보세요.\n\n"
    "Args:\n"
    "    query: 회사 이름이나 키워드 (예: \"apple\", \"엔비디아\")";

std::string get_us_search(const Args& a) {
  std::string query = a.str("query");
  json hits = ::tessaro::us::search(query);
  if (!hits.is_array() || hits.empty()) return "'" + query + "'에 대한 미국 주식 검색 결과가 없습니다.";
  std::vector<std::string> lines = {"**'" + query + "'** 검색 결과 (" + std::to_string(hits.size()) + "건):", ""};
  for (const json& h : hits) {
    std::string line = "- **" + plain(h.value("name", json())) + "** (" + plain(h.value("symbol", json())) + ") [" +
                       text(h.value("exchange", json())).value_or("-") + ", " +
                       text(h.value("type", json())).value_or("-") + "]";
    if (auto sec = text(h.value("sector", json()))) line += " · " + *sec;
    lines.push_back(line);
  }
  return fmt::join(lines, "\n");
}

const server::ToolRegistration reg_price{"get_us_price", kPriceDoc, get_us_price};
const server::ToolRegistration reg_info{"get_us_info", kInfoDoc, get_us_info};
const server::ToolRegistration reg_chart{"get_us_chart", kChartDoc, server::chart_tool(describe_us_chart, get_us_chart)};
const server::ToolDecorRegistration reg_chart_view{"get_us_chart", server::chart_tool_decor()};
const server::ToolRegistration reg_multi{"get_us_multi_price", kMultiDoc, get_us_multi_price};
const server::ToolRegistration reg_market{"get_us_market", kMarketDoc, get_us_market};
const server::ToolRegistration reg_search{"get_us_search", kSearchDoc, get_us_search};
const server::ArgumentShape shape_get_us_price_ticker{"get_us_price", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_info_ticker{"get_us_info", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_chart_ticker{"get_us_chart", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_multi_price_tickers{"get_us_multi_price", "tickers", server::Shape::UsTicker};

}  // namespace
}  // namespace tessaro::tools
