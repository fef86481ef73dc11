#pragma once
// Renderer of get_us_news (pure), exposed for tests.
#include <string>

#include "core/json.hpp"

namespace tessaro::tools::us {

// "Apple Inc." -> "Apple"; a trailing corporate suffix removed.
std::string clean_company_name(const std::string& name);
std::string render_us_news(const std::string& ticker, const json& news, const json& info_raw, bool direct_only);

}  // namespace tessaro::tools::us
