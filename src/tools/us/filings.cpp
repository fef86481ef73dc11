// get_us_filings and get_us_filing_detail: SEC EDGAR filings of a US issuer.
#include <algorithm>

#include "core/format.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "sources/http.hpp"
#include "sources/sec/sec.hpp"

namespace tessaro::tools::us {

namespace {

std::string s_of(const json& j, const char* k) {
  return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : "";
}

// "재시도하세요" unless retrying cannot help: then what to set instead.
std::string retry_or_fix(const sec::SecFetchError& e, const char* retry, const char* before_fix = "") {
  std::string fix = sec::setup_advice(e);
  return fix.empty() ? std::string(retry) : before_fix + fix;
}

std::string ticker_list_failed(const sec::SecFetchError& e) {
  return std::string("⚠️ SEC 티커 목록을 조회하지 못했습니다 (") + e.what() + "). " + retry_or_fix(e, "재시도하세요.");
}

std::string none_reply(const std::string& text, const std::string& ticker, const std::string& warning,
                       const json& extra = nullptr) {
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_completeness = rmeta::NONE;
  m.warnings = {warning};
  m.extra = extra;
  return server::append_result_meta(text, server::us_meta(m));
}

std::string issuer_line(const json& is, const std::string& requested) {
  std::string line = "발행사: **" + s_of(is, "name") + "** (CIK " + s_of(is, "cik") + ") · 요청 티커 " + requested;
  std::string primary = s_of(is, "primary_ticker");
  auto key = [](std::string t) {
    t = fmt::upper(t);
    std::replace(t.begin(), t.end(), '.', '-');
    return t;
  };
  if (!primary.empty() && key(primary) != key(requested)) line += " -> 대표 " + primary;
  std::vector<std::string> tickers;
  for (auto& t : is.value("issuer_tickers", json::array()))
    if (t.is_string()) tickers.push_back(t.get<std::string>());
  if (tickers.size() > 1) line += " · 동일 발행사 티커: " + fmt::join(tickers, ", ");
  return line;
}

json page_meta(const json& p) {
  return {{"name", p["name"]}, {"filing_from", p["filing_from"]}, {"filing_to", p["filing_to"]},
          {"filing_count", p["filing_count"]}};
}

const char* kFilingsDoc =
    "미국 SEC EDGAR 공시 목록 — 접수일·유형·보고서 기준일·accession·원문 링크.\n\n"
    "SEC 는 최근 구간(약 1,000건)과 더 오래된 구간 파일(page)로 나눠 제공합니다. forms 로 유형을 거르고(예: "
    "['10-Q','8-K']), offset 으로 이 구간을 이어 보고, 남은 older_pages 는 page= 로 조회하세요. 같은 발행사의 "
    "여러 종류 주식(예: GOOGL/GOOG)은 같은 공시 목록입니다.\n\n"
    "Args:\n"
    "    ticker: 미국 티커 (예: \"AAPL\")\n"
    "    limit: 보여 줄 공시 수 (기본 15, 1~100)\n"
    "    forms: 공시 유형 목록 (예: [\"10-Q\", \"8-K\"]; 없으면 전체)\n"
    "    page: 더 오래된 구간 파일 이름 (older_pages 에 나온 값; 없으면 최근 구간)\n"
    "    offset: 이 구간에서 건너뛸 공시 수 (기본 0)";

const char* kDetailDoc =
    "미국 SEC 공시 상세 — 한 공시(accession)의 문서 목록, 본문 키워드 검색(find), 희석·계약 조항 구조화"
    "(analyze='dilution'|'contract').\n\n"
    "find/analyze 없이 호출하면 문서 목록을 보여 줍니다. exhibit 를 읽으려면 document=파일명. 본문 전체는 "
    "돌려주지 않으며, 매치 0건은 없다는 뜻이 아닙니다.\n\n"
    "Args:\n"
    "    ticker: 미국 티커 (예: \"AAPL\")\n"
    "    accession_no: 공시 번호 (get_us_filings 의 accession, 예: \"0000320193-24-000123\")\n"
    "    find: 본문에서 찾을 키워드\n"
    "    analyze: \"dilution\"(희석) / \"contract\"(계약 조항)\n"
    "    document: 읽을 문서 파일명 (문서 목록에 나온 exhibit 등)";

// ---- get_us_filings ---------------------------------------------------------------

std::string get_us_filings(const server::Args& a) {
  if (auto refusal = sec::contact_missing_reply()) return *refusal;
  std::string ticker = fmt::trim(a.str("ticker"));
  std::string TICKER = fmt::upper(ticker);
  long long limit_req = a.integer("limit");
  int limit = int(std::clamp<long long>(limit_req, 1, 100));
  long long offset = std::max<long long>(0, a.integer("offset"));
  auto forms = a.str_list("forms");
  if (forms && forms->empty()) forms.reset();
  auto page = a.opt_str("page");
  if (page && fmt::trim(*page).empty()) page.reset();

  json is;
  try {
    is = sec::resolve_issuer(ticker);
  } catch (const sec::SecFetchError& e) {
    return ticker_list_failed(e);
  }
  if (is.is_null())
    return none_reply("티커 '" + ticker + "' 를 SEC 발행사에 연결하지 못했습니다. 티커 철자를 확인하거나 get_us_search "
                      "로 먼저 검색하세요.",
                      ticker, "티커 매핑 실패: " + ticker);
  std::string cik = s_of(is, "cik");

  json subs;
  try {
    subs = sec::submissions(cik);
  } catch (const sec::SecFetchError& e) {
    return none_reply(std::string("⚠️ SEC 공시 목록 조회에 실패했습니다 (") + e.what() +
                          "). 0건이 아니라 조회 실패" + retry_or_fix(e, "이므로 재시도하세요.", "입니다. "),
                      ticker, std::string("SEC 조회 실패: ") + e.what(), json{{"issuer", is}});
  }
  json pages = subs.value("pages", json::array());
  json rows;
  std::string label = "최근 구간";
  json older = json::array();
  if (page) {
    size_t at = pages.size();
    for (size_t i = 0; i < pages.size(); ++i)
      if (pages[i]["name"] == *page) at = i;
    if (at == pages.size()) return "⚠️ 잘못된 page: " + *page;
    label = "구간 " + s_of(pages[at], "filing_from") + "~" + s_of(pages[at], "filing_to");
    try {
      rows = sec::submissions_page(cik, *page);
    } catch (const sec::SecFetchError& e) {
      return none_reply(std::string("⚠️ SEC 구간 파일 조회에 실패했습니다 (") + e.what() +
                            "). 0건이 아니라 조회 실패" + retry_or_fix(e, "이므로 재시도하세요.", "입니다. "),
                        ticker, std::string("SEC 조회 실패: ") + e.what(), json{{"issuer", is}});
    }
    for (size_t i = at + 1; i < pages.size(); ++i) older.push_back(page_meta(pages[i]));
  } else {
    rows = subs["rows"];
    for (auto& p : pages) older.push_back(page_meta(p));
  }

  json kept = json::array();
  for (auto& r : rows) {
    if (forms && std::find(forms->begin(), forms->end(), s_of(r, "form")) == forms->end()) continue;
    kept.push_back(r);
  }
  long long total = (long long)kept.size();
  long long from = std::min(offset, total);
  long long to = std::min(total, from + limit);
  bool truncated = to < total;
  bool complete = !truncated && older.empty();

  std::string iline = issuer_line(is, ticker);
  std::vector<std::string> lines;
  std::string data_as_of;
  // An offset past the end of a window that has filings is not an empty window.
  bool past_end = from >= to && total > 0;
  long long last_start = std::max<long long>(0, total - limit);
  if (past_end) {
    lines.push_back("**" + TICKER + "** SEC 공시\n" + iline + "\n\n⚠️ offset=" + std::to_string(offset) + " 이 " + label +
                    "의 공시 " + std::to_string(total) + "건" + (forms ? "(유형 필터 적용)" : "") +
                    "을 넘었습니다 - 공시가 없는 것이 아닙니다. 처음부터는 `offset=0`, 마지막 " + std::to_string(limit) +
                    "건은 `offset=" + std::to_string(last_start) + "` 로 조회하세요.");
  } else if (from >= to) {
    std::string text = "**" + TICKER + "** SEC 공시\n" + iline + "\n\n" +
                       (forms ? label + "에 해당 유형이 없습니다." : label + " 공시 목록이 비어 있습니다.");
    if (!older.empty())
      text += " 더 오래된 구간이 남아 있으므로 '공시가 없다'고 결론 내리면 안 됩니다 - coverage.older_pages 로 이어서 "
              "조회하세요.";
    lines.push_back(text);
  } else {
    long long n = to - from;
    lines.push_back("**" + TICKER + "** SEC 공시 · " + label + " (표시 " + std::to_string(from + 1) + "~" +
                    std::to_string(to) + "번째 " + std::to_string(n) + "건 / 이 구간 " + std::to_string(total) + "건)");
    lines.push_back(iline);
    lines.push_back("");
    lines.push_back("접수일 | 유형 | 보고서 기준일 | accession | 원문");
    lines.push_back("---|---|---|---|---");
    for (long long i = from; i < to; ++i) {
      const json& r = kept[size_t(i)];
      std::string d = s_of(r, "filing_date");
      if (d > data_as_of) data_as_of = d;
      std::string report = s_of(r, "report_date");
      std::string url = s_of(r, "url"), doc = s_of(r, "primary_document");
      lines.push_back(fmt::join({d, "**" + s_of(r, "form") + "**", report.empty() ? "-" : report,
                                 "`" + s_of(r, "accession_no") + "`", url.empty() ? "-" : "[" + doc + "](" + url + ")"},
                                " | "));
    }
    lines.push_back("");
    lines.push_back("_본문·exhibit 검색: `get_us_filing_detail(ticker, accession_no, find=...)`_");
    if (truncated)
      lines.push_back("_이 구간에 " + std::to_string(total - to) + "건이 더 남아 있습니다. `offset=" + std::to_string(to) +
                      "` 로 이어서 조회하세요._");
    if (!older.empty()) {
      lines.push_back("_더 오래된 구간 " + std::to_string(older.size()) + "개가 남아 있습니다. 다음: `page=\"" +
                      s_of(older[0], "name") + "\"` (" + json(older[0]["filing_count"]).dump() + "건)._");
      lines.push_back(
          "_완전한 검색의 종료 조건은 coverage_complete=true 입니다 - truncated=false 이고 older_pages 가 빌 때까지 "
          "순회하세요._");
    }
  }

  json forms_j = nullptr;
  if (forms) forms_j = *forms;
  if (past_end) complete = false;
  json coverage = {{"limit", limit},
                   {"forms", forms_j},
                   {"requested", limit_req},
                   {"returned_count", std::max<long long>(0, to - from)},
                   {"total_count", total},
                   {"truncated", truncated},
                   {"page", page ? json(*page) : json(nullptr)},
                   {"offset", offset},
                   {"next_offset", truncated ? json(to) : past_end ? json(last_start) : json(nullptr)},
                   {"older_pages", older},
                   {"coverage_complete", complete},
                   {"reason", truncated    ? json("server_cap")
                              : past_end   ? json("offset_past_end")
                              : older.empty() ? json(nullptr)
                                              : json("source_limit")}};
  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_as_of = data_as_of.empty() ? json(nullptr) : json(data_as_of);
  m.coverage = coverage;
  m.extra = {{"issuer", is}};
  m.data_completeness = complete ? rmeta::COMPLETE : rmeta::PARTIAL;
  if (past_end)
    m.warnings.push_back("offset=" + std::to_string(offset) + " 이 이 구간의 공시 " + std::to_string(total) +
                         "건을 넘어 표시한 공시가 없습니다. offset=0~" + std::to_string(total - 1) + " 로 조회하세요.");
  if (!older.empty()) m.warnings.push_back("더 오래된 구간이 남아 있습니다.");
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

// ---- get_us_filing_detail ---------------------------------------------------------

std::string size_text(const json& v) {
  if (v.is_number()) return fmt::thousands(v.get<long long>());
  return "-";
}

// The filing row from the recent window, else from the older pages.
json find_filing_row(const std::string& cik, const std::string& acc_digits) {
  json subs = sec::submissions(cik);
  for (auto& r : subs["rows"])
    if (sec::accession_digits(s_of(r, "accession_no")) == acc_digits) return r;
  for (auto& p : subs.value("pages", json::array())) {
    for (auto& r : sec::submissions_page(cik, s_of(p, "name")))
      if (sec::accession_digits(s_of(r, "accession_no")) == acc_digits) return r;
  }
  return nullptr;
}

std::string get_us_filing_detail(const server::Args& a) {
  std::string ticker = fmt::trim(a.str("ticker"));
  std::string acc = fmt::trim(a.str("accession_no"));
  auto find = a.opt_str("find");
  if (find && fmt::trim(*find).empty()) find.reset();
  auto analyze = a.opt_str("analyze");
  if (analyze && fmt::trim(*analyze).empty()) analyze.reset();
  auto document = a.opt_str("document");
  if (document && fmt::trim(*document).empty()) document.reset();
  if (analyze && *analyze != "dilution" && *analyze != "contract")
    return "analyze 는 'dilution' 또는 'contract' 여야 합니다 (받음: " + *analyze + ").";
  if (auto refusal = sec::contact_missing_reply()) return *refusal;

  json is;
  try {
    is = sec::resolve_issuer(ticker);
  } catch (const sec::SecFetchError& e) {
    return ticker_list_failed(e);
  }
  if (is.is_null()) return "티커 '" + ticker + "' 를 SEC 발행사에 연결하지 못했습니다.";
  std::string cik = s_of(is, "cik");
  std::string digits = sec::accession_digits(acc);

  json row;
  std::vector<std::string> warnings;
  std::string row_error;
  try {
    row = find_filing_row(cik, digits);
  } catch (const sec::SecFetchError& e) {
    row_error = e.what();
    warnings.push_back(std::string("SEC 조회 실패: 공시 목록 (") + e.what() + ")");
  }
  json docs;
  try {
    docs = sec::fetch_filing_index(cik, acc);
  } catch (const sec::SecFetchError& e) {
    return std::string("⚠️ 문서 목록 조회 실패 (") + e.what() + "). " + retry_or_fix(e, "접수번호를 확인하세요.");
  }
  std::string form = row.is_null() ? "-" : s_of(row, "form");
  std::string filed = row.is_null() ? "-" : s_of(row, "filing_date");

  server::UsMetaArgs m;
  m.kind = "filing";
  m.ticker = ticker;
  m.data_as_of = filed == "-" || filed.empty() ? json(nullptr) : json(filed);
  m.warnings = warnings;
  if (!warnings.empty()) m.data_completeness = rmeta::PARTIAL;

  if (!find && !analyze) {
    std::vector<std::string> lines = {"# SEC 공시 문서 (accession=" + acc + ")",
                                      "발행사: " + s_of(is, "name") + " (CIK " + cik + ") · " + form + " " + filed, "",
                                      "파일 | 크기 | URL", "---|---|---"};
    json names = json::array();
    for (auto& d : docs) {
      names.push_back(d["name"]);
      lines.push_back(s_of(d, "name") + " | " + size_text(d["size"]) + " | [열기](" + s_of(d, "url") + ")");
    }
    lines.push_back("");
    lines.push_back(
        "_본문 검색: find=..., 조항 구조화: analyze=\"dilution\"/\"contract\". exhibit 를 읽으려면 document=파일명._");
    m.extra = {{"issuer", is}, {"documents", names}};
    return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
  }

  // The document to read: the one asked for, else the filing's primary document.
  std::string doc_name = document ? fmt::trim(*document) : (row.is_null() ? "" : s_of(row, "primary_document"));
  // Only a document the filing's index lists is read; a form's stylesheet view
  // ("xslF345X05/doc4.xml") is that listed XML seen one folder down.
  std::string url;
  for (auto& d : docs)
    if (s_of(d, "name") == doc_name) url = s_of(d, "url");
  if (auto slash = doc_name.find('/');
      url.empty() && slash != std::string::npos && server::fits_shape(server::Shape::FilingDocument, doc_name)) {
    std::string file = doc_name.substr(slash + 1);
    for (auto& d : docs)
      if (s_of(d, "name") == file)
        url = sec::filing_folder_url(cik, acc) + http::encode(doc_name.substr(0, slash)) + "/" + http::encode(file);
  }

  if (url.empty() && !row_error.empty()) {
    // The primary document's name comes from the filing list, which could not be read:
    // the body was never looked for, so nothing is "not found".
    m.data_completeness = rmeta::NONE;
    m.extra = {{"issuer", is}, {"documents_listed", docs.size()}};
    return server::append_result_meta(
        "⚠️ accession " + acc + " 의 본문 파일을 정하지 못했습니다 - SEC 공시 목록 조회가 실패해(" + row_error +
            ") 주 문서 이름을 확인할 수 없습니다. 본문이 없다는 뜻이 아니라 **확인 불가**입니다. 잠시 후 재시도하거나 "
            "document= 로 파일명을 지정하세요 (목록: find/analyze 없이 호출).",
        server::us_meta(m));
  }
  if (url.empty())
    return "accession " + acc + " 의 본문 파일을 찾지 못했습니다. document= 로 파일명을 지정하세요 (목록: find/analyze "
           "없이 호출).";

  std::string text;
  try {
    text = sec::fetch_filing_text(url);
  } catch (const sec::SecFetchError& e) {
    m.data_completeness = rmeta::NONE;
    m.warnings.push_back(std::string("SEC 조회 실패: 원문 (") + e.what() + ")");
    return server::append_result_meta(std::string("⚠️ 원문을 가져오지 못했습니다 (") + e.what() +
                                          "). 검색·분석 결과가 0건이라는 뜻이 아니라 **확인 불가**입니다. SEC 원문: " +
                                          url,
                                      server::us_meta(m));
  }

  std::vector<std::string> lines = {"# SEC 공시 본문 (accession=" + acc + ", " + doc_name + ")", "원문: " + url,
                                    "본문 길이: " + fmt::thousands((long long)fmt::cp_len(text)) + "자"};
  json coverage = nullptr;
  json extra = {{"issuer", is}, {"document", doc_name}};
  if (find) {
    std::string kw = fmt::trim(*find);
    auto all = sec::find_all_matches(text, kw);
    size_t shown = std::min<size_t>(all.size(), sec::FIND_MAX_MATCHES);
    lines.push_back("");
    if (all.empty()) {
      lines.push_back("'" + kw +
                      "' 매치 0건 - 본문에 해당 내용이 **없다는 뜻이 아닙니다**. 표기가 다르거나 다른 문서(exhibit)에 있을 수 "
                      "있습니다.");
    } else {
      lines.push_back(all.size() > shown ? "**매치:** 전체 " + std::to_string(all.size()) + "건 중 " +
                                               std::to_string(shown) + "건 표시"
                                         : "**매치:** " + std::to_string(all.size()) + "건");
      std::vector<size_t> first(all.begin(), all.begin() + long(shown));
      auto snips = sec::match_snippets(text, first, fmt::cp_len(kw));
      for (size_t i = 0; i < shown; ++i) {
        lines.push_back("");
        lines.push_back("## 매치 " + std::to_string(i + 1) + " (위치 ~" + fmt::thousands((long long)first[i]) + ")");
        lines.push_back(snips[i]);
      }
    }
    bool cut = all.size() > shown;
    coverage = {{"match_coverage",
                 {{"keyword", kw},
                  {"total_matches", all.size()},
                  {"displayed_matches", shown},
                  {"truncated", cut},
                  {"coverage_complete", !cut && !all.empty()},
                  {"absence_confirmed", false}}},
                {"truncated", cut},
                {"coverage_complete", !cut && !all.empty()},
                {"reason", cut ? json("server_cap") : all.empty() ? json("unknown") : json(nullptr)}};
    if (cut || all.empty()) m.data_completeness = rmeta::PARTIAL;
  }
  if (analyze) {
    bool dil = *analyze == "dilution";
    std::string label = dil ? "희석(증권 수·전환·워런트)" : "계약 조항";
    json facts = dil ? sec::extract_dilution_facts(text) : sec::extract_contract_facts(text);
    lines.push_back("");
    lines.push_back("## " + label + " 구조화 - 원문 발췌 기반");
    json found_names = json::array();
    for (auto& c : facts["categories"]) {
      found_names.push_back(c["category"]);
      int n = c["count"].get<int>();
      lines.push_back("");
      lines.push_back("### " + s_of(c, "category") + " (매치 " + std::to_string(n) + "건)");
      for (auto& ex : c["excerpts"]) lines.push_back("- " + ex.get<std::string>());
      if (size_t(n) > c["excerpts"].size()) lines.push_back("- …");
    }
    std::vector<std::string> unconf;
    for (auto& u : facts["unconfirmed"]) unconf.push_back(u.get<std::string>());
    if (!unconf.empty()) {
      lines.push_back("");
      lines.push_back("### 미확인 범주");
      for (auto& u : unconf) lines.push_back("- " + u);
      lines.push_back(
          "- 이 문서에서 패턴으로 찾지 못했다는 뜻이며 **없다는 뜻이 아닙니다**. exhibit 나 다른 공시(S-1·424B 등)에 있을 "
          "수 있습니다.");
      m.data_completeness = rmeta::PARTIAL;
      m.warnings.push_back("미확인 범주(" + fmt::join(unconf, ", ") +
                           ")는 원문에 없다는 뜻이 아니라 이 문서에서 못 찾았다는 뜻입니다.");
    }
    extra["analysis"] = {{"found_categories", found_names}, {"unconfirmed_categories", unconf}};
  }
  m.coverage = coverage;
  m.extra = extra;
  return server::append_result_meta(fmt::join(lines, "\n"), server::us_meta(m));
}

const server::ToolRegistration reg_filings{"get_us_filings", kFilingsDoc, get_us_filings};
const server::ToolRegistration reg_detail{"get_us_filing_detail", kDetailDoc, get_us_filing_detail};
const server::ArgumentShape shape_get_us_filings_ticker{"get_us_filings", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_filing_detail_ticker{"get_us_filing_detail", "ticker", server::Shape::UsTicker};
const server::ArgumentShape shape_get_us_filing_detail_accession_no{"get_us_filing_detail", "accession_no", server::Shape::Accession};
const server::ArgumentShape shape_get_us_filing_detail_document{"get_us_filing_detail", "document", server::Shape::FilingDocument};

}  // namespace
}  // namespace tessaro::tools::us
