#pragma once

// The two ways a caller shows it is authorised: answering a challenge that
// only the bank's server can answer, or calling from a page whose host lies
// below the bank's own domain. Either sets m_bAuthorized for the object's
// life.

#include "control/CardMethods.h"
#include "control/ControlState.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavelo {

// The challenge pair: M, the Base64 text of the 3DES-CBC (zero IV)
// encryption of the decimal text of a random n in 0..32767, and M1, the
// same for n + 1, under the key that the two hex shares give by exclusive-or.
// 0, or the first failing step's code with M and M1 untouched.
int GetM(std::string_view shareA, std::string_view shareB, std::string& M, std::string& M1);

// GetServerAuth: a new pair replaces the kept one and M goes to auth. On
// failure the kept pair is cleared, so no earlier answer stays valid; the
// code is returned and auth stays empty.
int ServerGetAuth(TaveloState& state, std::string& auth);
// VerifyServerResponse: 5005 for a missing or empty answer, 5907 unless it
// equals the kept M1 (which stays, so the same answer passes again).
int ServerVerifyResponse(TaveloState& state, const OptionalText& response);
// VerifyURL: 0 at once once authorised; else the given URL (kept, at most
// 1023 characters) or the kept one must name a host that the built-in
// patterns allow: 5907 otherwise.
int ServerVerifyURL(TaveloState& state, const OptionalText& url);

// The pattern table: at most 20 entries of at most 49 characters.
inline constexpr std::size_t kUrlPatternEntries = 20;
inline constexpr std::size_t kUrlPatternLength = 49;
using UrlPatternTable = std::array<std::string, kUrlPatternEntries>;

// Splits the pattern text at ";" (one leading "*" of each entry dropped);
// the 20th entry keeps the rest of the text. An entry longer than 49
// characters is left empty, and an empty entry allows nothing.
void SplitUrlPatterns(std::string_view text, UrlPatternTable& table, std::size_t& count);

// The host of a URL: after "://" and any run of "/" and "\", up to the
// first "/", "\", "?", "#" or ":". None without "://", with "@" in the
// authority, or with an empty host.
std::optional<std::string_view> UrlHost(std::string_view url);

// Whether the host is allowed by one entry: an entry that begins with a dot
// allows one label (letters, digits, "-") followed by the entry exactly;
// any other non-empty entry allows that host alone.
bool HostMatchesPattern(std::string_view host, std::string_view entry);

} // namespace tavelo
