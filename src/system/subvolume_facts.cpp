#include "system/subvolume_facts.hpp"

#include <btrfsutil.h>
#include <fcntl.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "base/unique_fd.hpp"

namespace snapwright::system {

std::string subvolume_uuid_text(const std::uint8_t (&bytes)[16]) {
    constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                              '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    bool all_zero = true;
    std::string text;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
        all_zero = all_zero && bytes[i] == 0;
    }
    return all_zero ? "-" : text;
}

namespace {

// tzset() reads the zone file again on every call, once per snapshot in a listing of thousands;
// localtime_r() alone never notices a changed TZ. So the zone is loaded again only when TZ
// differs from the value it was last loaded for.
void load_zone_once_per_tz() {
    static bool loaded = false;
    static std::optional<std::string> loaded_for;
    const char* tz = std::getenv("TZ");
    std::optional<std::string> current;
    if (tz != nullptr) {
        current = tz;
    }
    if (!loaded || current != loaded_for) {
        ::tzset();
        loaded = true;
        loaded_for = std::move(current);
    }
}

}  // namespace

std::string subvolume_time_text(long long seconds) {
    if (seconds == 0) {
        return "-";
    }
    // btrfs-progs formats with "%Y-%m-%d %X %z" without setting a locale, where %X is this.
    const auto time = static_cast<std::time_t>(seconds);
    struct tm local {};
    load_zone_once_per_tz();
    if (::localtime_r(&time, &local) == nullptr) {
        return "-";
    }
    std::array<char, 64> text{};
    const std::size_t length =
        std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S %z", &local);
    return std::string(text.data(), length);
}

std::optional<SubvolumeFacts> read_subvolume_facts(const std::filesystem::path& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (!fd) {
        return std::nullopt;
    }
    return read_subvolume_facts_at(fd.get());
}

std::optional<SubvolumeFacts> read_subvolume_facts_at(int directory) {
    // ID 0 asks about the subvolume of the descriptor, and fails unless it is its root.
    struct btrfs_util_subvolume_info info {};
    if (::btrfs_util_subvolume_info_fd(directory, 0, &info) != BTRFS_UTIL_OK) {
        return std::nullopt;
    }
    // The root item's flags are what the read-only query itself reads, so they spare it.
    constexpr std::uint64_t kReadOnlyRoot = 1U << 0U;
    return SubvolumeFacts{subvolume_uuid_text(info.uuid), subvolume_uuid_text(info.parent_uuid),
                          subvolume_time_text(static_cast<long long>(info.otime.tv_sec)),
                          (info.flags & kReadOnlyRoot) != 0};
}

}  // namespace snapwright::system
