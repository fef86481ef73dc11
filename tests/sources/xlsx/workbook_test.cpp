#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/errors.hpp"
#include "sources/xlsx/workbook.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::excel;
namespace fs = std::filesystem;

namespace {
Table sample_table() {
  return table_from_rows(json::parse(R"([
    {"code":"005930","name":"삼성전자","current_price":71200,"per":12.5,"drawdown_pct":-18.25,"foreign_net":null},
    {"code":"0088M0","name":"신형코드","current_price":15300,"per":null,"drawdown_pct":-41.0,"foreign_net":-5000},
    {"code":"000660","name":"SK하이닉스","current_price":201000,"per":8.1,"drawdown_pct":-5.5,"foreign_net":120000}
  ])"));
}
}  // namespace

TEST(Workbook, RoundTripKeepsKeysTypesAndMissingCells) {
  tessaro::testing::TempHome home;
  fs::path p = get_snapshot_dir() / "t.xlsx";
  save_table_to_excel(sample_table(), p, "Snapshot", json{{"days", 260}});
  ASSERT_TRUE(fs::exists(p));
  auto names = sheet_names(p);
  EXPECT_EQ(names[0], "Snapshot");
  EXPECT_NE(std::find(names.begin(), names.end(), "_metadata"), names.end());
  Table t = load_excel(p, "Snapshot");
  ASSERT_EQ(t.columns, (std::vector<std::string>{"code", "name", "current_price", "per", "drawdown_pct", "foreign_net"}));
  ASSERT_EQ(t.rows.size(), 3u);
  EXPECT_EQ(t.rows[0]["code"], "005930");          // leading zero kept: written as text
  EXPECT_EQ(t.rows[1]["code"], "0088M0");
  EXPECT_EQ(t.rows[0]["current_price"], 71200);
  EXPECT_DOUBLE_EQ(t.rows[0]["drawdown_pct"].get<double>(), -18.25);
  EXPECT_TRUE(t.rows[0]["foreign_net"].is_null());  // missing stays missing, never 0
  EXPECT_TRUE(t.rows[1]["per"].is_null());
  EXPECT_THROW(load_excel(p, "Nope"), KeyError);
  // No temp files left behind.
  for (auto& e : fs::directory_iterator(get_snapshot_dir())) EXPECT_EQ(e.path().filename().string()[0] != '.', true);
}

TEST(Workbook, FiltersBothFormsAndUnknownColumns) {
  Table t = sample_table();
  EXPECT_EQ(apply_filters(t, json{{"per", {{"min", 0}, {"max", 10}}}}).rows.size(), 1u);
  EXPECT_EQ(apply_filters(t, json{{"drawdown_pct_max", -30}}).rows.size(), 1u);
  // A missing value never passes a bound.
  EXPECT_EQ(apply_filters(t, json{{"foreign_net_min", -10000}}).rows.size(), 2u);
  auto unknown = unknown_filter_columns(t, json{{"roe_min", 10}, {"per_max", 20}});
  EXPECT_EQ(unknown, std::vector<std::string>{"roe"});
  // Unknown columns are not applied.
  EXPECT_EQ(apply_filters(t, json{{"roe_min", 10}}).rows.size(), 3u);
}

TEST(Workbook, FileNamesCannotEscapeTheSnapshotFolder) {
  EXPECT_FALSE(safe_filename("../x.xlsx"));
  EXPECT_FALSE(safe_filename("/etc/passwd"));
  EXPECT_FALSE(safe_filename("a/b"));
  EXPECT_FALSE(safe_filename("a\\b"));
  EXPECT_FALSE(safe_filename(".hidden"));
  EXPECT_FALSE(safe_filename(""));
  EXPECT_EQ(safe_filename("내 분석").value(), "내 분석.xlsx");
  EXPECT_EQ(safe_filename("r.XLSX").value(), "r.XLSX");
  tessaro::testing::TempHome home;
  fs::path a = unused_path("same.xlsx");
  save_table_to_excel(sample_table(), a, "S");
  fs::path b = unused_path("same.xlsx");
  EXPECT_NE(a, b);   // an existing file is never overwritten
  EXPECT_EQ(b.filename().string(), "same_2.xlsx");
}

TEST(Workbook, MultiSheetWithDetailAndLinks) {
  tessaro::testing::TempHome home;
  WorkbookBuilder b;
  Table t = sample_table();
  b.add_table_sheet("요약", t, json{{"제목", "테스트"}});
  b.add_text_sheet("근거와 한계", {"■ 이 표를 만든 도구", "  · get_price"});
  DetailSheet d;
  d.sheet_name = "005930 삼성전자";
  d.heading = "삼성전자 (005930)";
  d.sections.push_back({"가격 위치", {"항목", "값"}, {{"현재가", 71200}, {"등락률", "+1.2%"}}, {}});
  d.charts.push_back({"종가", {"2026-09-01", "2026-09-02"}, {{"종가", {70000.0, std::nullopt}}}});
  b.add_detail_sheet(d);
  b.link_column("요약", "name", {{"삼성전자", "005930 삼성전자"}});
  fs::path p = get_snapshot_dir() / "multi.xlsx";
  b.save(p);
  auto names = sheet_names(p);
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names[1], "근거와 한계");
  EXPECT_EQ(names[2], "005930 삼성전자");
  Table back = load_excel(p, "요약");
  EXPECT_EQ(back.rows[0]["name"], "삼성전자");   // a linked cell still reads as its text
}

// An independent reader (LibreOffice) must see the same sheet, labels and values.
TEST(Workbook, IndependentReaderSeesTheSameValues) {
  if (std::system("command -v soffice >/dev/null 2>&1") != 0) GTEST_SKIP() << "LibreOffice (soffice) not installed";
  tessaro::testing::TempHome home;
  fs::path p = get_snapshot_dir() / "lo.xlsx";
  save_table_to_excel(sample_table(), p, "Snapshot", json{{"days", 260}});
  fs::path out = fs::path(home.path()) / "csv";
  fs::create_directories(out);
  std::string cmd = "cd '" + out.string() + "' && HOME='" + home.path() +
                    "' soffice --headless --norestore --convert-to csv:\"Text - txt - csv (StarCalc)\":44,34,76,1,,0,false,true,false,false,false,1 '" +
                    p.string() + "' --outdir '" + out.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string csv;
  for (auto& e : fs::directory_iterator(out))
    if (e.path().extension() == ".csv") {
      std::ifstream in(e.path());
      csv.assign(std::istreambuf_iterator<char>(in), {});
      break;
    }
  ASSERT_FALSE(csv.empty());
  EXPECT_NE(csv.find("코드,종목명,현재가,PER,고점대비(%),외국인순매수(주)"), std::string::npos) << csv;
  EXPECT_NE(csv.find("005930,삼성전자,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("0088M0,신형코드,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("SK하이닉스"), std::string::npos);
}
