// The keyring client as a module of its own, loaded by programs that need it
// seldom (desktop/secret_service_on_demand.h).
#include "desktop/secret_service.h"
#include "desktop/secret_service_on_demand.h"

extern "C" __attribute__((visibility("default"))) platform::SecretStore* PostwrenNewSecretService() {
    return new platform::SecretService();
}
