// The call's ledger: the HTTP client records every request, the meta builders
// and the error wrapper read completeness, the failure warnings and the error
// flag from it, so no tool can drop a failed lookup.
#include <gtest/gtest.h>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "server/meta.hpp"
#include "server/wrappers.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

std::string meta_reply(const std::string& text, const std::string& completeness,
                       std::vector<std::string> warnings = {}) {
  server::KrMetaArgs m;
  m.kind = "snapshot";
  m.data_completeness = completeness;
  m.warnings = std::move(warnings);
  return server::append_result_meta(text, server::kr_meta(m));
}

}  // namespace

TEST(Ledger, HttpClientRecordsEveryOutcomeUnderItsName) {
  NaverEnv env("2026-09-16 10:00");
  env.srv.route("/m.stock.naver.com/api/stock/005930/basic", reply(200, "{}"));
  env.srv.route("/fchart.stock.naver.com/sise.nhn", reply(503, "busy", "text/plain"));
  CallContext ctx;
  CallScope scope(&ctx);
  naver::fetch_text("m.stock.naver.com", http::Target("/api/stock/005930/basic"));
  {
    LookupName named("naver.daily_bars");
    EXPECT_THROW(naver::fetch_text("fchart.stock.naver.com", http::Target("/sise.nhn?symbol=005930")), HTTPStatusError);
  }
  auto l = ctx.ledger();
  ASSERT_EQ(l.size(), 2u);
  // The loopback base keeps the real host; a code in the path is a "*".
  EXPECT_EQ(l[0].source, "m.stock.naver.com/api/stock/*/basic");
  EXPECT_EQ(l[0].outcome, LookupStatus::found);
  EXPECT_EQ(l[1].source, "naver.daily_bars");
  EXPECT_EQ(l[1].outcome, LookupStatus::failed);
  EXPECT_EQ(l[1].reason, "HTTPStatusError 503");
}

// A JSON endpoint that answers an HTML error page (the real api.stock 404 body
// has a JSON error document; the m.stock one is HTML) was fetched but not
// understood: that answer counts as a failure, not as data.
TEST(Ledger, UnreadableAnswerTurnsItsEntryIntoAFailure) {
  TESSARO_REQUIRE_SAMPLE(page, "naver/mstock_api_unknown_path_404_20261002_excerpt.html");
  NaverEnv env("2026-09-16 10:00");
  env.srv.route("/m.stock.naver.com/api/stock/005930/integration", reply(200, page, "text/html; charset=utf-8"));
  CallContext ctx;
  CallScope scope(&ctx);
  EXPECT_THROW(naver::fetch_json("m.stock.naver.com", http::Target("/api/stock/005930/integration")), NaverParseError);
  auto s = summarize(ctx.ledger());
  EXPECT_EQ(s.found, 0u);
  EXPECT_EQ(s.failed, 1u);
  EXPECT_TRUE(s.nothing_obtained());
}

TEST(Ledger, MetaCannotClaimCompleteOverAFailureOrAStandIn) {
  {
    CallContext ctx;
    CallScope scope(&ctx);
    record_lookup("naver.price", LookupStatus::found);
    record_lookup("naver.alerts", LookupStatus::failed, "HTTPStatusError 500");
    json m = meta_of(meta_reply("x", rmeta::COMPLETE));
    EXPECT_EQ(m["data_completeness"], "partial");
    EXPECT_TRUE(has_warning(m, "조회 실패: naver.alerts(HTTPStatusError 500)")) << m.dump();
    EXPECT_EQ(m["lookups"]["failed"][0]["source"], "naver.alerts");
    // A tool that already named the failure is not repeated.
    json named = meta_of(meta_reply("x", rmeta::COMPLETE, {"시장경보 목록 조회 실패(HTTPStatusError 500)"}));
    int failure_warnings = 0;
    for (const auto& w : named["warnings"]) failure_warnings += w.get<std::string>().find("조회 실패") != std::string::npos;
    EXPECT_EQ(failure_warnings, 1) << named.dump();
    // An `extra` cannot lift it back.
    server::KrMetaArgs a;
    a.kind = "snapshot";
    a.extra = {{"data_completeness", "complete"}};
    EXPECT_EQ(server::kr_meta(a)["data_completeness"], "partial");
  }
  {
    CallContext ctx;
    CallScope scope(&ctx);
    record_lookup("finance.naver.com/item/main.naver", LookupStatus::found, "", "m.stock.naver.com/api/stock/*/trend");
    json m = meta_of(meta_reply("x", rmeta::COMPLETE));
    EXPECT_EQ(m["data_completeness"], "partial");
    EXPECT_TRUE(has_warning(m, "대체 출처 사용: finance.naver.com/item/main.naver (m.stock.naver.com/api/stock/*/trend 대신)"))
        << m.dump();
  }
  {
    CallContext ctx;
    CallScope scope(&ctx);
    record_lookup("naver.price", LookupStatus::failed, "ReadTimeout");
    json us = server::us_meta(server::UsMetaArgs{"snapshot"});
    EXPECT_EQ(us["data_completeness"], "none");
  }
  {
    // A positive "no such item" is an answer: nothing to downgrade.
    CallContext ctx;
    CallScope scope(&ctx);
    record_lookup("naver.price", LookupStatus::not_found, "123450");
    json m = meta_of(meta_reply("x", rmeta::COMPLETE));
    EXPECT_EQ(m["data_completeness"], "complete");
    EXPECT_FALSE(m.contains("lookups"));
  }
}

TEST(Ledger, WrapperNamesAnUnnamedFailureAndFlagsAReplyThatObtainedNothing) {
  {
    CallContext ctx;
    CallScope scope(&ctx);
    bool failed = false;
    std::string r = server::safe_tool(
        [] {
          record_lookup("naver.daily_bars", LookupStatus::failed, "HTTPStatusError 410");
          return meta_reply("⚠️ 조건을 만족하는 종목이 없습니다.", rmeta::PARTIAL);
        },
        &failed);
    EXPECT_TRUE(failed);
    std::string b = body_of(r);
    EXPECT_NE(b.find("⚠️ 조회 실패: naver.daily_bars(HTTPStatusError 410) — 없음이 아니라 모름입니다."), std::string::npos) << b;
    EXPECT_NE(b.find("tessaro-mcp doctor"), std::string::npos);
    // The meta block stays last.
    EXPECT_TRUE(meta_of(r).is_object());
    EXPECT_EQ(meta_of(r)["data_completeness"], "none");   // nothing was obtained
  }
  {
    // Something obtained, one secondary list failed: a partial reply, not an error.
    CallContext ctx;
    CallScope scope(&ctx);
    bool failed = true;
    std::string r = server::safe_us_tool(
        [] {
          record_lookup("yahoo.quote", LookupStatus::found);
          record_lookup("yahoo.holders", LookupStatus::failed, "HTTPStatusError 500");
          return meta_reply("표", rmeta::COMPLETE);
        },
        &failed);
    EXPECT_FALSE(failed);
    EXPECT_EQ(meta_of(r)["data_completeness"], "partial");
  }
  {
    // A tool's own failure reply (completeness none, opening with the warning
    // sign) is an error reply even when its lookups ran through injected sources.
    CallContext ctx;
    CallScope scope(&ctx);
    bool failed = false;
    server::safe_tool([] { return meta_reply("⚠️ 일봉 조회 실패 3종목", rmeta::NONE); }, &failed);
    EXPECT_TRUE(failed);
  }
  {
    // An answer that found nothing is not an error.
    CallContext ctx;
    CallScope scope(&ctx);
    bool failed = true;
    server::safe_tool(
        [] {
          record_lookup("naver.price", LookupStatus::not_found);
          return meta_reply("종목코드 123450에 해당하는 종목을 찾을 수 없습니다", rmeta::NONE);
        },
        &failed);
    EXPECT_FALSE(failed);
  }
}

// The wrapper's own reply to a 404/410 that escaped a tool says the address is
// gone, not the stock.
TEST(Ledger, GoneEndpointReplySuggestsDoctor) {
  std::string r = server::safe_tool([]() -> std::string { throw HTTPStatusError("Gone '410' for url 'x'", 410); });
  EXPECT_TRUE(fmt::starts_with(r, "⚠️ 네트워크 오류가 발생했습니다: HTTPStatusError\n(원인: HTTPStatusError: Gone")) << r;
  EXPECT_NE(r.find("종목이 없다는 뜻이 아닙니다"), std::string::npos);
  EXPECT_NE(r.find("tessaro-mcp doctor"), std::string::npos);
}

// Parallel requests end in any order; the summary of a call does not follow it.
TEST(Ledger, SummaryIsTheSameWhateverOrderTheRequestsEnded) {
  auto summary_of = [](std::vector<std::pair<const char*, const char*>> entries) {
    CallContext ctx;
    CallScope scope(&ctx);
    for (auto [src, why] : entries) record_lookup(src, LookupStatus::failed, why);
    return server::ledger_failure_text(current_ledger_summary());
  };
  std::string a = summary_of({{"naver.b", "HTTPStatusError 500"}, {"naver.a", "ReadTimeout"}, {"naver.b", "HTTPStatusError 500"}});
  std::string b = summary_of({{"naver.a", "ReadTimeout"}, {"naver.b", "HTTPStatusError 500"}, {"naver.b", "HTTPStatusError 500"}});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, "naver.a(ReadTimeout), naver.b(HTTPStatusError 500, 2건)");
}

// A request sent ahead of knowing whether its answer is used is held back:
// it reaches the call's ledger only when handed over.
TEST(Ledger, HeldEntriesCountOnlyWhenHandedOver) {
  CallContext ctx;
  CallScope scope(&ctx);
  std::vector<LedgerEntry> held;
  {
    LedgerHold hold;
    record_lookup("naver.division", LookupStatus::found);
    fail_last_lookup("NaverParseError");   // amends the held entry, not the call's
    held = hold.take();
  }
  EXPECT_TRUE(ctx.ledger().empty());
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].outcome, LookupStatus::failed);
  record_held(held);
  ASSERT_EQ(ctx.ledger().size(), 1u);
  EXPECT_EQ(ctx.ledger()[0].reason, "NaverParseError");
}
