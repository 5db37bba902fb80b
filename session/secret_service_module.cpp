// The keyring client as a module of its own, loaded by programs that need it
// seldom (session/secret_service_on_demand.h).
#include "session/secret_service.h"
#include "session/secret_service_on_demand.h"

extern "C" __attribute__((visibility("default"))) platform::SecretStore* PostwrenNewSecretService() {
    return new platform::SecretService();
}
