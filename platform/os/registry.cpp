// registry.cpp - the programs' read access to the device registry of the
// simulated platform (the file-backed store in the bus directory).
//
// An open key remembers the folder the store keeps it in: reads and opens
// below it start there, so enumerating a key with thousands of subkeys and
// looking into each costs a few file-system calls per subkey.
#include "os.h"
#include "os_internal.h"
#include "regstore.h"

namespace os {

std::optional<RegistryKey> RegistryKey::open(const std::string& path) {
    // The key stays on the registry it was opened on, even if the process
    // moves to another bus while it holds the key.
    auto folder = regstore::Store(detail::registryRoot()).keyFolder(path);
    if (!folder) return std::nullopt;
    RegistryKey key;
    key.folder_ = folder->string();
    key.path_ = path;
    return key;
}

std::optional<RegistryKey> RegistryKey::openSubkey(const std::string& name) const {
    // An empty name would be the key itself, which a subkey never is.
    if (name.empty()) return std::nullopt;
    auto folder = regstore::Store(folder_).keyFolder(name);
    if (!folder) return std::nullopt;
    RegistryKey key;
    key.folder_ = folder->string();
    key.path_ = path_.empty() ? name : path_ + "\\" + name;
    return key;
}

std::optional<std::string> RegistryKey::subkeyName(size_t index) const {
    if (!subkeys_) subkeys_ = regstore::Store(folder_).subkeys("");
    if (index >= subkeys_->size()) return std::nullopt;
    return (*subkeys_)[index];
}

std::optional<std::string> RegistryKey::stringValue(const std::string& name) const {
    auto v = regstore::Store(folder_).value("", name);
    if (!v || v->type != regstore::Value::Type::String || v->strings.empty()) return std::nullopt;
    return v->strings.front();
}

}  // namespace os
