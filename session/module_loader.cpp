#include "session/module_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace platform {

std::vector<std::string> ModulePaths(const char* fromProgram, const char* installed) {
    std::vector<std::string> paths;
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        paths.push_back((program.parent_path() / fromProgram).lexically_normal().string());
    paths.emplace_back(installed);
    return paths;
}

void* LoadModuleEntry(const std::vector<std::string>& paths, const char* entry, const char* what, std::string& why) {
    why = std::string("no ") + what + " at";
    for (const std::string& path : paths) why += (&path == &paths.front() ? " " : " or ") + path;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!std::filesystem::exists(path, error))
            continue;
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* address = module != nullptr ? ::dlsym(module, entry) : nullptr;
        if (address == nullptr) {
            const char* reason = ::dlerror();
            why = reason != nullptr ? reason : path + " is not the " + what;
        }
        return address;
    }
    return nullptr;
}

}  // namespace platform
