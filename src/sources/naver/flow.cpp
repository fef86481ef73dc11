// Daily net buying by investor type (m.stock trend API, newest first).
#include <algorithm>
#include <cmath>
#include <regex>
#include <set>
#include <string>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "sources/contracts.hpp"
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

namespace {
std::string str_field(const json& o, const char* k) {
  auto it = o.find(k);
  return (it != o.end() && it->is_string()) ? it->get<std::string>() : "";
}
}  // namespace

json flow_rows_from_trend(const json& arr) {
  if (!arr.is_array()) throw NaverParseError(contracts::problem(kTrendShape, arr).value_or("수급 응답이 배열이 아닙니다"));
  json out = json::array();
  for (const auto& r : arr) {
    if (!r.is_object()) continue;
    std::string d = fmt::trim(str_field(r, "bizdate"));
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
    std::string q = "/api/stock/" + code + "/trend?pageSize=" + std::to_string(want);
    if (!bizdate.empty()) q += "&bizdate=" + bizdate;
    json rows = flow_rows_from_trend(fetch_json("m.stock.naver.com", q, false, "https://m.stock.naver.com/"));
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
