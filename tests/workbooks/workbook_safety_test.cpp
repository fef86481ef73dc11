// Workbook files land only in the snapshot folder, are never lost to a
// concurrent save, never crash on awkward sheet names, show numbers as they
// are, and never pass a failed lookup off as a finished file.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/xlsx/workbook.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"
#include "support/soffice.hpp"
#include "workbooks/common.hpp"

using namespace tessaro;
namespace fs = std::filesystem;
namespace tt = tessaro::testing;
using tessaro::testing::euckr_html;
using tessaro::testing::NaverEnv;
using tessaro::testing::read_fixture;

namespace {

constexpr auto& has = tessaro::testing::contains;
constexpr auto& path_in = tessaro::testing::saved_path_of;

// Every file under `dir`, recursively.
std::set<std::string> files_under(const fs::path& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; it != end; it.increment(ec))
    if (it->is_regular_file()) out.insert(it->path().string());
  return out;
}

const char* kMain = "/finance.naver.com/item/main.naver";

// A main page with a small 기업실적분석 table (written from the documented page layout).
std::string financial_page() {
  return "<html><body><div class=\"wrap_company\"><h2><a>가나전자</a></h2></div><div class=\"section cop_analysis\">"
         "<table><thead><tr><th rowspan=\"3\">주요재무정보</th><th colspan=\"1\">최근 연간 실적</th><th colspan=\"1\">"
         "최근 분기 실적</th></tr><tr><th>2024.12</th><th>2025.09</th></tr><tr><th>IFRS연결</th><th>IFRS연결</th></tr>"
         "</thead><tbody><tr><th><strong>PER(배)</strong></th><td>12.5</td><td>11.0</td></tr></tbody></table></div>"
         "</body></html>";
}

json snapshot_of(const std::vector<std::string>& codes, const std::string& tag) {
  json out = json::array();
  for (const auto& c : codes)
    out.push_back({{"code", c}, {"name", tag}, {"current_price", 71200}, {"volume", 1234567}, {"drawdown_pct", -18.25}});
  return out;
}

}  // namespace

TEST(WorkbookSafety, NoArgumentWritesOutsideTheSnapshotFolder) {
  NaverEnv env;
  env.srv.route(kMain, euckr_html(financial_page()));
  fs::path outside = fs::path(env.home.path()) / "outside";
  fs::create_directories(outside);
  std::string climb;
  for (int i = 0; i < 12; ++i) climb += "../";
  std::string escape = climb + outside.string().substr(1) + "/pwn";

  // `code` reaches the automatic name of every data type: refused as no code at all.
  for (const char* type : {"financial", "chart", "flow"})
    EXPECT_EQ(server::call_tool("export_to_excel", {{"data_type", type}, {"code", escape}}),
              "⚠️ 종목코드 형식이 올바르지 않습니다: " + escape);
  // `filename` of every writing tool.
  for (const std::string& bad : {escape, std::string(".."), std::string("~/x"), outside.string() + "/x.xlsx"}) {
    EXPECT_TRUE(has(server::call_tool("export_to_excel", {{"data_type", "financial"}, {"code", "005930"}, {"filename", bad}}),
                    "⚠️ 파일 이름으로 쓸 수 없습니다"))
        << bad;
    EXPECT_TRUE(has(server::call_tool("export_us_to_excel", {{"ticker", "NVDA"}, {"filename", bad}}),
                    "⚠️ 파일 이름으로 쓸 수 없습니다"));
    EXPECT_TRUE(has(server::call_tool("scan_to_excel", {{"codes", {"005930"}}, {"filename", bad}}),
                    "⚠️ 파일 이름으로 쓸 수 없습니다"));
    EXPECT_TRUE(has(server::call_tool("save_analysis_to_excel", {{"title", "t"}, {"rows", {{{"a", 1}}}}, {"filename", bad}}),
                    "⚠️ 파일 이름으로 쓸 수 없습니다"));
  }
  // `ticker` and `title` reach automatic names too.
  EXPECT_TRUE(has(server::call_tool("export_us_to_excel", {{"ticker", escape}}), "⚠️ 티커 형식이 올바르지 않습니다"));
  std::string r = server::call_tool("save_analysis_to_excel", {{"title", escape}, {"rows", {{{"a", 1}}}}, {"notes", {"n"}}});
  ASSERT_TRUE(has(r, "✓ 저장 완료")) << r;
  EXPECT_EQ(fs::path(path_in(r)).parent_path(), excel::get_snapshot_dir());
  // A financial export with a real code goes to the folder as before.
  std::string ok = server::call_tool("export_to_excel", {{"data_type", "financial"}, {"code", "005930"}});
  ASSERT_TRUE(has(ok, "✓ Excel 파일 저장 완료")) << ok;
  EXPECT_EQ(fs::path(path_in(ok)).parent_path(), excel::get_snapshot_dir());
  EXPECT_TRUE(fs::path(path_in(ok)).filename().string().rfind("financial_005930_", 0) == 0);
  EXPECT_TRUE(files_under(outside).empty());

  // Whatever built a path, the writer refuses one outside the folder.
  excel::Table t = excel::table_from_rows(json::array({{{"a", 1}}}));
  EXPECT_THROW(excel::save_dataframe_to_excel(t, outside / "x.xlsx", "S"), Error);
  EXPECT_THROW(excel::save_dataframe_to_excel(t, excel::get_snapshot_dir() / ".." / "x.xlsx", "S"), Error);
  EXPECT_TRUE(files_under(outside).empty());
  EXPECT_FALSE(fs::exists(fs::path(env.home.path()) / "x.xlsx"));
  // Name parts from arguments keep only safe characters.
  EXPECT_EQ(excel::safe_name_part("../../etc/pwn"), "_etc_pwn");
  EXPECT_EQ(excel::safe_name_part("삼성 전자!"), "삼성_전자_");
  EXPECT_EQ(excel::safe_name_part(std::string(300, 'a')).size(), 60u);
}

TEST(WorkbookSafety, FinancialExportThatFoundNothingOrCouldNotReadWritesNoFile) {
  NaverEnv env;
  env.srv.route(kMain, [](const tt::FixtureRequest& r) {
    std::string code = r.params.count("code") ? r.params.at("code") : "";
    if (code == "999999")   // what the site shows for a code it does not know: no company, no table
      return euckr_html("<html><body><p>종목 정보가 없습니다.</p></body></html>");
    if (code == "999998") return tt::FixtureResponse{404, "", "text/html", {}};
    return euckr_html(read_fixture("naver/fin_misaligned.html"));   // a table the parser cannot line up
  });
  const char* empty_fin = R"({"financeInfo":{"trTitleList":[],"rowList":[]}})";
  for (const char* kind : {"annual", "quarter"}) {
    env.srv.route(std::string("/m.stock.naver.com/api/stock/999998/finance/") + kind,
                  tt::FixtureResponse{200, empty_fin, "application/json", {}});
    // The JSON the tool reads first answers something else than its table for these two.
    for (const char* code : {"999999", "333330"})
      env.srv.route(std::string("/m.stock.naver.com/api/stock/") + code + "/finance/" + kind,
                    tt::FixtureResponse{200, R"({"financeInfo":{"rowList":"?"}})", "application/json", {}});
  }

  EXPECT_EQ(server::call_tool("export_to_excel", {{"data_type", "financial"}, {"code", "999998"}}),
            "재무지표를 가져올 수 없습니다: 999998");
  for (const char* code : {"999999", "333330"}) {
    std::string r = server::call_tool("export_to_excel", {{"data_type", "financial"}, {"code", code}});
    EXPECT_EQ(r.rfind(std::string("재무지표를 가져올 수 없습니다: ") + code + "\n", 0), 0u) << r;
    EXPECT_TRUE(has(r, "⚠️ 네이버 증권 페이지를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).")) << r;
    EXPECT_TRUE(has(r, server::PARSE_FAIL_NEXT)) << r;
    EXPECT_FALSE(has(r, "저장 완료")) << r;
  }
  EXPECT_TRUE(fs::is_empty(excel::get_snapshot_dir()));
}

TEST(WorkbookSafety, CollidingAndInvalidSheetNamesNeverCrash) {
  tt::TempHome home;
  tt::FixtureServer srv;   // every detail lookup fails fast
  tt::ScopedEnv base("TESSARO_NAVER_BASE_URL", srv.base_url());
  tt::ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "1");
  // Detail codes are stock codes (anything else is refused before a sheet is
  // named after it); two that differ only in case still get sheets of their own.
  json bad = {"0088m0", "요약", "_METADATA", "x'", "History"};
  EXPECT_EQ(server::call_tool("save_analysis_to_excel",
                              {{"title", "t"}, {"rows", {{{"a", 1}}}}, {"detail_codes", bad}}),
            "⚠️ 종목코드 형식이 올바르지 않습니다: 요약, _METADATA, x', History");
  json codes = {"0088m0", "0088M0", "HISTOR"};
  json rows = json::array();
  for (const auto& c : codes) rows.push_back({{"코드", c}, {"점수", 1}});
  std::string r = server::call_tool("save_analysis_to_excel",
                                    {{"title", "시트 이름"}, {"rows", rows}, {"notes", {"n"}}, {"detail_codes", codes}});
  ASSERT_TRUE(has(r, "✓ 저장 완료 — 시트 이름 (3행)")) << r;
  EXPECT_FALSE(has(r, "만들지 못한 시트")) << r;
  fs::path p = path_in(r);
  auto names = excel::sheet_names(p);
  ASSERT_EQ(names.size(), 6u) << r;
  EXPECT_EQ(names[0], "요약");
  EXPECT_EQ(names[1], "근거와 한계");
  EXPECT_EQ(names.back(), "_metadata");
  std::set<std::string> folded;
  for (const auto& n : names) {
    EXPECT_TRUE(folded.insert(fmt::lower(n)).second) << "duplicate sheet " << n;
    EXPECT_LE(fmt::cp_len(n), 31u);
    EXPECT_NE(n.front(), '\'') << n;
    EXPECT_NE(n.back(), '\'') << n;
    EXPECT_NE(fmt::lower(n), "history");
  }
  // The sources sheet lists the sheets under the names they got.
  excel::Table why = excel::load_excel(p, "근거와 한계");
  std::string text = json(why.rows).dump() + json(why.columns).dump();
  for (size_t i = 2; i + 1 < names.size(); ++i) EXPECT_TRUE(has(text, "  · " + names[i])) << names[i];
  TESSARO_SHEET_CSV(csv, p, home.path(), 1, true);
  EXPECT_TRUE(has(csv, "0088M0,1")) << csv;

  // The builder on its own: a name the library would refuse is made valid.
  EXPECT_EQ(excel::valid_sheet_name("'abc'"), "abc");
  EXPECT_EQ(excel::valid_sheet_name("a[b]:c"), "a_b__c");
  EXPECT_EQ(excel::valid_sheet_name("''"), "Sheet");
  EXPECT_EQ(fmt::cp_len(excel::valid_sheet_name(std::string(40, 'k'))), 31u);
}

TEST(WorkbookSafety, ConcurrentSavesEachKeepTheirOwnFile) {
  tt::TempHome home;
  constexpr int kCalls = 8;
  std::vector<std::string> replies(kCalls);
  {
    std::barrier start(kCalls);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCalls; ++i)
      threads.emplace_back([&, i] {
        std::string code = tt::code6(i + 1);
        auto snap = [&](const std::vector<std::string>& c, int, bool) { return snapshot_of(c, "call" + std::to_string(i)); };
        server::Args a(json{{"codes", {code}}, {"fields", {"price"}}, {"days", 260}, {"include_financial", false},
                            {"filename", "같은이름"}});
        start.arrive_and_wait();
        replies[size_t(i)] = workbooks::scan_to_excel_with(a, snap);
      });
    for (auto& t : threads) t.join();
  }
  std::set<std::string> paths;
  for (int i = 0; i < kCalls; ++i) {
    fs::path p = path_in(replies[size_t(i)]);
    ASSERT_FALSE(p.empty()) << replies[size_t(i)];
    paths.insert(p.string());
    excel::Table t = excel::load_excel(p, "Snapshot");   // the reply's file holds this call's stock
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.rows[0]["name"], "call" + std::to_string(i)) << p;
  }
  EXPECT_EQ(paths.size(), size_t(kCalls));
  EXPECT_TRUE(paths.count((excel::get_snapshot_dir() / "같은이름.xlsx").string()));
  EXPECT_EQ(std::count_if(fs::directory_iterator(excel::get_snapshot_dir()), fs::directory_iterator(),
                          [](const fs::directory_entry& e) { return e.path().extension() == ".xlsx"; }),
            kCalls);

  // Two automatic names in the same second.
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-11-20"), 10, 0));
  std::vector<std::string> two(2);
  {
    std::barrier start(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
      threads.emplace_back([&, i] {
        std::string code = i == 0 ? "005930" : "000660";
        auto snap = [&](const std::vector<std::string>& c, int, bool) { return snapshot_of(c, code); };
        server::Args a(json{{"codes", {code}}, {"fields", {"price"}}, {"days", 260}, {"include_financial", false},
                            {"filename", ""}});
        start.arrive_and_wait();
        two[size_t(i)] = workbooks::scan_to_excel_with(a, snap);
      });
    for (auto& t : threads) t.join();
  }
  mt::set_now_for_tests(std::nullopt);
  ASSERT_NE(path_in(two[0]), path_in(two[1]));
  for (int i = 0; i < 2; ++i) {
    fs::path p = path_in(two[size_t(i)]);
    EXPECT_EQ(p.filename().string().rfind("snapshot_1_20261120_100000", 0), 0u) << p;
    std::string q = server::call_tool("query_excel", {{"file_path", p.string()}});
    EXPECT_TRUE(has(q, i == 0 ? "| 005930 |" : "| 000660 |")) << q;
    EXPECT_FALSE(has(q, i == 0 ? "| 000660 |" : "| 005930 |")) << q;
  }
  // No temp file is left behind by any of them.
  for (auto& e : fs::directory_iterator(excel::get_snapshot_dir()))
    EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
}

TEST(WorkbookSafety, NumberFormatsFollowTheValues) {
  if (std::system("command -v soffice >/dev/null 2>&1") != 0) GTEST_SKIP() << tt::kSofficeMissing;
  tt::YahooEnv env;
  // A v8 chart answer written from the documented format: four NVDA days around
  // $13, then a sub-dollar stock.
  auto chart = [](const std::vector<double>& closes) {
    json ts = json::array(), o = json::array(), h = json::array(), l = json::array(), c = json::array(),
         v = json::array();
    for (size_t i = 0; i < closes.size(); ++i) {
      ts.push_back(1722864600 + 86400 * long(i));   // 2024-08-05 09:30 New York, then daily
      o.push_back(closes[i] - 0.01);
      h.push_back(closes[i] + 0.02);
      l.push_back(closes[i] - 0.03);
      c.push_back(closes[i]);
      v.push_back(1234567);
    }
    json res = {{"meta", {{"currency", "USD"}, {"exchangeTimezoneName", "America/New_York"}}},
                {"timestamp", ts},
                {"indicators", {{"quote", json::array({{{"open", o}, {"high", h}, {"low", l}, {"close", c}, {"volume", v}}})}}}};
    return json{{"chart", {{"result", json::array({res})}, {"error", nullptr}}}}.dump();
  };
  env.srv.route(tt::yahoo_chart_path("NVDA"), tt::reply(200, chart({13.05, 13.27, 12.90, 13.24})));
  env.srv.route(tt::yahoo_chart_path("PENY"), tt::reply(200, chart({0.4567, 0.5})));
  std::string r = server::call_tool("export_us_to_excel", {{"ticker", "NVDA"}, {"period", "1mo"}});
  ASSERT_TRUE(has(r, "✓ US Excel 저장 완료")) << r;
  TESSARO_SHEET_CSV(csv, path_in(r), env.home.path(), 1, true);
  EXPECT_TRUE(has(csv, "2024-08-05,13.04,13.07,13.02,13.05,\"1,234,567\"")) << csv;
  EXPECT_TRUE(has(csv, "2024-08-07,12.89,12.92,12.87,12.90,")) << csv;
  std::string penny = server::call_tool("export_us_to_excel", {{"ticker", "PENY"}, {"period", "1mo"}});
  TESSARO_SHEET_CSV(pcsv, path_in(penny), env.home.path(), 1, true);
  EXPECT_TRUE(has(pcsv, ",0.4567,")) << pcsv;
  EXPECT_TRUE(has(pcsv, ",0.5000,")) << pcsv;

  // Won prices whole, percentages as percentages.
  auto snap = [](const std::vector<std::string>& c, int, bool) { return snapshot_of(c, "원화"); };
  server::Args a(json{{"codes", {"005930"}}, {"fields", {"price"}}, {"days", 260}, {"include_financial", false},
                      {"filename", "원화"}});
  std::string s = workbooks::scan_to_excel_with(a, snap);
  TESSARO_SHEET_CSV(scsv, path_in(s), env.home.path(), 1, true);
  EXPECT_TRUE(has(scsv, "005930,원화,\"71,200\",\"1,234,567\"")) << scsv;
  EXPECT_TRUE(has(scsv, "-18.25%")) << scsv;
}

// A title of 100 Hangul characters is 300 bytes: its workbook still saves, under
// a name cut between characters that fits a file name; a device name or a
// direction mark given as the file name is refused; an empty path to query is
// told as such.
TEST(WorkbookSafety, TitleNamesFitAndAwkwardNamesAreRefused) {
  NaverEnv env("2026-12-04 10:00");
  std::string title;
  for (int i = 0; i < 100; ++i) title += "가";
  std::string r = server::call_tool("save_analysis_to_excel",
                                    {{"title", title}, {"rows", json::array({{{"종목명", "가나"}, {"값", 1}}})},
                                     {"notes", {"n"}}});
  std::string p = path_in(r);
  ASSERT_FALSE(p.empty()) << r;
  EXPECT_TRUE(fs::exists(p));
  EXPECT_LE(fs::path(p).filename().string().size(), 255u);
  for (const char* bad : {"CON", "nul.xlsx", "a\u202Egpj.xlsx"}) {
    std::string rr = server::call_tool("save_analysis_to_excel",
                                       {{"title", "t"}, {"rows", json::array({{{"a", 1}}})}, {"filename", bad}});
    EXPECT_EQ(rr.rfind("⚠️ 파일 이름으로 쓸 수 없습니다", 0), 0u) << bad << ": " << rr;
  }
  std::string q = server::call_tool("query_excel", {{"file_path", ""}});
  EXPECT_EQ(q.rfind("⚠️ file_path 가 비어 있습니다", 0), 0u) << q;
}
