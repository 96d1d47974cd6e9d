#include "platform/host/machine/registry_store.h"

namespace tarnel::host {

RegistryStore::RegistryStore(std::filesystem::path hive) : hive_(std::move(hive)) {}
RegistryStore::~RegistryStore() = default;

}  // namespace tarnel::host
