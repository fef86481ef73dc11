// Options chains, insider transactions and roster, holders, short interest.
#include <cmath>

#include "core/format.hpp"
#include "core/clock.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/parse.hpp"
#include "sources/yahoo/us.hpp"

namespace tessaro::us {

using namespace detail;

namespace {

// Where Yahoo's solver found no IV for a contract (no bid/ask to solve from, as
// before the open) it leaves a starting point in the field: 1e-05 (sometimes 0),
// or one of its halving steps 2^-k + (1 - 2^-k)·1e-05 = 0.500005, 0.2500075,
// 0.12500875, ... A real IV is never one of those: they are missing, not 50 %.
bool unsolved_iv(double v) {
  if (!(v > 1e-4)) return true;
  for (int k = 1; k <= 20; ++k) {
    double p = std::ldexp(1.0, -k);
    if (std::fabs(v - (p + (1 - p) * 1e-5)) <= 1e-10) return true;
  }
  return false;
}

json implied_volatility(const json& c) {
  json v = field(c, "impliedVolatility");
  return v.is_number() && !unsolved_iv(v.get<double>()) ? v : json(nullptr);
}

json contracts(const json& rows) {
  json out = json::array();
  if (!rows.is_array()) return out;
  for (const json& c : rows) {
    json b = c.value("inTheMoney", json());
    out.push_back({{"contractSymbol", str(c.value("contractSymbol", json()))},
                   {"strike", field(c, "strike")},
                   {"lastPrice", field(c, "lastPrice")},
                   {"bid", field(c, "bid")},
                   {"ask", field(c, "ask")},
                   {"volume", field(c, "volume")},
                   {"openInterest", field(c, "openInterest")},
                   {"impliedVolatility", implied_volatility(c)},
                   {"iv_unsolved", field(c, "impliedVolatility").is_number() && implied_volatility(c).is_null()},
                   {"inTheMoney", b.is_boolean() ? b : json(nullptr)}});
  }
  return out;
}

std::string pct_text(const json& v) {
  auto d = dnum(v);
  return d ? fmt::fixed(*d * 100, 2) + "%" : "";
}

}  // namespace

namespace parse {

json options(const json& body, const std::string& ticker, int) {
  const json& oc = body.is_object() ? body.value("optionChain", json()) : json();
  if (!oc.is_object() || !oc.contains("result") || !oc["result"].is_array() || oc["result"].empty()) return nullptr;
  const json& r = oc["result"][0];
  json exps = json::array();
  if (r.contains("expirationDates") && r["expirationDates"].is_array())
    for (const json& t : r["expirationDates"])
      if (auto x = dnum(t)) exps.push_back(day_in_zone((long long)*x, "UTC"));
  json spot = r.contains("quote") ? field(r["quote"], "regularMarketPrice") : json(nullptr);
  json selected = nullptr, calls = json::array(), puts = json::array();
  if (r.contains("options") && r["options"].is_array() && !r["options"].empty()) {
    const json& o = r["options"][0];
    if (auto x = dnum(o.value("expirationDate", json()))) selected = day_in_zone((long long)*x, "UTC");
    calls = contracts(o.value("calls", json()));
    puts = contracts(o.value("puts", json()));
  }
  json sym = str(r.value("underlyingSymbol", json()));
  return json{{"ticker", sym.is_null() ? json(ticker) : sym},
              {"expirations", exps},
              {"spot", spot},
              {"selected_expiration", selected},
              {"calls", calls},
              {"puts", puts}};
}

json insider(const json& r, const std::string& ticker) {
  const json& it = module_of(r, "insiderTransactions");
  const json& ns = module_of(r, "netSharePurchaseActivity");
  json tx = json::array();
  if (it.contains("transactions") && it["transactions"].is_array())
    for (const json& t : it["transactions"])
      tx.push_back({{"transaction", str(t.value("moneyText", json()))},
                    {"text", str(t.value("transactionText", json()))},
                    {"shares", field(t, "shares")},
                    {"value", field(t, "value")},
                    {"insider", str(t.value("filerName", json()))},
                    {"position", str(t.value("filerRelation", json()))},
                    {"date", epoch_day_value(t.value("startDate", json()))},
                    {"ownership", str(t.value("ownership", json()))}});
  json summary = json::array();
  if (!ns.empty()) {
    auto pct = [&](const char* k) {
      auto d = dnum(ns.value(k, json()));
      return d ? json(*d * 100) : json(nullptr);   // fraction -> percent
    };
    summary.push_back({{"label", "Purchases"}, {"shares", field(ns, "buyInfoShares")}, {"trans", field(ns, "buyInfoCount")}});
    summary.push_back({{"label", "Sales"}, {"shares", field(ns, "sellInfoShares")}, {"trans", field(ns, "sellInfoCount")}});
    summary.push_back({{"label", "Net Shares Purchased (Sold)"},
                       {"shares", field(ns, "netInfoShares")},
                       {"trans", field(ns, "netInfoCount")},
                       {"net", true}});
    summary.push_back({{"label", "Total Insider Shares Held"}, {"shares", field(ns, "totalInsiderShares")}});
    summary.push_back({{"label", "% Net Shares Purchased (Sold)"}, {"percent", pct("netPercentInsiderShares")}, {"net", true}});
    summary.push_back({{"label", "% Buy Shares"}, {"percent", pct("buyPercentInsiderShares")}});
    summary.push_back({{"label", "% Sell Shares"}, {"percent", pct("sellPercentInsiderShares")}});
  }
  return json{{"ticker", ticker},
              {"provider_window", str(ns.value("period", json()))},
              {"purchases_last_6m", summary},
              {"recent_transactions", tx}};
}

json insider_roster(const json& r) {
  const json& ih = module_of(r, "insiderHolders");
  json out = json::array();
  if (!ih.contains("holders") || !ih["holders"].is_array()) return out;
  for (const json& h : ih["holders"])
    out.push_back({{"name", str(h.value("name", json()))},
                   {"position", str(h.value("relation", json()))},
                   {"most_recent_transaction", str(h.value("transactionDescription", json()))},
                   {"latest_transaction_date", epoch_day_value(h.value("latestTransDate", json()))},
                   {"position_direct_date", epoch_day_value(h.value("positionDirectDate", json()))},
                   {"position_direct", field(h, "positionDirect")},
                   {"position_indirect", field(h, "positionIndirect")}});
  return out;
}

json holders(const json& r, const std::string& ticker) {
  auto list = [&](const char* module) {
    json out = json::array();
    const json& m = module_of(r, module);
    if (!m.contains("ownershipList") || !m["ownershipList"].is_array()) return out;
    for (const json& h : m["ownershipList"])
      out.push_back({{"holder", str(h.value("organization", json()))},
                     {"pctheld", field(h, "pctHeld")},
                     {"shares", field(h, "position")},
                     {"value", field(h, "value")},
                     {"pctchange", field(h, "pctChange")},
                     {"date_reported", epoch_day_value(h.value("reportDate", json()))}});
    return out;
  };
  const json& mh = module_of(r, "majorHoldersBreakdown");
  const json& ks = module_of(r, "defaultKeyStatistics");
  json inst = field(mh, "institutionsPercentHeld");
  if (inst.is_null()) inst = field(ks, "heldPercentInstitutions");
  json ins = field(mh, "insidersPercentHeld");
  if (ins.is_null()) ins = field(ks, "heldPercentInsiders");
  return json{{"ticker", ticker},
              {"institutional_holders", list("institutionOwnership")},
              {"mutualfund_holders", list("fundOwnership")},
              {"held_pct_institutions", inst},
              {"held_pct_insiders", ins}};
}

json major_holders(const json& r) {
  const json& mh = module_of(r, "majorHoldersBreakdown");
  json summary = json::object();
  if (!pct_text(mh.value("insidersPercentHeld", json())).empty())
    summary["% of Shares Held by All Insider"] = pct_text(mh["insidersPercentHeld"]);
  if (!pct_text(mh.value("institutionsPercentHeld", json())).empty())
    summary["% of Shares Held by Institutions"] = pct_text(mh["institutionsPercentHeld"]);
  if (!pct_text(mh.value("institutionsFloatPercentHeld", json())).empty())
    summary["% of Float Held by Institutions"] = pct_text(mh["institutionsFloatPercentHeld"]);
  if (auto n = dnum(mh.value("institutionsCount", json())))
    summary["Number of Institutions Holding Shares"] = fmt::thousands(fmt::round_ll(*n));
  return json{{"summary", summary}};
}

json short_interest(const json& r, const std::string& ticker) {
  const json& ks = module_of(r, "defaultKeyStatistics");
  return json{{"ticker", ticker},
              {"date_short_interest", field(ks, "dateShortInterest")},
              {"shares_short", field(ks, "sharesShort")},
              {"short_percent_of_float", field(ks, "shortPercentOfFloat")},
              {"short_ratio", field(ks, "shortRatio")},
              {"float_shares", field(ks, "floatShares")},
              {"shares_short_prior_month", field(ks, "sharesShortPriorMonth")},
              {"prior_month_date", epoch_day_value(ks.value("sharesShortPreviousMonthDate", json()))}};
}

}  // namespace parse

json get_options(const std::string& ticker, const json& expiration) {
  auto sym = normalize_symbol(ticker);
  if (!sym) return nullptr;
  http::Target path("/v7/finance/options/{}", *sym);
  Params base = {{"formatted", "false"}, {"lang", "en-US"}, {"region", "US"}};
  json d = parse::options(api_json(Q2, path, base), *sym, 0);
  if (d.is_null() || !expiration.is_string() || expiration.get<std::string>().empty()) return d;
  std::string want = expiration.get<std::string>();
  if (d["selected_expiration"] == want) return d;
  // Yahoo takes the expiry as its epoch (00:00 UTC of that day) and only one it offers.
  bool offered = false;
  for (const json& e : d["expirations"]) offered = offered || e == want;
  if (!offered) {
    d["requested_expiration"] = want;
    d["expiration_not_offered"] = true;
    return d;
  }
  auto day = mt::parse_day(want);
  long long epoch = std::chrono::duration_cast<std::chrono::seconds>(day->time_since_epoch()).count();
  Params p = base;
  p.push_back({"date", std::to_string(epoch)});
  json picked = parse::options(api_json(Q2, path, p), *sym, 0);
  return picked.is_null() ? d : picked;
}

json get_insider(const std::string& ticker) {
  return from_summary(ticker, "insiderTransactions,netSharePurchaseActivity", parse::insider);
}

json get_insider_roster(const std::string& ticker) {
  return from_summary(
      ticker, "insiderHolders", [](const json& r, const std::string&) { return parse::insider_roster(r); },
      json::array());
}

json get_holders(const std::string& ticker) {
  return from_summary(ticker, "institutionOwnership,fundOwnership,majorHoldersBreakdown,defaultKeyStatistics",
                      parse::holders);
}

json get_major_holders(const std::string& ticker) {
  return from_summary(ticker, "majorHoldersBreakdown",
                      [](const json& r, const std::string&) { return parse::major_holders(r); });
}

json get_short_interest(const std::string& ticker) {
  // A known symbol without the statistics module (Yahoo's "no fundamentals" 404 for
  // it) has no short figures: a record of missing values, not an unknown ticker.
  return from_summary(ticker, "defaultKeyStatistics", [](const json& r, const std::string& sym) {
    return r.contains("defaultKeyStatistics") || r.empty() ? parse::short_interest(r, sym) : json(nullptr);
  });
}

}  // namespace tessaro::us
