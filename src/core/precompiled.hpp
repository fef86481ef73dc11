#pragma once
// Precompiled header (TESSARO_PCH=ON): the headers nearly every file reads.
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"
