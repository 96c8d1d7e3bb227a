// The logged-in user's page variables (user_dir, the profile values).
#pragma once

// Sets them and answers true; false (nothing set) when no user is known.
bool user_tpl_vars();
