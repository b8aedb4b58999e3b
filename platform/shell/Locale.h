#pragma once

// The user's locale under the names the programs compare: a language (and
// region) name as the original platform's C library gives it, such as
// "English_United States.1252", chosen from the POSIX locale variables.

#include <string>

namespace platform::shell {

// From LC_ALL, else LC_MESSAGES, else LANG (the first that is set and not
// empty). A locale that names no language ("C", "POSIX") or none at all
// gives "C"; a language without a name of its own here gives "Other_"
// followed by the POSIX name, which matches none of the names above.
std::string userLocaleName();

} // namespace platform::shell
