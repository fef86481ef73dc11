// Ratios, statements (fundamentals time series), earnings, analysts, dividends.
#include <chrono>
#include <map>
#include <re2/re2.h>
#include <set>

#include "core/format.hpp"
#include "core/clock.hpp"
#include "sources/http.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/parse.hpp"
#include "sources/yahoo/us.hpp"

namespace tessaro::us {

using namespace detail;

namespace {

json times(const json& v, double k) {
  auto d = dnum(v);
  return d ? json(*d * k) : json(nullptr);
}

// "ClassName: text" of a failure, URL query strings cut to "?…" (no parameters shown).
std::string failure_reason(const std::exception& e) {
  std::string w = e.what(), out;
  for (size_t i = 0; i < w.size(); ++i) {
    if (w[i] != '?') {
      out += w[i];
      continue;
    }
    out += "?\u2026";
    while (i + 1 < w.size() && !std::isspace((unsigned char)w[i + 1]) && w[i + 1] != '\'' && w[i + 1] != '"') ++i;
  }
  return exception_class_name(e) + ": " + fmt::trim(out);
}

long long now_unix() {
  return std::chrono::duration_cast<std::chrono::seconds>(mt::now().time_since_epoch()).count();
}

// Statement items per kind, in display order: (time-series key, label).
using Items = std::vector<std::pair<std::string, std::string>>;
const Items& statement_items(const std::string& kind) {
  static const Items income = {
      {"TotalRevenue", "Total Revenue"},
      {"CostOfRevenue", "Cost Of Revenue"},
      {"GrossProfit", "Gross Profit"},
      {"ResearchAndDevelopment", "Research And Development"},
      {"SellingGeneralAndAdministration", "Selling General And Administration"},
      {"OperatingExpense", "Operating Expense"},
      {"OperatingIncome", "Operating Income"},
      {"InterestExpense", "Interest Expense"},
      {"PretaxIncome", "Pretax Income"},
      {"TaxProvision", "Tax Provision"},
      {"NetIncome", "Net Income"},
      {"NetIncomeCommonStockholders", "Net Income Common Stockholders"},
      {"BasicEPS", "Basic EPS"},
      {"DilutedEPS", "Diluted EPS"},
      {"DilutedAverageShares", "Diluted Average Shares"},
      {"EBIT", "EBIT"},
      {"EBITDA", "EBITDA"}};
  static const Items balance = {
      {"TotalAssets", "Total Assets"},
      {"CurrentAssets", "Current Assets"},
      {"CashAndCashEquivalents", "Cash And Cash Equivalents"},
      {"CashCashEquivalentsAndShortTermInvestments", "Cash, Equivalents And Short Term Investments"},
      {"Receivables", "Receivables"},
      {"Inventory", "Inventory"},
      {"TotalNonCurrentAssets", "Total Non Current Assets"},
      {"NetPPE", "Net PPE"},
      {"GoodwillAndOtherIntangibleAssets", "Goodwill And Other Intangible Assets"},
      {"TotalLiabilitiesNetMinorityInterest", "Total Liabilities"},
      {"CurrentLiabilities", "Current Liabilities"},
      {"CurrentDebt", "Current Debt"},
      {"LongTermDebt", "Long Term Debt"},
      {"TotalDebt", "Total Debt"},
      {"NetDebt", "Net Debt"},
      {"StockholdersEquity", "Stockholders Equity"},
      {"RetainedEarnings", "Retained Earnings"},
      {"WorkingCapital", "Working Capital"},
      {"OrdinarySharesNumber", "Ordinary Shares Number"}};
  static const Items cash = {
      {"OperatingCashFlow", "Operating Cash Flow"},
      {"InvestingCashFlow", "Investing Cash Flow"},
      {"FinancingCashFlow", "Financing Cash Flow"},
      {"CapitalExpenditure", "Capital Expenditure"},
      {"FreeCashFlow", "Free Cash Flow"},
      {"DepreciationAndAmortization", "Depreciation And Amortization"},
      {"StockBasedCompensation", "Stock Based Compensation"},
      {"ChangeInWorkingCapital", "Change In Working Capital"},
      {"RepurchaseOfCapitalStock", "Repurchase Of Capital Stock"},
      {"CashDividendsPaid", "Cash Dividends Paid"},
      {"IssuanceOfDebt", "Issuance Of Debt"},
      {"RepaymentOfDebt", "Repayment Of Debt"},
      {"EndCashPosition", "End Cash Position"}};
  static const Items none;
  if (kind == "income") return income;
  if (kind == "balance") return balance;
  if (kind == "cash_flow") return cash;
  return none;
}

// What the values of an item count: "shares" (share counts, no currency),
// "per_share" (EPS: money per share) or "money" (amounts in the statement currency).
std::string unit_kind(const std::string& key) {
  if (key.find("Shares") != std::string::npos || key == "ShareIssued") return "shares";
  if (key.find("EPS") != std::string::npos) return "per_share";
  return "money";
}

json timeseries(const std::string& symbol, const std::vector<std::string>& types, long long period1) {
  return api_json(Q2, http::Target("/ws/fundamentals-timeseries/v1/finance/timeseries/{}", symbol),
                  {{"symbol", symbol},
                   {"type", fmt::join(types, ",")},
                   {"period1", std::to_string(period1)},
                   {"period2", std::to_string(now_unix())},
                   {"lang", "en-US"},
                   {"region", "US"}});
}

// type -> (asOfDate -> value), currency of the first value seen.
struct Series {
  std::map<std::string, std::map<std::string, double>> by_type;
  std::string currency;
};

Series read_series(const json& body) {
  Series s;
  const json& ts = body.is_object() ? body.value("timeseries", json()) : json();
  if (!ts.is_object() || !ts.contains("result") || !ts["result"].is_array()) return s;
  for (const json& r : ts["result"]) {
    if (!r.is_object() || !r.contains("meta")) continue;
    const json& types = r["meta"].value("type", json());
    if (!types.is_array() || types.empty() || !types[0].is_string()) continue;
    std::string type = types[0].get<std::string>();
    auto it = r.find(type);
    if (it == r.end() || !it->is_array()) continue;   // a type without data
    for (const json& p : *it) {
      if (!p.is_object()) continue;
      std::string asof = p.value("asOfDate", std::string());
      json v = num(p.value("reportedValue", json()));
      if (asof.empty() || v.is_null()) continue;
      s.by_type[type][asof] = v.get<double>();
      if (s.currency.empty()) s.currency = p.value("currencyCode", std::string());
    }
  }
  return s;
}

}  // namespace

namespace parse {

json financial_info(const json& r) {
  const json& fd = module_of(r, "financialData");
  const json& ks = module_of(r, "defaultKeyStatistics");
  const json& sd = module_of(r, "summaryDetail");
  const json& pr = module_of(r, "price");
  if (fd.empty() && ks.empty() && sd.empty()) return nullptr;
  json d = json::object();
  d["ticker"] = first_of(pr, {"symbol"});
  json ccy = first_of(pr, {"currency"});
  if (ccy.is_null()) ccy = first_of(sd, {"currency"});
  d["currency"] = ccy;
  d["financial_currency"] = first_of(fd, {"financialCurrency"});
  json tpe = field(sd, "trailingPE");
  d["trailing_pe"] = tpe.is_null() ? field(ks, "trailingPE") : tpe;
  json fpe = field(sd, "forwardPE");
  d["forward_pe"] = fpe.is_null() ? field(ks, "forwardPE") : fpe;
  d["peg_ratio"] = field(ks, "pegRatio");
  d["price_to_book"] = field(ks, "priceToBook");
  d["price_to_sales"] = field(sd, "priceToSalesTrailing12Months");
  d["eps_trailing"] = field(ks, "trailingEps");
  d["eps_forward"] = field(ks, "forwardEps");
  d["revenue_per_share"] = field(fd, "revenuePerShare");
  d["book_value"] = field(ks, "bookValue");
  d["return_on_equity"] = field(fd, "returnOnEquity");
  d["return_on_assets"] = field(fd, "returnOnAssets");
  json pm = field(fd, "profitMargins");
  d["profit_margin"] = pm.is_null() ? field(ks, "profitMargins") : pm;
  d["operating_margin"] = field(fd, "operatingMargins");
  d["gross_margin"] = field(fd, "grossMargins");
  d["debt_to_equity"] = times(fd.value("debtToEquity", json()), 0.01);   // Yahoo sends x100
  d["current_ratio"] = field(fd, "currentRatio");
  d["quick_ratio"] = field(fd, "quickRatio");
  d["revenue_growth"] = field(fd, "revenueGrowth");
  d["earnings_growth"] = field(fd, "earningsGrowth");
  // A fund carries its distribution yield under `yield`, a company under `dividendYield`.
  json dy = field(sd, "dividendYield");
  if (dy.is_null()) dy = field(sd, "yield");
  d["dividend_yield"] = times(dy, 100.0);   // fraction -> percent
  d["payout_ratio"] = field(sd, "payoutRatio");
  d["total_cash"] = field(fd, "totalCash");
  d["total_debt"] = field(fd, "totalDebt");
  d["total_revenue"] = field(fd, "totalRevenue");
  d["ebitda"] = field(fd, "ebitda");
  d["free_cashflow"] = field(fd, "freeCashflow");
  d["operating_cashflow"] = field(fd, "operatingCashflow");
  d["enterprise_value"] = field(ks, "enterpriseValue");
  json mc = field(pr, "marketCap");
  d["market_cap"] = mc.is_null() ? field(sd, "marketCap") : mc;
  d["shares_outstanding"] = field(ks, "sharesOutstanding");
  d["most_recent_quarter"] = epoch_day_value(ks.value("mostRecentQuarter", json()));
  d["last_fiscal_year_end"] = epoch_day_value(ks.value("lastFiscalYearEnd", json()));
  return d;
}

json statement(const json& body, const std::string& prefix, const Items& items) {
  Series s = read_series(body);
  std::set<std::string, std::greater<std::string>> periods;
  for (auto& [type, vals] : s.by_type)
    for (auto& [p, v] : vals) periods.insert(p);
  json rows = json::array();
  for (auto& [key, label] : items) {
    auto it = s.by_type.find(prefix + key);
    if (it == s.by_type.end() || it->second.empty()) continue;
    json values = json::object();
    for (const auto& p : periods) {
      auto v = it->second.find(p);
      values[p] = v == it->second.end() ? json(nullptr) : json(v->second);
    }
    rows.push_back({{"item", label}, {"values", values}, {"unit_kind", unit_kind(key)}});
  }
  json ps = json::array();
  for (const auto& p : periods) ps.push_back(p);
  return json{{"rows", rows}, {"periods", ps}, {"currency", s.currency.empty() ? json(nullptr) : json(s.currency)}};
}

json earnings(const json& r) {
  const json& eh = module_of(r, "earningsHistory");
  const json& ce = module_of(r, "calendarEvents");
  json upcoming = json::array();
  if (ce.contains("earnings") && ce["earnings"].is_object()) {
    const json& e = ce["earnings"];
    const json& dates = e.value("earningsDate", json());
    if (dates.is_array() && !dates.empty()) {
      std::vector<std::string> ds;
      for (const json& t : dates)
        if (auto x = dnum(t)) ds.push_back(epoch_day((long long)*x));
      if (!ds.empty()) {
        std::string date = ds.front();
        if (ds.size() > 1 && ds.back() != ds.front()) date += " ~ " + ds.back();
        upcoming.push_back({{"date", date},
                            {"eps_estimate", field(e, "earningsAverage")},
                            {"revenue_estimate", field(e, "revenueAverage")},
                            {"is_estimate", e.value("isEarningsDateEstimate", json())}});
      }
    }
  }
  json history = json::array();
  if (eh.contains("history") && eh["history"].is_array()) {
    std::vector<json> rows;
    for (const json& h : eh["history"]) {
      json q = h.value("quarter", json());
      json quarter = q.is_object() && q.contains("fmt") ? str(q["fmt"]) : epoch_day_value(q);
      json sp = times(h.value("surprisePercent", json()), 100.0);
      if (sp.is_number()) sp = std::round(sp.get<double>() * 100) / 100;
      rows.push_back({{"quarter", quarter},
                      {"date", nullptr},
                      {"eps_estimate", field(h, "epsEstimate")},
                      {"reported_eps", field(h, "epsActual")},
                      {"surprise(%)", sp}});
    }
    std::sort(rows.begin(), rows.end(), [](const json& a, const json& b) {
      return a["quarter"].is_string() && (!b["quarter"].is_string() || a["quarter"].get<std::string>() > b["quarter"].get<std::string>());
    });
    for (auto& x : rows) history.push_back(x);
  }
  return json{{"upcoming", upcoming}, {"history", history}};
}

json analyst_ratings(const json& r) {
  const json& fd = module_of(r, "financialData");
  const json& rt = module_of(r, "recommendationTrend");
  const json& ud = module_of(r, "upgradeDowngradeHistory");
  const json& pr = module_of(r, "price");
  json d = json::object();
  d["ticker"] = first_of(pr, {"symbol"});
  json cp = field(fd, "currentPrice");
  d["current_price"] = cp.is_null() ? field(pr, "regularMarketPrice") : cp;
  d["currency"] = first_of(pr, {"currency"});
  d["targets"] = json{{"mean", field(fd, "targetMeanPrice")},
                      {"median", field(fd, "targetMedianPrice")},
                      {"high", field(fd, "targetHighPrice")},
                      {"low", field(fd, "targetLowPrice")}};
  d["recommendation_key"] = first_of(fd, {"recommendationKey"});
  if (d["recommendation_key"] == "none") d["recommendation_key"] = nullptr;
  d["recommendation_mean"] = field(fd, "recommendationMean");
  d["analyst_count"] = field(fd, "numberOfAnalystOpinions");
  json trend = json::array();
  if (rt.contains("trend") && rt["trend"].is_array())
    for (const json& t : rt["trend"])
      trend.push_back({{"period", str(t.value("period", json()))},
                       {"strongBuy", field(t, "strongBuy")},
                       {"buy", field(t, "buy")},
                       {"hold", field(t, "hold")},
                       {"sell", field(t, "sell")},
                       {"strongSell", field(t, "strongSell")}});
  d["trend"] = trend;
  json ups = json::array();
  if (ud.contains("history") && ud["history"].is_array()) {
    std::vector<std::pair<long long, json>> rows;
    for (const json& h : ud["history"]) {
      auto t = dnum(h.value("epochGradeDate", json()));
      if (!t) continue;
      rows.push_back({(long long)*t,
                      json{{"date", epoch_day((long long)*t)},
                           {"firm", str(h.value("firm", json()))},
                           {"from", str(h.value("fromGrade", json()))},
                           {"to", str(h.value("toGrade", json()))},
                           {"action", str(h.value("action", json()))}}});
    }
    std::stable_sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (size_t i = 0; i < rows.size() && i < 50; ++i) ups.push_back(rows[i].second);
  }
  d["upgrades_downgrades"] = ups;
  return d;
}

json analyst_estimates(const json& r) {
  const json& et = module_of(r, "earningsTrend");
  const json& fd = module_of(r, "financialData");
  const json& pr = module_of(r, "price");
  json eps = json::array(), rev = json::array(), revisions = json::array(), trend = json::array();
  std::string fin_ccy;
  if (et.contains("trend") && et["trend"].is_array()) {
    for (const json& t : et["trend"]) {
      json period = str(t.value("period", json()));
      json end = str(t.value("endDate", json()));
      const json& ee = t.value("earningsEstimate", json::object());
      const json& re = t.value("revenueEstimate", json::object());
      if (fin_ccy.empty()) fin_ccy = re.value("revenueCurrency", ee.value("earningsCurrency", std::string()));
      eps.push_back({{"period", period}, {"end_date", end}, {"avg", field(ee, "avg")}, {"low", field(ee, "low")},
                     {"high", field(ee, "high")}, {"numberofanalysts", field(ee, "numberOfAnalysts")},
                     {"yearagoeps", field(ee, "yearAgoEps")}, {"growth", field(ee, "growth")}});
      rev.push_back({{"period", period}, {"end_date", end}, {"avg", field(re, "avg")}, {"low", field(re, "low")},
                     {"high", field(re, "high")}, {"numberofanalysts", field(re, "numberOfAnalysts")},
                     {"yearagorevenue", field(re, "yearAgoRevenue")}, {"growth", field(re, "growth")}});
      const json& rv = t.value("epsRevisions", json::object());
      revisions.push_back({{"period", period},
                           {"up_last_7days", field(rv, "upLast7days")},
                           {"up_last_30days", field(rv, "upLast30days")},
                           {"down_last_7days", first_of(rv, {"downLast7Days", "downLast7days"})},
                           {"down_last_30days", field(rv, "downLast30days")}});
      const json& tr = t.value("epsTrend", json::object());
      trend.push_back({{"period", period}, {"current", field(tr, "current")}, {"7daysago", field(tr, "7daysAgo")},
                       {"30daysago", field(tr, "30daysAgo")}, {"60daysago", field(tr, "60daysAgo")},
                       {"90daysago", field(tr, "90daysAgo")}});
    }
  }
  json fc = first_of(fd, {"financialCurrency"});
  if (fc.is_null() && !fin_ccy.empty()) fc = fin_ccy;
  return json{{"currency", first_of(pr, {"currency"})},
              {"financial_currency", fc},
              {"eps_estimate", eps},
              {"revenue_estimate", rev},
              {"eps_revisions", revisions},
              {"eps_trend", trend}};
}

json dividends_summary(const json& r) {
  const json& sd = module_of(r, "summaryDetail");
  const json& ks = module_of(r, "defaultKeyStatistics");
  const json& ce = module_of(r, "calendarEvents");
  json dy = sd.contains("dividendYield") ? sd["dividendYield"] : sd.value("yield", json());
  json ex = field(sd, "exDividendDate");
  if (ex.is_null()) ex = field(ce, "exDividendDate");
  return json{{"dividend_yield", times(dy, 100.0)},
              {"dividend_rate", field(sd, "dividendRate")},
              {"five_year_avg_yield", field(sd, "fiveYearAvgDividendYield")},   // already percent
              {"payout_ratio", field(sd, "payoutRatio")},
              {"ex_dividend_date", ex},
              {"trailing_annual_dividend_rate", field(sd, "trailingAnnualDividendRate")},
              {"last_dividend_value", field(ks, "lastDividendValue")},
              {"last_dividend_date", epoch_day_value(ks.value("lastDividendDate", json()))}};
}

json earnings_calendar_html(const std::string& html) {
  json out = json::array();
  auto strip = [](std::string s) {
    static const RE2 tags("<[^>]*>");
    RE2::GlobalReplace(&s, tags, " ");
    s = fmt::replace_all(s, "&amp;", "&");
    s = fmt::replace_all(s, "&nbsp;", " ");
    static const RE2 ws("\\s+");
    RE2::GlobalReplace(&s, ws, " ");
    return fmt::trim(s);
  };
  auto t0 = html.find("<table");
  if (t0 == std::string::npos) return out;
  auto t1 = html.find("</table>", t0);
  std::string table = html.substr(t0, t1 == std::string::npos ? std::string::npos : t1 - t0);
  // Header cells name the columns; their order has changed over time.
  std::vector<std::string> head;
  static const RE2 th("(?s)<th[^>]*>(.*?)</th>");
  {
    re2::StringPiece in(table);
    std::string cell;
    while (RE2::FindAndConsume(&in, th, &cell)) head.push_back(fmt::lower(strip(cell)));
  }
  auto col = [&](const char* needle) -> int {
    for (size_t i = 0; i < head.size(); ++i)
      if (head[i].find(needle) != std::string::npos) return int(i);
    return -1;
  };
  int c_date = col("earnings date"), c_est = col("eps estimate"), c_act = col("reported eps"), c_sur = col("surprise");
  if (c_date < 0) return out;
  static const RE2 tr("(?s)<tr[^>]*>(.*?)</tr>");
  static const RE2 td("(?s)<td[^>]*>(.*?)</td>");
  static const RE2 when("([A-Za-z]{3,9})\\.? (\\d{1,2}), (\\d{4})(?:,| at)? ?(\\d{1,2})?(?::(\\d{2}))? ?(AM|PM)? ?(EDT|EST)?");
  static const std::map<std::string, int> months = {
      {"jan", 1}, {"feb", 2}, {"mar", 3}, {"apr", 4}, {"may", 5}, {"jun", 6},
      {"jul", 7}, {"aug", 8}, {"sep", 9}, {"oct", 10}, {"nov", 11}, {"dec", 12}};
  re2::StringPiece in(table);
  std::string row;
  while (RE2::FindAndConsume(&in, tr, &row)) {
    std::vector<std::string> cells;
    re2::StringPiece rin(row);
    std::string cell;
    while (RE2::FindAndConsume(&rin, td, &cell)) cells.push_back(strip(cell));
    if (int(cells.size()) <= c_date) continue;
    std::string mon, day, year, hour, minute, ampm, zone;
    if (!RE2::PartialMatch(cells[c_date], when, &mon, &day, &year, &hour, &minute, &ampm, &zone)) continue;
    auto m = months.find(fmt::lower(mon.substr(0, 3)));
    if (m == months.end()) continue;
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", std::stoi(year), m->second, std::stoi(day));
    std::string timestamp = date;
    if (!hour.empty() && !ampm.empty()) {
      int h = std::stoi(hour) % 12 + (ampm == "PM" ? 12 : 0);
      int mi = minute.empty() ? 0 : std::stoi(minute);
      char buf[40];
      std::snprintf(buf, sizeof buf, "%sT%02d:%02d:00%s", date, h, mi,
                    zone == "EDT" ? "-04:00" : zone == "EST" ? "-05:00" : "");
      timestamp = buf;
    }
    auto cellnum = [&](int c) -> json {
      if (c < 0 || c >= int(cells.size())) return nullptr;
      auto v = fmt::parse_number(cells[c]);
      return v ? json(*v) : json(nullptr);
    };
    out.push_back({{"date", date},
                   {"timestamp", timestamp},
                   {"eps_estimate", cellnum(c_est)},
                   {"eps_actual", cellnum(c_act)},
                   {"eps_surprise_pct", cellnum(c_sur)}});
  }
  return out;
}

}  // namespace parse

json get_financial_info(const std::string& ticker) {
  return from_summary(ticker, "financialData,defaultKeyStatistics,summaryDetail,price",
                      [](const json& r, const std::string& sym) {
                        json d = parse::financial_info(r);
                        if (d.is_null() || !d["peg_ratio"].is_null()) return d;
                        // PEG is only in the time series (last six months of trailing values).
                        try {
                          Series s = read_series(timeseries(sym, {"trailingPegRatio"}, now_unix() - 183 * 86400));
                          auto it = s.by_type.find("trailingPegRatio");
                          if (it != s.by_type.end() && !it->second.empty()) d["peg_ratio"] = it->second.rbegin()->second;
                        } catch (const HTTPError&) {
                          // PEG stays missing; the other ratios are still good.
                        }
                        return d;
                      });
}

json get_financial_statement(const std::string& ticker, const std::string& statement_type, const std::string& period) {
  auto sym = normalize_symbol(ticker);
  if (!sym) return nullptr;
  const Items& items = statement_items(statement_type);
  if (items.empty()) return json{{"error", "unknown statement_type: " + statement_type}};
  if (period != "annual" && period != "quarterly") return json{{"error", "unknown period: " + period}};
  std::vector<std::string> types;
  for (auto& [k, l] : items) types.push_back(period + k);
  json r = parse::statement(timeseries(*sym, types, 1483142400), period, items);
  // The time series answers an unknown symbol with an empty result, like a company
  // without such a statement: only the quote tells "no such ticker".
  if (r["rows"].empty() && !symbol_is_quoted(*sym)) return nullptr;
  r["ticker"] = *sym;
  r["statement_type"] = statement_type;
  r["period"] = period;
  return r;
}

json get_earnings(const std::string& ticker) {
  return from_summary(ticker, "earningsHistory,calendarEvents,price",
                      [](const json& r, const std::string&) { return parse::earnings(r); });
}

namespace {
// Announcements with their time (calendar page, then the quote's last report time),
// revenue and cash flow per quarter, and the revenue estimates Yahoo still has.
json earnings_events_of(const json& r, const std::string& symbol) {
  json events = json::array();
  std::string source = "none";
  // Each side lookup below stands alone: when one fails, the events keep what the
  // others found and the failure is named in `failed_parts`, never read as "none".
  json failed_parts = json::array();
  auto failed = [&](const char* part, const std::exception& e) {
    failed_parts.push_back({{"part", part}, {"reason", failure_reason(e)}});
  };
  // The earnings calendar page lists past and coming reports with their hour.
  try {
    ApiReply page = api(FINANCE, http::Target("/calendar/earnings"), {{"symbol", symbol}, {"offset", "0"}, {"size", "25"}});
    if (page.status < 400) {
      events = parse::earnings_calendar_html(page.text);
      if (!events.empty()) source = "earnings_calendar";
    }
  } catch (const Error& e) {
    failed("earnings_calendar", e);
  }
  // The quote's earningsTimestamp is the last report to the minute.
  json rows = json::array();
  try {
    rows = quote_rows({symbol});
  } catch (const Error& e) {
    failed("report_time", e);
  }
  for (const json& q : rows) {
    if (q.value("symbol", std::string()) != symbol) continue;
    auto ts = dnum(q.value("earningsTimestamp", json()));
    if (!ts || *ts <= 0) break;
    std::string date = day_in_zone((long long)*ts, mt::NEW_YORK);
    std::string iso = iso_in_zone((long long)*ts, mt::NEW_YORK);
    bool merged = false;
    for (json& e : events)
      if (e.value("date", std::string()) == date) {
        e["timestamp"] = iso;
        merged = true;
      }
    if (!merged) {
      json e = {{"date", date}, {"timestamp", iso}, {"eps_estimate", nullptr}, {"eps_actual", nullptr},
                {"eps_surprise_pct", nullptr}};
      // The report of the quarter that ended 0..120 days before.
      const json& hist = module_of(r, "earningsHistory").value("history", json::array());
      auto ed = mt::parse_day(date);
      for (const json& h : hist) {
        json qd = h.value("quarter", json());
        auto qs = qd.is_object() ? str(qd.value("fmt", json())) : json(nullptr);
        if (!qs.is_string() || !ed) continue;
        auto qday = mt::parse_day(qs.get<std::string>());
        if (!qday) continue;
        auto gap = (*ed - *qday).count();
        if (gap < 0 || gap > 120) continue;
        e["eps_estimate"] = field(h, "epsEstimate");
        e["eps_actual"] = field(h, "epsActual");
        json sp = times(h.value("surprisePercent", json()), 100.0);
        if (sp.is_number()) sp = std::round(sp.get<double>() * 100) / 100;
        e["eps_surprise_pct"] = sp;
      }
      events.push_back(e);
      if (source == "none") source = "quote";
    }
    break;
  }
  std::sort(events.begin(), events.end(),
            [](const json& a, const json& b) { return a.value("date", std::string()) > b.value("date", std::string()); });

  Series s;
  try {
    s = read_series(timeseries(symbol, {"quarterlyTotalRevenue", "quarterlyOperatingCashFlow"}, now_unix() - 3 * 366 * 86400));
  } catch (const Error& e) {
    failed("revenue_cash_flow", e);
  }
  json revenue = json::object(), ocf = json::object();
  for (auto& [p, v] : s.by_type["quarterlyTotalRevenue"]) revenue[p] = v;
  for (auto& [p, v] : s.by_type["quarterlyOperatingCashFlow"]) ocf[p] = v;
  json estimates = json::object();
  const json& et = module_of(r, "earningsTrend");
  if (et.contains("trend") && et["trend"].is_array())
    for (const json& t : et["trend"]) {
      std::string p = t.value("period", std::string());
      if (p != "0q" && p != "+1q") continue;
      json end = str(t.value("endDate", json()));
      json avg = t.contains("revenueEstimate") ? field(t["revenueEstimate"], "avg") : json(nullptr);
      if (end.is_string() && !avg.is_null()) estimates[end.get<std::string>()] = avg;
    }
  json fc = first_of(module_of(r, "earnings"), {"financialCurrency"});
  if (fc.is_null()) fc = first_of(module_of(r, "financialData"), {"financialCurrency"});
  return json{{"events", events},
              {"events_source", source},
              {"revenue_by_period", revenue},
              {"ocf_by_period", ocf},
              {"revenue_estimates", estimates},
              {"financial_currency", fc.is_null() && !s.currency.empty() ? json(s.currency) : fc},
              {"failed_parts", failed_parts}};
}
}  // namespace

json get_earnings_events(const std::string& ticker) {
  return from_summary(ticker, "earningsHistory,earningsTrend,earnings,financialData,price", earnings_events_of);
}

json get_analyst_ratings(const std::string& ticker) {
  return from_summary(ticker, "financialData,recommendationTrend,upgradeDowngradeHistory,price",
                      [](const json& r, const std::string&) { return parse::analyst_ratings(r); });
}

json get_analyst_estimates(const std::string& ticker) {
  return from_summary(ticker, "earningsTrend,financialData,price",
                      [](const json& r, const std::string&) { return parse::analyst_estimates(r); });
}

json get_dividends(const std::string& ticker, int limit) {
  return from_summary(ticker, "summaryDetail,defaultKeyStatistics,calendarEvents,price",
                      [limit](const json& r, const std::string& sym) {
                        json d = parse::dividends_summary(r);
                        d["ticker"] = sym;
                        json ccy = first_of(module_of(r, "price"), {"currency"});
                        d["currency"] = ccy.is_null() ? first_of(module_of(r, "summaryDetail"), {"currency"}) : ccy;
                        json body = api_json(Q2, http::Target("/v8/finance/chart/{}", sym),
                                             {{"range", "max"}, {"interval", "1mo"}, {"events", "div"}});
                        json all = parse::chart_dividends(body);
                        json hist = json::array();
                        for (auto it = all.rbegin(); it != all.rend() && (limit <= 0 || int(hist.size()) < limit); ++it)
                          hist.push_back(*it);
                        d["history"] = hist;
                        d["history_total"] = all.size();
                        return d;
                      });
}

}  // namespace tessaro::us
