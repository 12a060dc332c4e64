#include <string>

#include "fuzz_check.hpp"
#include "provider/btrfs/subvolume_row.hpp"

using namespace snapwright;
using provider::btrfs::RowVerdict;

// One line of `btrfs subvolume list -s -u -q -R`, judged without and with a root subvolume.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line = fuzz::as_text(data, size);
    const std::optional<std::string> root_uuid = "ab4311b3-a8c9-5e47-9662-37ab55c6769f";
    for (const std::optional<std::string>& root : {std::optional<std::string>(), root_uuid}) {
        const provider::btrfs::ParsedRow parsed = provider::btrfs::parse_subvolume_row(line, root);
        if (parsed.verdict != RowVerdict::Accepted)
            continue;
        const provider::btrfs::SubvolumeRow& row = parsed.row;
        fuzz::check(!row.path.empty() && !row.path.starts_with('/'),
                    "an accepted path is relative and not empty");
        fuzz::check(provider::btrfs::kernel_can_carry_path(row.path),
                    "an accepted path fits on the kernel command line");
        fuzz::check(!row.root_id.empty() && row.identity == row.uuid.value_or(row.root_id),
                    "an accepted row has its ID and identity");
    }
    return 0;
}
