// What a log line may show of a secret: enough to correlate two lines, never
// enough to use. Every SDK line that prints a key, a token, a signed or
// tokenised URL or a cloud payload that may hold one passes it through here.
#pragma once

#include <string>

namespace kestrel {

// The first 4 characters and the length: "abcd…(32)". Texts of 8 characters
// or fewer show only their length, "…(6)"; an empty text stays empty.
std::string redact_secret(const std::string& secret);

// The URL without its query and fragment, which carry tokens and signatures:
// "rtmp://h:1935/live/s?token=x" -> "rtmp://h:1935/live/s?…(7)". Any user:password
// before the host is cut the same way.
std::string redact_url(const std::string& url);

// A message payload or any free text: the string value of every JSON member
// whose name says secret ("key", "token", "secret", "password", "sign" anywhere
// in it, or "iv" or "sessionId", case-insensitive) is cut with redact_secret, members named
// "...url"/"...uri" with redact_url (also inside JSON texts carried as escaped
// strings), and any other "scheme://" URL in the text loses its query.
std::string redact_text(const std::string& text);

}  // namespace kestrel
