// The LibreOffice reader of the workbook checks: it runs in a UTF-8 locale whatever
// the test's, and a check that cannot use it says why — "not installed" only when
// soffice is not there, soffice's own words when it ran and wrote nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "server/registry.hpp"
#include "sources/xlsx/workbook.hpp"
#include "support/fixture_server.hpp"
#include "support/soffice.hpp"
#include "workbooks/common.hpp"

namespace fs = std::filesystem;
namespace tt = tessaro::testing;

namespace {

std::string read(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A stand-in soffice first on PATH: it notes its locale, and like LibreOffice with
// Korean file names it writes nothing without a UTF-8 one (or when told to fail).
struct StubSoffice {
  tt::TempHome home;
  fs::path bin = fs::path(home.path()) / "bin";
  fs::path seen = fs::path(home.path()) / "seen";
  std::unique_ptr<tt::ScopedEnv> path;
  StubSoffice() {
    fs::create_directories(bin);
    std::ofstream(bin / "soffice")
        << "#!/bin/sh\n"
           "echo \"LC_ALL=$LC_ALL LANG=$LANG\" > '" << seen.string() << "'\n"
           "case \"$LC_ALL\" in *UTF-8*|*utf8*) ;; *) echo 'Error: source file could not be loaded'; exit 1;; esac\n"
           "[ -n \"$STUB_SOFFICE_FAIL\" ] && { echo 'Error: filter rejected'; exit 81; }\n"
           "in=''; out=''\n"
           "while [ $# -gt 0 ]; do case \"$1\" in --outdir) out=\"$2\"; shift;; --*) ;; *) in=\"$1\";; esac; shift; done\n"
           "stem=$(basename \"$in\"); stem=${stem%.*}\n"
           "echo 'code,name' > \"$out/$stem-Sheet1.csv\"\n";
    fs::permissions(bin / "soffice", fs::perms::owner_all);
    path = std::make_unique<tt::ScopedEnv>("PATH", bin.string() + ":/usr/bin:/bin");
  }
};

}  // namespace

TEST(SofficeReader, RunsInAUtf8LocaleWhateverTheTestsLocale) {
  StubSoffice stub;
  tt::ScopedEnv lang("LANG", ""), all("LC_ALL", ""), ctype("LC_CTYPE", "");   // a bare machine's
  fs::path book = fs::path(stub.home.path()) / "원본.xlsx";
  std::ofstream(book) << "x";
  auto r = tt::soffice_sheet_csv(book, stub.home.path());
  EXPECT_TRUE(r.installed);
  EXPECT_EQ(r.problem, "");
  EXPECT_EQ(r.output.filename().string(), "원본-Sheet1.csv");
  EXPECT_EQ(r.text, "code,name\n");
  EXPECT_EQ(read(stub.seen), "LC_ALL=C.UTF-8 LANG=C.UTF-8\n");
}

TEST(SofficeReader, ASkipOrFailureNamesItsRealCause) {
  {
    StubSoffice stub;   // installed, but it writes nothing: not "not installed"
    tt::ScopedEnv fail("STUB_SOFFICE_FAIL", "1");
    fs::path book = fs::path(stub.home.path()) / "a.xlsx";
    std::ofstream(book) << "x";
    auto r = tt::soffice_sheet_csv(book, stub.home.path());
    EXPECT_TRUE(r.installed);
    EXPECT_TRUE(r.output.empty());
    EXPECT_NE(r.problem.find("exited with 81"), std::string::npos) << r.problem;
    EXPECT_NE(r.problem.find("Error: filter rejected"), std::string::npos) << r.problem;
    EXPECT_EQ(r.problem.find("not installed"), std::string::npos) << r.problem;
  }
  {
    tt::TempHome home;   // nothing called soffice on PATH
    tt::ScopedEnv path("PATH", home.path());
    auto r = tt::soffice_sheet_csv(fs::path(home.path()) / "a.xlsx", home.path());
    EXPECT_FALSE(r.installed);
    EXPECT_EQ(r.problem, "LibreOffice (soffice) not installed");
  }
}

// The real LibreOffice, from a test without any locale: a workbook the tools wrote
// under a Korean name is read back, Korean cells included.
TEST(SofficeReader, TheRealOneReadsAKoreanNamedWorkbookWithoutALocale) {
  tt::TempHome home;
  tt::ScopedEnv lang("LANG", ""), all("LC_ALL", ""), ctype("LC_CTYPE", "");
  auto snapshot = [](const std::vector<std::string>&, int, bool) {
    return tessaro::json::array({{{"code", "005930"}, {"name", "삼성전자"}, {"current_price", 71200}}});
  };
  tessaro::server::Args a(tessaro::json{{"codes", {"005930"}}, {"fields", {"price"}}, {"days", 260},
                                        {"include_financial", false}, {"filename", "한글이름"}});
  std::string r = tessaro::workbooks::scan_to_excel_with(a, snapshot);
  fs::path book = tessaro::excel::get_snapshot_dir() / "한글이름.xlsx";
  ASSERT_TRUE(fs::exists(book)) << r;
  TESSARO_SHEET_CSV(text, book, home.path());
  EXPECT_NE(text.find("005930,삼성전자,71200"), std::string::npos) << text;
}
