// Korea Investment & Securities (KIS Open API): token, minute bars (Korean and
// US) and supply-and-demand evidence.
//
// Minute bars: KIS stamps a bar with HHMMSS; we read that as the minute the bar
// covers (start_at = HH:MM:00, end_at = start + 1 min). The 09:00:00 row is the
// opening minute and the 15:30:00 row the closing-auction print, which is kept
// (the Korean window runs to 15:31). Pages walk back in time: the next call asks
// for bars up to the earliest time received, so the boundary bar comes back
// twice and is de-duplicated.
//
// Rate limits: HTTP 429 or msg_cd EGW00201 ("초당 거래건수 초과") back off and
// retry; EGW00121/EGW00123 (invalid / expired token) and 401 re-issue the token
// once; EGW00133 at the token endpoint is the one-issue-a-minute rule.
#include <set>

#include "core/format.hpp"
#include "core/text.hpp"
#include "sources/brokers/broker_common.hpp"
#include "sources/contracts.hpp"
#include "sources/market_data/evidence.hpp"

namespace tessaro::brokers {

// Korean minute bars (today's and a past day's API answer alike); also checked
// by `tessaro-mcp doctor`. Cells are read as text numbers, and a blank cell is
// a missing value, not another shape: the rows' fields only need to be there.
static const contracts::Contract& kKisMinuteShape = contracts::declare(
    {"broker.kis.minute", "KIS 국내 분봉", false,
     {{"output2", contracts::Kind::Array},
      {"output2[].stck_cntg_hour", contracts::Kind::Any},
      {"output2[].stck_oprc", contracts::Kind::Any},
      {"output2[].stck_hgpr", contracts::Kind::Any},
      {"output2[].stck_lwpr", contracts::Kind::Any},
      {"output2[].stck_prpr", contracts::Kind::Any},
      {"output2[].cntg_vol", contracts::Kind::Any},
      {"output2[].stck_bsop_date", contracts::Kind::String, false},
      {"rt_cd", contracts::Kind::String, false}}});

namespace {

using std::chrono::minutes;
using std::chrono::seconds;

constexpr char kDomesticToday[] = "/uapi/domestic-stock/v1/quotations/inquire-time-itemchartprice";
constexpr char kDomesticPast[] = "/uapi/domestic-stock/v1/quotations/inquire-time-dailychartprice";
constexpr char kOverseasMinute[] = "/uapi/overseas-price/v1/quotations/inquire-time-itemchartprice";
constexpr int kTodayRows = 30, kTodayPageCap = 15;
constexpr int kPastRows = 120, kPastPageCap = 10;
constexpr int kUsRows = 120, kUsPageCap = 10;
constexpr int kEvidencePageCap = 10;

std::string kis_msg(const json& b) {
  std::string code = str(b, "msg_cd"), msg = str(b, "msg1");
  if (msg.empty()) msg = str(b, "error_description");
  if (code.empty()) code = str(b, "error_code");
  return code.empty() ? msg : "[" + code + "] " + msg;
}

class KisSession : public Session {
 public:
  explicit KisSession(const md::ProviderContext& ctx)
      : Session({"kis", "KIS", "KIS", kis_host(profile_or_real(ctx.profile)),
                 profile_or_real(ctx.profile) == "paper" ? 2.0 : 20.0},
                ctx) {}

  using Params = std::vector<std::pair<std::string, std::string>>;

  // One quotation GET. `tr_cont` "N" asks for the next page.
  Reply get(http::Literal path, const std::string& tr_id, const Params& params, const std::string& tr_cont = "") {
    http::Target t(path);
    for (const auto& [k, v] : params) t.param(k, v);
    const http::Url url = at(t);
    return call([&](const std::string& tok) {
      http::Request r;
      r.url = url;
      r.headers = {{"content-type", "application/json; charset=utf-8"},
                   {"authorization", "Bearer " + tok},
                   {"appkey", ctx().app_key},
                   {"appsecret", ctx().app_secret},
                   {"tr_id", tr_id},
                   {"custtype", "P"}};
      if (!tr_cont.empty()) r.headers.push_back({"tr_cont", tr_cont});
      return r;
    });
  }

 protected:
  CachedToken issue_token() override {
    http::Request r;
    r.method = "POST";
    r.url = at(http::Target("/oauth2/tokenP"));
    r.headers = {{"content-type", "application/json; charset=utf-8"}};
    r.body = json{{"grant_type", "client_credentials"}, {"appkey", ctx().app_key}, {"appsecret", ctx().app_secret}}
                 .dump();
    Reply rep = send_raw(r);
    std::string code = str(rep.body, "error_code");
    std::string tok = str(rep.body, "access_token");
    if (rep.status == 200 && !tok.empty()) {
      CachedToken t;
      t.access_token = tok;
      auto now = wall_now();
      if (auto in = num(rep.body, "expires_in"); in && *in > 0) {
        t.expires_at = now + seconds((long long)*in);
      } else {
        // "YYYY-MM-DD HH:MM:SS" in KST.
        std::string e = str(rep.body, "access_token_token_expired");
        if (auto d = mt::parse_day(e.substr(0, std::min<size_t>(10, e.size()))); d && e.size() >= 16)
          t.expires_at = mt::from_kst(*d, std::stoi(e.substr(11, 2)), std::stoi(e.substr(14, 2)));
      }
      return t;
    }
    std::string detail = kis_msg(rep.body);
    if (detail.empty()) detail = "HTTP " + std::to_string(rep.status);
    if (code == "EGW00133" || rep.status == 429)
      fail("KIS 접근 토큰은 1분에 한 번만 발급할 수 있습니다: " + detail, md::ST_RATE_LIMITED);
    if ((rep.status >= 500 || rep.status == 200) && code.empty())
      fail("KIS 토큰 발급 응답을 읽지 못했습니다: " + detail, md::ST_UNAVAILABLE);
    fail("KIS 접근 토큰 발급이 거부되었습니다 (앱 키·시크릿을 확인하세요): " + detail, md::ST_AUTH_FAILED);
  }

  Verdict classify(const Reply& r) const override {
    std::string code = str(r.body, "msg_cd");
    std::string msg = kis_msg(r.body);
    if (r.status == 429 || code == "EGW00201" || msg.find("초당 거래건수") != std::string::npos)
      return {Outcome::rate_limited, msg};
    if (r.status == 401 || code == "EGW00121" || code == "EGW00123") return {Outcome::token_refused, msg};
    if (r.status == 403) return {Outcome::permission_denied, msg};
    if (r.status >= 400) return {Outcome::failed, msg};
    std::string rt = str(r.body, "rt_cd");
    if (!rt.empty() && rt != "0") return {Outcome::failed, msg};
    return {Outcome::ok, ""};
  }
};

bool more_pages(const Reply& r) {
  std::string c = r.header("tr_cont");
  return c == "M" || c == "F";
}

std::string market_div(const std::string& venue) {
  if (venue == "NX" || venue == "NXT") return "NX";
  if (venue == "UN" || venue == "SOR") return "UN";
  return "J";
}

std::string hhmmss(const mt::Civil& c) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d%02d%02d", c.hour, c.minute, c.second);
  return b;
}

// First non-empty list among the output keys KIS uses.
json any_rows(const json& body) {
  for (const char* k : {"output2", "output", "output1"}) {
    json r = rows_of(body, k);
    if (!r.empty() && r[0].is_object()) return r;
  }
  return json::array();
}

// ---- Korean minute bars ------------------------------------------------------------

// Where one day's walk starts and which API serves it.
struct KrMinuteWalk {
  mt::Day day;
  bool today = false;
  std::string date;     // YYYYMMDD
  std::string cursor;   // HHMMSS of the first page
};

KrMinuteWalk kr_minute_walk(const md::BarRequest& req) {
  auto [ws, we] = bar_window(req);
  auto day_opt = mt::parse_day(req.trading_date);
  KrMinuteWalk w;
  w.day = day_opt ? *day_opt : mt::to_kst(ws).date();
  w.today = w.day >= kst_today();
  w.date = ymd_of(w.day);
  // Today's API reads a future FID_INPUT_HOUR_1 as "now"; ask for now itself so
  // no minute that has not started can come back.
  mt::Instant last = we - minutes(1);
  if (w.today) last = std::min(last, mt::now());
  w.cursor = hhmmss(mt::to_kst(last));
  return w;
}

// One page of the walk: bars up to `cursor` on the walk's day.
Reply kr_minute_page(KisSession& s, const md::BarRequest& req, const KrMinuteWalk& w, const std::string& cursor) {
  // Today: FID_ETC_CLS_CODE blank; past days: FID_INPUT_DATE_1 and
  // FID_FAKE_TICK_INCU_YN blank (no placeholder bars) instead.
  KisSession::Params p = {{"FID_COND_MRKT_DIV_CODE", market_div(req.venue)},
                          {"FID_INPUT_ISCD", req.symbol},
                          {"FID_INPUT_HOUR_1", cursor},
                          {"FID_PW_DATA_INCU_YN", "Y"}};
  if (w.today) {
    p.push_back({"FID_ETC_CLS_CODE", ""});
  } else {
    p.insert(p.begin() + 3, {"FID_INPUT_DATE_1", w.date});
    p.push_back({"FID_FAKE_TICK_INCU_YN", ""});
  }
  return s.get(w.today ? http::Literal(kDomesticToday) : http::Literal(kDomesticPast), w.today ? "FHKST03010200" : "FHKST03010230", p);
}

md::BarDataset kr_minutes(const md::BarRequest& req, const md::ProviderContext& ctx) {
  require_kr_code(req.symbol, "kis");
  KisSession s(ctx);
  auto [ws, we] = bar_window(req);
  const KrMinuteWalk walk = kr_minute_walk(req);
  const mt::Day day = walk.day;
  const std::string& date = walk.date;
  const int page_rows = walk.today ? kTodayRows : kPastRows;
  const int cap = walk.today ? kTodayPageCap : kPastPageCap;

  std::vector<md::Bar> bars;
  std::set<long long> seen, skipped;
  std::string cursor = walk.cursor;
  bool truncated = walk_pages(cap, [&] {
    Reply r = kr_minute_page(s, req, walk, cursor);
    // An answer without its bar list (or with renamed bar fields) is a changed
    // API, not a day without bars.
    if (auto bad = contracts::problem(kKisMinuteShape, r.body)) s.fail(*bad, md::ST_UNAVAILABLE);
    json rows = rows_of(r.body, "output2");
    std::optional<mt::Instant> earliest;
    int fresh = 0;
    for (const auto& row : rows) {
      std::string d = str(row, "stck_bsop_date");
      auto t = minute_start(d.empty() ? date : d, str(row, "stck_cntg_hour"), mt::KST);
      if (!t) continue;
      if (!earliest || *t < *earliest) earliest = *t;
      long long key = t->time_since_epoch().count();
      auto b = make_bar(*t, price(row, "stck_oprc"), price(row, "stck_hgpr"), price(row, "stck_lwpr"),
                        price(row, "stck_prpr"), num(row, "cntg_vol"));
      if (!b) {
        if (*t >= ws && *t < we) skipped.insert(key);
        continue;
      }
      if (seen.insert(key).second) {
        ++fresh;
        bars.push_back(*b);
      }
    }
    if (rows.empty() || !earliest || *earliest <= ws || fresh == 0 || (int)rows.size() < page_rows) return false;
    if (mt::to_kst(*earliest).date() != day) return false;   // reached the previous day
    cursor = hhmmss(mt::to_kst(*earliest));
    return true;
  });
  std::vector<std::string> warnings;
  if (!skipped.empty())
    warnings.push_back("가격 또는 거래량 칸이 비어 있는 분봉 " + std::to_string(skipped.size()) +
                       "개는 0으로 채우지 않고 뺐습니다.");
  return finish_dataset(std::move(bars), req, "kis", s.profile(), req.venue.empty() ? "KRX" : req.venue,
                        "domestic_minute", truncated, warnings);
}

// ---- US minute bars ------------------------------------------------------------------

std::string ny_stamp(mt::Instant t) {
  auto c = mt::to_ny(t);
  char b[16];
  std::snprintf(b, sizeof b, "%04d%02d%02d%02d%02d%02d", c.year, c.month, c.day, c.hour, c.minute, 0);
  return b;
}

struct UsPages {
  std::vector<md::Bar> bars;
  bool truncated = false, any_rows = false;
  int skipped = 0;
};

UsPages us_pages(KisSession& s, const md::BarRequest& req, const std::string& excd, mt::Instant ws, mt::Instant we) {
  UsPages out;
  std::set<long long> seen;
  auto day = mt::parse_day(req.trading_date);
  bool today = !day || *day >= mt::to_ny(mt::now()).date();
  // Today's bars start from the newest; a past day starts at that day's last
  // minute (KEYB is the cursor: bars at and before it).
  std::string next = today ? "" : "1", keyb = today ? "" : ny_stamp(we - minutes(1));
  std::string tr_cont;
  out.truncated = walk_pages(kUsPageCap, [&] {
    KisSession::Params p = {{"AUTH", ""}, {"EXCD", excd},  {"SYMB", req.symbol}, {"NMIN", "1"}, {"PINC", "1"},
                            {"NEXT", next}, {"NREC", std::to_string(kUsRows)}, {"FILL", ""}, {"KEYB", keyb}};
    Reply r = s.get(kOverseasMinute, "HHDFS76950200", p, tr_cont);
    json rows = rows_of(r.body, "output2");
    std::optional<mt::Instant> earliest;
    int fresh = 0;
    for (const auto& row : rows) {
      std::optional<mt::Instant> t = minute_start(str(row, "xymd"), str(row, "xhms"), mt::NEW_YORK);
      if (!t) t = minute_start(str(row, "kymd"), str(row, "khms"), mt::KST);
      if (!t) continue;
      out.any_rows = true;
      if (!earliest || *t < *earliest) earliest = *t;
      auto b = make_bar(*t, price(row, "open"), price(row, "high"), price(row, "low"), price(row, "last"),
                        num(row, "evol"));
      if (!b) {
        if (*t >= ws && *t < we) ++out.skipped;
        continue;
      }
      if (seen.insert(t->time_since_epoch().count()).second) {
        ++fresh;
        out.bars.push_back(*b);
      }
    }
    bool more = more_pages(r) || str(r.body.value("output1", json::object()), "next") == "1";
    if (rows.empty() || !earliest || *earliest <= ws || fresh == 0 || !more) return false;
    next = "1";
    tr_cont = "N";
    keyb = ny_stamp(*earliest - minutes(1));
    return true;
  });
  return out;
}

md::BarDataset us_minutes(const md::BarRequest& req, const md::ProviderContext& ctx) {
  std::string sym = fmt::upper(fmt::trim(req.symbol));
  bool ok = !sym.empty() && sym.size() <= 12;
  for (char c : sym) ok = ok && (std::isalnum((unsigned char)c) || c == '.' || c == '-');
  if (!ok) throw md::SymbolMappingError("KIS 해외 종목 기호로 쓸 수 없습니다: " + req.symbol, "kis");
  std::vector<std::string> venues;
  if (req.venue.empty()) {
    // No venue given: Nasdaq first (most listings), then NYSE, then Amex; the first
    // exchange that answers with bars is used.
    venues = {"NAS", "NYS", "AMS"};
  } else if (req.venue == "NAS" || req.venue == "NYS" || req.venue == "AMS") {
    venues = {req.venue};
  } else {
    throw md::SymbolMappingError("KIS 해외 분봉은 venue NYS, NAS, AMS만 받습니다: " + req.venue, "kis");
  }
  md::BarRequest r2 = req;
  r2.symbol = sym;
  KisSession s(ctx);
  auto [ws, we] = bar_window(req);
  for (const auto& v : venues) {
    UsPages pg;
    try {
      pg = us_pages(s, r2, v, ws, we);
    } catch (const KisApiError& e) {
      // A symbol asked on the wrong exchange may be refused outright rather than
      // answered with no rows: try the next one. Rate limits and key problems stop here.
      if (e.status() != md::ST_UNAVAILABLE || v == venues.back()) throw;
      continue;
    }
    if (!pg.any_rows && venues.size() > 1 && v != venues.back()) continue;
    std::vector<std::string> warnings;
    if (pg.skipped > 0)
      warnings.push_back("가격 또는 거래량 칸이 비어 있는 분봉 " + std::to_string(pg.skipped) +
                         "개는 0으로 채우지 않고 뺐습니다.");
    if (!pg.any_rows && venues.size() > 1)
      warnings.push_back("NAS·NYS·AMS 어느 거래소에서도 분봉을 받지 못했습니다. venue를 지정해 보세요.");
    return finish_dataset(std::move(pg.bars), r2, "kis", s.profile(), pg.any_rows ? v : req.venue,
                          "overseas_minute", pg.truncated, warnings);
  }
  return finish_dataset({}, r2, "kis", s.profile(), req.venue, "overseas_minute", false);
}

// ---- evidence ------------------------------------------------------------------------

// Category <- net quantity field, net amount field. The suffixes differ by stem:
// quantities end in _qty for most, _vol for pe_fund, etc_corp and etc_orgt;
// amounts in _tr_pbmn, except registered/unregistered foreigners (_ntby_pbmn).
struct KisCategory {
  const char* category;
  const char* qty;
  const char* amount;
};
const std::vector<KisCategory>& kis_categories() {
  static const std::vector<KisCategory> v = {
      {"individual", "prsn_ntby_qty", "prsn_ntby_tr_pbmn"},
      {"foreign", "frgn_ntby_qty", "frgn_ntby_tr_pbmn"},
      {"foreign_registered", "frgn_reg_ntby_qty", "frgn_reg_ntby_pbmn"},
      {"foreign_unregistered", "frgn_nreg_ntby_qty", "frgn_nreg_ntby_pbmn"},
      {"institution_total", "orgn_ntby_qty", "orgn_ntby_tr_pbmn"},
      {"financial_investment", "scrt_ntby_qty", "scrt_ntby_tr_pbmn"},
      {"investment_trust", "ivtr_ntby_qty", "ivtr_ntby_tr_pbmn"},
      {"private_equity", "pe_fund_ntby_vol", "pe_fund_ntby_tr_pbmn"},
      {"bank", "bank_ntby_qty", "bank_ntby_tr_pbmn"},
      {"insurance", "insu_ntby_qty", "insu_ntby_tr_pbmn"},
      {"merchant_bank", "mrbn_ntby_qty", "mrbn_ntby_tr_pbmn"},
      {"pension", "fund_ntby_qty", "fund_ntby_tr_pbmn"},
      {"other", "etc_ntby_qty", "etc_ntby_tr_pbmn"},
      {"other_corporation", "etc_corp_ntby_vol", "etc_corp_ntby_tr_pbmn"},
      {"other_organization", "etc_orgt_ntby_vol", "etc_orgt_ntby_tr_pbmn"},
  };
  return v;
}

// KIS has no 기타금융 field (종금 is only a part of it), no 국가 and no 내외국인.
const std::vector<std::vector<std::string>>& kis_institution_sets() {
  static const std::vector<std::vector<std::string>> v = {
      {"financial_investment", "insurance", "investment_trust", "private_equity", "bank", "merchant_bank", "pension"}};
  return v;
}

void require_measure(const std::string& measure, const std::string& provider) {
  if (measure != md::MEASURE_NET_QUANTITY && measure != md::MEASURE_NET_AMOUNT)
    throw_broker_error(provider, "지원하지 않는 measure입니다: " + measure, md::ST_UNSUPPORTED);
}

json kis_flow(const std::string& code, int days, const std::string& measure, const md::ProviderContext& ctx) {
  require_kr_code(code, "kis");
  require_measure(measure, "kis");
  days = std::clamp(days, 1, 120);
  KisSession s(ctx);
  std::vector<CategoryField> fields;
  for (const auto& c : kis_categories())
    fields.push_back({c.category, measure == md::MEASURE_NET_AMOUNT ? c.amount : c.qty});
  std::map<std::string, json, std::greater<>> by_date;   // newest first
  mt::Day cursor = kst_today();
  std::string tr_cont;
  bool truncated = walk_pages(kEvidencePageCap, [&] {
    Reply r = s.get("/uapi/domestic-stock/v1/quotations/investor-trade-by-stock-daily", "FHPTJ04160001",
                    {{"FID_COND_MRKT_DIV_CODE", "J"},
                     {"FID_INPUT_ISCD", code},
                     {"FID_INPUT_DATE_1", ymd_of(cursor)},
                     {"FID_ORG_ADJ_PRC", ""},
                     {"FID_ETC_CLS_CODE", ""}},
                    tr_cont);
    int fresh = 0;
    std::optional<mt::Day> oldest;
    for (const auto& row : rows_of(r.body, "output2")) {
      auto d = ymd(str(row, "stck_bsop_date"));
      if (!d) continue;
      if (!oldest || *d < *oldest) oldest = *d;
      std::string key = iso_date(*d);
      if (by_date.count(key)) continue;
      by_date[key] = flow_row(*d, row, fields, price(row, "stck_clpr"), num(row, "acml_vol"), kis_institution_sets(),
                              measure == md::MEASURE_NET_AMOUNT ? 8.0 : 0.5);
      ++fresh;
    }
    if ((int)by_date.size() >= days || fresh == 0 || !more_pages(r) || !oldest) return false;
    tr_cont = "N";
    cursor = *oldest - std::chrono::days(1);
    return true;
  });
  json rows = json::array();
  for (auto& [k, row] : by_date) {
    if ((int)rows.size() >= days) break;
    rows.push_back(row);
  }
  return flow_record(code, "kis", s.profile(), measure, "investor_trade_by_stock_daily", rows, fields, truncated, {});
}

// A daily series fetched page by page: `params(cursor)` builds the query for
// rows up to the cursor day. Rows are keyed by `date_field`; the cursor moves
// back to the day before the oldest `cursor_field` received (the query's own
// date, which for credit is the settlement date, not the trade date). More
// pages follow when tr_cont says so or, for APIs paged by date alone, when a
// page came back full (`full_page` rows).
json kis_daily_block(KisSession& s, const std::string& kind, http::Literal path, const char* tr_id,
                     const std::function<KisSession::Params(mt::Day)>& params, const char* date_field,
                     const std::vector<MeasureField>& measures, int days, const char* cursor_field = nullptr,
                     int full_page = 0) {
  json block = pressure_block(kind, "kis", "daily");
  if (!cursor_field) cursor_field = date_field;
  mt::Day cursor = kst_today();
  std::string tr_cont;
  bool truncated = walk_pages(kEvidencePageCap, [&] {
    Reply r = s.get(path, tr_id, params(cursor), tr_cont);
    int fresh = 0;
    std::optional<mt::Day> oldest;
    json rows = any_rows(r.body);
    for (const auto& row : rows) {
      auto d = ymd(str(row, date_field));
      if (!d) continue;
      auto c = ymd(str(row, cursor_field));
      if (!c) c = d;
      if (!oldest || *c < *oldest) oldest = *c;
      if (add_pressure_row(block, *d, row, measures)) ++fresh;
    }
    bool more = more_pages(r) || (full_page > 0 && (int)rows.size() >= full_page);
    if ((int)block["rows"].size() >= days || fresh == 0 || !more || !oldest) return false;
    tr_cont = "N";
    cursor = *oldest - std::chrono::days(1);
    return true;
  });
  finish_pressure_block(block, days, truncated);
  return block;
}

json kis_pressure(const std::string& code, const std::string& kind, int days, const md::ProviderContext& ctx) {
  days = std::clamp(days, 1, 120);
  if (kind == "cfd")
    return unsupported_block(kind, "kis", "KIS Open API에는 종목별 CFD 잔고·포지션 조회 API가 없습니다.");
  const auto& kinds = md::pressure_kinds();
  if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end())
    return unsupported_block(kind, "kis", "알 수 없는 항목입니다: " + kind);
  require_kr_code(code, "kis");
  KisSession s(ctx);
  const char* U = AMOUNT_UNIT_UNVERIFIED;
  if (kind == "program_trading")
    return kis_daily_block(
        s, kind, "/uapi/domestic-stock/v1/quotations/program-trade-by-stock-daily", "FHPPG04650201",
        [&](mt::Day c) {
          return KisSession::Params{
              {"FID_COND_MRKT_DIV_CODE", "J"}, {"FID_INPUT_ISCD", code}, {"FID_INPUT_DATE_1", ymd_of(c)}};
        },
        "stck_bsop_date",
        {{"net_quantity", "whol_smtn_ntby_qty", "shares"},
         {"buy_quantity", "whol_smtn_shnu_vol", "shares"},
         {"sell_quantity", "whol_smtn_seln_vol", "shares"},
         {"net_amount", "whol_smtn_ntby_tr_pbmn", U},
         {"buy_amount", "whol_smtn_shnu_tr_pbmn", U},
         {"sell_amount", "whol_smtn_seln_tr_pbmn", U}},
        days);
  if (kind == "short_selling") {
    mt::Day from = kst_today() - std::chrono::days(calendar_span(days));
    return kis_daily_block(
        s, kind, "/uapi/domestic-stock/v1/quotations/daily-short-sale", "FHPST04830000",
        [&](mt::Day c) {
          return KisSession::Params{{"FID_COND_MRKT_DIV_CODE", "J"},
                                    {"FID_INPUT_ISCD", code},
                                    {"FID_INPUT_DATE_1", ymd_of(from)},
                                    {"FID_INPUT_DATE_2", ymd_of(c)}};
        },
        "stck_bsop_date",
        {{"short_quantity", "ssts_cntg_qty", "shares"},
         {"short_volume_ratio", "ssts_vol_rlim", "percent"},
         {"short_amount", "ssts_tr_pbmn", U}},
        days);
  }
  if (kind == "credit")
    // Rows are keyed by trade date (deal_date); the query date is the settlement
    // date (stlm_date, two trading days later), so pages walk back by stlm_date.
    // At most 30 rows a call.
    return kis_daily_block(
        s, kind, "/uapi/domestic-stock/v1/quotations/daily-credit-balance", "FHPST04760000",
        [&](mt::Day c) {
          return KisSession::Params{{"FID_COND_MRKT_DIV_CODE", "J"},
                                    {"FID_COND_SCR_DIV_CODE", "20476"},
                                    {"FID_INPUT_ISCD", code},
                                    {"FID_INPUT_DATE_1", ymd_of(c)}};
        },
        "deal_date",
        {{"loan_new_quantity", "whol_loan_new_stcn", "shares"},
         {"loan_repaid_quantity", "whol_loan_rdmp_stcn", "shares"},
         {"loan_balance_quantity", "whol_loan_rmnd_stcn", "shares"},
         {"loan_balance_amount", "whol_loan_rmnd_amt", U},
         {"loan_balance_rate", "whol_loan_rmnd_rate", "percent"},
         {"stock_loan_new_quantity", "whol_stln_new_stcn", "shares"},
         {"stock_loan_repaid_quantity", "whol_stln_rdmp_stcn", "shares"},
         {"stock_loan_balance_quantity", "whol_stln_rmnd_stcn", "shares"},
         {"stock_loan_balance_amount", "whol_stln_rmnd_amt", U}},
        days, "stlm_date", 30);
  if (kind == "securities_lending") {
    mt::Day from = kst_today() - std::chrono::days(calendar_span(days));
    return kis_daily_block(
        s, kind, "/uapi/domestic-stock/v1/quotations/daily-loan-trans", "HHPST074500C0",
        [&](mt::Day c) {
          return KisSession::Params{{"MRKT_DIV_CLS_CODE", "3"},
                                    {"MKSC_SHRN_ISCD", code},
                                    {"START_DATE", ymd_of(from)},
                                    {"END_DATE", ymd_of(c)},
                                    {"CTS", ""}};
        },
        "bsop_date",
        {{"new_quantity", "new_stcn", "shares"},
         {"returned_quantity", "rdmp_stcn", "shares"},
         {"balance_change", "prdy_rmnd_vrss", "shares"},
         {"balance_quantity", "rmnd_stcn", "shares"},
         {"balance_amount", "rmnd_amt", U}},
        days, nullptr, 100);   // at most 100 rows a call, paged by END_DATE
  }
  // foreign_holding: KIS has no daily history, only today's quote snapshot.
  json block = pressure_block(kind, "kis", "snapshot");
  Reply r = s.get("/uapi/domestic-stock/v1/quotations/inquire-price", "FHKST01010100",
                  {{"FID_COND_MRKT_DIV_CODE", "J"}, {"FID_INPUT_ISCD", code}});
  json out = r.body.value("output", json::object());
  if (out.is_array()) out = out.empty() ? json::object() : out[0];
  add_pressure_row(block, kst_today(), out,
                   {{"holding_quantity", "frgn_hldn_qty", "shares"},
                    {"limit_exhaustion_rate", "hts_frgn_ehrt", "percent"}},
                   mt::iso_kst(mt::now()));
  block["warnings"].push_back("KIS는 외국인 보유 이력을 제공하지 않아 조회 시점의 값 하나만 있습니다.");
  finish_pressure_block(block, 1, false);
  return block;
}

class KisProvider : public md::Provider {
 public:
  std::string id() const override { return "kis"; }
  bool is_broker() const override { return true; }
  std::string intraday_capability(const std::string& market, const std::string& profile) const override {
    if (market == "KR") return "available";
    if (market == "US") return profile_or_real(profile) == "paper" ? "unverified" : "available";
    return md::ST_UNSUPPORTED;
  }
  md::BarDataset fetch_bars(const md::BarRequest& req, const md::ProviderContext& ctx) override {
    if (req.market == "KR") return kr_minutes(req, ctx);
    if (req.market == "US") return us_minutes(req, ctx);
    throw KisApiError("KIS 분봉은 KR과 US만 지원합니다: " + req.market, md::ST_UNSUPPORTED);
  }
  json investor_flow(const std::string& code, int days, const std::string& measure,
                     const md::ProviderContext& ctx) override {
    return kis_flow(code, days, measure, ctx);
  }
  json supply_pressure(const std::string& code, const std::string& kind, int days,
                       const md::ProviderContext& ctx) override {
    return kis_pressure(code, kind, days, ctx);
  }
  // Paper accounts: KIS marks several quotation APIs "모의투자 미지원" and the
  // evidence ones were not checked one by one, so they stay unverified there.
  json evidence_capabilities(const std::string& profile) const override {
    std::vector<std::string> cats;
    for (const auto& c : kis_categories()) cats.push_back(c.category);
    return evidence_capability_table(profile, cats);
  }
};

md::ProviderRegistration reg{"kis", [] { return std::shared_ptr<md::Provider>(std::make_shared<KisProvider>()); }};

}  // namespace

void verify_kis(const md::ProviderContext& ctx) {
  KisSession s(ctx);
  s.token();
}

json kis_minute_probe(const md::ProviderContext& ctx, const md::BarRequest& req) {
  require_kr_code(req.symbol, "kis");
  KisSession s(ctx);
  KrMinuteWalk w = kr_minute_walk(req);
  return kr_minute_page(s, req, w, w.cursor).body;
}

}  // namespace tessaro::brokers
