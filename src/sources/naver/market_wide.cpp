// Market-wide figures without a stock code: investor deposits and credit
// balances, and the public-offering schedule by stage.
#include <algorithm>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::naver {

// Investor deposits and the IPO lists, written from described shapes: the
// doctor checks them against the live site (`tessaro-mcp doctor`).
static const contracts::Contract& kDepositShape = contracts::declare(
    {"naver.deposit", "네이버 투자자 예탁금", false,
     {{"content", contracts::Kind::Array},
      {"content[].bizdate", contracts::Kind::String},
      {"content[].customerDeposit", contracts::Kind::Any},
      {"content[].creditLoan", contracts::Kind::Any, false},
      {"content[].customerDepositDiff", contracts::Kind::Any, false},
      {"totalPages", contracts::Kind::Any, false}}});
static const contracts::Contract& kIpoShape = contracts::declare(
    {"naver.ipo", "네이버 공모주 일정", false,
     {{"result", contracts::Kind::Object},
      {"result.ipoList", contracts::Kind::Array},
      {"result.ipoList[].compName", contracts::Kind::String},
      {"result.ipoList[].poStartDate", contracts::Kind::Any, false},
      {"result.ipoList[].orgNm", contracts::Kind::Any, false}}});

using detail::HtmlDoc;

namespace {

constexpr int kDepositMax = 100;
const std::vector<std::string> kDepositLabels = {"고객예탁금", "신용잔고", "주식형 펀드", "혼합형 펀드", "채권형 펀드"};


// "26.09.11" (the page's two-digit years), "2026.09.11", "20260911" -> "2026-09-11".
std::string deposit_day(const std::string& s) {
  std::string d;
  for (char c : s)
    if (std::isdigit((unsigned char)c)) d.push_back(c);
  if (d.size() == 6) d = "20" + d;
  if (d.size() != 8) return "";
  return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
}

// The market trend API (stock.naver.com/api/domestic/market/trendDeposit):
// {content[], totalPages, totalElements, last}, newest first; each row has
// bizdate and, as 억원 text, customerDeposit, creditLoan and
// beneficiaryCertificateStock|Mixing|Bond, each with its signed change …Diff
// (and the unsigned …DiffAbs). Only these keys are read: a key whose meaning
// and unit are not known never lands in a column.
const std::vector<std::pair<std::string, std::string>> kDepositKeys = {
    {"customerDeposit", "고객예탁금"},
    {"creditLoan", "신용잔고"},
    {"beneficiaryCertificateStock", "주식형 펀드"},
    {"beneficiaryCertificateMixing", "혼합형 펀드"},
    {"beneficiaryCertificateBond", "채권형 펀드"}};

std::optional<long long> eok_of(const json& v) {
  auto x = detail::jnum(v);
  if (!x) return std::nullopt;
  return (long long)std::llround(*x);
}

json deposit_rows_from_json(const json& j) {
  auto keys_seen = [](const json& o) {
    std::vector<std::string> k;
    if (o.is_object())
      for (const auto& [key, _] : o.items()) k.push_back(key);
    return fmt::join(k, ", ");
  };
  if (!j.is_object() || !j.contains("content") || !j["content"].is_array())
    throw NaverParseError(contracts::problem(kDepositShape, j).value_or("예탁금 JSON의 모양이 알려진 것과 다릅니다") +
                          " (받은 키: " + (j.is_object() ? keys_seen(j) : std::string(j.type_name())) + ")");
  json rows = json::array();
  std::set<std::string> unknown_keys;
  for (const auto& r : j["content"]) {
    if (!r.is_object()) continue;
    std::string d = deposit_day(parse::text(r, "bizdate"));
    json row = json::object();
    bool any = false;
    for (const auto& [key, label] : kDepositKeys) {
      if (!r.contains(key)) continue;
      any = true;
      auto v = eok_of(r[key]);
      row[label] = v ? json(*v) : json(nullptr);
      if (r.contains(key + "Diff")) {
        auto c = eok_of(r[key + "Diff"]);
        row[label + "_전일대비"] = c ? json(*c) : json(nullptr);
      }
    }
    if (d.empty() || !any) {
      for (const auto& [key, _] : r.items()) unknown_keys.insert(key);
      continue;
    }
    json out = {{"date", d}};
    out.update(row);
    rows.push_back(out);
  }
  if (rows.empty() && !unknown_keys.empty())
    throw NaverParseError("예탁금 JSON 행에서 날짜(bizdate)나 알려진 금액 항목을 찾지 못했습니다 (받은 키: " +
                          fmt::join(std::vector<std::string>(unknown_keys.begin(), unknown_keys.end()), ", ") + ")");
  return rows;
}

// sise_deposit.naver: date, then (amount, change) pairs in 억원.
json deposit_rows_from_html(const std::string& html) {
  HtmlDoc doc(html);
  auto tables = doc.select("//table[" + detail::has_class("type_1") + "]");
  if (tables.empty()) throw NaverParseError("예탁금 표가 없습니다");
  json rows = json::array();
  for (xmlNodePtr tr : doc.select(".//tr[td]", tables.front())) {
    auto tds = doc.select("./td", tr);
    if (tds.size() < 3) continue;
    std::string day = deposit_day(HtmlDoc::text(tds[0]));
    if (day.empty()) continue;   // spacer and heading rows
    json row = {{"date", day}};
    for (size_t p = 0; p < kDepositLabels.size() && 2 + 2 * p < tds.size() + 1; ++p) {
      size_t vi = 1 + 2 * p, ci = 2 + 2 * p;
      if (vi >= tds.size()) break;
      const std::string& label = kDepositLabels[p];
      auto v = fmt::parse_number(HtmlDoc::text(tds[vi]));
      row[label] = v ? json((long long)std::llround(*v)) : json(nullptr);
      if (ci < tds.size()) {
        auto c = fmt::parse_number(HtmlDoc::text(tds[ci]));
        // The change cell shows its direction with an icon, an inner element's
        // class or the cell's own class; the text sign wins when present.
        std::string cell_class = fmt::lower(HtmlDoc::attr(tds[ci], "class"));
        bool falling = cell_class.find("down") != std::string::npos || cell_class.find("nv") != std::string::npos ||
                       doc.first(".//*[contains(@class,'nv') or contains(@class,'down') or contains(@src,'down')]",
                                 tds[ci]);
        if (c && *c > 0 && falling) *c = -*c;
        row[label + "_전일대비"] = c ? json((long long)std::llround(*c)) : json(nullptr);
      }
    }
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

json get_investor_deposit(int days) {
  days = std::clamp(days, 1, kDepositMax);
  json rows = json::array();
  std::set<std::string> seen;
  auto add = [&](const json& got) {
    int added = 0;
    for (const auto& r : got) {
      std::string d = r["date"].get<std::string>();
      if ((int)rows.size() >= days || !seen.insert(d).second) continue;
      rows.push_back(r);
      ++added;
    }
    return added;
  };
  // One page of up to 100 days (startIdx is a page number, not a row offset).
  std::exception_ptr json_error;
  try {
    json j = fetch_json("stock.naver.com", http::Target("/api/domestic/market/trendDeposit?startIdx=0&pageSize={}", days), false,
                        "https://stock.naver.com/market/stock/kr/trend/deposit");
    add(deposit_rows_from_json(j));
  } catch (const std::exception&) {
    json_error = std::current_exception();
  }
  if (json_error) {
    // The old page (retired in September 2026) is only a fallback: when it
    // fails too, the JSON's own failure is the one reported.
    try {
      for (int page = 1; (int)rows.size() < days && page <= 10; ++page) {
        std::string html =
            fetch_text("finance.naver.com", http::Target("/sise/sise_deposit.naver?page={}", page), true);
        json got = deposit_rows_from_html(html);
        if (got.empty() && page == 1) throw NaverParseError("예탁금 표에 행이 없습니다");
        if (add(got) == 0) break;
      }
    } catch (const std::exception&) {
      if (rows.empty()) std::rethrow_exception(json_error);
    }
  }
  std::vector<std::string> labels;
  for (const auto& l : kDepositLabels)
    for (const auto& r : rows)
      if (r.contains(l)) {
        labels.push_back(l);
        break;
      }
  return json{{"rows", rows}, {"labels", labels}, {"unit", "억원"}};
}

namespace {

// Stages of the offering calendar, in the order of the process.
const std::vector<std::pair<std::string, std::string>> kIpoStages = {
    {"심사", "REVIEW"}, {"수요예측", "DEMAND_FORECAST"}, {"청약", "SUBSCRIPTION"}, {"상장", "LISTING"}};

json first_of(const json& o, std::initializer_list<const char*> keys) {
  for (const char* k : keys)
    if (o.contains(k) && !o[k].is_null()) return o[k];
  return nullptr;
}

std::string day_of(const json& v) {
  if (!v.is_string()) return "";
  auto d = rmeta::normalize_day(v.get<std::string>());
  return d ? *d : "";
}

// The row fields, by the names the site's own front end reads (public code; no
// capture of these rows exists yet). A key the row does not carry at all is an
// unread field and is named under PARSE_MISS_KEY: a value that is null is a stage
// not reached, a key that is missing is a field we could not read, never the same.
struct IpoField {
  const char* column;              // the reply's column
  std::vector<const char*> keys;   // tried in order
};
const std::vector<IpoField>& ipo_fields() {
  static const std::vector<IpoField> f = {
      {"희망공모가", {"hopePubStart", "hopePubEnd"}},
      {"확정공모가", {"fixPubPrice"}},
      {"청약일", {"poStartDate", "poEndDate"}},
      {"상장일", {"lcalDate"}},
      {"경쟁률", {"fnlCmptRatio"}},
      {"주관사", {"orgNm"}},
  };
  return f;
}

json ipo_item(const json& r) {
  json it = {{"name", parse::text(r, "compName")}, {"market", parse::text(r, "marketType")}};
  it["hope_price_low"] = detail::jint_or_null(first_of(r, {"hopePubStart"}));
  it["hope_price_high"] = detail::jint_or_null(first_of(r, {"hopePubEnd"}));
  if (it["hope_price_high"].is_null()) it["hope_price_high"] = it["hope_price_low"];
  it["fixed_price"] = detail::jint_or_null(first_of(r, {"fixPubPrice"}));
  it["subscribe_start"] = day_of(first_of(r, {"poStartDate"}));
  it["subscribe_end"] = day_of(first_of(r, {"poEndDate"}));
  it["forecast_start"] = day_of(first_of(r, {"dfStartDate"}));
  it["forecast_end"] = day_of(first_of(r, {"dfEndDate"}));
  it["forecast_competition"] = detail::jnum_or_null(first_of(r, {"fnlCmptRatio"}));
  it["listing_date"] = day_of(first_of(r, {"lcalDate"}));
  json uw = json::array();
  json raw = first_of(r, {"orgNm"});
  if (raw.is_array()) {
    for (const auto& u : raw)
      if (u.is_string() && !fmt::trim(u.get<std::string>()).empty()) uw.push_back(fmt::trim(u.get<std::string>()));
  } else if (raw.is_string()) {
    std::string s = raw.get<std::string>();
    size_t b = 0;
    for (size_t i = 0; i <= s.size(); ++i)
      if (i == s.size() || s[i] == ',') {
        std::string t = fmt::trim(s.substr(b, i - b));
        if (!t.empty()) uw.push_back(t);
        b = i + 1;
      }
  }
  it["underwriters"] = uw;
  json miss = json::array();
  for (const auto& f : ipo_fields()) {
    bool carried = false;
    for (const char* k : f.keys) carried = carried || r.contains(k);
    if (!carried) miss.push_back(f.column);
  }
  if (!miss.empty()) it[PARSE_MISS_KEY] = miss;
  std::string code = parse::text(r, "ipoCode");
  if (code.size() == 7 && code[0] == 'A') code.erase(0, 1);
  if (!code.empty()) it["code"] = code;
  return it;
}

}  // namespace

json get_ipo_schedule() {
  std::vector<json> got(kIpoStages.size());
  auto errs = parallel_for(kIpoStages.size(), kIpoStages.size(), [&](size_t i) {
    json j = fetch_json("m.stock.naver.com",
                        http::Target("/front-api/ipo/progress?progressType={}&page=1&pageSize=50", kIpoStages[i].second), false,
                        "https://m.stock.naver.com/");
    const json* list = nullptr;
    if (j.is_object() && j.contains("result") && j["result"].is_object() && j["result"].contains("ipoList"))
      list = &j["result"]["ipoList"];
    if (!list || !list->is_array())
      throw NaverParseError(contracts::problem(kIpoShape, j).value_or("공모주 응답에서 ipoList를 읽지 못했습니다"));
    got[i] = *list;
  });
  size_t failed = 0;
  for (auto& e : errs)
    if (e) ++failed;
  if (failed == kIpoStages.size()) std::rethrow_exception(errs[0]);
  json stages = json::object();
  json failed_stages = json::array();
  long long total = 0;
  for (size_t i = 0; i < kIpoStages.size(); ++i) {
    if (errs[i]) {
      failed_stages.push_back(kIpoStages[i].first);
      continue;
    }
    json items = json::array();
    for (const auto& r : got[i])
      if (r.is_object() && !parse::text(r, "compName").empty()) items.push_back(ipo_item(r));
    if (items.empty()) continue;
    total += (long long)items.size();
    stages[kIpoStages[i].first] = items;
  }
  json out = {{"total", total}, {"stages", stages}};
  if (!failed_stages.empty()) out["failed_stages"] = failed_stages;
  return out;
}

}  // namespace tessaro::naver
