#include <string>

#include "base/text.hpp"
#include "fuzz_check.hpp"
#include "system/subvolume.hpp"

using namespace snapwright;

// The "Snapshot(s):" section lists other subvolumes by name; whoever makes a snapshot chooses
// its name, so nothing from that line on may decide the UUID.
std::string_view before_snapshot_list(std::string_view text) {
    std::size_t offset = 0;
    for (const std::string_view line : base::split_lines(text)) {
        if (base::trim(line) == "Snapshot(s):") {
            return text.substr(0, offset);
        }
        offset = static_cast<std::size_t>(line.data() - text.data()) + line.size();
    }
    return text;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    const std::optional<std::string> uuid = system::parse_subvolume_uuid(text);
    if (uuid) {
        fuzz::check(!uuid->empty() && *uuid != "-", "a UUID is a value");
        fuzz::check(base::to_lower_ascii(*uuid) == *uuid, "a UUID is lower case");
    }
    fuzz::check(uuid == system::parse_subvolume_uuid(before_snapshot_list(text)),
                "the snapshot list never decides the UUID");
    return 0;
}
