#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/xlsx/workbook.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"
#include "support/soffice.hpp"
#include "workbooks/common.hpp"

using namespace tessaro;
namespace fs = std::filesystem;
using tessaro::testing::FixtureServer;
using tessaro::testing::ScopedEnv;
using tessaro::testing::TempHome;

namespace {

constexpr auto& has = tessaro::testing::contains;
constexpr auto& path_in = tessaro::testing::saved_path_of;

server::Args args(const std::string& tool, const json& given) {
  json a = json::object();
  for (const auto& p : server::find_tool(tool)->params)
    if (!p.required) a[p.name] = p.default_value;
  for (auto it = given.begin(); it != given.end(); ++it) a[it.key()] = *it;
  return server::Args(a);
}

json snapshot_rows(const std::vector<std::string>& codes, bool financial) {
  json out = json::array();
  for (size_t i = 0; i < codes.size(); ++i) {
    json r = {{"code", codes[i]}, {"name", "종목" + codes[i]}, {"current_price", 10000 + 1000 * int(i)},
              {"volume", 5000}, {"high", 15000}, {"high_date", "2026-08-01"}, {"low", 8000},
              {"low_date", "2026-03-02"}, {"drawdown_pct", -20.0 - 10 * double(i)}, {"recovery_pct", 25.0},
              {"period_return_pct", 5.5 - 3 * double(i)}, {"avg_volume", 4000}, {"bars_count", 260}};
    if (financial) r.update(json{{"per", 8.0 + 4 * double(i)}, {"pbr", 1.1}, {"roe", nullptr}});
    out.push_back(r);
  }
  return out;
}

}  // namespace

TEST(WorkbookTools, ExportRefusesBadInputAndNames) {
  TempHome home;
  EXPECT_EQ(server::call_tool("export_to_excel", {{"data_type", "chart"}}), "종목코드가 필요합니다.");
  EXPECT_EQ(server::call_tool("export_to_excel", {{"data_type", "price"}, {"code", "005930"}}),
            "지원하지 않는 data_type: price. 'chart', 'flow', 'financial' 중 선택.");
  for (const char* bad : {"../escape", "/tmp/x.xlsx", "a/b.xlsx", "..\\x"}) {
    std::string r = server::call_tool("export_to_excel", {{"data_type", "chart"}, {"code", "005930"}, {"filename", bad}});
    EXPECT_TRUE(has(r, "⚠️ 파일 이름으로 쓸 수 없습니다")) << bad << ": " << r;
  }
  EXPECT_TRUE(fs::is_empty(excel::get_snapshot_dir()));
  std::string r = server::call_tool("export_us_to_excel", {{"ticker", "AAPL"}, {"period", "7y"}});
  EXPECT_TRUE(has(r, "⚠️ 지원하지 않는 period: 7y")) << r;
}

TEST(WorkbookTools, ExportChartNamesAfterMarketBarsAndReadsBack) {
  TempHome home;
  FixtureServer srv;
  ScopedEnv env("TESSARO_NAVER_BASE_URL", srv.base_url());
  srv.route_file("/fchart.stock.naver.com/sise.nhn", "naver/fchart_day_005930.xml", "text/xml; charset=EUC-KR");
  std::string r = server::call_tool("export_to_excel",
                                    {{"data_type", "chart"}, {"code", "005930"}, {"days", 30}, {"filename", "내차트"}});
  EXPECT_EQ(r.rfind("⚠️ 2026-09-14 이후 4개 행의 close(종가)는 20:00 애프터마켓 마지막 체결가입니다.", 0), 0u) << r;
  EXPECT_TRUE(has(r, "✓ Excel 파일 저장 완료\n경로: "));
  EXPECT_TRUE(has(r, "\n행 수: 6\n컬럼: 날짜(date), 시가(open), 고가(high), 저가(low), 종가(close), 거래량(volume)\n"));
  fs::path p = path_in(r);
  EXPECT_EQ(p.filename().string(), "내차트.xlsx");
  EXPECT_EQ(p.parent_path(), excel::get_snapshot_dir());
  excel::Table t = excel::load_excel(p, "OHLCV");
  ASSERT_EQ(t.rows.size(), 6u);
  EXPECT_EQ(t.rows[0]["date"], "2026-09-10");
  EXPECT_EQ(t.rows[5]["close"], 73500);
  EXPECT_TRUE(t.rows[4]["high"].is_null());   // a missing high stays missing
  // The same name again never overwrites the first file.
  std::string again = server::call_tool("export_to_excel", {{"data_type", "chart"}, {"code", "005930"}, {"filename", "내차트"}});
  EXPECT_EQ(fs::path(path_in(again)).filename().string(), "내차트_2.xlsx");
  TESSARO_SHEET_CSV(csv, p, home.path());
  EXPECT_TRUE(has(csv, "날짜,시가,고가,저가,종가,거래량")) << csv;
  EXPECT_TRUE(has(csv, "2026-09-17,72900,74000,72800,73500,13000000")) << csv;
}

TEST(WorkbookTools, ScanGroupsUnknownFieldsAndQuery) {
  TempHome home;
  int calls = 0;
  bool asked_financial = true;
  auto snap = [&](const std::vector<std::string>& codes, int days, bool fin) {
    ++calls;
    asked_financial = fin;
    EXPECT_EQ(days, 260);
    return snapshot_rows(codes, fin);
  };
  std::string refused = workbooks::scan_to_excel_with(args("scan_to_excel", {{"codes", {"005930"}}, {"fields", {"per"}}}), snap);
  EXPECT_EQ(refused, "알 수 없는 항목입니다: per\n사용할 수 있는 값: price, chart, financial, flow, sector, indicators");
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(workbooks::scan_to_excel_with(args("scan_to_excel", {{"codes", json::array()}}), snap),
            "종목코드 리스트가 비어 있습니다.");

  std::string r = workbooks::scan_to_excel_with(
      args("scan_to_excel", {{"codes", {"005930", "000660", "035720"}}, {"fields", {"price", "per"}}}), snap);
  EXPECT_FALSE(asked_financial);
  EXPECT_TRUE(has(r, "✓ 스냅샷 저장 완료 (3개 종목)")) << r;
  EXPECT_TRUE(has(r, "넣은 항목: price, chart\n"));
  EXPECT_TRUE(has(r, "⚠️ 알 수 없어 무시한 항목: per (사용할 수 있는 값: price, chart, financial, flow, sector, indicators)"));
  fs::path p = path_in(r);
  EXPECT_TRUE(has(r, "💡 조건 검색: query_excel(file_path='" + p.string() + "', filters={'drawdown_pct_max': -30})"));
  EXPECT_TRUE(fs::path(p).filename().string().rfind("snapshot_3_", 0) == 0) << p;

  // A filter on a column the file lacks is reported, not silently applied.
  std::string q = server::call_tool("query_excel", {{"file_path", p.string()}, {"filters", {{"per_max", 15}, {"drawdown_pct_max", -25}}}});
  EXPECT_TRUE(has(q, "쿼리 결과 (2개 종목, 파일: " + p.filename().string() + "):")) << q;
  EXPECT_TRUE(has(q, "⚠️ **적용되지 않은 조건**: per — 이 파일에 없는 컬럼입니다."));
  EXPECT_TRUE(has(q, "| 000660 | 종목000660 | 11,000 | 5,000 |")) << q;
  std::string none = server::call_tool("query_excel", {{"file_path", p.string()}, {"filters", {{"drawdown_pct_max", -90}, {"roe_min", 5}}}});
  EXPECT_EQ(none.rfind("조건에 맞는 종목이 없습니다. (원본: 3)\n\n⚠️ 이 파일에 없는 컬럼이라 **적용되지 않은 조건**: roe", 0), 0u) << none;
  EXPECT_EQ(server::call_tool("query_excel", {{"file_path", "nope.xlsx"}}), "파일을 찾을 수 없습니다: nope.xlsx");
  // Not a workbook.
  std::ofstream(excel::get_snapshot_dir() / "fake.xlsx") << "plain text";
  EXPECT_TRUE(has(server::call_tool("query_excel", {{"file_path", "fake.xlsx"}}), "파일 로드 실패: "));

  // An empty field list is the default set; with the financial group the example
  // filter is the PER one and the metadata is kept.
  std::string rf = workbooks::scan_to_excel_with(
      args("scan_to_excel", {{"codes", {"005930", "000660"}}, {"fields", json::array()}}), snap);
  EXPECT_TRUE(asked_financial);
  EXPECT_TRUE(has(rf, "filters={'per': {'min': 0, 'max': 15}})"));
  fs::path pf = path_in(rf);
  excel::Table meta = excel::load_excel(pf, "_metadata");
  std::string dump = json(meta.rows).dump();
  EXPECT_TRUE(has(dump, "requested_codes")) << dump;
  EXPECT_TRUE(has(dump, "price,chart,financial")) << dump;
  TESSARO_SHEET_CSV(csv, pf, home.path());
  EXPECT_TRUE(has(csv, "코드,종목명,현재가,거래량,기간최고가,최고가일,기간최저가,최저가일,고점대비(%)")) << csv;
  EXPECT_TRUE(has(csv, "005930,종목005930,10000,5000,")) << csv;
}

TEST(WorkbookTools, ScanFillsPriceAndPeriodColumnsFromDailyBars) {
  tessaro::testing::NaverEnv env;
  using tessaro::testing::reply;
  env.srv.route_file("/fchart.stock.naver.com/sise.nhn", "naver/fchart_day_005930.xml", "text/xml; charset=EUC-KR");
  // The quote record: name, price and a market cap over 1조 (shown as "1조 2,345억"); no financial pages.
  env.srv.route("/stock.naver.com/api/domestic/detail/005930/detail",
                reply(200, json{{"itemcode", "005930"}, {"itemname", "삼성전자"}, {"nowVal", "73,500"},
                                {"marketSum", "1234500000000"}, {"per", "12.50"}, {"pbr", "1.20"}}
                               .dump()));
  env.srv.route("/stock.naver.com/api/domestic/detail/000660/detail",
                reply(200, json{{"itemcode", "000660"}, {"itemname", "SK하이닉스"}, {"per", "0.00"}}.dump()));
  std::string r = server::call_tool("scan_to_excel", {{"codes", {"005930", "000660"}}, {"fields", {"financial"}}, {"days", 30}});
  ASSERT_TRUE(has(r, "✓ 스냅샷 저장 완료 (2개 종목)")) << r;
  excel::Table t = excel::load_excel(path_in(r), "Snapshot");
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_TRUE(t.rows[1]["per"].is_null());   // a PER of 0 is no PER
  const json& row = t.rows[0];
  // Traded bars only: the 09-14 halt placeholder and the 09-16 row without a high stay out.
  EXPECT_EQ(row["name"], "삼성전자");
  EXPECT_EQ(row["current_price"], 73500);
  EXPECT_EQ(row["volume"], 13000000);
  EXPECT_EQ(row["high"], 74000);
  EXPECT_EQ(row["high_date"], "2026-09-17");
  EXPECT_EQ(row["low"], 70500);
  EXPECT_EQ(row["low_date"], "2026-09-10");
  EXPECT_EQ(row["bars_count"], 4);
  EXPECT_NEAR(row["period_return_pct"].get<double>(), (73500.0 / 71200 - 1) * 100, 1e-6);
  EXPECT_NEAR(row["drawdown_pct"].get<double>(), (73500.0 / 74000 - 1) * 100, 1e-6);
  EXPECT_EQ(row["시가총액"], 12345);
  // Without a financial table the per-share columns are missing, never 0.
  EXPECT_TRUE(row["eps"].is_null());
  EXPECT_TRUE(row["bps"].is_null());
  EXPECT_EQ(row["per"], 12.5);
  EXPECT_EQ(row["per_basis"], "네이버 표시값");
}

TEST(WorkbookTools, AnalysisWorkbookKeepsEightDetailSheets) {
  TempHome home;
  FixtureServer srv;   // every source call fails fast: detail parts are left out, the file is still written
  ScopedEnv env("TESSARO_NAVER_BASE_URL", srv.base_url());
  ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "2");
  EXPECT_EQ(server::call_tool("save_analysis_to_excel", {{"title", "x"}, {"rows", json::array()}}),
            "rows 가 비어 있습니다. 표로 만들 행을 넘겨 주세요.");
  json rows = json::array();
  json codes = json::array();
  for (int i = 1; i <= 12; ++i) {
    char c[8];
    std::snprintf(c, sizeof c, "%06d", i);
    rows.push_back({{"코드", c}, {"종목명", std::string("회사") + std::to_string(i)}, {"점수", 100 - i}});
    codes.push_back(c);
  }
  rows[0]["메모"] = "첫 행에만";
  std::string r = server::call_tool("save_analysis_to_excel",
                                    {{"title", "반도체/2차전지 비교!"}, {"rows", rows}, {"sources", {"get_price", "get_flow"}},
                                     {"detail_codes", codes}});
  EXPECT_TRUE(has(r, "✓ 저장 완료 — 반도체/2차전지 비교! (12행)")) << r;
  EXPECT_TRUE(has(r, "종목별 흐름 시트: 000001, 000002, 000003, 000004, 000005, 000006, 000007, 000008 (종가·수급 그래프 포함)"));
  EXPECT_TRUE(has(r, "⚠️ notes 가 비어 있습니다"));
  fs::path p = path_in(r);
  EXPECT_EQ(p.filename().string().rfind("반도체_2차전지_비교__", 0), 0u) << p;
  auto names = excel::sheet_names(p);
  ASSERT_GE(names.size(), 10u);
  EXPECT_EQ(names[0], "요약");
  EXPECT_EQ(names[1], "근거와 한계");
  EXPECT_EQ(names[2], "000001 회사1");
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("0000", 0) == 0; }), 8);
  excel::Table t = excel::load_excel(p, "요약");
  ASSERT_EQ(t.rows.size(), 12u);
  // Read back under the column keys (종목명 -> name); a linked cell still reads as its text.
  EXPECT_EQ(t.rows[0]["name"], "회사1");
  EXPECT_EQ(t.rows[11]["code"], "000012");
  EXPECT_TRUE(t.rows[1]["메모"].is_null());
  excel::Table why = excel::load_excel(p, "근거와 한계");
  std::string text;
  for (const auto& col : why.columns) text += col + "\n";
  for (const auto& row : why.rows)
    for (auto it = row.begin(); it != row.end(); ++it)
      if (it->is_string()) text += it->get<std::string>() + "\n";
  EXPECT_TRUE(has(text, "  · get_flow")) << text;
  EXPECT_TRUE(has(text, "※ 이 표는 조회 결과를 정리한 것이며 매수·매도 권유가 아닙니다."));
  TESSARO_SHEET_CSV(csv, p, home.path());
  EXPECT_TRUE(has(csv, "코드,종목명,점수,메모")) << csv;
  EXPECT_TRUE(has(csv, "000012,회사12,88")) << csv;
}

namespace {
// One stock's pages on the loopback Naver: the daily series of our indicator
// fixture, the disclosure page, the main page with its sector, the sector list
// and members, consensus and broker reports, the market index. The flow is absent.
void serve_detail_pages(tessaro::testing::NaverEnv& env) {
  using tessaro::testing::reply;
  using tessaro::testing::to_cp949;
  const char* html = "text/html; charset=EUC-KR";
  json rows = json::parse(tessaro::testing::read_fixture("indicators/ind_reference_day.json"))["rows"];
  env.srv.route("/fchart.stock.naver.com/sise.nhn", reply(200, tessaro::testing::fchart_rows_xml(rows), "text/xml"));
  env.srv.route_file("/finance.naver.com/item/news_notice.naver", "naver/evt_news_notice_005930_p1.html", html);
  env.srv.route("/finance.naver.com/item/main.naver",
                reply(200, to_cp949("<html><body><div class=\"section trade_compare\"><h4><em>(업종명 : <a href=\"/sise/"
                                    "sise_group_detail.naver?type=upjong&amp;no=278\">반도체와반도체장비</a>)</em></h4></div>"
                                    "<em id=\"_per\">21.00</em><table summary=\"동일업종 PER 정보\"><tr class=\"strong\">"
                                    "<th>동일업종 PER</th><td><em>113.39</em>배</td></tr></table></body></html>"),
                      html));
  env.srv.route_file("/finance.naver.com/sise/sise_group.naver", "naver/lists_sector_list.html", html);
  std::string members = "<html><body><table class=\"type_1\"><tr><td>반도체와반도체장비</td><td class=\"number\">+1.85%"
                        "</td><td class=\"number\">3</td></tr></table><table class=\"type_5\"><thead><tr><th colspan="
                        "\"2\">종목명</th><th>현재가</th><th>등락률</th></tr></thead><tbody>";
  using Member = std::tuple<const char*, const char*, const char*>;
  for (auto [code, name, rate] : std::vector<Member>{{"042700", "한미반도체", "+6.10%"}, {"005930", "삼성전자", "+4.26%"},
                                                     {"000660", "SK하이닉스", "-0.50%"}})
    members += std::string("<tr><td class=\"name\"><a href=\"/item/main.naver?code=") + code + "\">" + name +
               "</a></td><td class=\"number\">1,000</td><td class=\"number\">" + rate + "</td></tr>";
  env.srv.route("/finance.naver.com/sise/sise_group_detail.naver", reply(200, to_cp949(members + "</tbody></table></body></html>"), html));
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/integration", "naver/research_integration.json");
  json reports = json::array();
  using Report = std::tuple<const char*, const char*, const char*, const char*>;
  for (auto [nid, broker, date, goal] : std::vector<Report>{{"4", "A증권", "2026-11-10", "100000"},
                                                            {"3", "B증권", "2026-10-20", "90000"},
                                                            {"2", "C증권", "2026-09-15", "80000"}})
    reports.push_back({{"nid", nid}, {"itemcode", "005930"}, {"brokerName", broker}, {"title", std::string("리포트 ") + nid},
                       {"goalPrice", goal}, {"opinion", nid == std::string("3") ? "중립" : "매수"}, {"writeDate", date}});
  env.srv.route("/stock.naver.com/api/domestic/research/005930/research", reply(200, reports.dump()));
  // Today's index moved +0.39 %; the stock's last bar is 11-19, when the index fell 0.50 %.
  env.srv.route("/stock.naver.com/api/polling/domestic/index",
                reply(200, R"({"datas":[{"itemCode":"KOSPI","stockName":"코스피","closePrice":"3,201.55",)"
                           R"("compareToPreviousClosePrice":"12.30","fluctuationsRatio":"0.39"}]})"));
  // Written from the documented shape of the index's daily rows.
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/price",
                reply(200, R"([{"localTradedAt":"2026-11-20","closePrice":"3,201.55","compareToPreviousClosePrice":"12.30",)"
                           R"("compareToPreviousPrice":{"code":"2","text":"상승","name":"RISING"},"fluctuationsRatio":"0.39"},)"
                           R"({"localTradedAt":"2026-11-19","closePrice":"3,189.25","compareToPreviousClosePrice":"-16.03",)"
                           R"("compareToPreviousPrice":{"code":"5","text":"하락","name":"FALLING"},"fluctuationsRatio":"-0.50"}])"));
}
}  // namespace

TEST(WorkbookTools, AnalysisDetailSheetHasPeersTargetsSurpriseAndReactions) {
  tessaro::testing::NaverEnv env("2026-11-20 21:00");
  ScopedEnv research_day("TESSARO_NOW", "2026-11-20T21:00:00+09:00");   // the research source's day
  serve_detail_pages(env);
  std::string r = server::call_tool(
      "save_analysis_to_excel",
      {{"title", "상세"}, {"rows", {{{"코드", "005930"}, {"종목명", "삼성전자"}}}}, {"notes", {"수급 없음"}},
       {"detail_codes", {"005930"}}, {"detail_days", 20}});
  fs::path p = path_in(r);
  auto names = excel::sheet_names(p);
  auto at = std::find(names.begin(), names.end(), "005930 삼성전자");
  ASSERT_NE(at, names.end()) << r;
  TESSARO_SHEET_CSV(csv, p, env.home.path(), int(at - names.begin()) + 1);
  auto line_with = [&](const std::string& start) {
    auto a = csv.find("\n" + start);
    return a == std::string::npos ? std::string() : csv.substr(a + 1, csv.find('\n', a + 1) - a - 1);
  };
  // Sector comparison from the main page: 21.00 against 113.39 is a discount.
  EXPECT_TRUE(has(line_with("업종PER,"), "업종PER,113.39,네이버 동일업종 PER")) << csv;
  EXPECT_TRUE(has(line_with("업종PER 대비(%),"), ",할인")) << csv;
  // Peers: the sector's members without the stock itself.
  EXPECT_TRUE(has(csv, "동종 업종 종목 (반도체와반도체장비")) << csv;
  EXPECT_TRUE(has(csv, "\n042700,한미반도체,1000,+6.10%")) << csv;
  EXPECT_FALSE(has(csv, "\n005930,삼성전자,")) << csv;
  // Relative to the KOSPI of the bar's own day (11-19, −0.50 %), not today's +0.39 %:
  // 68,600 / 66,300 − 1 = +3.47 %.
  EXPECT_TRUE(has(csv, "\n\"상대성과(%p, 코스피 대비)\",3.97,코스피 2026-11-19 -0.50%")) << csv;
  // Price position over traded bars only: the halt placeholders' zero low is no 52-week low.
  EXPECT_TRUE(has(line_with("저점가(52주),"), "저점가(52주),54100,")) << csv;
  // Consensus against the last close (68,600): the target and the gap; no
  // surprise source, said in words, never a 0.
  EXPECT_TRUE(has(line_with("목표주가,"), "목표주가,95000,네이버 컨센서스")) << csv;
  EXPECT_TRUE(has(line_with("괴리율(%),"), "괴리율(%),38.48,")) << csv;
  EXPECT_TRUE(has(line_with("매수 의견,"), "매수 의견,2/3,")) << csv;
  EXPECT_TRUE(has(line_with("어닝 서프라이즈,"), "어닝 서프라이즈,데이터 없음,")) << csv;
  // Reactions: 11-18 against the 11-17 close (65,800): +4.26 % the next day, D+5 not traded yet;
  // 10-09 was a holiday, its reaction starts on the next trading day.
  EXPECT_TRUE(has(csv, "\n2026-11-18,[기재정정]주식등의대량보유상황보고서(일반),4.26,아직 거래일 전")) << csv;
  EXPECT_TRUE(has(csv, "\n2026-10-09,")) << csv;
  EXPECT_FALSE(has(line_with("2026-10-28,"), "데이터 없음")) << csv;
}

TEST(WorkbookTools, AnalysisNamesADetailPartThatFailed) {
  tessaro::testing::NaverEnv env("2026-11-20 21:00");
  ScopedEnv research_day("TESSARO_NOW", "2026-11-20T21:00:00+09:00");
  serve_detail_pages(env);   // the flow page is not served: that lookup fails
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/price",
                tessaro::testing::reply(200, R"([{"localTradedAt":"2026-11-20","closePrice":"3,201.55","compareToPreviousClosePrice":"12.30",)"
                           R"("compareToPreviousPrice":{"code":"2","text":"상승","name":"RISING"},"fluctuationsRatio":"0.39"}])"));
  std::string r = server::call_tool(
      "save_analysis_to_excel",
      {{"title", "실패"}, {"rows", {{{"코드", "005930"}, {"종목명", "삼성전자"}}}}, {"notes", {"n"}},
       {"detail_codes", {"005930"}}, {"detail_days", 20}});
  EXPECT_TRUE(has(r, "종목별 흐름 시트: 005930 (종가·수급 그래프 포함)")) << r;
  auto warn = r.find("\n⚠️ 조회 실패로 상세 시트에서 빠진 항목: 005930(");
  ASSERT_NE(warn, std::string::npos) << r;
  EXPECT_TRUE(has(r.substr(warn, r.find('\n', warn + 1) - warn), "일별 수급·수급 그래프")) << r;
  EXPECT_FALSE(has(r, "가격 위치·종가 그래프")) << r;   // that part was found
  fs::path p = path_in(r);
  auto names = excel::sheet_names(p);
  auto at = std::find(names.begin(), names.end(), "005930 삼성전자");
  ASSERT_NE(at, names.end()) << r;
  TESSARO_SHEET_CSV(csv, p, env.home.path(), int(at - names.begin()) + 1);
  EXPECT_TRUE(has(csv, "삼성전자 (005930) 상세 — ⚠️ 일부 항목 조회 실패")) << csv;
  // The index's rows end before the bar's day: no comparison, said in words.
  EXPECT_TRUE(has(csv, "\n\"상대성과(%p, 코스피 대비)\",데이터 없음,코스피 일별 시세에 2026-11-19 가 없음")) << csv;
  EXPECT_TRUE(has(csv, "■ 조회 상태")) << csv;
  EXPECT_TRUE(has(csv, "\n일별 수급·수급 그래프,⚠️ 조회 실패 — 시트에서 빠짐,")) << csv;
  EXPECT_FALSE(has(csv, "\n가격 위치·종가 그래프,")) << csv;   // that part was found
}

TEST(WorkbookTools, ExportChartMarksTodaysUnfinishedBar) {
  tessaro::testing::NaverEnv env("2026-09-17 11:00");
  env.srv.route_file("/fchart.stock.naver.com/sise.nhn", "naver/fchart_day_005930.xml", "text/xml; charset=EUC-KR");
  std::string r = server::call_tool("export_to_excel", {{"data_type", "chart"}, {"code", "005930"}, {"days", 30}});
  // The finished after-market bars keep their note; today's bar (only regular trades so far) gets its own.
  EXPECT_EQ(r.rfind("⚠️ 2026-09-14 이후 3개 행의 close(종가)는 20:00 애프터마켓 마지막 체결가입니다.", 0), 0u) << r;
  EXPECT_TRUE(has(r, "\n⚠️ 마지막 행(2026-09-17)은 아직 끝나지 않은 봉이에요 (시트의 봉상태 열에 '진행 중'으로 표시). "
                     "오늘(2026-09-17) 봉은 아직 정규장 체결만 담겨 있고")) << r;
  EXPECT_TRUE(has(r, "\n컬럼: 날짜(date), 시가(open), 고가(high), 저가(low), 종가(close), 거래량(volume), 봉상태(bar_state)\n")) << r;
  excel::Table t = excel::load_excel(path_in(r), "OHLCV");
  ASSERT_EQ(t.rows.size(), 6u);
  EXPECT_EQ(t.rows[5]["date"], "2026-09-17");
  EXPECT_EQ(t.rows[5]["bar_state"], "진행 중 (미확정)");
  EXPECT_EQ(t.rows[4]["bar_state"], "확정");
  // After 20:00 the bar is final: no mark, the plain note.
  env.freeze("2026-09-17 20:30");
  std::string late = server::call_tool("export_to_excel", {{"data_type", "chart"}, {"code", "005930"}, {"days", 30}});
  EXPECT_EQ(late.rfind("⚠️ 2026-09-14 이후 4개 행의 close(종가)", 0), 0u) << late;
  EXPECT_FALSE(has(late, "bar_state")) << late;
}

// The flow table (newest row first) is read as the chart is: today's row during
// the after-market is unfinished, is not counted among the 20:00 closes and is
// marked in the sheet.
TEST(WorkbookTools, ExportFlowMarksTodaysUnfinishedRowAsTheChartDoes) {
  tessaro::testing::NaverEnv env("2026-09-17 17:00");
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/trend", "naver/trend_005930.json");
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/basic", "naver/mstock_basic_005930.json");
  std::string r = server::call_tool("export_to_excel", {{"data_type", "flow"}, {"code", "005930"}, {"days", 10}});
  EXPECT_EQ(r.rfind("⚠️ 2026-09-15 이후 2개 행의 close(종가)는 20:00 애프터마켓 마지막 체결가입니다.", 0), 0u) << r;
  EXPECT_TRUE(has(r, "\n⚠️ 맨 위 행(2026-09-17)은 아직 끝나지 않은 날이에요 (시트의 봉상태 열에 '진행 중'으로 표시). "
                     "오늘(2026-09-17) 봉은 애프터마켓이 반영되는 중이라 20:00까지 바뀝니다.")) << r;
  EXPECT_TRUE(has(r, ", 봉상태(bar_state)\n")) << r;
  excel::Table t = excel::load_excel(path_in(r), "Investor Flow");
  ASSERT_FALSE(t.rows.empty());
  for (const auto& row : t.rows)
    EXPECT_EQ(row["bar_state"], row["date"] == "2026-09-17" ? "진행 중 (미확정)" : "확정") << row.dump();
  // After 20:00 the day is final: every row counts, no mark.
  env.freeze("2026-09-17 20:30");
  std::string late = server::call_tool("export_to_excel", {{"data_type", "flow"}, {"code", "005930"}, {"days", 10}});
  EXPECT_EQ(late.rfind("⚠️ 2026-09-15 이후 3개 행의 close(종가)", 0), 0u) << late;
  EXPECT_FALSE(has(late, "bar_state")) << late;
}

// The financial sheet as a reader wants it: a row per indicator and a column per
// period, one number per cell — never the record's JSON text in one cell.
TEST(WorkbookTools, ExportFinancialIsOneValuePerCell) {
  TESSARO_REQUIRE_SAMPLE(annual, "naver/mstock_api_stock_finance_annual_000660.json");
  TESSARO_REQUIRE_SAMPLE(quarter, "naver/mstock_api_stock_finance_quarter_000660.json");
  TESSARO_REQUIRE_SAMPLE(basic, "naver/mstock_api_stock_basic_000660.json");
  tessaro::testing::NaverEnv env("2026-10-05 10:00");
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/annual", tessaro::testing::reply(200, annual));
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/quarter", tessaro::testing::reply(200, quarter));
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", tessaro::testing::reply(200, basic));
  std::string r = server::call_tool("export_to_excel", {{"data_type", "financial"}, {"code", "000660"}});
  ASSERT_TRUE(has(r, "✓ Excel 파일 저장 완료")) << r;
  EXPECT_TRUE(has(r, "\n컬럼: 항목, 2023.12 (연간), 2024.12 (연간), 2025.12 (연간), 2026.12(E) (연간), 2025.06 (분기)")) << r;
  excel::Table t = excel::load_excel(path_in(r), "Financial");
  const json* op = nullptr;
  for (const auto& row : t.rows)
    if (row.value("항목", std::string()) == "영업이익") op = &row;
  ASSERT_NE(op, nullptr);
  EXPECT_EQ((*op)["2023.12 (연간)"], -77303);   // {"value":"-77,303","cx":"minus"}
  EXPECT_EQ((*op)["2025.12 (연간)"], 472063);
  EXPECT_EQ((*op)["2025.12 (분기)"], 191696);
  for (const auto& row : t.rows)
    for (auto it = row.begin(); it != row.end(); ++it)
      if (it->is_string()) EXPECT_EQ(it->get<std::string>().find('['), std::string::npos) << it.key();
}
