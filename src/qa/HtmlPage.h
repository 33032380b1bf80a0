#pragma once

#include <span>
#include <string>
#include <string_view>

namespace quelby {

// Text made safe as HTML element content or a quoted attribute value: markup
// characters become references, and control characters other than tab and line
// ends become U+FFFD, so that no text from a file or a header can open markup.
std::string htmlEscaped(std::string_view text);

// RFC 4648 base64 of the bytes, padded.
std::string base64(std::span<const char> bytes);

// A data: URI of PNG bytes, for an <img src="…">.
std::string pngDataUri(std::span<const char> png);

// A whole self-contained page around `body` (HTML already escaped): one inline
// stylesheet that prints on A4, and a Content-Security-Policy that lets the page
// load nothing but data: images, so that nothing it holds can reach the network.
std::string htmlPage(std::string_view title, std::string_view body);

}  // namespace quelby
