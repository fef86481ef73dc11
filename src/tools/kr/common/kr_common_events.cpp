// Stock codes, disclosure event types and the ETF name test.
#include <utility>

#include "core/format.hpp"
#include "tools/kr/common/kr_common.hpp"

namespace tessaro::server {

namespace {
// Ordered: a title belongs to the first type with a keyword in it (spaces removed
// on both sides). Administrative notices come first so that a trading-halt notice
// about results is not taken for a results disclosure.
const std::vector<std::pair<std::string, std::vector<std::string>>>& event_type_rules() {
  static const std::vector<std::pair<std::string, std::vector<std::string>>> rules = {
      {"행정",
       {"가격제한폭", "공매도과열", "단기과열", "투자경고", "투자위험", "투자주의", "소수계좌", "소수지점", "시황변동",
        "현저한시황", "조회공시", "매매거래정지", "매매거래재개", "관리종목", "불성실공시", "정리매매", "상장폐지",
        "풍문또는보도"}},
      {"IR", {"기업설명회", "(IR)", "IR개최"}},
      {"실적",
       {"실적", "손익구조", "매출액또는손익", "매출액변동", "영업(잠정)", "사업보고서", "반기보고서", "분기보고서", "결산"}},
      {"계약", {"공급계약", "판매ㆍ공급", "수주", "계약체결", "계약해지", "판매·공급"}},
      {"자금조달",
       {"유상증자", "전환사채", "신주인수권부사채", "교환사채", "사채권발행", "제3자배정", "자금조달", "신주발행"}},
      {"지배구조",
       {"최대주주", "경영권", "합병", "분할", "주식교환", "포괄적", "대표이사", "임원ㆍ주요주주", "임원·주요주주",
        "주주총회", "자기주식", "지분", "주식등의대량보유"}},
  };
  return rules;
}

const std::vector<std::string> ETF_NAME_PREFIXES = {"KODEX", "TIGER", "KBSTAR", "ARIRANG", "HANARO", "ACE",
                                                    "RISE",  "PLUS",  "SOL",    "KOSEF",   "TIMEFOLIO", "TRUE",
                                                    "WOORI", "1Q",    "HK ",    "마이다스"};

std::string no_spaces(const std::string& s) { return fmt::replace_all(s, " ", ""); }
}  // namespace

const std::vector<std::string> EVENT_TYPES = {"행정", "IR", "실적", "계약", "자금조달", "지배구조", "기타"};

std::string classify_event_type(const std::string& title) {
  std::string t = no_spaces(title);
  for (const auto& [type, keywords] : event_type_rules())
    for (const auto& k : keywords)
      if (t.find(no_spaces(k)) != std::string::npos) return type;
  return "기타";
}

bool looks_like_etf(const std::string& name) {
  std::string u = fmt::upper(name);
  if (u.find("ETF") != std::string::npos || u.find("ETN") != std::string::npos) return true;
  for (const auto& p : ETF_NAME_PREFIXES)
    if (fmt::starts_with(u, p)) return true;
  return false;
}

}  // namespace tessaro::server
