// The status page's own files, kept in the program: nothing is fetched from elsewhere.
#pragma once

namespace tessaly {

extern const char* const kStatusPageHtml;
extern const char* const kStatusPageCss;
extern const char* const kStatusPageJs;
extern const char* const kStatusIconSvg;

}  // namespace tessaly
