// The console's page: plain HTML, CSS and JavaScript, served as they stand,
// from the files in page/ that the build embeds in the program. Every text
// from a station or the room's file reaches the page through textContent,
// never as markup.
#pragma once

#include <string_view>

namespace zalvo::console {

extern const std::string_view kPageHtml;         // page/index.html, at "/"
extern const std::string_view kPageScript;       // page/app.js
extern const std::string_view kPageTillScript;   // page/till.js: the till, on top of app.js
extern const std::string_view kPageAdminScript;  // page/admin.js: operators and the log
extern const std::string_view kPageStyle;        // page/app.css

}  // namespace zalvo::console
