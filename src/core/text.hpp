#pragma once
#include <string>
#include <string_view>

namespace tessaro::text {

// CP949/EUC-KR bytes to UTF-8 (iconv); invalid sequences become U+FFFD.
std::string euckr_to_utf8(std::string_view bytes);
// Percent-encoding of a query component (UTF-8 bytes).
std::string url_encode(std::string_view s);
// Strip HTML tags and decode the common entities (&amp; &lt; &gt; &quot; &#39; &nbsp; &#NNN;).
std::string strip_html(std::string_view html);
std::string decode_entities(std::string_view s);
// Collapse runs of white space into one blank and trim.
std::string squash_spaces(std::string_view s);

}  // namespace tessaro::text
