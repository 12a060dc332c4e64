#include "provider/snapshot_properties.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace snapwright::provider {
namespace {

void append_length(std::string& out, std::size_t length) {
    while (length >= 0x80) {
        out.push_back(static_cast<char>((length & 0x7f) | 0x80));
        length >>= 7;
    }
    out.push_back(static_cast<char>(length));
}

std::size_t read_length(std::string_view data, std::size_t& at) {
    std::size_t length = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(data[at++]);
        length |= static_cast<std::size_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            return length;
        }
    }
}

std::string_view read_text(std::string_view data, std::size_t& at) {
    const std::size_t length = read_length(data, at);
    const std::string_view text = data.substr(at, length);
    at += length;
    return text;
}

void append_pair(std::string& out, std::string_view name, std::string_view value) {
    append_length(out, name.size());
    out.append(name);
    append_length(out, value.size());
    out.append(value);
}

}  // namespace

SnapshotProperties::const_iterator::const_iterator(std::string_view data, std::size_t at)
    : data_(data), at_(at), next_(at) {
    if (at_ < data_.size()) {
        pair_.first = read_text(data_, next_);
        pair_.second = read_text(data_, next_);
    }
}

SnapshotProperties::const_iterator& SnapshotProperties::const_iterator::operator++() {
    *this = const_iterator(data_, next_);
    return *this;
}

SnapshotProperties::const_iterator SnapshotProperties::const_iterator::operator++(int) {
    const_iterator before = *this;
    ++*this;
    return before;
}

template <typename Pairs>
void SnapshotProperties::assign_sorted(const Pairs& pairs) {
    std::vector<value_type> sorted;
    for (const auto& [name, value] : pairs) {
        sorted.emplace_back(name, value);
    }
    // Stable, so that of one name the first given stays first and is the one kept.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const value_type& a, const value_type& b) { return a.first < b.first; });
    std::string data;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i == 0 || sorted[i].first != sorted[i - 1].first) {
            append_pair(data, sorted[i].first, sorted[i].second);
        }
    }
    data.shrink_to_fit();
    data_ = std::move(data);
}

SnapshotProperties::SnapshotProperties(
    std::initializer_list<std::pair<std::string, std::string>> pairs) {
    assign_sorted(pairs);
}

SnapshotProperties::SnapshotProperties(const std::map<std::string, std::string>& pairs) {
    assign_sorted(pairs);
}

SnapshotProperties::const_iterator SnapshotProperties::find(std::string_view name) const {
    for (auto it = begin(); it != end(); ++it) {
        if (it->first == name) {
            return it;
        }
    }
    return end();
}

std::string_view SnapshotProperties::at(std::string_view name) const {
    const auto it = find(name);
    if (it == end()) {
        throw std::out_of_range("no snapshot property " + std::string(name));
    }
    return it->second;
}

std::size_t SnapshotProperties::size() const {
    return static_cast<std::size_t>(std::distance(begin(), end()));
}

void SnapshotProperties::set(std::string_view name, std::string_view value) {
    std::vector<value_type> pairs;
    for (const value_type& pair : *this) {
        if (pair.first != name) {
            pairs.push_back(pair);
        }
    }
    pairs.emplace_back(name, value);
    // The views point into data_, which assign_sorted replaces only once it has copied them.
    assign_sorted(pairs);
}

std::size_t SnapshotProperties::erase(std::string_view name) {
    std::string data;
    std::size_t removed = 0;
    for (const auto& [own_name, value] : *this) {
        if (own_name == name) {
            ++removed;
        } else {
            append_pair(data, own_name, value);
        }
    }
    if (removed > 0) {
        data_ = std::move(data);
    }
    return removed;
}

}  // namespace snapwright::provider
