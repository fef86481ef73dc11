// get_move_context and get_disclosure with scripted sources: time order,
// session labels, "missing is not zero", and failures that stay named.
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "support/naver_env.hpp"
#include "tools/kr/news/move_context.hpp"
#include "tools/kr/news/news_collect.hpp"

using namespace tessaro;
using namespace tessaro::tools::news;
using namespace tessaro::testing;

namespace {

json bars_before(int days, long long volume) {
  // Oldest first, ending with today's forming bar (excluded from the average).
  json rows = json::array();
  for (int i = days; i >= 1; --i) {
    auto d = std::chrono::sys_days(std::chrono::year(2026) / 12 / 4) - std::chrono::days(i);
    rows.push_back({{"date", mt::day_str(d)}, {"close", 100}, {"volume", volume}});
  }
  rows.push_back({{"date", "2026-12-04"}, {"close", 110}, {"volume", 999999999}});
  return rows;
}

struct MoveContextTest : ::testing::Test {
  NaverEnv env{"2026-12-04 17:10"};   // a Friday; the after-market is trading
  KrSources s;
  void SetUp() override {
    s.current_price = [](const std::string&) {
      return json{{"name", "테스트전자"}, {"price", 51200},     {"base_price", 50000}, {"change", 1200},
                  {"open", 50100},        {"high", 51500},       {"low", 49900},        {"volume", 3000000},
                  {"price_session", "after_market"}};
    };
    s.ohlcv = [](const std::string&, const std::string& tf, int n) {
      EXPECT_EQ(tf, "day");
      EXPECT_EQ(n, 25);
      return bars_before(24, 1000000);
    };
    s.disclosures = [](const std::string&, int) {
      return json::array({{{"date", "2026-12-04"}, {"title", "단일판매ㆍ공급계약체결"}, {"source", "KOSCOM"}},
                          {{"date", "2026-11-25"}, {"title", "주요사항보고서"}, {"source", "KOSCOM"}},
                          {{"date", "2026-10-01"}, {"title", "오래된 공시"}, {"source", "KOSCOM"}}});
    };
    s.reports = [](const std::string&, int n) {
      EXPECT_EQ(n, 5);
      return json::array({{{"date", "2026-12-01"}, {"broker", "가나증권"}, {"title", "수주 모멘텀"}, {"nid", 91234}},
                          {{"date", "2026-11-20"}, {"title", "증권사 없는 리포트"}, {"nid", "91000"}},
                          {{"date", "2026-10-10"}, {"broker", "다라증권"}, {"title", "오래됨"}, {"nid", "90000"}}});
    };
    s.stock_news = [](const std::string&, int n) {
      EXPECT_GE(n, 15);
      return json::array(
          {{{"title", "테스트전자, 대규모 공급계약"}, {"url", "https://n/1"}, {"press", "한국경제"},
            {"datetime", "2026-12-04 13:05"}, {"time_basis", "article"}, {"source", "stock_tag"}},
           {{"title", "테스트전자 지난주 기사"}, {"url", "https://n/2"}, {"press", "연합뉴스"},
            {"datetime", "2026-11-28 10:00"}, {"time_basis", "article"}, {"source", "stock_tag"}}});
    };
    s.search_news = [](const std::string& q, int) {
      EXPECT_EQ(q, "테스트전자");
      return json::array({{{"title", "장 초반 테스트전자 급등"}, {"url", "https://n/3"}, {"press", "뉴스1"},
                           {"datetime", "2026-12-04 09:20"}, {"time_basis", "relative_display"},
                           {"displayed_time", "8시간 전"}, {"source", "name_search"}}});
    };
  }
  void TearDown() override { set_sources_for_tests(std::nullopt); }
  Split run(const std::string& tool = "get_move_context") {
    set_sources_for_tests(s);
    return split(server::call_tool(tool, {{"code", "123450"}}));
  }
};

}  // namespace

TEST_F(MoveContextTest, DayLaidOutInTimeOrder) {
  Split r = run();
  auto L = lines_of(r.text);
  ASSERT_GE(L.size(), 6u);
  EXPECT_EQ(L[0], "## 오늘 움직임 맥락 — 테스트전자 (123450) · 2026-12-04");
  // The after-market price is labelled as such and measured against the reference price.
  EXPECT_EQ(L[3], "- 현재가 51,200원 [KRX 애프터마켓], 기준가 대비 +1,200원 (+2.40%) (기준가 50,000원)");
  // Today's forming bar is not part of its own average.
  EXPECT_EQ(L[5], "- 거래량 3,000,000주 — 최근 20거래일 평균(1,000,000주)의 3.0배");
  // Articles of today oldest first, whichever source found them.
  auto a = r.text.find("- 약 2026-12-04 09:20 (네이버 표시 '8시간 전') · 뉴스1 · [장 초반 테스트전자 급등](https://n/3) · 이름검색 · 제목 언급");
  auto b = r.text.find("- 2026-12-04 13:05 · 한국경제");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_TRUE(has_line(r.text, "### 오늘 거래소 공시 (시각 없음, 날짜만)\n- 단일판매ㆍ공급계약체결 · KOSCOM"));
  EXPECT_TRUE(has_line(r.text, "### 최근 14일 거래소 공시 (2026-11-20 ~ 2026-12-04)\n- 2026-12-04 · 단일판매ㆍ공급계약체결 · KOSCOM"));
  EXPECT_TRUE(has_line(r.text, "- 2026-11-20 · - · 증권사 없는 리포트 (`get_report_content(nid=\"91000\")`)"));
  EXPECT_EQ(r.text.find("오래"), std::string::npos);
  EXPECT_EQ(r.text.find("⚠️ 조회 실패"), std::string::npos);
  EXPECT_EQ(r.meta["data_completeness"], "complete");
  EXPECT_EQ(r.meta["price_session"], "after_market");
  EXPECT_EQ(r.meta["today_news_count"], 2);
  EXPECT_EQ(r.meta["sections"].dump(),
            R"({"price":"ok","ohlcv":"ok","disclosure":"ok","reports":"ok","news":{"stock_tag":"ok:2","name_search":"ok:1"}})");
}

TEST_F(MoveContextTest, NewsWithoutDisclosuresIsNotNoNews) {
  s.disclosures = [](const std::string&, int) { return json::array(); };
  Split r = run();
  EXPECT_EQ(r.text.find("### 오늘 거래소 공시"), std::string::npos);   // absent, not shown empty
  EXPECT_TRUE(has_line(r.text, "- 없음 (조회 성공, 0건) — 재료 없음이 아닙니다. 보도자료·기사는 공시가 아닙니다."));
  EXPECT_NE(r.text.find("대규모 공급계약"), std::string::npos);
  EXPECT_EQ(r.meta["data_completeness"], "complete");
}

TEST_F(MoveContextTest, OneSourceTimingOutKeepsTheRest) {
  s.disclosures = [](const std::string&, int) -> json { throw ReadTimeout("timed out"); };
  s.search_news = [](const std::string&, int) -> json { throw ConnectError("refused"); };
  Split r = run();
  EXPECT_TRUE(has_line(r.text, "- 조회 실패(ReadTimeout) — 없음이 아니라 모름"));
  EXPECT_NE(r.text.find("대규모 공급계약"), std::string::npos);
  EXPECT_NE(r.text.find("수주 모멘텀"), std::string::npos);
  EXPECT_TRUE(fmt::ends_with(r.text, "\n⚠️ 조회 실패: 공시(ReadTimeout), 뉴스(이름검색)(ConnectError) — 실패한 부분은 '없음'이 아니라 '모름'입니다."));
  EXPECT_EQ(r.meta["data_completeness"], "partial");
  // The market-time warnings of the meta come first; ours follow in failure order.
  const json& w = r.meta["warnings"];
  ASSERT_GE(w.size(), 2u);
  EXPECT_EQ(w[w.size() - 2], "조회 실패: 공시(ReadTimeout)");
  EXPECT_EQ(w[w.size() - 1], "조회 실패: 뉴스(이름검색)(ConnectError)");
  EXPECT_EQ(r.meta["sections"]["disclosure"], "failed");
  EXPECT_EQ(r.meta["sections"]["news"]["name_search"], "failed:ConnectError");
}

TEST_F(MoveContextTest, EverythingFailingIsNone) {
  auto fail = [](auto&&...) -> json { throw ConnectError("down"); };
  s.current_price = fail;
  s.ohlcv = fail;
  s.disclosures = fail;
  s.reports = fail;
  s.stock_news = fail;
  s.search_news = fail;
  Split r = run();
  EXPECT_TRUE(has_line(r.text, "## 오늘 움직임 맥락 — 123450 · 2026-12-04"));
  EXPECT_TRUE(has_line(r.text, "- 조회 실패(ConnectError) — 시세 없음이 아니라 모름"));
  EXPECT_TRUE(has_line(r.text, "- 뉴스 조회 실패 — 기사 없음이 아니라 모름"));
  EXPECT_NE(r.text.find("⚠️ 조회 실패: 시세(ConnectError), 일봉(ConnectError), 공시(ConnectError), 리포트(ConnectError), "
                        "뉴스(종목태그)(ConnectError)"),
            std::string::npos);
  EXPECT_EQ(r.meta["data_completeness"], "none");
  EXPECT_TRUE(r.meta["price_session"].is_null());
  EXPECT_EQ(r.meta["sections"]["news"]["name_search"], "skipped:no_name");

  // Price down while articles exist: partial.
  s.stock_news = [](const std::string&, int) {
    return json::array({{{"title", "기사"}, {"datetime", "2026-12-03 10:00"}, {"time_basis", "article"},
                         {"source", "stock_tag"}}});
  };
  r = run();
  EXPECT_EQ(r.meta["data_completeness"], "partial");
  EXPECT_TRUE(has_line(r.text, "- 오늘 날짜 기사 없음 (조회 성공 범위 안에서. 이름검색은 당일 기사를 빨리 잡지만 태그는 늦게 붙습니다)"));
}

TEST_F(MoveContextTest, MissingQuoteValuesAreNeverZero) {
  s.current_price = [](const std::string&) {
    return json{{"name", "테스트전자"}, {"price", 51200}, {"base_price", 50000}, {"open", 50100},
                {"high", nullptr},      {"low", 49900},   {"price_session", "regular"}};
  };
  Split r = run();
  EXPECT_TRUE(has_line(r.text, "- 현재가 51,200원 [KRX 정규장], 기준가 대비 전일대비 데이터 없음 (기준가 50,000원)"));
  EXPECT_EQ(r.text.find("- 시가"), std::string::npos);
  EXPECT_TRUE(has_line(r.text, "- 거래량 데이터 없음"));

  // A snapshot without a price is unusable: "parse", and the name still read.
  s.current_price = [](const std::string&) { return json{{"name", "테스트전자"}}; };
  r = run();
  EXPECT_TRUE(has_line(r.text, "- 조회 실패(parse) — 시세 없음이 아니라 모름"));
  EXPECT_TRUE(has_line(r.text, "## 오늘 움직임 맥락 — 테스트전자 (123450) · 2026-12-04"));
  EXPECT_EQ(r.meta["sections"]["price"], "failed");
}

TEST(VolumeRatio, ShortAndEmptyHistories) {
  // Listed five days ago: the text names the days actually averaged.
  json rows = json::array();
  for (int d = 1; d <= 5; ++d) rows.push_back({{"date", "2026-12-0" + std::to_string(d)}, {"volume", 200}});
  EXPECT_EQ(volume_ratio_text(rows, "20261205", 1000), " — 최근 4거래일 평균(200주)의 5.0배");
  // Missing volumes are left out of the average, not counted as 0.
  rows[0]["volume"] = nullptr;
  EXPECT_EQ(volume_ratio_text(rows, "20261205", 300), " — 최근 3거래일 평균(200주)의 1.5배");
  json zeros = json::array({{{"date", "20261201"}, {"volume", 0}}, {{"date", "20261202"}, {"volume", 0}}});
  EXPECT_EQ(volume_ratio_text(zeros, "20261205", 100), "");
  EXPECT_EQ(volume_ratio_text(json::array(), "20261205", 100), "");
  EXPECT_EQ(volume_ratio_text(nullptr, "20261205", 100), "");
  EXPECT_EQ(volume_ratio_text(json::array({{{"date", "20261205"}, {"volume", 5}}}), "20261205", 100), "");
}

TEST_F(MoveContextTest, DisclosureListIsASample) {
  Split r = run("get_disclosure");
  auto L = lines_of(r.text);
  ASSERT_GE(L.size(), 5u);
  EXPECT_EQ(L[0], "## 공시 목록 (123450, 최근 3건)");
  EXPECT_EQ(L[4], "2026-12-04 | 단일판매ㆍ공급계약체결 | KOSCOM");
  EXPECT_EQ(r.meta["data_completeness"], "partial");
  EXPECT_EQ(r.meta["coverage"].dump(),
            R"({"returned_count":3,"total_count":null,"truncated":null,"coverage_complete":false,"reason":"source_limit"})");
  EXPECT_EQ(r.meta["title_may_be_truncated"], true);

  s.disclosures = [](const std::string&, int) { return json::array(); };
  r = run("get_disclosure");
  EXPECT_TRUE(r.meta.is_null());
  EXPECT_EQ(r.text,
            "종목코드 123450의 최근 거래소 공시가 네이버 목록에 없습니다 (조회는 성공, 0건). 공시가 없다는 것이지 재료가 "
            "없다는 뜻은 아닙니다 — 보도자료·기사는 공시가 아닙니다.");

  // A failed list is an error reply, never "no disclosures".
  s.disclosures = [](const std::string&, int) -> json { throw ReadTimeout("timed out"); };
  r = run("get_disclosure");
  EXPECT_TRUE(fmt::starts_with(r.text, "⚠️ 네이버 증권 응답이 지연되고 있습니다."));
}

// Before 09:00 the quote is the previous trading day's 20:00 after-market close:
// the price section and the meta say that day, not today.
TEST_F(MoveContextTest, BeforeTheOpenThePriceIsTheLastTradingDaysNotTodays) {
  env.freeze("2026-12-07 08:30");   // Monday; Friday 2026-12-04 was the last trading day
  s.current_price = [](const std::string&) {
    return json{{"name", "테스트전자"}, {"price", 51200}, {"base_price", 50000},     {"change", 1200},
                {"open", 50100},        {"high", 51500},  {"low", 49900},           {"volume", 3000000},
                {"price_session", "after_market"},          {"quote_date", "2026-12-04"}};
  };
  Split r = run();
  auto L = lines_of(r.text);
  ASSERT_GE(L.size(), 3u);
  EXPECT_EQ(L[0], "## 오늘 움직임 맥락 — 테스트전자 (123450) · 2026-12-07");
  EXPECT_EQ(L[2], "### 시세 (2026-12-04 마지막 체결 — 오늘(2026-12-07) 체결 아님)") << r.text;
  EXPECT_EQ(r.meta["data_as_of"], "2026-12-04");
  EXPECT_EQ(r.meta["data_basis"], "last_close");
  EXPECT_FALSE(has_warning(r.meta, "20:00 전까지 바뀝니다"));
}
