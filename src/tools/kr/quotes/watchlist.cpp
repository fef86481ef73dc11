// watchlist: the user's own list of stocks ("내 종목"), shared with Dorvik and Skaldo.
#include <string>
#include <vector>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "server/arg_rules.hpp"
#include "tools/kr/common/kr_common.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/resources.hpp"
#include "sources/naver/naver.hpp"
#include "sources/watchlist.hpp"

namespace tessaro::tools {
namespace {

const char* kDoc =
    "관심종목 — '내 종목' 목록 보기/추가/삭제 (Orvane 세 Kiv 공용).\n\n"
    "\"내 종목\", \"관심종목\", \"○○ 관심종목에 넣어줘\", \"내 종목 시세 보여줘\" 같은 요청에 쓰세요. "
    "목록은 Dorvik·Skaldo와 함께 씁니다. 여러 종목의 시세·수급·지표가 필요하면 종목을 하나씩 조회하지 말고 "
    "list 결과의 codes를 그대로 get_multi_stocks, get_flow_batch, get_indicators_bulk에 넘기세요.\n\n"
    "Args:\n"
    "    action: \"list\"(기본) / \"add\" / \"remove\" / \"clear\"\n"
    "    query: add·remove에 쓰는 종목명 또는 6자리 코드 (예: \"디오\", \"039840\")";

std::string trimmed_join(const std::vector<std::string>& lines) { return fmt::trim(fmt::join(lines, server::NEWLINE)); }

// An empty action is the list.
const server::Choices kActions{{"list", "add", "remove", "clear"}, server::Fold::Lower, {""}};
const server::ArgumentChoices reg_action{"watchlist", "action", kActions};

std::string watchlist(const server::Args& a) {
  const std::string action = a.str("action");
  if (!kActions.accepts(action))
    return "⚠️ action은 " + fmt::join(kActions.values(), "/") + " 중 하나여야 합니다 (받음: '" + action + "').";
  std::string act = kActions.read(action);
  if (act.empty()) act = "list";
  const std::string query = a.str("query");
  std::string msg;

  if (act == "add") {
    std::string q = fmt::trim(query);
    if (q.empty()) return "⚠️ 추가할 종목명이나 코드를 알려 주세요. 예: watchlist(action='add', query='디오')";
    json results = naver::search_stock(q);
    if (!results.is_array() || results.empty())
      return "'" + q + "' 종목을 찾을 수 없습니다. 6자리 코드로 다시 시도해 주세요.";
    const std::string qu = fmt::upper(q);
    const json* chosen = nullptr;
    for (const auto& r : results)
      if (r.value("code", std::string()) == qu || r.value("name", std::string()) == q) {
        chosen = &r;
        break;
      }
    if (!chosen && results.size() == 1) chosen = &results[0];
    if (!chosen) {
      std::vector<std::string> cands;
      for (size_t i = 0; i < results.size() && i < 5; ++i)
        cands.push_back(results[i].value("name", std::string()) + "(" + results[i].value("code", std::string()) + ")");
      return "'" + q + "'에 해당하는 종목이 여러 개입니다. 어느 것인가요? — " + fmt::join(cands, ", ");
    }
    std::string code = chosen->value("code", std::string()), name = chosen->value("name", std::string());
    auto [added, reason] = wl::add(code, name);
    msg = added ? "✅ 관심종목에 추가했습니다: " + name + " (" + code + ")"
                : "ℹ️ " + name + " (" + code + ") — " + reason;
  } else if (act == "remove") {
    std::string q = fmt::trim(query);
    if (q.empty()) return "⚠️ 삭제할 종목명이나 코드를 알려 주세요.";
    json removed = wl::remove(q);
    if (removed.is_object())
      msg = "🗑️ 관심종목에서 뺐습니다: " + removed.value("name", std::string()) + " (" +
            removed.value("code", std::string()) + ")";
    else
      msg = "'" + q + "'는 관심종목에 없습니다.";
  } else if (act == "clear") {
    int n = wl::clear();
    msg = "🗑️ 관심종목 " + std::to_string(n) + "개를 모두 비웠습니다.";
  }

  json items = wl::load();
  std::vector<std::string> lines;
  if (!msg.empty()) lines.push_back(msg);
  server::KrMetaArgs ma;
  ma.kind = "snapshot";
  if (!items.is_array() || items.empty()) {
    lines.push_back("");
    lines.push_back("관심종목이 비어 있습니다.");
    lines.push_back("예: \"디오를 관심종목에 넣어줘\" 또는 watchlist(action='add', query='디오')");
    ma.data_completeness = rmeta::NONE;
    return server::append_result_meta(trimmed_join(lines), server::kr_meta(ma));
  }
  lines.push_back("");
  lines.push_back("## ⭐ 내 관심종목 (" + std::to_string(items.size()) + "개)");
  lines.push_back("");
  lines.push_back("| # | 종목명 | 코드 |");
  lines.push_back("|---:|---|---|");
  std::vector<std::string> codes;
  int i = 0;
  for (const auto& it : items) {
    std::string code = it.value("code", std::string());
    codes.push_back(code);
    lines.push_back("| " + std::to_string(++i) + " | " + it.value("name", std::string()) + " | " + code + " |");
  }
  lines.push_back("");
  lines.push_back("codes: " + fmt::join(codes, ", "));
  lines.push_back("_시세·수급을 한 번에 보려면 위 codes를 get_multi_stocks / get_flow_batch 에 그대로 넘기세요._");
  return server::append_result_meta(trimmed_join(lines), server::kr_meta(ma));
}

const server::ToolRegistration reg{"watchlist", kDoc, watchlist};

// The same list as a resource a host can show or attach, read-only: it changes
// through the tool alone (and the sibling products), so nothing may keep a copy.
std::string watchlist_document() {
  json items = wl::load();
  return json{{"count", items.size()}, {"items", std::move(items)}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

const server::ResourceRegistration reg_resource{{"tessaro://watchlist", "watchlist", "관심종목",
                                                 "Dorvik·Skaldo와 함께 쓰는 관심종목 목록(읽기 전용). 바꾸려면 watchlist 도구를 쓰세요.",
                                                 "application/json", watchlist_document}};

}  // namespace
}  // namespace tessaro::tools
