#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "sources/pdfx/pdf_maker.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

json report(const std::string& nid, const std::string& broker, const std::string& date, const std::string& opinion,
            const std::string& goal, const std::string& pdf = "") {
  return {{"nid", nid},           {"itemcode", "005930"},        {"itemname", "삼성전자"},
          {"brokerName", broker}, {"title", "제목 " + nid},       {"content", "<p>요약 " + nid + "</p>"},
          {"goalPrice", goal},    {"opinion", opinion},          {"attachUrl", pdf},
          {"readCount", "1234"},  {"writeDate", date}};
}

std::string call(const std::string& tool, const json& args) { return server::call_tool(tool, args); }

}  // namespace

TEST(ResearchGetConsensus, TrendTableRatingsAndNotes) {
  NaverEnv env("2026-12-06 10:00");
  ScopedEnv now("TESSARO_NOW", "2026-12-06T10:00:00+09:00");   // the research source reads its day from here
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/integration", "naver/research_integration.json");
  json rows = json::array({report("4", "A증권", "2026-12-01", "매수", "100000"),
                           report("3", "B증권", "2026-11-20", "Hold", "80000"),
                           report("2", "A증권", "2026-10-15", "BUY", "90000"),
                           report("1", "C증권", "2026-08-20", "매수", "70000")});
  env.srv.route("/stock.naver.com/api/domestic/research/005930/research", reply(200, rows.dump()));
  std::string out = call("get_consensus", {{"code", "005930"}});
  auto lines = lines_of(out);
  EXPECT_EQ(lines[0], "## 컨센서스 (005930)");
  EXPECT_TRUE(has_line(out, "**목표주가: 95,000원**"));
  EXPECT_TRUE(has_line(out, "2026-08 | 70,000"));
  EXPECT_TRUE(has_line(out, "2026-12 | 90,000"));
  EXPECT_TRUE(has_line(out, "- 전체 구간(2026-08→2026-12): **+28.6% 상향**")) << out;
  EXPECT_TRUE(has_line(out, "- 직전 대비: **+5.9% 상향**"));
  EXPECT_TRUE(has_line(out, "투자의견: 매수 1건, 중립 1건 (총 2건)"));
  EXPECT_TRUE(has_line(out, "1개월 전: 매수 2건 (총 2건)"));
  // The notes stand even when the source gave no surprise table.
  EXPECT_TRUE(has_line(out, "※ 이 표는 **매출액이 아니라 영업이익·당기순이익**입니다. `-`는 아직 발표 전이거나 미집계."));
  EXPECT_TRUE(has_line(out, "※ 금액 단위: 억원, 에프앤가이드 기준"));
  json meta = meta_of(out);
  ASSERT_TRUE(meta.is_object());
  EXPECT_EQ(meta["data_as_of"], "2026-12-01");   // the newest report
  EXPECT_TRUE(has_warning(meta, "리포트 목록")) << meta.dump();
}

// The target history is kept by month; the reply is as of the newest report's
// own day, not the first day of its month.
TEST(ResearchGetConsensus, AsOfTheNewestReportsOwnDay) {
  NaverEnv env("2026-03-12 10:00");
  ScopedEnv now("TESSARO_NOW", "2026-03-12T10:00:00+09:00");
  env.srv.route("/m.stock.naver.com/api/stock/005930/integration", reply(200, "{}"));
  json rows = json::array({report("2", "A증권", "2026-03-10", "매수", "90000"),
                           report("1", "B증권", "2026-02-20", "매수", "80000")});
  env.srv.route("/stock.naver.com/api/domestic/research/005930/research", reply(200, rows.dump()));
  std::string out = call("get_consensus", {{"code", "005930"}});
  EXPECT_TRUE(has_line(out, "2026-03 | 85,000")) << out;
  EXPECT_EQ(meta_of(out)["data_as_of"], "2026-03-10") << out;
}

TEST(ResearchGetConsensus, OnePercentBandIsFlat) {
  NaverEnv env("2026-12-06 10:00");
  ScopedEnv now("TESSARO_NOW", "2026-12-06T10:00:00+09:00");   // the research source reads its day from here
  auto serve = [&](const std::string& code, const std::string& last) {
    env.srv.route("/m.stock.naver.com/api/stock/" + code + "/integration", reply(200, "{}"));
    env.srv.route("/stock.naver.com/api/domestic/research/" + code + "/research",
              reply(200, json::array({report("2", "A증권", "2026-12-01", "매수", last),
                              report("1", "A증권", "2026-11-10", "매수", "100000")})
                     .dump()));
  };
  serve("000010", "100900");
  serve("000011", "101100");
  EXPECT_TRUE(has_line(call("get_consensus", {{"code", "000010"}}), "- 직전 대비: **+0.9% 보합**"));
  EXPECT_TRUE(has_line(call("get_consensus", {{"code", "000011"}}), "- 직전 대비: **+1.1% 상향**"));
}

TEST(ResearchGetConsensus, RefusalsAndEmpty) {
  NaverEnv env;
  EXPECT_EQ(call("get_consensus", {{"code", "5930"}}), "⚠️ 종목코드 형식이 올바르지 않습니다: 5930");
  env.srv.route("/m.stock.naver.com/api/stock/000100/integration", reply(200, "{}"));
  env.srv.route("/stock.naver.com/api/domestic/research/000100/research", reply(200, "[]"));
  // An integration answer of another shape ("{}") is named as a failed lookup after the reply.
  EXPECT_PRED2(fmt::starts_with, call("get_consensus", {{"code", "000100"}}),
               std::string("종목코드 000100의 컨센서스 데이터가 없습니다. 분석 대상 종목이 아니거나 코드를 확인해 주세요."));
}

// A 404 of the integration answer (the real m.stock error page) is the address
// gone, not a code the site does not know; a 500 is a failure too.
TEST(ResearchGetConsensus, GoneOrDownIsAFailureNeverAnUnknownCode) {
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/005930/integration",
                reply(404, read_shared_sample("naver/mstock_api_unknown_path_404_20261002_excerpt.html"), "text/html"));
  env.srv.route("/stock.naver.com/api/domestic/research/005930/research", reply(200, "[]"));
  std::string gone = call("get_consensus", {{"code", "005930"}});
  EXPECT_EQ(gone.find("찾을 수 없습니다"), std::string::npos) << gone;
  EXPECT_TRUE(fmt::starts_with(gone, "⚠️ 종목코드 005930의 컨센서스 조회 실패 (HTTPStatusError 404)")) << gone;
  env.srv.route("/m.stock.naver.com/api/stock/999991/integration", reply(500, "down"));
  env.srv.route("/stock.naver.com/api/domestic/research/999991/research", reply(500, "down"));
  std::string down = call("get_consensus", {{"code", "999991"}});
  EXPECT_EQ(down.find("찾을 수 없습니다"), std::string::npos) << down;
  EXPECT_NE(down.find("HTTPStatusError"), std::string::npos) << down;
}

TEST(ResearchGetReports, StockListCappedAtTenWithSummariesAndHints) {
  NaverEnv env;
  const std::string path = "/stock.naver.com/api/domestic/research/005930/research";
  env.srv.route(path, [](const FixtureRequest& r) {
    int size = std::stoi(r.params.at("size"));
    json rows = json::array();
    for (int i = 0; i < 12 && i < size; ++i)
      rows.push_back(report(std::to_string(91000 + i), "A증권", "2026-11-30", i == 0 ? "매수" : "",
                            i == 0 ? "275000" : "0",
                            i == 0 ? "https://stock.pstatic.net/stock-research/company/56/x.pdf" : ""));
    return reply(200, rows.dump());
  });
  std::string out = call("get_reports", {{"code", "005930"}, {"count", 50}});
  EXPECT_EQ(env.srv.last_request(path).params["size"], "10");
  EXPECT_EQ(lines_of(out).at(0), "## 증권사 리포트 (005930, 최근 10건)");
  EXPECT_TRUE(has_line(out, "### 제목 91000"));
  EXPECT_TRUE(has_line(out, "2026-11-30 | A증권 | 목표가 275,000원 | 매수 | 조회 1,234"));
  EXPECT_TRUE(has_line(out, "2026-11-30 | A증권 | 조회 1,234")) << "no target, no opinion: left out";
  EXPECT_TRUE(has_line(out, "> 요약 91000"));
  EXPECT_TRUE(has_line(out,
                       "[PDF 원문](https://stock.pstatic.net/stock-research/company/56/x.pdf) · 본문을 읽으려면 "
                       "`get_report_content(nid=\"91000\")` — 기본은 앞부분 발췌, `mode=\"full\"` 전체 / `mode=\"link\"` 링크만"));
  EXPECT_EQ(out.find("91010"), std::string::npos);
}

TEST(ResearchGetReports, ArgumentReplies) {
  EXPECT_EQ(call("get_reports", {{"code", "005930"}, {"kind", "market"}}),
            "⚠️ code 와 kind 는 함께 사용할 수 없습니다. 종목 리포트는 code, 시장 갈래는 kind 만 넘겨 주세요.");
  EXPECT_EQ(call("get_reports", json::object()),
            "⚠️ code 또는 kind 중 하나는 필요합니다.\n종목 리포트는 code=\"005930\", 시장 갈래는 kind 로 고르세요: "
            "market(시황), invest(투자전략), economy(경제), debenture(채권), industry(산업), company(종목)");
  EXPECT_EQ(call("get_reports", {{"kind", "crypto"}}),
            "⚠️ 지원하지 않는 갈래입니다: crypto\n사용 가능: market(시황), invest(투자전략), economy(경제), "
            "debenture(채권), industry(산업), company(종목)");
  EXPECT_EQ(call("get_reports", {{"code", "12345"}}), "⚠️ 종목코드 형식이 올바르지 않습니다: 12345");
}

TEST(ResearchGetReports, ByKindFromTheRealSample) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_domestic_research_category_latest.json");
  NaverEnv env;
  env.srv.route("/stock.naver.com/api/domestic/research/category-lastest", reply(200, body));
  std::string out = call("get_reports", {{"kind", "market"}});
  auto lines = lines_of(out);
  EXPECT_EQ(lines[0], "## 시황 리포트 (1건)");
  EXPECT_EQ(lines[4], "2026-03-10 | 3/10 KB 리서치 모닝코멘트 | KB증권 | 84");
  json meta = meta_of(out);
  EXPECT_EQ(meta["data_completeness"], "partial");
  EXPECT_EQ(meta["coverage"]["reason"], "source_limit");
  EXPECT_EQ(meta["coverage"]["returned_count"], 1);

  env.srv.route("/m.stock.naver.com/front-api/research/list", reply(200, R"({"result":[]})"));
  EXPECT_EQ(call("get_reports", {{"kind", "industry"}}), "산업 리포트가 없습니다.");

  // The deeper company list fails: the latest one still shows, and the failure
  // is said instead of passing the short list for the whole.
  env.srv.route("/m.stock.naver.com/front-api/research/list", reply(503, "busy"));
  std::string company = call("get_reports", {{"kind", "company"}, {"count", 5}});
  EXPECT_EQ(lines_of(company)[0], "## 종목 리포트 (1건)") << company;
  EXPECT_TRUE(has_line(body_of(company), "⚠️ 전체 목록 조회 실패(HTTPStatusError 503) — 최신 1건만 가져왔습니다. 리포트가 "
                                         "이것뿐이라는 뜻이 아닙니다."))
      << company;
  EXPECT_TRUE(has_warning(meta_of(company), "전체 리포트 목록 조회 실패(HTTPStatusError 503)"));
}

// The report list behind the counts failed: the ratings are unknown, never
// "최근 집계 없음", and no warning claims the counts were made.
TEST(ResearchGetConsensus, FailedReportListIsNotNoRecentRatings) {
  TESSARO_REQUIRE_SAMPLE(integ, "naver/mstock_api_stock_integration_000660.json");
  NaverEnv env("2026-12-01 10:00");
  env.srv.route("/m.stock.naver.com/api/stock/000660/integration", reply(200, integ));
  env.srv.route("/stock.naver.com/api/domestic/research/000660/research", reply(503, "busy"));
  env.srv.route("/m.stock.naver.com/api/research/stock/000660", reply(503, "busy"));
  std::string r = call("get_consensus", {{"code", "000660"}});
  std::string b = body_of(r);
  EXPECT_EQ(b.find("최근 집계 없음"), std::string::npos) << b;
  EXPECT_TRUE(has_line(b, "투자의견: 조회 실패 (리포트 목록을 받지 못했습니다 — 없음이 아니라 모름)")) << b;
  json m = meta_of(r);
  EXPECT_FALSE(has_warning(m, "세어 만든 값입니다")) << m.dump();
  EXPECT_TRUE(has_warning(m, "증권사 리포트 목록 조회 실패")) << m.dump();
  EXPECT_EQ(m["data_completeness"], "partial") << m.dump();
}

TEST(ResearchGetReportContent, ModesAndExcerpts) {
  NaverEnv env;
  const std::string pdf_url = "https://stock.pstatic.net/stock-research/company/57/20261120_company_777.pdf";
  env.srv.route("/stock.naver.com/api/domestic/research/000777/research",
            reply(200, json::array({report("777001", "A증권", "2026-11-20", "매수", "1000", pdf_url)}).dump()));
  env.srv.route("/stock.pstatic.net/stock-research/company/57/20261120_company_777.pdf",
            FixtureResponse{200, tessaro::testing::make_text_pdf(3, 40), "application/pdf", {}});
  call("get_reports", {{"code", "000777"}, {"count", 1}});   // the list teaches the source the PDF address

  EXPECT_EQ(call("get_report_content", {{"nid", "77a"}}), "⚠️ 리포트 번호 형식이 올바르지 않습니다: 77a");
  EXPECT_EQ(call("get_report_content", {{"nid", "777001"}, {"mode", "pdf"}}),
            "⚠️ 알 수 없는 mode: pdf\nsummary(앞부분 발췌) / full(전체) / link(링크만) 중에서 골라 주세요.");

  std::string summary = call("get_report_content", {{"nid", "777001"}});
  auto lines = lines_of(summary);
  EXPECT_EQ(lines[0], "# 리포트 발췌 (nid=777001)");
  EXPECT_EQ(lines[1], "- **전문 보기: https://m.stock.naver.com/research/company/777001** (PDF: " + pdf_url + ")");
  EXPECT_TRUE(fmt::starts_with(lines[2], "- PDF 3쪽 · 본문 ")) << lines[2];
  EXPECT_TRUE(fmt::ends_with(lines[2], "자 중 앞 4,000자"));
  EXPECT_NE(summary.find("_… 이후 "), std::string::npos);
  json meta = meta_of(summary);
  EXPECT_EQ(meta["data_completeness"], "partial");

  // "전문" is full; the whole text fits under 50,000.
  std::string full = call("get_report_content", {{"nid", "777001"}, {"mode", " 전문 "}});
  EXPECT_EQ(lines_of(full)[0], "# 리포트 전문 (nid=777001)");
  EXPECT_NE(full.find("Line 120: operating profit rose"), std::string::npos);
  EXPECT_EQ(full.find("_… 이후"), std::string::npos);
  EXPECT_EQ(meta_of(full)["data_completeness"], "complete");

  std::string cut = call("get_report_content", {{"nid", "777001"}, {"mode", "full"}, {"max_chars", 100}});
  EXPECT_NE(cut.find(" 중 앞 100자"), std::string::npos);
  EXPECT_NE(cut.find("상한(100자)을 넘겼습니다"), std::string::npos);

  std::string link = call("get_report_content", {{"nid", "777001"}, {"mode", "링크"}});
  EXPECT_TRUE(has_line(link, "# 리포트 링크 (nid=777001)"));
  EXPECT_TRUE(has_line(link, "- PDF 원문: " + pdf_url));
  EXPECT_EQ(meta_of(link)["data_completeness"], "none");
}

TEST(ResearchGetReportContent, ImagePdfAndMissingLinkNeverShowText) {
  NaverEnv env;
  const std::string pdf_url = "https://stock.pstatic.net/stock-research/company/1/img.pdf";
  env.srv.route("/stock.naver.com/api/domestic/research/000888/research",
            reply(200, json::array({report("888001", "A증권", "2026-11-20", "매수", "1000", pdf_url),
                            report("888002", "B증권", "2026-11-19", "매수", "1000", "")})
                   .dump()));
  env.srv.route("/stock.pstatic.net/stock-research/company/1/img.pdf",
            FixtureResponse{200, tessaro::testing::make_pdf({{}, {}, {}}), "application/pdf", {}});
  call("get_reports", {{"code", "000888"}, {"count", 2}});

  std::string img = call("get_report_content", {{"nid", "888001"}});
  EXPECT_TRUE(fmt::starts_with(img, "**이미지로 렌더링된 PDF라 본문 글자를 읽을 수 없습니다.**\n\n- 상세: ")) << img;
  EXPECT_NE(img.find("- PDF 원문 직접 열기: " + pdf_url), std::string::npos);
  EXPECT_NE(img.find("본문이 없는 게 아니라 **우리가 못 읽은 것**입니다."), std::string::npos);
  json meta = meta_of(img);
  EXPECT_EQ(meta["data_completeness"], "none");
  EXPECT_TRUE(fmt::starts_with(meta["warnings"].back().get<std::string>(), "PDF 본문 추출 실패(image_pdf): "));

  std::string none = call("get_report_content", {{"nid", "888002"}});
  EXPECT_TRUE(fmt::starts_with(none, "리포트 888002에는 PDF 원문 링크가 없습니다 (일부 증권사는 PDF를 공개하지 않습니다)."));
  EXPECT_EQ(meta_of(none)["data_completeness"], "none");
}

// A report page read without any PDF link: our failure, worded from the page's
// declared shape so the reader sees what changed (hand-written page).
TEST(ResearchGetReportContent, ChangedReportPageIsNamed) {
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/research/company/888003",
                FixtureResponse{200, read_fixture("naver/research_report_page_nolink.html"), "text/html", {}});
  std::string out = call("get_report_content", {{"nid", "888003"}});
  EXPECT_TRUE(fmt::starts_with(out, "**본문을 읽지 못했습니다.**\n\n- 상세: 네이버 리포트 페이지 응답 모양이 달라졌습니다 "
                                    "(없는 항목: PDF link)\n"))
      << out;
  EXPECT_EQ(meta_of(out)["data_completeness"], "none");
}
