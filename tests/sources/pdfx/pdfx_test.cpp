#include <gtest/gtest.h>

#include "core/format.hpp"
#include "sources/pdfx/pdfx.hpp"
#include "sources/pdfx/pdf_maker.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using tessaro::testing::FixtureResponse;
using tessaro::testing::FixtureServer;
using tessaro::testing::ScopedEnv;

TEST(PdfxExtract, TextPagesComeBackInOrderWithCounts) {
  json r = pdfx::extract(tessaro::testing::make_text_pdf(3, 10));
  ASSERT_EQ(r["status"], "ok") << r.dump();
  EXPECT_EQ(r["pages"], 3);
  std::string text = r["text"];
  EXPECT_NE(text.find("Line 1: operating profit rose (on memory prices)."), std::string::npos);
  auto p1 = text.find("Line 10:"), p2 = text.find("Line 11:"), p3 = text.find("Line 30:");
  ASSERT_NE(p1, std::string::npos);
  ASSERT_NE(p3, std::string::npos);
  EXPECT_LT(p1, p2);
  EXPECT_LT(p2, p3);
  EXPECT_EQ(r["chars"].get<long long>(), static_cast<long long>(fmt::cp_len(text)));
  EXPECT_EQ(r["detail"], "");
}

TEST(PdfxExtract, ImageOnlyAndBrokenFilesNeverYieldText) {
  // Pages that only paint: no garbled letters, a named status instead.
  json img = pdfx::extract(tessaro::testing::make_pdf({{}, {}}));
  EXPECT_EQ(img["status"], "image_pdf");
  EXPECT_EQ(img["text"], "");
  EXPECT_EQ(img["chars"], 0);
  EXPECT_EQ(img["pages"], 2);
  // A short label on an otherwise pictorial page is still an image report.
  json label = pdfx::extract(tessaro::testing::make_pdf({{"p.1"}}));
  EXPECT_EQ(label["status"], "image_pdf");
  EXPECT_EQ(label["text"], "");

  json html = pdfx::extract("<html><body>Not found</body></html>");
  EXPECT_EQ(html["status"], "failed");
  EXPECT_EQ(html["text"], "");
  json truncated = pdfx::extract(tessaro::testing::make_text_pdf(1).substr(0, 40));
  EXPECT_NE(truncated["status"], "ok");
  EXPECT_EQ(pdfx::extract("")["status"], "failed");
}

TEST(PdfxFetch, NaverHostsFollowTheBaseUrlAndRetryOn429) {
  FixtureServer srv;
  ScopedEnv env("TESSARO_NAVER_BASE_URL", srv.base_url());
  const std::string path = "/stock.pstatic.net/stock-research/company/56/20260310_company_1.pdf";
  srv.route(path, FixtureResponse{200, tessaro::testing::make_text_pdf(2), "application/pdf", {}});
  srv.fail_next(path, 429, 1, "0");
  json r = pdfx::fetch_and_extract("https://stock.pstatic.net/stock-research/company/56/20260310_company_1.pdf");
  EXPECT_EQ(r["status"], "ok") << r.dump();
  EXPECT_EQ(r["pages"], 2);
  EXPECT_EQ(srv.hits(path), 2);
}

TEST(PdfxFetch, FailuresAreStatusesNotExceptions) {
  FixtureServer srv;
  ScopedEnv env("TESSARO_NAVER_BASE_URL", srv.base_url());
  ScopedEnv fast("TESSARO_HTTP_TIMEOUT_S", "2");
  srv.route("/stock.pstatic.net/big.pdf", FixtureResponse{200, tessaro::testing::make_text_pdf(4), "application/pdf", {}});
  json big = pdfx::fetch_and_extract("https://stock.pstatic.net/big.pdf", 200);
  EXPECT_EQ(big["status"], "too_large");
  EXPECT_NE(big["detail"].get<std::string>().find("상한"), std::string::npos);

  srv.route("/stock.pstatic.net/gone.pdf", FixtureResponse{404, "no", "text/plain", {}});
  json gone = pdfx::fetch_and_extract("https://stock.pstatic.net/gone.pdf");
  EXPECT_EQ(gone["status"], "failed");
  EXPECT_NE(gone["detail"].get<std::string>().find("HTTPStatusError"), std::string::npos);

  srv.drop("/stock.pstatic.net/drop.pdf");
  json dropped = pdfx::fetch_and_extract("https://stock.pstatic.net/drop.pdf");
  EXPECT_EQ(dropped["status"], "failed");
  EXPECT_EQ(pdfx::fetch_and_extract("")["status"], "failed");
}
