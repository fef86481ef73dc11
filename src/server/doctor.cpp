#include "server/doctor.hpp"

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <vector>

#include "core/cli.hpp"
#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/secrets.hpp"
#include "core/text.hpp"
#include "market_time/clock.hpp"
#include "sources/brokers/broker_common.hpp"
#include "sources/contracts.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/naver/naver.hpp"
#include "sources/sec/client.hpp"
#include "sources/sec/sec.hpp"
#include "sources/yahoo/client.hpp"

namespace tessaro::server::doctor {

namespace {

namespace fs = std::filesystem;

// A fetch gives the body to check; a status it cannot use is thrown as the
// source's own error and classified below.
struct Check {
  std::string endpoint;   // contract id
  std::string target;     // the instrument asked for
  std::function<std::string()> fetch;
  bool needs_sec_contact = false;
  // What the fetch picked on its way (which report), shown in the detail.
  std::shared_ptr<std::string> note = std::make_shared<std::string>();
  // Asked only when the endpoint before it fails: reported, but its failure
  // does not fail the check as a whole.
  bool stand_in = false;
};

// A check whose target could not be chosen: nothing was asked of the endpoint.
struct NotChecked {
  std::string why;
};

std::string naver_text(const std::string& host, const http::Target& path, bool euc_kr = false) {
  return naver::fetch_text(host, path, euc_kr);
}

std::string yahoo_text(const std::string& host, const http::Target& path, us::detail::Params params) {
  us::detail::ApiReply r = us::detail::api(host, path, std::move(params));
  if (r.status >= 400) throw HTTPStatusError("HTTP " + std::to_string(r.status) + " for " + path.str(), r.status);
  return r.text;
}

// The last KRX trading day as YYYY-MM-DD, today when unknown.
std::string last_krx_day_iso() {
  std::string d;
  try {
    json clock = mt::build_market_clock();
    d = clock.value("krx", json::object()).value("last_trading_day", std::string());
  } catch (const std::exception&) {
  }
  if (d.empty()) d = mt::iso_kst(mt::now()).substr(0, 10);
  return d;
}

// The same day as YYYYMMDD (for the minute chart).
std::string last_krx_day() { return fmt::replace_all(last_krx_day_iso(), "-", ""); }

std::string first_line(const std::string& s, size_t max = 120);

// One report's page, as get_report_content reads it: the stock's report list is
// read the way the research tools read it, and the first report in it that
// links a PDF is the one opened (a page without a PDF has nothing to find).
std::string report_page(const std::string& code, std::string& note) {
  json reports;
  try {
    reports = naver::get_reports(code, 5);
  } catch (const std::exception& e) {
    throw NotChecked{"report list unreadable (" + first_line(e.what(), 80) + ")"};
  }
  if (!reports.is_array() || reports.empty()) throw NotChecked{"the report list of " + code + " is empty"};
  for (const auto& r : reports) {
    std::string nid = r.value("nid", std::string()), pdf = r.value("pdf_url", std::string());
    if (nid.empty() || pdf.empty()) continue;
    note = "report " + nid;
    const std::string origin = "https://m.stock.naver.com";
    std::string url = naver::report_page_url(nid);
    return naver_text("m.stock.naver.com", url.rfind(origin, 0) == 0
                                               ? http::Target::given(url.substr(origin.size()))
                                               : http::Target("/research/company/{}", nid));
  }
  throw NotChecked{"no report in the list of " + code + " links a PDF"};
}

std::vector<Check> checks() {
  const std::string samsung = "삼성전자";
  const std::string day = last_krx_day();
  auto report_note = std::make_shared<std::string>();
  std::vector<Check> c = {
      {"naver.autocomplete", "삼성전자",
       [=] {
         return naver_text("stock.naver.com", http::Target("/api/autocomplete/search/autoComplete?query={}"
                                                           "&target=stock,index,marketindicator,coin,ipo",
                                                           samsung));
       }},
      {"naver.polling_stock", "005930",
       [] { return naver_text("polling.finance.naver.com", http::Target("/api/realtime/domestic/stock/005930")); }},
      {"naver.polling_index", "KOSPI",
       [] { return naver_text("stock.naver.com", http::Target("/api/polling/domestic/index?itemCodes=KOSPI,KOSDAQ")); }},
      {"naver.fchart", "005930",
       [] {
         return naver_text("fchart.stock.naver.com", http::Target("/sise.nhn?symbol=005930&timeframe=day&count=5&requestType=0"),
                           true);
       }},
      {"naver.fchart", "KOSPI",
       [] {
         return naver_text("fchart.stock.naver.com", http::Target("/sise.nhn?symbol=KOSPI&timeframe=day&count=5&requestType=0"),
                           true);
       }},
      {"naver.minute_chart", "005930",
       [=] {
         return naver_text("api.stock.naver.com",
                           http::Target("/chart/domestic/item/005930/minute?startDateTime={}1525&endDateTime={}1545",
                                        day, day));
       }},
      {"naver.trend", "005930", [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/005930/trend?pageSize=5")); }},
      {"naver.basic", "005930", [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/005930/basic")); }},
      {"naver.integration", "005930",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/005930/integration")); }},
      {"naver.finance", "005930",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/005930/finance/annual")); }},
      {"naver.disclosure", "005930",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/005930/disclosure?pageSize=5&page=1")); }},
      {"naver.stock_news", "005930",
       [] { return naver_text("stock.naver.com", http::Target("/api/domestic/detail/news?itemCode=005930&page=1&pageSize=5")); }},
      {"naver.news_search", "삼성전자",
       [=] {
         return naver_text("stock.naver.com", http::Target("/api/domestic/news/search?query={}&page=1&pageSize=5", samsung));
       }},
      {"naver.research", "005930",
       [] { return naver_text("stock.naver.com", http::Target("/api/domestic/research/005930/research?page=0&size=5")); }},
      {"naver.report_page", "005930", [report_note] { return report_page("005930", *report_note); }, false,
       report_note},
      {"naver.stock_detail", "005930",
       [] { return naver_text("stock.naver.com", http::Target("/api/domestic/detail/005930/detail?codeType=KRX")); }},
      {"naver.market_value", "KOSPI",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/stocks/marketValue/KOSPI?page=1&pageSize=5")); }},
      {"naver.index_daily", "KOSPI",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/index/KOSPI/price?pageSize=5&page=1")); }},
      {"naver.etf_analysis", "069500",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/069500/etfAnalysis")); }},
      {"naver.etf_basic", "069500",
       [] { return naver_text("m.stock.naver.com", http::Target("/api/stock/069500/basic")); }},
      {"naver.etf_list", "069500",
       [] { return naver_text("finance.naver.com", http::Target("/api/sise/etfItemList.nhn?etfType=0"), true); }},
      {"naver.market_list", "KRX volume",
       [] {
         return naver_text("stock.naver.com", http::Target("/api/domestic/market/stock/default?tradeType=KRX&marketType=ALL"
                                                           "&orderType=quantTop&startIdx=0&pageSize=5"));
       }},
      {"naver.designation", "management",
       [] { return naver_text("finance.naver.com", http::Target("/sise/management.naver"), true); }},
      {"naver.deposit", "market",
       [] { return naver_text("stock.naver.com", http::Target("/api/domestic/market/trendDeposit?startIdx=0&pageSize=5")); }},
      {"naver.ipo", "subscription",
       [] {
         return naver_text("m.stock.naver.com", http::Target("/front-api/ipo/progress?progressType=SUBSCRIPTION&page=1&pageSize=5"));
       }},
      {"naver.group_list", "theme",
       [] { return naver_text("finance.naver.com", http::Target("/sise/theme.naver?&page=1"), true); }},
      {"naver.group_detail", "upjong 301",
       [] { return naver_text("finance.naver.com", http::Target("/sise/sise_group_detail.naver?type=upjong&no=301"), true); }},
  };
  for (const char* sym : {"AAPL", "SPY"})
    c.push_back({"yahoo.chart", sym, [s = std::string(sym)] {
                   return yahoo_text(us::detail::Q2, http::Target("/v8/finance/chart/{}", s),
                                     {{"range", "5d"}, {"interval", "1d"}, {"includePrePost", "false"}});
                 }});
  c.push_back({"yahoo.quote", "AAPL,SPY", [] {
                 return yahoo_text(us::detail::Q1, http::Target("/v7/finance/quote"),
                                   {{"symbols", "AAPL,SPY"}, {"formatted", "false"}, {"lang", "en-US"}, {"region", "US"}});
               }});
  c.push_back({"yahoo.quote_summary", "AAPL", [] {
                 return yahoo_text(us::detail::Q2, http::Target("/v10/finance/quoteSummary/AAPL"),
                                   {{"modules", "price,summaryDetail"}, {"formatted", "false"}, {"lang", "en-US"},
                                    {"region", "US"}, {"symbol", "AAPL"}});
               }});
  c.push_back({"yahoo.search", "AAPL", [] {
                 return yahoo_text(us::detail::Q2, http::Target("/v1/finance/search"),
                                   {{"q", "AAPL"}, {"quotesCount", "5"}, {"newsCount", "0"}, {"lang", "en-US"},
                                    {"region", "US"}});
               }});
  c.push_back({"sec.tickers", "AAPL",
               [] { return sec::detail::request(sec::detail::www(http::Target("/files/company_tickers.json")), 30.0).body; },
               true});
  c.push_back({"sec.submissions", "CIK0000320193",
               [] { return sec::detail::request(sec::detail::data(http::Target("/submissions/CIK0000320193.json"))).body; },
               true});
  c.push_back({"sec.companyfacts", "CIK0000320193",
               [] {
                 return sec::detail::request(sec::detail::data(http::Target("/api/xbrl/companyfacts/CIK0000320193.json")), 60.0)
                     .body;
               },
               true});
  c.push_back({"sec.companyconcept", "CIK0000320193 Assets",
               [] {
                 return sec::detail::request(
                            sec::detail::data(http::Target("/api/xbrl/companyconcept/CIK0000320193/us-gaap/Assets.json")))
                     .body;
               },
               true});
  // Stand-ins: the older quote API and the main page's investor table.
  Check legacy{"naver.polling_legacy", "005930",
               [] { return naver_text("polling.finance.naver.com", http::Target("/api/realtime?query=SERVICE_ITEM:005930"), true); }};
  legacy.stand_in = true;
  c.push_back(legacy);
  Check main_page{"naver.main_invest_trend", "005930",
                  [] { return naver_text("finance.naver.com", http::Target("/item/main.naver?code=005930"), true); }};
  main_page.stand_in = true;
  c.push_back(main_page);
  return c;
}

std::string first_line(const std::string& s, size_t max) {
  std::string l = s.substr(0, s.find('\n'));
  if (l.size() <= max) return l;
  while (max > 0 && ((unsigned char)l[max] & 0xC0) == 0x80) --max;   // never cut a letter in two
  return l.substr(0, max) + "…";
}

// What a failed fetch means for the endpoint.
std::pair<std::string, std::string> classify() {
  try {
    throw;
  } catch (const sec::SecNotFound& e) {
    return {CHANGED, "HTTP 404"};
  } catch (const sec::SecFetchError& e) {
    if (e.status() == 403 || e.status() == 429 || e.throttled())
      return {BLOCKED, "HTTP " + std::to_string(e.status() ? e.status() : 403) + " (" + first_line(e.what()) + ")"};
    if (e.status() >= 400 && e.status() < 500) return {CHANGED, "HTTP " + std::to_string(e.status())};
    if (e.status() > 0 && e.status() < 400) return {CHANGED, first_line(e.what())};
    return {UNREACHABLE, first_line(e.what())};
  } catch (const HTTPStatusError& e) {
    long s = e.status();
    if (s == 403 || s == 429) return {BLOCKED, "HTTP " + std::to_string(s)};
    if (s >= 500) return {UNREACHABLE, "HTTP " + std::to_string(s)};
    return {CHANGED, "HTTP " + std::to_string(s) + (s == 410 ? " (page retired)" : s == 404 ? " (not found)" : "")};
  } catch (const us::detail::YahooError& e) {
    std::string w = fmt::lower(e.what());
    if (w.find("consent") != std::string::npos) return {BLOCKED, "consent: " + first_line(e.what())};
    if (w.find("temporarily down") != std::string::npos) return {UNREACHABLE, first_line(e.what())};
    return {CHANGED, first_line(e.what())};
  } catch (const TransportError& e) {
    return {UNREACHABLE, std::string(e.class_name()) + ": " + first_line(e.what())};
  } catch (const Error& e) {
    return {UNREACHABLE, std::string(e.class_name()) + ": " + first_line(e.what())};
  } catch (const std::exception& e) {
    return {UNREACHABLE, first_line(e.what())};
  }
}

json result_row(const std::string& endpoint, const std::string& target, const std::string& status,
                const std::string& detail, json latency) {
  return {{"endpoint", endpoint}, {"target", target}, {"status", status}, {"detail", detail}, {"latency_ms", latency}};
}

std::string pad(const std::string& s, size_t w) {
  // Display columns: Hangul and other wide letters take two.
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = (unsigned char)s[i];
    int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
    n += len >= 3 ? 2 : 1;
    i += len;
  }
  return n >= w ? s + " " : s + std::string(w - n, ' ');
}

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// What a failed broker call means for the endpoint. Broker messages are
// scrubbed of keys and tokens where they are made.
std::pair<std::string, std::string> broker_failure() {
  try {
    throw;
  } catch (const market_data::ProviderError& e) {
    std::string st = fmt::lower(e.status());
    bool refused = st.find("rate") != std::string::npos || st.find("429") != std::string::npos ||
                   st.find("403") != std::string::npos || st.find("auth") != std::string::npos ||
                   st.find("permission") != std::string::npos;
    return {refused ? BLOCKED : CHANGED, e.status() + ": " + first_line(e.what())};
  } catch (...) {
    return classify();
  }
}

// The request the bar layer makes for 005930's minute bars on the last KRX day.
market_data::BarRequest broker_bar_request() {
  market_data::BarRequest req;
  req.market = "KR";
  req.symbol = "005930";
  req.venue = "KRX";
  req.trading_date = last_krx_day_iso();
  mt::Day day = mt::parse_day(req.trading_date).value_or(mt::to_kst(mt::now()).date());
  if (auto w = market_data::session_window("KR", day)) {
    req.start_at = w->start_at;
    req.end_at = w->close_at;
  } else {
    req.start_at = mt::from_kst(day, 9, 0);
    req.end_at = mt::from_kst(day, 15, 30);
  }
  return req;
}

// A connected broker: its token request, then one data request (the first page
// of 005930's minute bars) held against the answer's declared shape, both with
// the keys the tools use.
void check_broker(const std::string& id, const std::string& profile, json& results) {
  const std::string ep = "broker." + id, data_ep = ep + ".minute", data_target = "005930";
  if (id != "kis" && id != "kiwoom") {
    results.push_back(result_row(ep, profile, NOT_CHECKED, "experimental provider", nullptr));
    return;
  }
  std::string issue = market_data::runtime().credential_issue(id);
  if (!issue.empty()) {
    results.push_back(result_row(ep, profile, NOT_CONFIGURED, first_line(issue), nullptr));
    results.push_back(result_row(data_ep, data_target, NOT_CHECKED, "not run: the broker's keys are not set", nullptr));
    return;
  }
  market_data::ProviderContext ctx;
  auto t0 = std::chrono::steady_clock::now();
  std::string status = OK, detail = "token issued or still valid";
  try {
    ctx = market_data::runtime().context_for(id);
    if (id == "kis") brokers::verify_kis(ctx);
    else brokers::verify_kiwoom(ctx);
  } catch (...) {
    std::tie(status, detail) = broker_failure();
  }
  results.push_back(result_row(ep, profile, status, detail, ms_since(t0)));
  if (status != OK) {
    results.push_back(result_row(data_ep, data_target, NOT_CHECKED,
                                 "not run: the token request failed (" + status + ", see " + ep + ")", nullptr));
    return;
  }

  t0 = std::chrono::steady_clock::now();
  status = OK;
  detail.clear();
  try {
    market_data::BarRequest req = broker_bar_request();
    json body = id == "kis" ? brokers::kis_minute_probe(ctx, req) : brokers::kiwoom_minute_probe(ctx, req);
    const contracts::Contract* contract = contracts::find(data_ep);
    if (!contract) {
      status = CHANGED;
      detail = "no declared shape";
    } else {
      contracts::Verdict v = contracts::check(*contract, body);
      // The bar list is the first field of the shape: with no bars in it the
      // row fields could not be looked at.
      const std::string& list = contract->fields.front().path;
      bool no_rows = body.is_object() && body.contains(list) && body[list].is_array() && body[list].empty();
      if (!v.ok()) {
        status = CHANGED;
        detail = v.summary();
      } else if (no_rows) {
        detail = "no bars for " + req.trading_date + " in the answer (row fields not checked)";
      } else if (!v.optional_missing.empty()) {
        detail = "optional fields absent: " + fmt::join(v.optional_missing, ", ");
      }
    }
  } catch (...) {
    std::tie(status, detail) = broker_failure();
  }
  results.push_back(result_row(data_ep, data_target, status, detail, ms_since(t0)));
}

}  // namespace

bool is_failure(const std::string& status) { return status == CHANGED || status == BLOCKED || status == UNREACHABLE; }

json run_checks() {
  json results = json::array();
  for (const Check& c : checks()) {
    const contracts::Contract* contract = contracts::find(c.endpoint);
    if (c.needs_sec_contact && !sec::contact_configured()) {
      results.push_back(result_row(c.endpoint, c.target, NOT_CONFIGURED, "TESSARO_SEC_CONTACT is not set", nullptr));
      continue;
    }
    auto t0 = std::chrono::steady_clock::now();
    std::string status = OK, detail;
    bool asked = true;
    try {
      std::string body = c.fetch();
      if (!contract) {
        status = CHANGED;
        detail = "no declared shape";
      } else {
        contracts::Verdict v = contracts::check_text(*contract, body);
        if (!v.ok()) {
          status = CHANGED;
          detail = v.summary();
        } else if (!v.optional_missing.empty()) {
          detail = "optional fields absent: " + fmt::join(v.optional_missing, ", ");
        }
      }
    } catch (const NotChecked& n) {
      status = NOT_CHECKED;
      detail = n.why;
      asked = false;
    } catch (...) {
      std::tie(status, detail) = classify();
    }
    if (!c.note->empty()) detail = *c.note + (detail.empty() ? "" : ": " + detail);
    if (c.stand_in) detail = "stand-in" + (detail.empty() ? "" : ": " + detail);
    results.push_back(result_row(c.endpoint, c.target, status, detail, asked ? json(ms_since(t0)) : json(nullptr)));
    if (c.stand_in) results.back()["stand_in"] = true;
  }
  // Brokers: their endpoints need the account's own keys; only a connection can be checked.
  try {
    market_data::ConnectionState cs = market_data::load_state_v2();
    if (cs.providers.empty())
      results.push_back(result_row("brokers", "-", NOT_CONFIGURED, "no broker connected", nullptr));
    for (const auto& [id, p] : cs.providers) check_broker(id, p.profile.empty() ? "real" : p.profile, results);
  } catch (const std::exception& e) {
    results.push_back(result_row("brokers", "-", NOT_CHECKED, std::string("state unreadable: ") + e.what(), nullptr));
  }
  json failed = json::array();
  for (const auto& r : results)
    if (is_failure(r.value("status", std::string())) && !r.value("stand_in", false))
      failed.push_back({{"endpoint", r["endpoint"]}, {"target", r["target"]}, {"status", r["status"]}, {"detail", r["detail"]}});
  return {{"checked_at", mt::iso_kst(mt::now())}, {"version", TESSARO_VERSION}, {"results", results}, {"failed", failed}};
}

std::string format_report(const json& report) {
  std::vector<std::string> lines;
  lines.push_back("tessaro-mcp doctor — " + report.value("checked_at", std::string()));
  lines.push_back("");
  lines.push_back(pad("endpoint", 22) + pad("target", 15) + pad("status", 16) + pad("latency", 10) + "detail");
  std::map<std::string, int> counts;
  for (const auto& r : report.value("results", json::array())) {
    std::string st = r.value("status", std::string());
    ++counts[st];
    std::string lat = r["latency_ms"].is_number() ? std::to_string(r["latency_ms"].get<long long>()) + " ms" : "-";
    lines.push_back(pad(r.value("endpoint", std::string()), 22) + pad(r.value("target", std::string()), 15) +
                    pad(st, 16) + pad(lat, 10) + r.value("detail", std::string()));
  }
  std::vector<std::string> parts;
  for (const auto& [st, n] : counts) parts.push_back(std::to_string(n) + " " + st);
  lines.push_back("");
  size_t failed = report.value("failed", json::array()).size();
  lines.push_back(fmt::join(parts, ", ") + (failed ? " — " + std::to_string(failed) + " endpoint(s) need attention"
                                                   : " — every checked endpoint answers as the tools expect"));
  return fmt::join(lines, "\n") + "\n";
}

fs::path last_check_path() { return home_dir() / "doctor" / "last_check.json"; }

void save(const json& report) { write_file_atomic(last_check_path(), secrets::mask(report.dump(2))); }

json load_last_check() {
  auto text = read_file(last_check_path());
  if (!text) return nullptr;
  json j = json::parse(*text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("checked_at")) return nullptr;
  return j;
}

int command(int argc, char** argv) {
  bool as_json = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--json") as_json = true;
    else {
      std::cerr << "usage: tessaro-mcp doctor [--json]\n";
      return 2;
    }
  }
  json report = run_checks();
  std::string saved_note;
  try {
    save(report);
    saved_note = "saved to " + last_check_path().string();
  } catch (const std::exception& e) {
    saved_note = std::string("could not save the result: ") + e.what();
  }
  // Nothing doctor prints or keeps carries a key, token or account number, even
  // where an endpoint echoed one into its answer.
  if (as_json) std::cout << secrets::mask(report.dump(2)) << "\n";
  else std::cout << secrets::mask(format_report(report));
  std::cerr << saved_note << "\n";
  return report.value("failed", json::array()).empty() ? 0 : 1;
}

namespace {
const CliCommand reg_doctor{"doctor", "check each data endpoint the tools use against its expected shape (--json: whole result)",
                            command};
}  // namespace

}  // namespace tessaro::server::doctor
