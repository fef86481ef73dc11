// Yahoo's EU consent flow: the cookie/crumb steps lead to the consent page, the form
// is sent back with its csrfToken and sessionId, the cookies of the redirect chain are
// kept, and the crumb then answers. A page without a form is an error, never a loop.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/us.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace yd = tessaro::us::detail;

namespace {

constexpr const char* kGucePath = "/guce.yahoo.com/consent";
constexpr const char* kCollectPath = "/consent.yahoo.com/v2/collectConsent";
constexpr const char* kCopyPath = "/guce.yahoo.com/copyConsent";
constexpr const char* kDonePath = "/finance.yahoo.com/quote/AAPL";
constexpr const char* kSessionId = "3_cc-session_5f0c2a9e-1b7d-4c3e-9a21-7e6f0d4b8c11";

FixtureResponse redirect(int status, const std::string& location, const std::string& cookie = "") {
  FixtureResponse r{status, "", "text/html", {{"Location", location}}};
  if (!cookie.empty()) r.headers["Set-Cookie"] = cookie;
  return r;
}

// application/x-www-form-urlencoded fields, decoded.
std::multimap<std::string, std::string> form_fields(const std::string& body) {
  auto dec = [](const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i)
      if (s[i] == '%' && i + 2 < s.size()) out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16)), i += 2;
      else out += s[i] == '+' ? ' ' : s[i];
    return out;
  };
  std::multimap<std::string, std::string> f;
  for (size_t pos = 0, e; pos < body.size(); pos = e + 1) {
    e = std::min(body.find('&', pos), body.size());
    std::string kv = body.substr(pos, e - pos);
    auto eq = kv.find('=');
    f.emplace(dec(kv.substr(0, eq)), eq == std::string::npos ? "" : dec(kv.substr(eq + 1)));
  }
  return f;
}

bool has_cookie(const FixtureRequest& r, const std::string& name) {
  auto it = r.headers.find("cookie");
  return it != r.headers.end() && (" " + it->second + ";").find(" " + name + "=") != std::string::npos;
}

// A loopback Yahoo that behaves as it does for an EU visitor: getcrumb answers only
// once the consent cookie A1 is present, and redirects to the consent page before.
struct EuYahoo : YahooEnv {
  std::string base = srv.base_url();
  std::vector<FixtureRequest> posts;
  std::string consent_page = "yahoo/consent_collect_form.html";

  EuYahoo() {
    srv.route(kGucePath, redirect(302, base + kCollectPath + "?sessionId=" + kSessionId,
                                  "GUCS=gucs1; Max-Age=1800; Domain=.yahoo.com; Path=/; Secure"));
    srv.route(kCollectPath, [this](const FixtureRequest& r) {
      if (r.method == "POST") {
        posts.push_back(r);
        return redirect(302, base + kCopyPath + "?sessionId=" + kSessionId + "&lang=en-GB",
                        "CFC=cfc1; Domain=consent.yahoo.com; Path=/; Secure");
      }
      return FixtureResponse{200, read_fixture(consent_page), "text/html; charset=utf-8", {}};
    });
    srv.route(kCopyPath, redirect(302, base + kDonePath + "?guccounter=1",
                                  "A1=d=AQABBconsent; Max-Age=31536000; Domain=.yahoo.com; Path=/; Secure; HttpOnly"));
    srv.route(kDonePath, FixtureResponse{200, "<html>AAPL</html>", "text/html",
                                         {{"Set-Cookie", "GUC=AQEBCAFn; Domain=yahoo.com; Path=/; Secure"}}});
    srv.route(kYahooCrumbPath, [this](const FixtureRequest& r) {
      if (has_cookie(r, "A1")) return FixtureResponse{200, "consentCrumb1", "text/plain;charset=utf-8", {}};
      return redirect(302, base + kGucePath + "?brandType=nonEu&gcrumb=Xvxf4hA&done=https%3A%2F%2Ffinance.yahoo.com%2F");
    });
    srv.route(kYahooQuotePath, [](const FixtureRequest& r) {
      if (r.params.count("crumb") == 0 || r.params.at("crumb") != "consentCrumb1")
        return FixtureResponse{401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})"};
      return FixtureResponse{200, yahoo_quote_body("AAPL", 244.6)};
    });
  }
  // fc.yahoo.com itself sends the visitor to the consent page, without a cookie.
  void fc_redirects_to_consent() {
    srv.route(kYahooFcPath, redirect(307, base + kGucePath + "?brandType=nonEu&gcrumb=GoNrer0&done=https%3A%2F%2Ffinance.yahoo.com%2F"));
  }
};

}  // namespace

TEST(YahooConsent, FcRedirectIsAcceptedAndTheCrumbThenAnswers) {
  EuYahoo env;
  env.fc_redirects_to_consent();
  json q = us::get_price("AAPL");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["price"], 244.6);

  // The form went back once, with its hidden fields unescaped and agree twice; the
  // reject button never.
  ASSERT_EQ(env.posts.size(), 1u);
  const FixtureRequest& post = env.posts[0];
  EXPECT_EQ(post.params.count("sessionId") ? post.params.at("sessionId") : "", kSessionId);   // form action's query
  auto f = form_fields(post.body);
  auto one = [&f](const char* k) { return f.count(k) == 1 ? f.find(k)->second : "<" + std::to_string(f.count(k)) + ">"; };
  EXPECT_EQ(one("csrfToken"), "q7Xk9-AbC_12.zT");
  EXPECT_EQ(one("sessionId"), kSessionId);
  EXPECT_EQ(one("originalDoneUrl"), "https://finance.yahoo.com/quote/AAPL?guccounter=1&lang=en-GB");
  EXPECT_EQ(f.count("agree"), 2u);
  EXPECT_EQ(f.count("reject") + f.count("lang"), 0u);   // the language form is not the consent form
  // The GUCS cookie of the redirect to the page goes back with the form.
  EXPECT_TRUE(has_cookie(post, "GUCS"));

  // Cookies from the whole chain reach the API call, with the crumb.
  FixtureRequest api = env.srv.last_request(kYahooQuotePath);
  EXPECT_EQ(api.params["crumb"], "consentCrumb1");
  EXPECT_TRUE(has_cookie(api, "A1"));
  EXPECT_TRUE(has_cookie(api, "GUC"));
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 1);   // asked only after consenting
  EXPECT_EQ(env.srv.hits(kCopyPath), 1);          // reached through the redirects, not asked again

  // The session holds: no second consent.
  us::get_price("AAPL");
  EXPECT_EQ(env.posts.size(), 1u);
  EXPECT_EQ(env.srv.hits(kYahooFcPath), 1);
}

TEST(YahooConsent, CrumbSentToConsentIsAcceptedOnceAndCopyConsentAskedWhenTheChainSetNoCookie) {
  EuYahoo env;   // fc.yahoo.com sets A3 as usual; getcrumb wants the consent cookie
  // This time the form's answer goes straight back to finance.yahoo.com, which sets nothing.
  env.srv.route(kCollectPath, [&env](const FixtureRequest& r) {
    if (r.method == "POST") {
      env.posts.push_back(r);
      return redirect(302, env.base + kDonePath + "?guccounter=1");
    }
    return FixtureResponse{200, read_fixture(env.consent_page), "text/html; charset=utf-8", {}};
  });
  env.srv.route(kDonePath, FixtureResponse{200, "<html>AAPL</html>", "text/html"});
  json q = us::get_price("AAPL");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["price"], 244.6);
  EXPECT_EQ(env.posts.size(), 1u);
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 2);   // refused, then answered after consent
  // copyConsent was asked for directly, with the session of the form.
  ASSERT_EQ(env.srv.hits(kCopyPath), 1);
  EXPECT_EQ(env.srv.last_request(kCopyPath).params["sessionId"], kSessionId);
  EXPECT_TRUE(has_cookie(env.srv.last_request(kYahooQuotePath), "A3"));
}

TEST(YahooConsent, ConsentPageWithoutFormIsAnErrorNotALoop) {
  EuYahoo env;
  env.fc_redirects_to_consent();
  env.consent_page = "yahoo/consent_page_without_form.html";
  for (int call = 1; call <= 2; ++call) {
    try {
      us::get_price("AAPL");
      ADD_FAILURE() << "a consent page without a form must not pass";
    } catch (const yd::YahooError& e) {
      EXPECT_NE(std::string(e.what()).find("consent form"), std::string::npos) << e.what();
    }
    // One look at the page per attempt to set up the session; nothing posted, no data asked.
    EXPECT_EQ(env.srv.hits(kCollectPath), call);
  }
  EXPECT_TRUE(env.posts.empty());
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 0);
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 0);
}

TEST(YahooConsent, ApiAnswerEndingOnTheConsentPageRefreshesOnceThenFails) {
  YahooEnv env;   // cookie and crumb are fine, yet the API sends the visitor to consent
  std::string base = env.srv.base_url();
  env.srv.route(kYahooQuotePath, redirect(302, base + kCollectPath + "?sessionId=" + kSessionId));
  env.srv.route(kCollectPath, FixtureResponse{200, read_fixture("yahoo/consent_page_without_form.html"), "text/html"});
  EXPECT_THROW(us::get_price("AAPL"), yd::YahooError);
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 2);   // one refresh, one retry
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 2);
}

TEST(YahooConsent, VisitorSentOnPastTheConsentHostHasNothingToAccept) {
  YahooEnv env;
  std::string base = env.srv.base_url();
  // An HTML crumb makes the session look at guce.yahoo.com/consent, which sends a
  // visitor outside the EU straight on to finance.yahoo.com (a page without a form).
  env.srv.route(kYahooCrumbPath, FixtureResponse{200, "<html>oops</html>", "text/html"});
  env.srv.route(kGucePath, redirect(302, base + kDonePath));
  env.srv.route(kDonePath, FixtureResponse{200, "<html><body>AAPL</body></html>", "text/html"});
  env.srv.route(kYahooQuotePath, FixtureResponse{200, yahoo_quote_body("AAPL", 1.0)});
  json q = us::get_price("AAPL");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(env.srv.hits(kGucePath), 1);
  EXPECT_EQ(env.srv.hits(kCollectPath), 0);
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 1);   // not asked again: nothing was accepted
  EXPECT_EQ(env.srv.last_request(kYahooQuotePath).params.count("crumb"), 0u);
}
