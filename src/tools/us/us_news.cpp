// get_us_news: US headlines graded by how central the company is to each article.
#include <re2/re2.h>

#include <algorithm>
#include <map>

#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/tool_helpers.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/us.hpp"
#include "tools/us/us_news.hpp"

namespace tessaro::tools::us {

namespace {

// "2026-09-14T10:05:00-04:00" -> "2026-09-14 10:05 (뉴욕) · 한국 2026-09-14 23:05": the
// source's times are New York times, which a Korean reader would take for KST.
std::string published_label(const std::string& iso) {
  std::string local = fmt::cp_cut(iso, 16);
  std::replace(local.begin(), local.end(), 'T', ' ');
  auto d = mt::parse_day(iso);
  if (!d || iso.size() < 20 || iso[10] != 'T') return local;
  int off = 0;
  std::string zone = "UTC";
  if (iso[19] == '+' || iso[19] == '-') {
    if (iso.size() < 25) return local;
    off = (std::atoi(iso.substr(20, 2).c_str()) * 60 + std::atoi(iso.substr(23, 2).c_str())) * (iso[19] == '-' ? -1 : 1);
    zone = off == -240 || off == -300 ? "뉴욕" : "UTC" + iso.substr(19, 6);
  } else if (iso[19] != 'Z') {
    return local;
  }
  int hh = std::atoi(iso.substr(11, 2).c_str()), mm = std::atoi(iso.substr(14, 2).c_str());
  mt::Instant t = mt::Instant(std::chrono::duration_cast<std::chrono::seconds>(d->time_since_epoch())) +
                  std::chrono::minutes(hh * 60 + mm - off);
  mt::Civil k = mt::to_kst(t);
  return local + " (" + zone + ") · 한국 " + k.date_str() + " " + k.hm();
}

std::string s_of(const json& j, const char* k) {
  return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : "";
}

}  // namespace

std::string clean_company_name(const std::string& name) {
  static const RE2 suffix(R"((?i)[,.]?\s*(inc|corp|corporation|co|ltd|plc|sa|nv|ag|group|holdings?|company)\.?$)");
  std::string s = fmt::trim(name);
  RE2::Replace(&s, suffix, "");
  return fmt::trim(s);
}

std::string render_us_news(const std::string& ticker, const json& news, const json& info_raw, bool direct_only) {
  json articles = news.is_object() ? news.value("news", json::array()) : json::array();
  if (!articles.is_array() || articles.empty()) return "티커 '" + ticker + "'의 뉴스를 가져올 수 없습니다.";
  std::string TICKER = fmt::upper(fmt::trim(ticker));

  std::string raw = s_of(info_raw, "shortName");
  if (raw.empty()) raw = s_of(info_raw, "longName");
  std::string name = clean_company_name(raw);
  std::vector<std::string> names;
  bool by_name = !name.empty() && fmt::upper(name) != TICKER;
  if (by_name) names.push_back(name);
  names.push_back(TICKER);

  std::vector<std::pair<std::string, int>> cats, excluded;
  auto bump = [](std::vector<std::pair<std::string, int>>& v, const std::string& k) {
    for (auto& [c, n] : v)
      if (c == k) return void(++n);
    v.emplace_back(k, 1);
  };
  std::vector<std::string> lines = {"**" + TICKER + "** 최근 뉴스", ""};
  static const RE2 tags("<[^>]+>");
  int shown = 0;
  for (const auto& a : articles) {
    json v = server::classify_news_relevance(a, names);
    std::string cat = s_of(v, "category");
    bump(cats, cat);
    if (direct_only && cat != "direct") {
      bump(excluded, cat);
      continue;
    }
    ++shown;
    std::string title = s_of(a, "title");
    std::string pub = published_label(s_of(a, "published"));
    std::string provider = s_of(a, "provider");
    lines.push_back("### " + (title.empty() ? "-" : title));
    lines.push_back("_" + pub + " · " + (provider.empty() ? "-" : provider) + "_ · 관련도 **" + cat + "** (" +
                    (v.contains("relevance_score") ? v["relevance_score"].dump() : "-") + ") - " + s_of(v, "basis"));
    std::string sum = s_of(a, "summary");
    if (!sum.empty()) {
      sum = fmt::replace_all(fmt::replace_all(sum, "\r\n", " "), "\n", " ");
      RE2::GlobalReplace(&sum, tags, "");
      sum = fmt::cp_cut(sum, 200);
      if (!fmt::trim(sum).empty()) lines.push_back(sum);
    }
    std::string url = s_of(a, "url");
    if (!url.empty()) lines.push_back("[링크](" + url + ")");
    lines.push_back("");
  }
  if (direct_only && !excluded.empty()) {
    int n = 0;
    std::vector<std::string> parts;
    for (auto& [c, k] : excluded) {
      n += k;
      parts.push_back(c + " " + std::to_string(k) + "건");
    }
    lines.insert(lines.begin() + 2, "⚠️ direct_only=True - 이 종목이 주제가 아닌 " + std::to_string(n) + "건 제외: " +
                                        fmt::join(parts, ", "));
  }
  if (shown == 0)
    lines.push_back("(이 종목이 주제인 기사가 없습니다 - 기사가 없다는 뜻이 아니라 이 피드에 직접 기사가 없다는 뜻입니다)");
  lines.push_back("※ 관련도는 제목·요약 텍스트 기준의 순서 척도입니다. unrelated 기사를 이 종목의 재료로 읽지 마세요.");
  std::string name_failed;
  if (info_raw.is_object() && info_raw.contains("_lookup_failed") && info_raw["_lookup_failed"].is_string())
    name_failed = "회사명 조회 실패(" + info_raw["_lookup_failed"].get<std::string>() +
                  ") - 티커로만 관련도를 매겼습니다. 회사명으로만 다룬 기사는 관련도가 낮게 보일 수 있습니다.";
  if (!name_failed.empty()) lines.push_back("⚠️ " + name_failed);

  json cj = json::object(), ej = json::object();
  for (auto& [c, n] : cats) cj[c] = n;
  for (auto& [c, n] : excluded) ej[c] = n;
  server::UsMetaArgs m;
  m.kind = "snapshot";
  m.ticker = ticker;
  if (!name_failed.empty()) {
    m.data_completeness = rmeta::PARTIAL;
    m.warnings.push_back(name_failed);
  }
  m.extra = {{"news_relevance",
              {{"matched_by", by_name ? "name+ticker" : "ticker"},
               {"names_used", names},
               {"categories", cj},
               {"direct_only", direct_only},
               {"excluded", ej}}}};
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

}  // namespace tessaro::tools::us
