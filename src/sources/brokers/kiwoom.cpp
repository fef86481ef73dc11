// Kiwoom REST API: token, Korean minute bars and supply-and-demand evidence.
// Every call is a POST with a JSON body and an `api-id` header; continuation
// pages send back the `cont-yn` / `next-key` response headers.
//
// Minute bars (ka10080): `cntr_tm` (YYYYMMDDHHMMSS, or HHMMSS with the asked
// date) names the minute the bar covers, as for KIS: start_at = HH:MM:00,
// end_at = start + 1 min. Prices may carry a direction sign ("-71500"): their
// absolute value is the price.
//
// Errors: Kiwoom answers `return_code` / `return_msg`. Message code 1700 ("허용된
// 요청 개수를 초과") is the rate limit; 8005 and token wording mean the token
// was refused (re-issued once); 8050 / terminal (IP) wording is a permission
// problem. Kiwoom has no overseas stock API: US minute bars are unsupported.
#include <set>

#include "core/format.hpp"
#include "sources/brokers/broker_common.hpp"
#include "sources/contracts.hpp"
#include "sources/market_data/evidence.hpp"

namespace tessaro::brokers {

// Minute bars (ka10080); also checked by `tessaro-mcp doctor`. Cells are signed
// text numbers and a blank one is a missing value: the fields only need to be there.
static const contracts::Contract& kKiwoomMinuteShape = contracts::declare(
    {"broker.kiwoom.minute", "키움증권 분봉", false,
     {{"stk_min_pole_chart_qry", contracts::Kind::Array},
      {"stk_min_pole_chart_qry[].cntr_tm", contracts::Kind::Any},
      {"stk_min_pole_chart_qry[].open_pric", contracts::Kind::Any},
      {"stk_min_pole_chart_qry[].high_pric", contracts::Kind::Any},
      {"stk_min_pole_chart_qry[].low_pric", contracts::Kind::Any},
      {"stk_min_pole_chart_qry[].cur_prc", contracts::Kind::Any},
      {"stk_min_pole_chart_qry[].trde_qty", contracts::Kind::Any},
      {"return_code", contracts::Kind::Any, false}}});

namespace {

using std::chrono::minutes;

constexpr int kPageCap = 10;

bool contains(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

class KiwoomSession : public Session {
 public:
  explicit KiwoomSession(const md::ProviderContext& ctx)
      : Session({"kiwoom", "키움증권", "KIWOOM", kiwoom_host(profile_or_real(ctx.profile)), 5.0}, ctx) {}

  struct Page {
    json body;
    std::string cont_yn, next_key;
    bool more() const { return cont_yn == "Y" && !next_key.empty(); }
  };

  Page post(http::Literal path, const std::string& api_id, const json& body, const std::string& next_key = "") {
    const http::Url url = at(http::Target(path));
    std::string text = body.dump();
    Reply r = call([&](const std::string& tok) {
      http::Request q;
      q.method = "POST";
      q.url = url;
      q.body = text;
      q.headers = {{"content-type", "application/json;charset=UTF-8"},
                   {"authorization", "Bearer " + tok},
                   {"api-id", api_id}};
      if (!next_key.empty()) {
        q.headers.push_back({"cont-yn", "Y"});
        q.headers.push_back({"next-key", next_key});
      }
      return q;
    });
    return {r.body, r.header("cont-yn"), r.header("next-key")};
  }

 protected:
  CachedToken issue_token() override {
    http::Request r;
    r.method = "POST";
    r.url = at(http::Target("/oauth2/token"));
    r.headers = {{"content-type", "application/json;charset=UTF-8"}, {"api-id", "au10001"}};
    r.body = json{{"grant_type", "client_credentials"}, {"appkey", ctx().app_key}, {"secretkey", ctx().app_secret}}
                 .dump();
    Reply rep = send_raw(r);
    Verdict v = classify(rep);
    std::string tok = str(rep.body, "token");
    if (v.outcome == Outcome::ok && !tok.empty()) {
      CachedToken t;
      t.access_token = tok;
      std::string e = str(rep.body, "expires_dt");   // YYYYMMDDHHMMSS, KST
      if (auto at = minute_start(e.substr(0, std::min<size_t>(8, e.size())), e.size() >= 12 ? e.substr(8) : "", mt::KST))
        t.expires_at = *at;
      return t;
    }
    std::string detail = v.message.empty() ? "HTTP " + std::to_string(rep.status) : v.message;
    if (v.outcome == Outcome::rate_limited) fail("키움증권 토큰 발급 한도를 넘었습니다: " + detail, md::ST_RATE_LIMITED);
    if (rep.status >= 500 && v.message.empty()) fail("키움증권 토큰 발급 서버 오류: " + detail, md::ST_UNAVAILABLE);
    fail("키움증권 접근 토큰 발급이 거부되었습니다 (앱 키·시크릿, 등록 IP를 확인하세요): " + detail,
         md::ST_AUTH_FAILED);
  }

  Verdict classify(const Reply& r) const override {
    std::string msg = str(r.body, "return_msg");
    std::string rc = str(r.body, "return_code");
    if (r.status == 429) return {Outcome::rate_limited, msg};
    bool failed_rc = !rc.empty() && rc != "0";
    if (failed_rc || r.status >= 400) {
      // "허용된 요청 개수를 초과" [1700]; a bare "초과" (e.g. a date range
      // exceeded) is no rate limit and is not retried.
      if (contains(msg, "1700") || contains(msg, "허용된 요청") ||
          (contains(msg, "초과") && (contains(msg, "요청") || contains(msg, "호출") || contains(msg, "건수"))))
        return {Outcome::rate_limited, msg};
      if (r.status == 401 || contains(msg, "8005") || contains(msg, "토큰") || contains(fmt::lower(msg), "token"))
        return {Outcome::token_refused, msg};
      if (r.status == 403 || contains(msg, "8050") || contains(msg, "단말기") || contains(msg, "권한"))
        return {Outcome::permission_denied, msg};
      if (contains(msg, "종목") && (contains(msg, "없") || contains(msg, "존재")))
        return {Outcome::not_found, msg};
      return {Outcome::failed, msg.empty() ? "" : "[" + rc + "] " + msg};
    }
    return {Outcome::ok, ""};
  }
};

std::string stock_code(const std::string& code, const std::string& venue) {
  if (venue == "NX" || venue == "NXT") return code + "_NX";
  if (venue == "UN" || venue == "SOR" || venue == "AL") return code + "_AL";
  return code;
}

// ---- minute bars ------------------------------------------------------------------------

// The request of one day's minute bars (YYYYMMDD `date`).
json minute_body(const md::BarRequest& req, const std::string& date) {
  return {{"stk_cd", stock_code(req.symbol, req.venue)}, {"tic_scope", "1"}, {"upd_stkpc_tp", "0"}, {"base_dt", date}};
}

std::string minute_date(const md::BarRequest& req) {
  auto day_opt = mt::parse_day(req.trading_date);
  return ymd_of(day_opt ? *day_opt : mt::to_kst(bar_window(req).first).date());
}

md::BarDataset kiwoom_minutes(const md::BarRequest& req, const md::ProviderContext& ctx) {
  if (req.market != "KR")
    throw KiwoomApiError("키움증권 REST API에는 해외주식 분봉이 없습니다.", md::ST_UNSUPPORTED);
  require_kr_code(req.symbol, "kiwoom");
  KiwoomSession s(ctx);
  auto [ws, we] = bar_window(req);
  std::string date = minute_date(req);
  json body = minute_body(req, date);
  std::vector<md::Bar> bars;
  std::set<long long> seen, skipped;
  std::string next;
  bool truncated = walk_pages(kPageCap, [&] {
    auto pg = s.post("/api/dostk/chart", "ka10080", body, next);
    // An answer without its bar list (or with renamed bar fields) is a changed
    // API, not a day without bars.
    if (auto bad = contracts::problem(kKiwoomMinuteShape, pg.body)) s.fail(*bad, md::ST_UNAVAILABLE);
    json rows = rows_of(pg.body, "stk_min_pole_chart_qry");
    std::optional<mt::Instant> earliest;
    int fresh = 0;
    for (const auto& row : rows) {
      std::string tm = str(row, "cntr_tm");
      auto t = tm.size() >= 12 ? minute_start(tm.substr(0, 8), tm.substr(8), mt::KST) : minute_start(date, tm, mt::KST);
      if (!t) continue;
      if (!earliest || *t < *earliest) earliest = *t;
      long long key = t->time_since_epoch().count();
      auto b = make_bar(*t, price(row, "open_pric"), price(row, "high_pric"), price(row, "low_pric"),
                        price(row, "cur_prc"), price(row, "trde_qty"));
      if (!b) {
        if (*t >= ws && *t < we) skipped.insert(key);
        continue;
      }
      if (seen.insert(key).second) {
        ++fresh;
        bars.push_back(*b);
      }
    }
    if (rows.empty() || !earliest || *earliest <= ws || fresh == 0 || !pg.more()) return false;
    next = pg.next_key;
    return true;
  });
  std::vector<std::string> warnings;
  if (!skipped.empty())
    warnings.push_back("가격 또는 거래량 칸이 비어 있는 분봉 " + std::to_string(skipped.size()) +
                       "개는 0으로 채우지 않고 뺐습니다.");
  return finish_dataset(std::move(bars), req, "kiwoom", s.profile(), req.venue.empty() ? "KRX" : req.venue,
                        "kiwoom_kr_minute", truncated, warnings);
}

// ---- evidence ---------------------------------------------------------------------------

const std::vector<CategoryField>& kiwoom_categories() {
  static const std::vector<CategoryField> v = {
      {"individual", "ind_invsr"},       {"foreign", "frgnr_invsr"},    {"institution_total", "orgn"},
      {"financial_investment", "fnnc_invt"}, {"insurance", "insrnc"},  {"investment_trust", "invtrt"},
      {"other_finance", "etc_fnnc"},     {"bank", "bank"},              {"pension", "penfnd_etc"},
      {"private_equity", "samo_fund"},   {"government", "natn"},        {"other_corporation", "etc_corp"},
      {"domestic_foreign", "natfor"},
  };
  return v;
}

// 기관계 = 금융투자 + 보험 + 투신 + 사모 + 은행 + 기타금융 + 연기금등, with 국가 on some boards.
const std::vector<std::vector<std::string>>& kiwoom_institution_sets() {
  static const std::vector<std::vector<std::string>> v = {
      {"financial_investment", "insurance", "investment_trust", "private_equity", "bank", "other_finance", "pension"},
      {"financial_investment", "insurance", "investment_trust", "private_equity", "bank", "other_finance", "pension",
       "government"}};
  return v;
}

json kiwoom_flow(const std::string& code, int days, const std::string& measure, const md::ProviderContext& ctx) {
  require_kr_code(code, "kiwoom");
  if (measure != md::MEASURE_NET_QUANTITY && measure != md::MEASURE_NET_AMOUNT)
    throw KiwoomApiError("지원하지 않는 measure입니다: " + measure, md::ST_UNSUPPORTED);
  days = std::clamp(days, 1, 120);
  bool amount = measure == md::MEASURE_NET_AMOUNT;
  KiwoomSession s(ctx);
  // One call per measure: amt_qty_tp 1 amount / 2 quantity, trde_tp 0 net, unit_tp 1 share.
  json body = {{"dt", ymd_of(kst_today())}, {"stk_cd", code},   {"amt_qty_tp", amount ? "1" : "2"},
               {"trde_tp", "0"},            {"unit_tp", "1"}};
  std::map<std::string, json, std::greater<>> by_date;
  std::string next;
  bool truncated = walk_pages(kPageCap, [&] {
    auto pg = s.post("/api/dostk/stkinfo", "ka10059", body, next);
    int fresh = 0;
    for (const auto& row : rows_of(pg.body, "stk_invsr_orgn")) {
      auto d = ymd(str(row, "dt"));
      if (!d || by_date.count(iso_date(*d))) continue;
      by_date[iso_date(*d)] = flow_row(*d, row, kiwoom_categories(), price(row, "cur_prc"),
                                       price(row, "acc_trde_qty"), kiwoom_institution_sets(), amount ? 8.0 : 0.5);
      ++fresh;
    }
    if ((int)by_date.size() >= days || fresh == 0 || !pg.more()) return false;
    next = pg.next_key;
    return true;
  });
  json rows = json::array();
  for (auto& [k, row] : by_date) {
    if ((int)rows.size() >= days) break;
    rows.push_back(row);
  }
  return flow_record(code, "kiwoom", s.profile(), measure, "ka10059", rows, kiwoom_categories(), truncated, {});
}

json kiwoom_daily_block(KiwoomSession& s, const std::string& kind, http::Literal path, const char* api_id,
                        const json& body, const char* list, const std::vector<MeasureField>& measures, int days) {
  json block = pressure_block(kind, "kiwoom", "daily");
  std::string next;
  bool truncated = walk_pages(kPageCap, [&] {
    auto pg = s.post(path, api_id, body, next);
    int fresh = 0;
    for (const auto& row : rows_of(pg.body, list))
      if (auto d = ymd(str(row, "dt")); d && add_pressure_row(block, *d, row, measures)) ++fresh;
    if ((int)block["rows"].size() >= days || fresh == 0 || !pg.more()) return false;
    next = pg.next_key;
    return true;
  });
  finish_pressure_block(block, days, truncated);
  return block;
}

// Adds the rows of `b` into `a` by date (measures merged).
void merge_blocks(json& a, const json& b) {
  for (const auto& rb : b["rows"]) {
    bool found = false;
    for (auto& ra : a["rows"])
      if (ra["date"] == rb["date"]) {
        ra["measures"].update(rb["measures"]);
        found = true;
      }
    if (!found) a["rows"].push_back(rb);
  }
  a["measure_units"].update(b["measure_units"]);
  for (const auto& f : b["raw_fields"]) a["raw_fields"].push_back(f);
}

json kiwoom_pressure(const std::string& code, const std::string& kind, int days, const md::ProviderContext& ctx) {
  days = std::clamp(days, 1, 120);
  if (kind == "cfd")
    return unsupported_block(kind, "kiwoom", "키움증권 REST API에는 종목별 CFD 잔고·포지션 조회 API가 없습니다.");
  const auto& kinds = md::pressure_kinds();
  if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end())
    return unsupported_block(kind, "kiwoom", "알 수 없는 항목입니다: " + kind);
  require_kr_code(code, "kiwoom");
  KiwoomSession s(ctx);
  const char* U = AMOUNT_UNIT_UNVERIFIED;
  std::string today = ymd_of(kst_today());
  std::string from = ymd_of(kst_today() - std::chrono::days(calendar_span(days)));
  if (kind == "program_trading")
    return kiwoom_daily_block(s, kind, "/api/dostk/mrkcond", "ka90013", {{"stk_cd", code}, {"date", today}},
                              "stk_daly_prm_trde_trnsn",
                              {{"net_quantity", "prm_netprps_qty", "shares"},
                               {"buy_quantity", "prm_buy_qty", "shares"},
                               {"sell_quantity", "prm_sell_qty", "shares"},
                               {"net_amount", "prm_netprps_amt", U},
                               {"buy_amount", "prm_buy_amt", U},
                               {"sell_amount", "prm_sell_amt", U}},
                              days);
  if (kind == "short_selling")
    return kiwoom_daily_block(s, kind, "/api/dostk/shsa", "ka10014",
                              {{"stk_cd", code}, {"strt_dt", from}, {"end_dt", today}, {"tm_tp", "1"}}, "shrts_trnsn",
                              {{"short_quantity", "shrts_qty", "shares"},
                               {"cumulative_short_quantity", "ovr_shrts_qty", "shares"},
                               {"short_volume_ratio", "trde_wght", "percent"},
                               {"short_amount", "shrts_trde_prica", U},
                               {"short_avg_price", "shrts_avg_pric", "krw", true}},
                              days);
  if (kind == "credit") {
    // qry_tp 1: margin loans (융자), 2: stock loans (대주); merged by day.
    json loans = kiwoom_daily_block(s, kind, "/api/dostk/stkinfo", "ka10013",
                                    {{"stk_cd", code}, {"dt", today}, {"qry_tp", "1"}}, "crd_trde_trend",
                                    {{"loan_new_quantity", "new", "shares"},
                                     {"loan_repaid_quantity", "rpya", "shares"},
                                     {"loan_balance_quantity", "remn", "shares"},
                                     {"loan_balance_amount", "amt", U},
                                     {"loan_supply_rate", "shr_rt", "percent"},
                                     {"loan_balance_rate", "remn_rt", "percent"}},
                                    days);
    json stock = kiwoom_daily_block(s, kind, "/api/dostk/stkinfo", "ka10013",
                                    {{"stk_cd", code}, {"dt", today}, {"qry_tp", "2"}}, "crd_trde_trend",
                                    {{"stock_loan_new_quantity", "new", "shares"},
                                     {"stock_loan_repaid_quantity", "rpya", "shares"},
                                     {"stock_loan_balance_quantity", "remn", "shares"},
                                     {"stock_loan_balance_amount", "amt", U},
                                     {"stock_loan_supply_rate", "shr_rt", "percent"},
                                     {"stock_loan_balance_rate", "remn_rt", "percent"}},
                                    days);
    bool truncated = loans["coverage"].value("truncated", false) || stock["coverage"].value("truncated", false);
    merge_blocks(loans, stock);
    json warnings = loans["warnings"];
    loans["warnings"] = json::array();
    finish_pressure_block(loans, days, truncated);
    // finish_pressure_block re-adds its own notes; keep each once.
    for (const auto& w : warnings)
      if (std::find(loans["warnings"].begin(), loans["warnings"].end(), w) == loans["warnings"].end())
        loans["warnings"].push_back(w);
    return loans;
  }
  if (kind == "securities_lending")
    return kiwoom_daily_block(s, kind, "/api/dostk/slb", "ka20068",
                              {{"stk_cd", code}, {"strt_dt", from}, {"end_dt", today}, {"all_tp", "0"}},
                              "dbrt_trde_trnsn",
                              {{"new_quantity", "dbrt_trde_cntrcnt", "shares"},
                               {"returned_quantity", "dbrt_trde_rpy", "shares"},
                               {"balance_change", "dbrt_trde_irds", "shares"},
                               {"balance_quantity", "rmnd", "shares"},
                               {"balance_amount", "remn_amt", U}},
                              days);
  // foreign_holding
  return kiwoom_daily_block(s, kind, "/api/dostk/frgnistt", "ka10008", {{"stk_cd", code}}, "stk_frgnr",
                            {{"holding_quantity", "poss_stkcnt", "shares"},
                             {"holding_ratio", "wght", "percent"},
                             {"holding_change", "chg_qty", "shares"},
                             {"acquirable_quantity", "gain_pos_stkcnt", "shares"},
                             {"limit_quantity", "frgnr_limit", "shares"},
                             {"limit_exhaustion_rate", "limit_exh_rt", "percent"}},
                            days);
}

class KiwoomProvider : public md::Provider {
 public:
  std::string id() const override { return "kiwoom"; }
  bool is_broker() const override { return true; }
  std::string intraday_capability(const std::string& market, const std::string&) const override {
    return market == "KR" ? "available" : md::ST_UNSUPPORTED;
  }
  md::BarDataset fetch_bars(const md::BarRequest& req, const md::ProviderContext& ctx) override {
    return kiwoom_minutes(req, ctx);
  }
  json investor_flow(const std::string& code, int days, const std::string& measure,
                     const md::ProviderContext& ctx) override {
    return kiwoom_flow(code, days, measure, ctx);
  }
  json supply_pressure(const std::string& code, const std::string& kind, int days,
                       const md::ProviderContext& ctx) override {
    return kiwoom_pressure(code, kind, days, ctx);
  }
  // The paper host serves KRX quotes; whether it serves these evidence APIs was not checked.
  json evidence_capabilities(const std::string& profile) const override {
    std::vector<std::string> cats;
    for (const auto& c : kiwoom_categories()) cats.push_back(c.category);
    return evidence_capability_table(profile, cats);
  }
};

md::ProviderRegistration reg{"kiwoom",
                             [] { return std::shared_ptr<md::Provider>(std::make_shared<KiwoomProvider>()); }};

}  // namespace

void verify_kiwoom(const md::ProviderContext& ctx) {
  KiwoomSession s(ctx);
  s.token();
}

json kiwoom_minute_probe(const md::ProviderContext& ctx, const md::BarRequest& req) {
  require_kr_code(req.symbol, "kiwoom");
  KiwoomSession s(ctx);
  return s.post("/api/dostk/chart", "ka10080", minute_body(req, minute_date(req))).body;
}

}  // namespace tessaro::brokers
