#include <gtest/gtest.h>

#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kEtfList = "/finance.naver.com/api/sise/etfItemList.nhn";

struct Env : NaverEnv {
  explicit Env(const char* list = "naver/etf_list_live.json") {
    srv.route_file(kEtfList, list, "application/json;charset=EUC-KR");
  }
};

std::vector<std::string> codes(const json& res) {
  std::vector<std::string> out;
  for (const auto& it : res["items"]) out.push_back(it["code"].get<std::string>());
  return out;
}

}  // namespace

TEST(NaverEtf, ThreeMonthSortDropsFundsWithoutTheValue) {
  Env env;
  json r = naver::get_etf_list("", "", "threeMonthEarnRate", 20);
  EXPECT_EQ(codes(r), (std::vector<std::string>{"091160", "069500", "133690"}));
  EXPECT_EQ(r["no_sort_value"], 2);
  EXPECT_EQ(r["total"], 3);   // other sorts keep such funds at the end: EtfList
}

TEST(NaverEtf, CategoryKeywordAndLimit) {
  Env env;
  json r = naver::get_etf_list("국내 업종/테마", "", "marketSum", 20);
  EXPECT_EQ(codes(r), (std::vector<std::string>{"091160", "0088M0"}));
  json k = naver::get_etf_list("", "반도체", "marketSum", 20);
  EXPECT_EQ(k["total"], 2);
  json lim = naver::get_etf_list("", "", "marketSum", 999);
  EXPECT_EQ(lim["items"].size(), 5u);
  json one = naver::get_etf_list("", "", "marketSum", 1);
  EXPECT_EQ(one["items"].size(), 1u);
  EXPECT_EQ(one["total"], 5);
  EXPECT_EQ(env.srv.hits(kEtfList), 1);   // the whole list is cached briefly
}

