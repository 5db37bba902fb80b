// The desktop's keyring for a program that seldom needs it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/secret_store.h"

// The keyring module's one entry: a new Secret Service client
// (session/secret_service.h) with its default bounds, owned by the caller.
extern "C" platform::SecretStore* PostwrenNewSecretService();
inline constexpr char kPostwrenNewSecretService[] = "PostwrenNewSecretService";

namespace platform {

// The Secret Service client, loaded from its module by the first call that
// needs it. A process that never asks the keyring never loads Qt D-Bus, the
// bus library and what they depend on: linked in, they made every start of
// postwren-check about a millisecond slower.
//
// When the module cannot be loaded, every call reports Failed and `notes`
// receives the reason once (UTF-8, one line). GUI thread only, like the
// client itself. The module stays loaded until the process ends.
class SecretServiceOnDemand final : public SecretStore {
public:
    using NoteSink = std::function<void(const std::string&)>;

    // Where the build and the installation put the module: the same way from
    // the program's own folder (so a build or an installation anywhere finds
    // its own), then the installation's folder.
    static std::vector<std::string> DefaultModulePaths();

    // The first of `modulePaths` that exists is loaded.
    explicit SecretServiceOnDemand(NoteSink notes, std::vector<std::string> modulePaths = DefaultModulePaths());
    ~SecretServiceOnDemand() override;
    SecretServiceOnDemand(const SecretServiceOnDemand&) = delete;
    SecretServiceOnDemand& operator=(const SecretServiceOnDemand&) = delete;

    SecretStatus Store(const std::string& label, const SecretAttributes& attributes,
                       const std::string& secret) override;
    SecretStatus Lookup(const SecretAttributes& attributes, std::string& secret) override;
    SecretStatus Clear(const SecretAttributes& attributes) override;
    void Cancel() override;
    void LimitWaits(std::optional<std::chrono::steady_clock::time_point> limit) override;

    // Whether the client has been loaded (a call needed it, and it could be).
    bool Loaded() const { return client_ != nullptr; }

private:
    SecretStore* client();

    NoteSink notes_;
    std::vector<std::string> modulePaths_;
    std::unique_ptr<SecretStore> client_;
    bool failed_ = false;
    // Handed to the client once it is loaded.
    std::optional<std::chrono::steady_clock::time_point> limit_;
};

}  // namespace platform
