#pragma once
// Secret values this process has sent or holds (app keys and secrets, access
// tokens, account numbers, Yahoo's crumb, cookies), remembered by value so that
// every text written anywhere — recordings, doctor output, error texts, replies —
// can have them masked, whatever the name of the field an upstream echoed them in.
#include <string>
#include <string_view>

namespace tessaro::secrets {

// Values shorter than this are too common to mask by value (a two-digit account
// product code would mask every "01"); they are masked by field name only.
inline constexpr size_t MIN_MASKED_LENGTH = 6;

// Remembers a value (and its percent-encoded form) for the life of the process.
void remember(std::string_view value);
// `text` with every remembered value replaced by "***". The one masking function
// of the process: every writer and the reply path call it.
std::string mask(std::string text);
// Whether `text` holds a remembered value.
bool holds_secret(std::string_view text);
// How many values are remembered.
size_t count();
// Forgets every value (tests).
void forget_all_for_tests();

}  // namespace tessaro::secrets
