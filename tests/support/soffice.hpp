#pragma once
// LibreOffice headless, the independent reader of the workbooks the tests write.
// It runs in a UTF-8 locale of its own (C.UTF-8), whatever the test's: without one
// it cannot read or write the Korean file names it is given. When it cannot run,
// the result says why, so a check skips only when soffice is not installed and
// fails, with soffice's own words, when it is installed and wrote nothing.
#include <filesystem>
#include <string>

namespace tessaro::testing {

struct SofficeResult {
  bool installed = true;
  std::filesystem::path output;   // the file written; empty when none
  std::string text;               // its contents (soffice_sheet_csv only)
  std::string problem;            // why there is no output ("" when there is)
};

// soffice --headless --convert-to FILTER INPUT --outdir OUTDIR, with HOME=home (its
// profile goes there). The output is the file in OUTDIR whose name starts with the
// input's stem and ends in `extension` (".csv": one sheet, "<stem>-<sheet>.csv").
SofficeResult soffice_convert(const std::filesystem::path& input, const std::string& filter,
                              const std::string& extension, const std::filesystem::path& outdir,
                              const std::string& home);

// One sheet (1 = the first) as CSV text; `as_shown` applies the cells' number
// formats as a spreadsheet shows them.
SofficeResult soffice_sheet_csv(const std::filesystem::path& xlsx, const std::string& home, int sheet = 1,
                                bool as_shown = false);

inline constexpr const char* kSofficeMissing = "LibreOffice (soffice) not installed";

}  // namespace tessaro::testing

// In a test: the CSV text of a sheet, skipping when soffice is not installed and
// failing (naming what soffice said) when it ran and wrote nothing.
#define TESSARO_SHEET_CSV(var, ...)                                                              \
  std::string var;                                                                               \
  {                                                                                              \
    auto sheet_csv_run_ = ::tessaro::testing::soffice_sheet_csv(__VA_ARGS__);                    \
    if (!sheet_csv_run_.installed) GTEST_SKIP() << ::tessaro::testing::kSofficeMissing;          \
    ASSERT_TRUE(sheet_csv_run_.problem.empty()) << sheet_csv_run_.problem;                       \
    var = std::move(sheet_csv_run_.text);                                                        \
  }
