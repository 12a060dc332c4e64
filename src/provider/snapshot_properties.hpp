#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace snapwright::provider {

// The free-form name/value pairs a provider records with a snapshot, sorted by name as bytes with
// each name once, like a std::map of strings. They are kept in one buffer rather than one node per
// pair: a run holds the descriptors of every listed snapshot, and seven map nodes each made the
// properties the largest part of a descriptor.
class SnapshotProperties {
  public:
    using value_type = std::pair<std::string_view, std::string_view>;

    // Walks the pairs in name order; the views stay valid until the properties change.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = SnapshotProperties::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type*;
        using reference = const value_type&;

        const_iterator() = default;
        reference operator*() const { return pair_; }
        pointer operator->() const { return &pair_; }
        const_iterator& operator++();
        const_iterator operator++(int);
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

      private:
        friend class SnapshotProperties;
        const_iterator(std::string_view data, std::size_t at);

        std::string_view data_;
        std::size_t at_ = 0;
        std::size_t next_ = 0;
        value_type pair_;
    };
    using iterator = const_iterator;

    SnapshotProperties() = default;
    // Of pairs with one name, the first counts, as when a std::map is built from them.
    SnapshotProperties(std::initializer_list<std::pair<std::string, std::string>> pairs);
    explicit SnapshotProperties(const std::map<std::string, std::string>& pairs);

    [[nodiscard]] const_iterator begin() const { return {data_, 0}; }
    [[nodiscard]] const_iterator end() const { return {data_, data_.size()}; }
    [[nodiscard]] const_iterator find(std::string_view name) const;
    // The value named `name`; throws std::out_of_range when there is none.
    [[nodiscard]] std::string_view at(std::string_view name) const;
    [[nodiscard]] bool empty() const { return data_.empty(); }
    [[nodiscard]] std::size_t size() const;

    // Sets `name` to `value`, adding the pair when the name is new.
    void set(std::string_view name, std::string_view value);
    // Removes the pair named `name`; returns how many were removed (0 or 1).
    std::size_t erase(std::string_view name);

    // One encoding per set of pairs, so equal properties are equal buffers.
    bool operator==(const SnapshotProperties&) const = default;

  private:
    template <typename Pairs>
    void assign_sorted(const Pairs& pairs);

    // Each pair as its name's length, the name, its value's length and the value; lengths as
    // base-128 varints.
    std::string data_;
};

}  // namespace snapwright::provider
