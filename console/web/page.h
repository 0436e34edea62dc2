// The console's page: plain HTML, CSS and JavaScript, served as they stand,
// from the files in page/ that the build embeds in the program. Every text
// from a station or the room's file reaches the page through textContent,
// never as markup.
#pragma once

#include <string_view>

namespace zalvo::console {

extern const std::string_view kPageHtml;  // page/index.html, at "/"
// The scripts are ES modules: app.js (the room and the actions) imports
// till.js (the till), members.js (the members and their balances) and
// admin.js (operators and the log); all of them import common.js (the
// console's API, the room's state, small helpers).
extern const std::string_view kPageScript;         // page/app.js
extern const std::string_view kPageCommonScript;   // page/common.js
extern const std::string_view kPageTillScript;     // page/till.js
extern const std::string_view kPageAdminScript;    // page/admin.js
extern const std::string_view kPageMembersScript;  // page/members.js
// A plain script that says so when the modules did not load.
extern const std::string_view kPageBootScript;  // page/boot.js
extern const std::string_view kPageStyle;       // page/app.css

}  // namespace zalvo::console
