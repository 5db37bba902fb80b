// The desktop's keyring: secrets kept for the user by a service of the
// session, each found again by a few attributes. SecretStore is the service
// the settings talk to; its real counterpart speaks the freedesktop Secret
// Service API on the session bus (session/secret_service.h).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// How a keyring operation ended. Typed, so that a caller can tell "there is
// no keyring here" (keep the old way of storing) from "the keyring said no".
enum class SecretStatus {
    Ok,
    // No keyring runs: no session bus, or no Secret Service on it, or one
    // that may not be used over this bus.
    NoService,
    // The keyring stays locked: the user dismissed the unlock prompt, or it
    // was already asked once in this process.
    Locked,
    // No item has these attributes.
    NotFound,
    // Anything else: an error reply, no answer in time, a secret that cannot
    // be given in the program's terms, a cancelled wait.
    Failed,
};

// Attribute names and values, UTF-8. An item matches when it has every one
// of them (it may have more).
using SecretAttributes = std::vector<std::pair<std::string, std::string>>;

// One keyring. GUI thread only (or the one thread of a command-line tool).
// Each call may wait for the service, but never longer than the
// implementation's bound, and keeps the thread's message loop turning while
// it does, so handlers may run inside a call.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Stores `secret` (bytes, UTF-8 text by convention) as the item with
    // exactly these attributes, replacing an item that has the same ones,
    // under `label` (UTF-8), in the default collection.
    virtual SecretStatus Store(const std::string& label, const SecretAttributes& attributes,
                               const std::string& secret) = 0;

    // The secret of an item with these attributes into `secret` (unchanged
    // unless Ok). When several match, the first the service names.
    virtual SecretStatus Lookup(const SecretAttributes& attributes, std::string& secret) = 0;

    // Deletes every item with these attributes; NotFound when there was none.
    virtual SecretStatus Clear(const SecretAttributes& attributes) = 0;

    // Ends a wait that is running now (the program is leaving); the call that
    // waited reports Failed. Harmless when nothing waits.
    virtual void Cancel() = 0;

    // The latest moment, on the steady clock, by which every call made from
    // now on ends, each wait in it included (an unlock prompt's too); a call
    // that reaches it reports Failed. nullopt: only the implementation's own
    // bounds. A check sets its own end here (its time-out from its start),
    // so a keyring that never answers cannot outlast it.
    virtual void LimitWaits(std::optional<std::chrono::steady_clock::time_point> limit) = 0;
};

}  // namespace platform
