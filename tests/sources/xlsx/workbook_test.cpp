#include <gtest/gtest.h>

#include <filesystem>

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
  save_dataframe_to_excel(sample_table(), p, "Snapshot", json{{"days", 260}});
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
  // An exact text keeps only the rows with that text (not every row).
  Table one = apply_filters(t, json{{"name", "SK하이닉스"}});
  ASSERT_EQ(one.rows.size(), 1u);
  EXPECT_EQ(one.rows[0]["code"], "000660");
  // Unknown columns are reported, not applied: checked on the query_excel reply.
}

// Paths out of the folder and name clashes are checked on the export tools' replies;
// multi-sheet books and the LibreOffice read-back on the workbook tools.
TEST(Workbook, FileNamesNeedAVisibleNameAndKeepTheirExtension) {
  EXPECT_FALSE(safe_filename(".hidden"));
  EXPECT_FALSE(safe_filename(""));
  EXPECT_EQ(safe_filename("내 분석").value(), "내 분석.xlsx");
  EXPECT_EQ(safe_filename("r.XLSX").value(), "r.XLSX");
}
