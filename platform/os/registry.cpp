// registry.cpp - the programs' read access to the device registry of the
// simulated platform (the file-backed store in the bus directory).
#include "os.h"
#include "os_internal.h"
#include "regstore.h"

namespace os {

std::optional<RegistryKey> RegistryKey::open(const std::string& path) {
    RegistryKey key;
    // The key stays on the registry it was opened on, even if the process
    // moves to another bus while it holds the key.
    key.root_ = detail::registryRoot().string();
    if (!regstore::Store(key.root_).keyExists(path)) return std::nullopt;
    key.path_ = path;
    return key;
}

std::optional<std::string> RegistryKey::subkeyName(size_t index) const {
    if (!subkeys_) subkeys_ = regstore::Store(root_).subkeys(path_);
    if (index >= subkeys_->size()) return std::nullopt;
    return (*subkeys_)[index];
}

std::optional<std::string> RegistryKey::stringValue(const std::string& name) const {
    auto v = regstore::Store(root_).value(path_, name);
    if (!v || v->type != regstore::Value::Type::String || v->strings.empty()) return std::nullopt;
    return v->strings.front();
}

}  // namespace os
