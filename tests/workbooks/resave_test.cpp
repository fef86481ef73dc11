// A scan workbook opened and saved again by a spreadsheet program (LibreOffice
// re-writes styles, shared strings and the sheet XML its own way) still loads
// and filters in query_excel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "server/registry.hpp"
#include "support/fixture_server.hpp"
#include "support/soffice.hpp"
#include "sources/xlsx/workbook.hpp"
#include "workbooks/common.hpp"

using namespace tessaro;
namespace fs = std::filesystem;

TEST(WorkbookResave, AWorkbookSavedAgainByLibreOfficeStillLoads) {
  tessaro::testing::TempHome home;
  json rows = json::array();
  for (int i = 0; i < 3; ++i)
    rows.push_back({{"code", "00000" + std::to_string(i + 1)}, {"name", "종목" + std::to_string(i)},
                    {"current_price", 1000 * (i + 1)}, {"drawdown_pct", -10.0 * (i + 1)}, {"per", i == 1 ? json(nullptr) : json(8.5)}});
  auto snapshot = [&](const std::vector<std::string>&, int, bool) { return rows; };
  server::Args a(json{{"codes", {"000001", "000002", "000003"}}, {"fields", {"price"}}, {"days", 260},
                      {"include_financial", true}, {"filename", "원본"}});
  std::string r = workbooks::scan_to_excel_with(a, snapshot);
  fs::path original = excel::get_snapshot_dir() / "원본.xlsx";
  ASSERT_TRUE(fs::exists(original)) << r;

  auto saved = tessaro::testing::soffice_convert(original, "xlsx:Calc MS Excel 2007 XML", ".xlsx",
                                                fs::path(home.path()) / "resaved", home.path());
  if (!saved.installed) GTEST_SKIP() << tessaro::testing::kSofficeMissing;
  ASSERT_TRUE(saved.problem.empty()) << saved.problem;
  fs::path resaved = excel::get_snapshot_dir() / "다시저장.xlsx";
  fs::copy_file(saved.output, resaved);

  std::string q = server::call_tool("query_excel", {{"file_path", "다시저장.xlsx"}, {"filters", {{"drawdown_pct_max", -15}}}});
  EXPECT_NE(q.find("쿼리 결과 (2개 종목, 파일: 다시저장.xlsx):"), std::string::npos) << q;
  EXPECT_NE(q.find("| 000003 | 종목2 |"), std::string::npos) << q;
  EXPECT_EQ(q.find("| 000001 |"), std::string::npos) << q;
}
