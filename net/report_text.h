// What a failure report may show of a server's text: a bounded part of it,
// and never a secret of the log-on in any form a server could echo it in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"

// The most bytes of a server's text a report shows, after escaping, the cut
// mark included. A reply can be as long as the session lets a line be; a log
// line, a notification or a terminal has no use for more than this.
inline constexpr std::size_t kMaxReportTextBytes = 512;

// `escaped` (CP932, controls already written as "\xNN") cut to at most
// kMaxReportTextBytes bytes, ending in "…" where it was cut. A cut never
// splits a double-byte character or a "\xNN".
AnsiString BoundReportText(std::string_view escaped);

// Stands for a secret wherever a server echoes it.
inline constexpr char kRedactedText[] = "********";

// `text` with every echo of any of `secrets` replaced by kRedactedText. An
// echo is looked for case-insensitively (ASCII letters), with control bytes
// and terminal escape sequences between its characters ignored, and also
// after "%XX" sequences are decoded; and each secret is looked for as it is,
// in hex and in base64 (also inside a longer base64 text). A stretch that
// matches in any of these ways is redacted whole, with what lies between its
// characters: a false match costs some of the text, a missed one the secret.
// Empty secrets are ignored. Control bytes outside a match stay as they are.
AnsiString RedactSecrets(std::string_view text, const std::vector<std::string>& secrets);

// The SASL PLAIN responses (RFC 4616) a log-on as `user` with `password`
// could send, without and with the authorisation identity: "\0user\0password"
// and "user\0user\0password". Both are secrets: a server that echoes one,
// base64 or not, shows the password with it.
std::vector<std::string> SaslPlainResponses(const std::string& user, const std::string& password);
