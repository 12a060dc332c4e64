#include "provider/snapshot.hpp"

#include <algorithm>

namespace snapwright::provider {
namespace {

bool is_decimal(std::string_view id) {
    return !id.empty() &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view without_leading_zeros(std::string_view digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view{} : digits.substr(first);
}

}  // namespace

std::strong_ordering compare_snapshot_ids(std::string_view a, std::string_view b) {
    if (is_decimal(a) && is_decimal(b)) {
        // Compared by their digits, so that numbers of any length keep their order.
        const std::string_view value_a = without_leading_zeros(a);
        const std::string_view value_b = without_leading_zeros(b);
        if (value_a.size() != value_b.size()) {
            return value_a.size() <=> value_b.size();
        }
        if (const auto order = value_a <=> value_b; order != 0) {
            return order;
        }
    }
    return a <=> b;
}

std::strong_ordering compare_snapshot_keys(const SnapshotKey& a, const SnapshotKey& b) {
    if (const auto order = a.filesystem_uuid <=> b.filesystem_uuid; order != 0) {
        return order;
    }
    if (const auto order = a.provider <=> b.provider; order != 0) {
        return order;
    }
    if (const auto order = a.instance <=> b.instance; order != 0) {
        return order;
    }
    return compare_snapshot_ids(a.snapshot_id, b.snapshot_id);
}

void sort_descriptors(std::vector<SnapshotDescriptor>& descriptors) {
    std::stable_sort(descriptors.begin(), descriptors.end(),
                     [](const SnapshotDescriptor& a, const SnapshotDescriptor& b) {
                         if (a.created_utc != b.created_utc) {
                             return a.created_utc < b.created_utc;
                         }
                         return compare_snapshot_ids(a.key.snapshot_id, b.key.snapshot_id) < 0;
                     });
}

}  // namespace snapwright::provider
