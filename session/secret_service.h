// The keyring through the freedesktop Secret Service API
// (org.freedesktop.secrets on the session bus): GNOME Keyring, KWallet,
// KeePassXC and others provide it.
#pragma once

#include <chrono>
#include <memory>

#include "core/secret_store.h"

namespace platform {

// Talks to the Secret Service of the session bus asynchronously: each call
// waits for the answers with the message loop turning, never longer than the
// exchange bound in all. A locked collection or item is unlocked through the
// service's own prompt, shown at most once in the life of this object (the
// process); a call that finds the keyring locked after that reports Locked
// at once. The prompt waits for a person, so it has a bound of its own.
// LimitWaits ends every wait, the prompt's included, by the caller's limit.
//
// Secrets travel with the "plain" algorithm, and only over a session bus
// reached through a local socket: on any other bus (tcp:) the service is
// reported as NoService, and callers keep their own way of storing.
//
// GUI thread only (or the one thread of a command-line tool, which needs a
// QCoreApplication). Never throws.
class SecretService final : public SecretStore {
public:
    // How long the messages of one call may take in all.
    static constexpr std::chrono::milliseconds kExchangeBound{5000};
    // How long a person may take to answer the unlock prompt.
    static constexpr std::chrono::milliseconds kPromptBound{60000};

    explicit SecretService(std::chrono::milliseconds exchangeBound = kExchangeBound,
                           std::chrono::milliseconds promptBound = kPromptBound);
    ~SecretService() override;
    SecretService(const SecretService&) = delete;
    SecretService& operator=(const SecretService&) = delete;

    SecretStatus Store(const std::string& label, const SecretAttributes& attributes,
                       const std::string& secret) override;
    SecretStatus Lookup(const SecretAttributes& attributes, std::string& secret) override;
    SecretStatus Clear(const SecretAttributes& attributes) override;
    void Cancel() override;
    void LimitWaits(std::optional<std::chrono::steady_clock::time_point> limit) override;

    // Unlock prompts shown so far: 0 or 1.
    int PromptsShown() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// True when a session bus address names only local transports, over which
// the "plain" algorithm may carry a secret: every entry of the
// ';'-separated list is unix: or autolaunch:. An unset (empty) address is
// local too: the bus library then looks in the user's runtime directory.
bool SessionBusIsLocal(const char* address);

}  // namespace platform
