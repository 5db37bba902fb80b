#include "session/secret_service_on_demand.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace platform {

std::vector<std::string> SecretServiceOnDemand::DefaultModulePaths() {
    std::vector<std::string> paths;
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        paths.push_back((program.parent_path() / POSTWREN_KEYRING_MODULE_FROM_PROGRAM).lexically_normal().string());
    paths.emplace_back(POSTWREN_KEYRING_MODULE_INSTALLED);
    return paths;
}

SecretServiceOnDemand::SecretServiceOnDemand(NoteSink notes, std::vector<std::string> modulePaths)
    : notes_(std::move(notes)), modulePaths_(std::move(modulePaths)) {}

SecretServiceOnDemand::~SecretServiceOnDemand() = default;

SecretStore* SecretServiceOnDemand::client() {
    if (client_ || failed_)
        return client_.get();
    failed_ = true;
    std::string why = "no keyring module at";
    for (const std::string& path : modulePaths_) why += (&path == &modulePaths_.front() ? " " : " or ") + path;
    for (const std::string& path : modulePaths_) {
        std::error_code error;
        if (!std::filesystem::exists(path, error))
            continue;
        // Never closed: the client registers types with Qt that must outlive it.
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        const auto make =
            module != nullptr
                ? reinterpret_cast<decltype(&PostwrenNewSecretService)>(::dlsym(module, kPostwrenNewSecretService))
                : nullptr;
        if (make == nullptr) {
            const char* reason = ::dlerror();
            why = reason != nullptr ? reason : path + " is not the keyring module";
            break;
        }
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
