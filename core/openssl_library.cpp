#include "core/openssl_library.h"

#include <dlfcn.h>

namespace platform {
namespace {

#define POSTWREN_TEXT(x) #x
#define POSTWREN_TEXT_OF(x) POSTWREN_TEXT(x)
// The library's soname for the major version of the headers built against:
// OpenSSL keeps its interface within one major version.
constexpr char kLibrary[] = "libssl.so." POSTWREN_TEXT_OF(OPENSSL_SHLIB_VERSION);

struct Loaded {
    OpenSslLibrary functions;
    std::string failure;  // empty: loaded
};

Loaded Load() {
    Loaded loaded;
    // Kept open for good: the functions are used until the process ends.
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        loaded.failure = std::string("cannot load ") + kLibrary + (error != nullptr ? std::string(": ") + error : "");
        return loaded;
    }
    // The symbols of libssl's own dependency (libcrypto) are found through its handle too.
#define POSTWREN_OPENSSL_BIND(name)                                                                    \
    loaded.functions.name = reinterpret_cast<decltype(loaded.functions.name)>(::dlsym(handle, #name)); \
    if (loaded.functions.name == nullptr && loaded.failure.empty())                                    \
        loaded.failure = std::string(kLibrary) + " has no " #name;
    POSTWREN_OPENSSL_FUNCTIONS(POSTWREN_OPENSSL_BIND)
#undef POSTWREN_OPENSSL_BIND
    return loaded;
}

const Loaded& Library() {
    static const Loaded loaded = Load();
    return loaded;
}

}  // namespace

bool LoadOpenSsl(std::string& why) {
    const Loaded& loaded = Library();
    if (!loaded.failure.empty()) {
        why = loaded.failure;
        return false;
    }
    return true;
}

const OpenSslLibrary& OpenSsl() {
    return Library().functions;
}

}  // namespace platform
