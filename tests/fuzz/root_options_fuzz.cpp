#include <string>
#include <vector>

#include "base/text.hpp"
#include "bootloader/selection.hpp"
#include "fuzz_check.hpp"
#include "provider/btrfs/subvolume_row.hpp"

using namespace snapwright;

std::vector<std::string_view> other_tokens(std::string_view options) {
    std::vector<std::string_view> tokens;
    for (const std::string_view token : base::split_unicode_whitespace(options)) {
        if (!token.starts_with("rootflags="))
            tokens.push_back(token);
    }
    return tokens;
}

// The first line of the input is the snapshot's subvolume, the rest an entry's options.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [subvolume, options] = fuzz::split_first_line(fuzz::as_text(data, size));

    const std::string rewritten = bootloader::rewrite_root_options(options, subvolume);
    (void)bootloader::root_parameter(options);
    (void)bootloader::mounts_root_subvolume(
        options, system::RootSubvolume{.path = std::string(subvolume), .id = 256});
    (void)bootloader::snapshot_options(options, subvolume, " quiet splash ");
    // Only paths the listing accepts reach the rewrite.
    if (provider::btrfs::kernel_can_carry_path(base::trim(subvolume))) {
        fuzz::check(other_tokens(rewritten) == other_tokens(options),
                    "tokens other than rootflags stay as they were");
        fuzz::check(bootloader::rewrite_root_options(rewritten, subvolume) == rewritten,
                    "rewriting again changes nothing");
    }
    return 0;
}
