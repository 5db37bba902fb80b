#include "session/secret_service_on_demand.h"

#include "session/module_loader.h"

namespace platform {

std::vector<std::string> SecretServiceOnDemand::DefaultModulePaths() {
    return ModulePaths(POSTWREN_KEYRING_MODULE_FROM_PROGRAM, POSTWREN_KEYRING_MODULE_INSTALLED);
}

SecretServiceOnDemand::SecretServiceOnDemand(NoteSink notes, std::vector<std::string> modulePaths)
    : notes_(std::move(notes)), modulePaths_(std::move(modulePaths)) {}

SecretServiceOnDemand::~SecretServiceOnDemand() = default;

SecretStore* SecretServiceOnDemand::client() {
    if (client_ || failed_)
        return client_.get();
    failed_ = true;
    std::string why;
    // The client registers types with Qt that must outlive it: the module stays.
    const auto make = reinterpret_cast<decltype(&PostwrenNewSecretService)>(
        LoadModuleEntry(modulePaths_, kPostwrenNewSecretService, "keyring module", why));
    if (make != nullptr) {
        client_.reset(make());
        client_->LimitWaits(limit_);
        failed_ = false;
        return client_.get();
    }
    if (notes_)
        notes_("the keyring cannot be used: " + why);
    return nullptr;
}

SecretStatus SecretServiceOnDemand::Store(const std::string& label, const SecretAttributes& attributes,
                                          const std::string& secret) {
    SecretStore* c = client();
    return c != nullptr ? c->Store(label, attributes, secret) : SecretStatus::Failed;
}

SecretStatus SecretServiceOnDemand::Lookup(const SecretAttributes& attributes, std::string& secret) {
    SecretStore* c = client();
    return c != nullptr ? c->Lookup(attributes, secret) : SecretStatus::Failed;
}

SecretStatus SecretServiceOnDemand::Clear(const SecretAttributes& attributes) {
    SecretStore* c = client();
    return c != nullptr ? c->Clear(attributes) : SecretStatus::Failed;
}

void SecretServiceOnDemand::LimitWaits(std::optional<std::chrono::steady_clock::time_point> limit) {
    limit_ = limit;
    if (client_)
        client_->LimitWaits(limit);
}

void SecretServiceOnDemand::Cancel() {
    // Nothing waits in a client that was never loaded.
    if (client_)
        client_->Cancel();
}

}  // namespace platform
