// tessaro_status and get_metrics_summary: the server looking at itself.
#include <algorithm>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "server/registry.hpp"
#include "server/status.hpp"
#include "sources/metrics.hpp"

namespace tessaro::server {
namespace {

const char* kStatusDoc =
    "Tessaro 상태 요약 — 버전, 한국장·미국장 상태, 최근 호출 성공·실패, 캐시 쓰기 가능 여부, SEC 연락처 설정과 연결된 증권사를 한 번에 보여줍니다.\n\n"
    "기록된 최근 호출 로그와 업데이트 확인 캐시만 읽으며 새 네트워크 호출은 하지 않습니다. 문제가 보이면 사용자에게 "
    "Orvane Manager의 Tessaro 카드에서 [진단] 버튼을, 그래도 같으면 Orvane Manager 상단의 [지원 문의] 버튼을 안내하세요. "
    "터미널 명령은 안내하지 마세요.";

const char* kMetricsDoc =
    "사용량통계 — 최근 N일간 MCP 도구 사용량을 집계해서 보여줍니다.\n\n"
    "도구별 호출 수, 평균/p50/p95 소요시간, 평균 토큰, 캐시 적중률, 에러 수를 보여줍니다. 기록은 홈 폴더의 logs "
    "폴더에 날짜별 파일(metrics_YYYYMMDD.jsonl)로 남습니다.\n\n"
    "Args:\n    days: 집계 기간(일). 기본 1, 오늘만. 최대 30";

const char* kStatusFailed =
    "⚠️ 상태를 확인하다가 문제가 생겼어요. Orvane Manager의 Tessaro 카드에서 [진단]을 눌러 보고, 그래도 같으면 "
    "Orvane Manager 상단 [지원 문의]를 눌러 주세요.\n(원인: ";

std::string tessaro_status(const Args&) {
  try {
    return format_status(build_status());
  } catch (const std::exception& e) {
    return kStatusFailed + exception_class_name(e) + ")";
  } catch (...) {
    return std::string(kStatusFailed) + "Exception)";
  }
}

std::string get_metrics_summary(const Args& a) {
  double raw = a.number("days");
  long long days = raw > 30 ? 30 : raw < 1 ? 1 : (long long)raw;
  json entries = metrics::load_metrics(int(days));
  if (entries.empty())
    return "최근 " + std::to_string(days) + "일간 기록이 없습니다.\n로그 파일: " + metrics::get_metrics_file();
  json stats = metrics::summarize_metrics(entries);
  std::vector<std::pair<std::string, json>> rows;
  for (auto it = stats.begin(); it != stats.end(); ++it) rows.emplace_back(it.key(), it.value());
  std::stable_sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) {
    return x.second.value("call_count", 0LL) > y.second.value("call_count", 0LL);
  });
  std::vector<std::string> lines;
  lines.push_back("📊 MCP 사용량 통계 (최근 " + std::to_string(days) + "일, 총 " + std::to_string(entries.size()) + "회 호출)");
  lines.push_back("");
  lines.push_back("도구 | 호출 | 평균시간 | p95시간 | 평균토큰 | 캐시율 | 에러");
  lines.push_back("---|---|---|---|---|---|---");
  long long total_tokens = 0, total_calls = 0;
  for (const auto& [name, s] : rows) {
    long long calls = s.value("call_count", 0LL);
    lines.push_back(name + " | " + std::to_string(calls) + " | " + std::to_string(s.value("avg_duration_ms", 0LL)) + "ms | " +
                    std::to_string(s.value("p95_duration_ms", 0LL)) + "ms | " + fmt::thousands(s.value("avg_tokens", 0LL)) +
                    " | " + fmt::pyfloat(s.value("cache_hit_rate", 0.0)) + "% | " + std::to_string(s.value("errors", 0LL)));
    total_tokens += s.value("total_output_tokens", 0LL);
    total_calls += calls;
  }
  lines.push_back("");
  lines.push_back("**총 소모 토큰: " + fmt::thousands(total_tokens) + "**");
  lines.push_back("**총 호출: " + std::to_string(total_calls) + "회**");
  lines.push_back("**평균 호출당 토큰: " + fmt::thousands(total_tokens / std::max(1LL, total_calls)) + "**");
  lines.push_back("");
  lines.push_back("로그 파일: " + metrics::get_metrics_file());
  return fmt::join(lines, "\n");
}

const ToolRegistration reg_status{"tessaro_status", kStatusDoc, tessaro_status};
const ToolRegistration reg_metrics{"get_metrics_summary", kMetricsDoc, get_metrics_summary};

}  // namespace
}  // namespace tessaro::server
