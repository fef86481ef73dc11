// Daily net buying by investor type (m.stock trend API, newest first).
#include <algorithm>
#include <cmath>
#include <regex>
#include <set>
#include <string>

#include "core/clock.hpp"
#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::naver {

static const contracts::Contract& kTrendShape = contracts::declare(
    {"naver.trend", "네이버 투자자별 매매동향", false,
     {{"[]", contracts::Kind::Object},
      {"[].bizdate", contracts::Kind::String},
      {"[].foreignerPureBuyQuant", contracts::Kind::Any},
      {"[].organPureBuyQuant", contracts::Kind::Any},
      {"[].individualPureBuyQuant", contracts::Kind::Any, false},
      {"[].closePrice", contracts::Kind::String, false},
      {"[].accumulatedTradingVolume", contracts::Kind::Any, false}}});

// The stock main page's short investor table: about six days, foreigners
// before institutions, dates "MM/DD" without a year, no individual column
// and no volume. The page predates the move to stock.naver.com; it stands in
// only when the trend API fails.
static const contracts::Contract& kMainTrendShape = contracts::declare(
    {"naver.main_invest_trend", "네이버 종목 메인 투자자별 매매동향", true,
     {{"외국인 기관 표", contracts::Kind::Marker, true, "외국인 기관 정보(날짜, 종가, 전일비, 외국인, 기관)"},
      {"날짜 행", contracts::Kind::Marker, true, "<th scope=\"row\">"}}});

json flow_rows_from_main_page(const std::string& html, mt::Day today) {
  if (auto p = contracts::problem_text(kMainTrendShape, html)) throw NaverParseError(*p);
  detail::HtmlDoc doc(html);
  xmlNodePtr table = doc.first("//table[contains(@summary,'외국인 기관 정보')]");
  if (!table)
    throw NaverParseError(contracts::problem_text(kMainTrendShape, "").value_or("메인 페이지에 외국인·기관 표가 없습니다"));
  struct Raw {
    unsigned month = 0, day = 0;
    json close, change;
    double foreign = 0, inst = 0;
  };
  std::vector<Raw> raws;
  static const std::regex md_re("^(\\d{1,2})/(\\d{1,2})$");
  for (xmlNodePtr tr : doc.select(".//tr[th[@scope='row']]", table)) {
    std::string date = fmt::trim(detail::HtmlDoc::text(doc.first("./th", tr)));
    auto tds = doc.select("./td", tr);
    std::smatch m;
    if (!std::regex_match(date, m, md_re) || tds.size() < 4)
      throw NaverParseError("메인 페이지 수급 표의 행을 읽지 못했습니다: " + date);
    Raw r;
    r.month = static_cast<unsigned>(std::stoi(m[1]));
    r.day = static_cast<unsigned>(std::stoi(m[2]));
    auto close = parse::number(detail::HtmlDoc::text(tds[0]));
    r.close = close ? parse::to_json_number(std::fabs(*close)) : json(nullptr);
    // 전일비: a word for the direction, then the magnitude.
    std::string ch = detail::HtmlDoc::text(tds[1]);
    int sign = (ch.find("하향") != std::string::npos || ch.find("하한") != std::string::npos) ? -1
               : (ch.find("상향") != std::string::npos || ch.find("상한") != std::string::npos) ? 1
               : ch.find("보합") != std::string::npos ? 0 : 2;
    static const std::regex digits("[0-9][0-9,]*");
    std::smatch dm;
    if (sign != 2 && std::regex_search(ch, dm, digits))
      if (auto v = parse::number(dm.str())) r.change = parse::to_json_number(sign * *v);
    auto frgn = parse::number(detail::HtmlDoc::text(tds[2]));
    auto inst = parse::number(detail::HtmlDoc::text(tds[3]));
    if (!frgn || !inst) throw NaverParseError("메인 페이지 수급 표 " + date + " 행의 외국인·기관 순매매를 읽지 못했습니다");
    r.foreign = *frgn;
    r.inst = *inst;
    raws.push_back(r);
  }
  if (raws.empty()) throw NaverParseError("메인 페이지 수급 표에 날짜 행이 없습니다");
  // The year is not printed. Take this year or the last, whichever puts
  // every row on a weekday, newest first, with the newest row within a month
  // up to today; a table that fits neither is not current and is not read.
  std::vector<mt::Day> days;
  int today_year = static_cast<int>(std::chrono::year_month_day(today).year());
  for (int y : {today_year, today_year - 1}) {
    std::vector<mt::Day> cand;
    int year = y;
    bool fits = true;
    for (size_t i = 0; i < raws.size() && fits; ++i) {
      if (i > 0 && (raws[i].month > raws[i - 1].month ||
                    (raws[i].month == raws[i - 1].month && raws[i].day >= raws[i - 1].day)))
        --year;   // the rows cross a new year going back
      std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(raws[i].month), std::chrono::day(raws[i].day)};
      fits = ymd.ok() && mt::weekday(mt::Day(ymd)) < 5;
      if (fits) cand.push_back(mt::Day(ymd));
    }
    if (fits && cand.front() <= today && today - cand.front() <= std::chrono::days(31)) {
      days = cand;
      break;
    }
  }
  if (days.empty())
    throw NaverParseError("메인 페이지 수급 표의 날짜(연도 없이 " + std::to_string(raws.front().month) + "/" +
                          std::to_string(raws.front().day) + "부터)가 최근 거래일로 맞지 않습니다");
  json out = json::array();
  for (size_t i = 0; i < raws.size(); ++i) {
    json row = {{"date", mt::day_str(days[i])},
                {"institutional", parse::to_json_number(raws[i].inst)},
                {"foreign", parse::to_json_number(raws[i].foreign)},
                {"individual", nullptr},
                {"close", raws[i].close},
                {"change", raws[i].change},
                {"volume", nullptr},
                {"via", "main_page"}};
    std::vector<std::string> miss = {"individual", "volume"};
    if (raws[i].close.is_null()) miss.push_back("close");
    if (raws[i].change.is_null()) miss.push_back("change");
    row[PARSE_MISS_KEY] = miss;
    out.push_back(row);
  }
  return out;
}

json flow_rows_from_trend(const json& arr) {
  if (!arr.is_array()) throw NaverParseError(contracts::problem(kTrendShape, arr).value_or("수급 응답이 배열이 아닙니다"));
  json out = json::array();
  for (const auto& r : arr) {
    if (!r.is_object()) continue;
    std::string d = parse::text(r, "bizdate");
    if (d.size() != 8) continue;   // placeholder rows carry no trading day
    json row;
    row["date"] = d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
    std::vector<std::string> miss;
    auto inst = parse::number(r.value("organPureBuyQuant", json()));
    auto frgn = parse::number(r.value("foreignerPureBuyQuant", json()));
    if (!inst || !frgn) {
      std::vector<std::string> names;
      if (!inst) names.push_back("기관 순매매(organPureBuyQuant)");
      if (!frgn) names.push_back("외국인 순매매(foreignerPureBuyQuant)");
      throw NaverParseError(row["date"].get<std::string>() + " 행에서 읽지 못한 항목: " + fmt::join(names, ", "));
    }
    row["institutional"] = parse::to_json_number(*inst);
    row["foreign"] = parse::to_json_number(*frgn);
    auto indi = parse::number(r.value("individualPureBuyQuant", json()));
    if (indi) row["individual"] = parse::to_json_number(*indi);
    else {
      row["individual"] = nullptr;
      miss.push_back("individual");
    }
    auto close = parse::number(r.value("closePrice", json()));
    if (close) row["close"] = parse::to_json_number(std::fabs(*close));
    else {
      row["close"] = nullptr;
      miss.push_back("close");
    }
    // The day's change as the site states it. Never the difference of two
    // closePrice values: from mid-September 2026 closePrice follows the
    // after-market and the two disagree.
    if (r.contains("compareToPreviousClosePrice")) {
      bool disagree = false;
      auto ch = parse::signed_change(r["compareToPreviousClosePrice"], r.value("compareToPreviousPrice", json()), disagree);
      if (ch) row["change"] = parse::to_json_number(*ch);
      else {
        row["change"] = nullptr;
        miss.push_back("change");
      }
    }
    auto vol = parse::number(r.value("accumulatedTradingVolume", json()));
    if (vol) row["volume"] = parse::to_json_number(*vol);
    else {
      row["volume"] = nullptr;
      miss.push_back("volume");
    }
    if (!miss.empty()) row[PARSE_MISS_KEY] = miss;
    out.push_back(row);
  }
  return out;
}

json get_investor_flow(const std::string& code, int days) {
  static const std::regex re("^[0-9A-Za-z]{6}$");
  json out = json::array();
  if (!std::regex_match(code, re) || days <= 0) return out;
  std::set<std::string> seen;
  std::string bizdate;
  // Pages go back in time from `bizdate` (the oldest day of the previous page,
  // repeated on the next one); stop when a page adds nothing new.
  for (int page = 0; page < 10 && static_cast<int>(out.size()) < days; ++page) {
    int want = std::min(100, days - static_cast<int>(out.size()) + (bizdate.empty() ? 0 : 1));
    http::Target q("/api/stock/{}/trend?pageSize={}", code, want);
    if (!bizdate.empty()) q.param("bizdate", bizdate);
    json body;
    try {
      body = fetch_json("m.stock.naver.com", q, false, "https://m.stock.naver.com/");
    } catch (const Error& e) {
      // A 404/410 is the endpoint, not the code, and an HTML page instead of the
      // JSON a failure of it: the stand-in is asked all the same.
      (void)e;
      if (page > 0) throw;
      // The trend API is down: the main page's few days, when it still serves
      // them; otherwise the API's own failure is the one reported.
      auto primary = std::current_exception();
      try {
        json rows = flow_rows_from_main_page(fetch_text("finance.naver.com", http::Target("/item/main.naver?code={}", code), true),
                                             mt::to_kst(mt::now()).date());
        if (static_cast<int>(rows.size()) > days) rows.erase(rows.begin() + days, rows.end());
        record_lookup("finance.naver.com/item/main.naver", LookupStatus::found, "", "m.stock.naver.com/api/stock/*/trend");
        return rows;
      } catch (const Error&) {
        std::rethrow_exception(primary);
      }
    }
    json rows = flow_rows_from_trend(body);
    size_t before = out.size();
    for (const auto& r : rows) {
      const std::string d = r["date"].get<std::string>();
      if (!seen.insert(d).second) continue;
      out.push_back(r);
      if (static_cast<int>(out.size()) >= days) break;
    }
    // A short page may be the server's own page cap, so only a page without
    // new days ends the walk.
    if (out.size() == before) break;
    bizdate = fmt::replace_all(out.back()["date"].get<std::string>(), "-", "");
  }
  return out;
}

}  // namespace tessaro::naver
