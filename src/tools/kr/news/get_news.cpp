// get_news: recent articles about one Korean stock from the stock-tagged feed
// and a search on the stock's name, merged, newest first.
#include <algorithm>

#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "tools/kr/news/news_collect.hpp"

namespace tessaro::tools {
namespace {

using news::NewsCollection;

const char* kDoc =
    "종목뉴스 — 한국 주식 종목의 최근 기사 (네이버 종목 뉴스 + 종목명 뉴스 검색).\n\n"
    "네이버가 종목을 붙인 기사(시각 정확)와 종목명 뉴스 검색(당일 기사가 빠르지만 시각은 근사)을 함께 모아 "
    "중복을 빼고 최신순으로 보여 줍니다. 시각 앞의 \"약\" 표시는 근사 시각이라는 뜻이니 사용자에게 그대로 "
    "전하세요. 한 출처가 실패하면 나머지 결과와 함께 실패한 출처를 밝힙니다(실패는 기사 없음이 아니라 모름).\n\n"
    "Args:\n"
    "    code: 6자리 종목코드\n"
    "    limit: 기사 수 (기본 10, 최대 30)\n"
    "    today_only: True 면 오늘(한국 날짜) 기사만";

std::optional<std::string> stock_name(const news::KrSources& src, const std::string& code) {
  try {
    json q = src.current_price(code);
    if (q.is_object() && q.contains("name") && q["name"].is_string() && !q["name"].get<std::string>().empty())
      return q["name"].get<std::string>();
  } catch (const std::exception&) {
    // The name only widens the search; without it the tagged feed still answers.
  }
  return std::nullopt;
}

std::string get_news(const server::Args& a) {
  std::string code = a.str("code");
  if (!news::valid_code(code)) return news::BAD_CODE_TEXT;
  long long lim = a.integer("limit");
  int limit = (int)std::clamp<long long>(lim, 1, 30);
  bool today_only = a.boolean("today_only");

  news::KrSources src = news::sources();
  std::optional<std::string> name = stock_name(src, code);
  NewsCollection col = news::collect_kr_news(code, name, limit);

  std::string today = mt::to_kst(mt::now()).date_str();
  json items = json::array();
  for (const auto& r : col.items) {
    std::string dt = r.value("datetime", std::string());
    if (!today_only || fmt::starts_with(dt, today)) items.push_back(r);
  }

  std::vector<std::string> failed, queried;
  for (auto it = col.status.begin(); it != col.status.end(); ++it) {
    std::string v = it.value().get<std::string>();
    if (fmt::starts_with(v, "failed")) failed.push_back(it.key());
    if (!fmt::starts_with(v, "skipped")) queried.push_back(it.key());
  }

  std::vector<std::string> lines;
  std::string label = name ? *name + " (" + code + ")" : code;
  lines.push_back("## 종목 뉴스 — " + label + " (조회 " + today + " 기준)");
  lines.push_back("");
  if (items.empty()) {
    if (!failed.empty() && failed.size() == queried.size()) {
      lines.push_back("⚠️ 뉴스 출처 조회에 모두 실패했습니다 (기사가 없는 것이 아니라 조회 실패).");
    } else {
      lines.push_back(std::string("기사 없음 (조회 성공, 0건)") + (today_only ? " — 오늘 기사만 걸렀습니다." : ""));
    }
  } else {
    if (!today_only) {
      size_t n = std::count_if(items.begin(), items.end(), [&](const json& r) {
        return fmt::starts_with(r.value("datetime", std::string()), today);
      });
      if (n > 0) {
        lines.push_back("**오늘 기사 " + std::to_string(n) + "건** (아래 목록에 포함)");
        lines.push_back("");
      }
    }
    for (auto& l : news::render_news_lines(items, name)) lines.push_back(std::move(l));
  }
  lines.push_back("");
  std::vector<std::string> warnings;
  for (const auto& k : failed) {
    std::string v = col.status[k].get<std::string>();
    std::string reason = v.substr(v.find(':') + 1);
    lines.push_back("⚠️ 출처 '" + news::source_label(k) + "' 조회 실패(" + reason +
                    ") — 이 출처 기사는 빠져 있습니다. 없음이 아니라 모름입니다.");
    warnings.push_back("뉴스 출처 조회 실패: " + k);
  }
  lines.push_back(news::NEWS_FOOT);
  lines.push_back(news::NEWS_STAGE_FOOT);

  server::KrMetaArgs m;
  m.kind = "snapshot";
  m.code = code;
  m.name = name ? json(*name) : json(nullptr);
  m.data_as_of = today;
  m.data_completeness = failed.empty()                   ? rmeta::COMPLETE
                        : failed.size() == queried.size() ? rmeta::NONE
                                                          : rmeta::PARTIAL;
  m.extra = {{"news_sources", col.status}, {"count", items.size()}};
  m.warnings = warnings;
  return server::append_result_meta(fmt::join(lines, "\n"), server::kr_meta(m));
}

const server::ToolRegistration reg{"get_news", kDoc, get_news};

}  // namespace
}  // namespace tessaro::tools
