// The machine's registry: one tree per root key, kept in the hive file (skeleton; the store
// operations are being built).
#pragma once

#include <filesystem>

namespace tarnel::host {

class RegistryStore {
public:
    explicit RegistryStore(std::filesystem::path hive);
    ~RegistryStore();

    const std::filesystem::path& hivePath() const { return hive_; }

private:
    std::filesystem::path hive_;
};

}  // namespace tarnel::host
