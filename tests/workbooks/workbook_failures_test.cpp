// Workbooks on a bad day: a site that is down is not a list without stocks, a
// text longer than an Excel cell is cut visibly and said so, a long Korean title
// still makes a file name the file system takes, and a missing price is not a
// loss-making company.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "sources/xlsx/workbook.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"
#include "workbooks/common.hpp"

using namespace tessaro;
namespace fs = std::filesystem;
using tessaro::testing::FixtureResponse;
using tessaro::testing::FixtureServer;
using tessaro::testing::ScopedEnv;
using tessaro::testing::TempHome;

namespace {

constexpr auto& has = tessaro::testing::contains;
constexpr auto& path_in = tessaro::testing::saved_path_of;

std::string repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

}  // namespace

TEST(WorkbookFailures, ScanWhileTheSiteIsDownIsNotAListWithoutStocks) {
  TempHome home;
  FixtureServer srv;
  ScopedEnv env("TESSARO_NAVER_BASE_URL", srv.base_url());
  ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "2");
  for (const char* code : {"005930", "000660"})
    srv.route(std::string("/stock.naver.com/api/domestic/detail/") + code + "/detail", FixtureResponse{500, "down"});
  std::string r = server::call_tool("scan_to_excel", {{"codes", {"005930", "000660"}}, {"fields", {"price"}}});
  EXPECT_EQ(r.rfind("⚠️ 데이터를 수집하지 못했습니다 - 네이버 조회 실패 ", 0), 0u) << r;
  EXPECT_TRUE(has(r, "종목이 없다는 뜻이 아니라 조회가 실패한 것이며 파일은 만들지 않았습니다.")) << r;
  EXPECT_TRUE(has(r, "tessaro-mcp doctor"));
  EXPECT_FALSE(fs::exists(excel::get_snapshot_dir()) && !fs::is_empty(excel::get_snapshot_dir()));

  // A source that answered with no records at all (nothing failed) keeps the plain sentence.
  json a = json::object();
  for (const auto& p : server::find_tool("scan_to_excel")->params)
    if (!p.required) a[p.name] = p.default_value;
  a["codes"] = {"005930"};
  std::string none = workbooks::scan_to_excel_with(server::Args(a), [](const std::vector<std::string>&, int, bool) {
    return json::array();
  });
  EXPECT_EQ(none, "데이터를 수집하지 못했습니다.");
}

TEST(WorkbookFailures, ScanNamesTheStocksWhoseExtraColumnsFailed) {
  TempHome home;
  FixtureServer srv;   // the flow sources (finance JSON and main page) answer 500
  ScopedEnv env("TESSARO_NAVER_BASE_URL", srv.base_url());
  ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "2");
  srv.route("/m.stock.naver.com/api/stock/005930/trend", FixtureResponse{500, "down"});
  srv.route("/finance.naver.com/item/main.naver", FixtureResponse{500, "down"});
  json a = json::object();
  for (const auto& p : server::find_tool("scan_to_excel")->params)
    if (!p.required) a[p.name] = p.default_value;
  a["codes"] = {"005930"};
  a["fields"] = {"price", "flow"};
  CallContext ctx;
  CallScope scope(&ctx);
  std::string r = workbooks::scan_to_excel_with(server::Args(a), [](const std::vector<std::string>& codes, int, bool) {
    json out = json::array();
    for (const auto& c : codes) out.push_back({{"code", c}, {"name", "삼성전자"}, {"current_price", 70000}});
    return out;
  });
  EXPECT_TRUE(has(r, "✓ 스냅샷 저장 완료 (1개 종목)")) << r;
  EXPECT_TRUE(has(r, "⚠️ flow 조회 실패 1개 종목: 005930 - 그 칸은 0 이 아니라 확인 불가라 비워 두었습니다.")) << r;
  excel::Table t = excel::load_excel(path_in(r), "Snapshot");
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_TRUE(t.rows[0]["foreign_net"].is_null());
}

TEST(WorkbookFailures, ATextLongerThanACellIsCutVisiblyAndSaidSo) {
  TempHome home;
  const std::string memo = repeat("가", 40000);
  const std::string note = repeat("n", 33000);
  std::string r = server::call_tool("save_analysis_to_excel",
                                    {{"title", "긴 메모"}, {"rows", {{{"코드", "005930"}, {"메모", memo}}}}, {"notes", {note}}});
  EXPECT_TRUE(has(r, "✓ 저장 완료 — 긴 메모 (1행)")) << r.substr(0, 300);
  EXPECT_TRUE(has(r, "⚠️ 엑셀 셀 한도(32,767자)를 넘어 앞부분만 저장한 셀 2개: 요약!B2 (40,000자), 근거와 한계!")) << r.substr(0, 600);
  fs::path p = path_in(r);
  excel::Table t = excel::load_excel(p, "요약");
  ASSERT_EQ(t.rows.size(), 1u);
  ASSERT_TRUE(t.rows[0]["메모"].is_string()) << "the cell was dropped";
  std::string kept = t.rows[0]["메모"].get<std::string>();
  EXPECT_EQ(fmt::cp_len(kept), 32767u);
  EXPECT_TRUE(fmt::ends_with(kept, "…[잘림: 원문 40,000자 중 앞부분만 저장]")) << kept.substr(kept.size() - 80);
  EXPECT_EQ(kept.rfind(repeat("가", 100), 0), 0u);
}

TEST(WorkbookFailures, ALongKoreanTitleStillMakesAFileName) {
  TempHome home;
  const std::string title = repeat("가", 90);   // 270 bytes of UTF-8
  std::string r = server::call_tool("save_analysis_to_excel",
                                    {{"title", title}, {"rows", {{{"코드", "005930"}}}}, {"notes", {"n"}}});
  ASSERT_TRUE(has(r, "✓ 저장 완료 — " + title + " (1행)")) << r;
  fs::path p = path_in(r);
  const std::string name = p.filename().string();
  EXPECT_LE(name.size(), 255u) << name;
  EXPECT_TRUE(fs::exists(p));
  // Cut on a letter boundary: the name is still valid UTF-8 made of whole letters.
  EXPECT_EQ(name.rfind(repeat("가", 60), 0), 0u) << name;
  EXPECT_TRUE(fmt::ends_with(name, ".xlsx"));
}

TEST(WorkbookFailures, DetailSheetDoesNotCallAMissingPriceALoss) {
  TESSARO_REQUIRE_SAMPLE(annual, "naver/mstock_api_stock_finance_annual_000660.json");
  TESSARO_REQUIRE_SAMPLE(quarter, "naver/mstock_api_stock_finance_quarter_000660.json");
  TESSARO_REQUIRE_SAMPLE(basic, "naver/mstock_api_stock_basic_000660.json");
  tessaro::testing::NaverEnv env("2026-11-20 21:00");
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/annual", tessaro::testing::reply(200, annual));
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/quarter", tessaro::testing::reply(200, quarter));
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", tessaro::testing::reply(200, basic));
  env.srv.route("/fchart.stock.naver.com/sise.nhn", FixtureResponse{500, "down"});   // no daily bars, no price
  std::string r = server::call_tool("save_analysis_to_excel", {{"title", "가격 없음"},
                                                              {"rows", {{{"코드", "000660"}, {"종목명", "SK하이닉스"}}}},
                                                              {"notes", {"n"}},
                                                              {"detail_codes", {"000660"}},
                                                              {"detail_days", 20}});
  fs::path p = path_in(r);
  auto names = excel::sheet_names(p);
  auto at = std::find(names.begin(), names.end(), "000660 SK하이닉스");
  ASSERT_NE(at, names.end()) << r;
  if (std::system("command -v soffice >/dev/null 2>&1") != 0) GTEST_SKIP() << "LibreOffice (soffice) not installed";
  fs::path out = fs::path(env.home.path()) / "csv";
  fs::create_directories(out);
  std::string cmd = "cd '" + out.string() + "' && HOME='" + env.home.path() +
                    "' soffice --headless --norestore --convert-to csv:\"Text - txt - csv (StarCalc)\":44,34,76,1,,0,false,true,"
                    "false,false,false," +
                    std::to_string(int(at - names.begin()) + 1) + " '" + p.string() + "' --outdir '" + out.string() +
                    "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string csv;
  for (auto& e : fs::directory_iterator(out))
    if (e.path().extension() == ".csv") {
      std::ifstream in(e.path());
      csv = std::string(std::istreambuf_iterator<char>(in), {});
    }
  auto a = csv.find("\nPER(TTM),");
  ASSERT_NE(a, std::string::npos) << csv;
  std::string line = csv.substr(a + 1, csv.find('\n', a + 1) - a - 1);
  EXPECT_FALSE(has(line, "적자")) << line;
  EXPECT_TRUE(has(line, "은 흑자, PER 은 계산하지 못함")) << line;
  EXPECT_TRUE(has(line, "현재가")) << line;
}

// ---- every Korean workbook tool with the site failing ---------------------------------

namespace {

// A loopback Naver where every address answers with one fault.
class DownSite {
 public:
  enum class Fault { Status500, Status410, EmptyOk };
  explicit DownSite(Fault f) : fault_(f) {
    gone_ = tessaro::testing::read_shared_sample("naver/finance_item_sise_day_http410.html");
    if (gone_.empty()) gone_ = "<html><body>410</body></html>";   // written from the status alone
    svr_.Get(".*", [this](const httplib::Request&, httplib::Response& s) {
      switch (fault_) {
        case Fault::Status500: s.status = 500; s.set_content("down", "text/plain"); break;
        case Fault::Status410: s.status = 410; s.set_content(gone_, "text/html"); break;
        case Fault::EmptyOk: s.status = 200; s.set_content("{}", "application/json"); break;
      }
    });
    svr_.set_keep_alive_max_count(1);
    port_ = svr_.bind_to_any_port("127.0.0.1");
    th_ = std::thread([this] { svr_.listen_after_bind(); });
    for (int i = 0; i < 200 && !svr_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~DownSite() {
    svr_.stop();
    th_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  Fault fault_;
  std::string gone_;
  httplib::Server svr_;
  std::thread th_;
  int port_ = 0;
};

}  // namespace

TEST(WorkbookFailures, NoWorkbookToolReadsAnOutageAsNothingThere) {
  using F = DownSite::Fault;
  const std::vector<std::pair<const char*, json>> cases = {
      {"scan_to_excel", {{"codes", {"005930", "000660"}}, {"fields", {"price", "flow", "sector"}}}},
      {"export_to_excel", {{"data_type", "chart"}, {"code", "005930"}}},
      {"export_to_excel", {{"data_type", "flow"}, {"code", "005930"}}},
      {"export_to_excel", {{"data_type", "financial"}, {"code", "005930"}}},
      {"save_analysis_to_excel",
       {{"title", "t"}, {"rows", {{{"코드", "005930"}}}}, {"notes", {"n"}}, {"detail_codes", {"005930"}}}},
  };
  for (auto [fault, label] : std::vector<std::pair<F, const char*>>{
           {F::Status500, "500"}, {F::Status410, "410"}, {F::EmptyOk, "200 without content"}}) {
    DownSite site(fault);
    TempHome home;
    ScopedEnv env("TESSARO_NAVER_BASE_URL", site.base());
    ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "2");
    for (const auto& [tool, args] : cases) {
      CallContext ctx;
      CallScope scope(&ctx);
      server::ToolReply r = server::run_tool(tool, args);
      SCOPED_TRACE(std::string(tool) + " " + args.dump() + " with the site answering " + label + ":\n" +
                   r.text.substr(0, 500));
      bool failed = false;
      for (const auto& e : ctx.ledger()) failed = failed || e.outcome == LookupStatus::failed;
      EXPECT_TRUE(r.is_error || failed);
      // A file written while lookups failed says which ones.
      if (has(r.text, "✓")) EXPECT_TRUE(has(r.text, "⚠️") && has(r.text, "조회 실패"));
      for (const char* phrase : {"종목이 없습니다", "결과 없음"}) EXPECT_FALSE(has(r.text, phrase)) << phrase;
    }
  }
}
