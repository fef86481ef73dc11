#pragma once
// One loopback Naver for source and tool tests: a fresh home, the fixture
// server answering for every Naver host, a short HTTP timeout, empty list
// caches and, when given, a frozen KST clock. All of it is undone on exit.
// Also the small readers most of those tests share.
#include <string>
#include <vector>

#include "core/json.hpp"
#include "support/fixture_server.hpp"

namespace tessaro::testing {

struct NaverEnv {
  TempHome home;
  FixtureServer srv;
  ScopedEnv base{"TESSARO_NAVER_BASE_URL", srv.base_url()};
  ScopedEnv timeout{"TESSARO_HTTP_TIMEOUT_S", "1"};

  // kst: "YYYY-MM-DD HH:MM[:SS]" freezes the clock there; nullptr leaves it running.
  explicit NaverEnv(const char* kst = nullptr);
  ~NaverEnv();
  void freeze(const std::string& kst);   // same format

  NaverEnv(const NaverEnv&) = delete;
  NaverEnv& operator=(const NaverEnv&) = delete;
};

// ---- replies -------------------------------------------------------------------
std::string body_of(const std::string& reply);   // the reply without its meta block
json meta_of(const std::string& reply);          // the meta object, null when absent
bool has_warning(const json& meta, const std::string& part);
bool contains(const std::string& text, const std::string& part);
// A whole line (or run of lines) of text.
bool has_line(const std::string& text, const std::string& lines);
// The file a workbook reply names after "경로: " ("" when it names none).
std::string saved_path_of(const std::string& reply);
std::vector<std::string> lines_of(const std::string& text);
struct Split {   // a reply cut into its text and its meta
  std::string text;
  json meta;
};
inline Split split(const std::string& reply) { return {body_of(reply), meta_of(reply)}; }

// ---- site bodies ---------------------------------------------------------------
std::string to_cp949(const std::string& utf8);
FixtureResponse euckr_html(const std::string& utf8_html);
// fchart XML of items "YYYYMMDD|open|high|low|close|volume".
std::string fchart_xml(const std::vector<std::string>& items, const std::string& timeframe = "day",
                       const std::string& symbol = "005930");
// fchart XML of rows {date, open, high, low, close, volume}; prices rounded.
std::string fchart_rows_xml(const json& rows, const std::string& symbol = "005930");
// The last n weekdays up to `last` (YYYY-MM-DD), newest first, as YYYYMMDD.
std::vector<std::string> weekdays_back(const std::string& last, int n);
std::string code6(int n);   // zero-padded six digits

}  // namespace tessaro::testing
