#include "store/hash_cache.hpp"

namespace snapwright::store {

DescriptorHash HashCache::hash(int fd, const struct stat& status) {
    const FileKey key{status.st_dev,         status.st_ino,          status.st_size,
                      status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec,
                      status.st_ctim.tv_nsec};
    if (const auto found = digests_.find(key); found != digests_.end()) {
        return found->second;
    }
    DescriptorHash hashed = hash_descriptor(fd);
    ++files_hashed_;
    digests_.emplace(key, hashed);
    return hashed;
}

bool HashCache::verified(const std::filesystem::path& path) const {
    return verified_.contains(path);
}

void HashCache::mark_verified(const std::filesystem::path& path) {
    verified_.insert(path);
}

}  // namespace snapwright::store
