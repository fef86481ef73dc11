// A scan workbook opened and saved again by a spreadsheet program (LibreOffice
// re-writes styles, shared strings and the sheet XML its own way) still loads
// and filters in query_excel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "server/registry.hpp"
#include "support/fixture_server.hpp"
#include "sources/xlsx/workbook.hpp"
#include "workbooks/common.hpp"

using namespace tessaro;
namespace fs = std::filesystem;

TEST(WorkbookResave, AWorkbookSavedAgainByLibreOfficeStillLoads) {
  if (std::system("command -v soffice >/dev/null 2>&1") != 0) GTEST_SKIP() << "LibreOffice (soffice) not installed";
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

  fs::path out = fs::path(home.path()) / "resaved";
  fs::create_directories(out);
  std::string cmd = "cd '" + out.string() + "' && HOME='" + home.path() +
                    "' soffice --headless --norestore --convert-to xlsx:\"Calc MS Excel 2007 XML\" '" + original.string() +
                    "' --outdir '" + out.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  fs::path resaved = excel::get_snapshot_dir() / "다시저장.xlsx";
  fs::copy_file(out / "원본.xlsx", resaved);

  std::string q = server::call_tool("query_excel", {{"file_path", "다시저장.xlsx"}, {"filters", {{"drawdown_pct_max", -15}}}});
  EXPECT_NE(q.find("쿼리 결과 (2개 종목, 파일: 다시저장.xlsx):"), std::string::npos) << q;
  EXPECT_NE(q.find("| 000003 | 종목2 |"), std::string::npos) << q;
  EXPECT_EQ(q.find("| 000001 |"), std::string::npos) << q;
}
