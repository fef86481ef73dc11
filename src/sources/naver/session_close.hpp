#pragma once
// The regular close of one day at that day's own closing minute.
#include <optional>
#include <string>

namespace tessaro::naver {

// close_hm: the day's regular-close minute ("HH:MM"; 16:30 on a shifted day),
// read from the minute series like the 15:30 close.
std::optional<double> get_regular_session_close(const std::string& code, const std::string& day,
                                                const std::string& close_hm);

}  // namespace tessaro::naver
