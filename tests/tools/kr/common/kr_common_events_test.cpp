// Disclosure titles to event types and the ETF name test.
#include <gtest/gtest.h>

#include "tools/kr/common/kr_common.hpp"

using namespace tessaro;

TEST(KrCommonEvents, ClassifyFirstMatchingTypeWins) {
  EXPECT_EQ(server::classify_event_type("[기재정정]주식등의대량보유상황보고서(일반)"), "지배구조");
  EXPECT_EQ(server::classify_event_type("연결재무제표기준영업(잠정)실적(공정공시)"), "실적");
  // Administrative is tested before results.
  EXPECT_EQ(server::classify_event_type("투자주의 종목 지정 (실적 관련)"), "행정");
  EXPECT_EQ(server::classify_event_type("공시 안내"), "기타");
  EXPECT_EQ(server::classify_event_type(""), "기타");
  // Spaces are ignored on the title side.
  EXPECT_EQ(server::classify_event_type("단일판매 · 공급계약 체결"), "계약");
  EXPECT_EQ(server::classify_event_type("기업 설명회 (IR) 개최"), "IR");
  EXPECT_EQ(server::classify_event_type("주요사항보고서(유상증자결정)"), "자금조달");
}

TEST(KrCommonEvents, EtfNames) {   // the code pattern shows in the tools' bad-code replies
  EXPECT_TRUE(server::looks_like_etf("KODEX 200"));
  EXPECT_TRUE(server::looks_like_etf("미래에셋 etf"));
  EXPECT_TRUE(server::looks_like_etf("SOLUS첨단소재"));   // a plain prefix test
  EXPECT_TRUE(server::looks_like_etf("HK 반도체"));
  EXPECT_FALSE(server::looks_like_etf("HKD"));
  EXPECT_FALSE(server::looks_like_etf("삼성전자"));
  EXPECT_FALSE(server::looks_like_etf(""));
}
