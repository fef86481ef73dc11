// Toss Securities (experimental). Toss publishes an Open API with candles, but
// its endpoint paths, candle intervals, history depth and rate limits are not
// known here, so this client makes no calls: every market is "unverified" and a
// fetch says so instead of guessing at an endpoint.
#include "sources/brokers/broker_common.hpp"
#include "sources/market_data/evidence.hpp"

namespace tessaro::brokers {

namespace {

constexpr const char* kUnverified =
    "토스증권 연동은 실험 단계입니다. 분봉·수급 API의 데이터 계약이 아직 검증되지 않아 조회하지 않습니다.";

class TossProvider : public md::Provider {
 public:
  std::string id() const override { return "toss"; }
  bool is_broker() const override { return true; }
  std::string intraday_capability(const std::string&, const std::string&) const override { return "unverified"; }
  md::BarDataset fetch_bars(const md::BarRequest&, const md::ProviderContext&) override {
    throw TossApiError(kUnverified, md::ST_UNSUPPORTED);
  }
  json investor_flow(const std::string&, int, const std::string&, const md::ProviderContext&) override {
    throw TossApiError(kUnverified, md::ST_UNSUPPORTED);
  }
  json supply_pressure(const std::string&, const std::string& kind, int, const md::ProviderContext&) override {
    return unsupported_block(kind, "toss", kUnverified);
  }
  // Toss lists no investor-flow, program, short, credit or lending data.
  json evidence_capabilities(const std::string&) const override {
    json pressure = json::object();
    for (const auto& k : md::pressure_kinds()) pressure[k] = md::ST_UNSUPPORTED;
    return {{"investor_flow", md::ST_UNSUPPORTED}, {"flow_categories", json::array()}, {"pressure", pressure}};
  }
};

md::ProviderRegistration reg{"toss", [] { return std::shared_ptr<md::Provider>(std::make_shared<TossProvider>()); }};

}  // namespace

}  // namespace tessaro::brokers
