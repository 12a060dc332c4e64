#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/app_error.hpp"
#include "base/json_reader.hpp"
#include "base/plain_json.hpp"
#include "bootloader/entry_parser.hpp"
#include "bootloader/render.hpp"
#include "fuzz_check.hpp"
#include "manifest/manifest_json.hpp"

using namespace snapwright;

namespace {

// The short way through JSON reads what the full reader reads, or gives up.
void check_plain_json(std::string_view text) {
    const std::optional<base::Json> plain = base::parse_plain_json(text);
    if (!plain) {
        return;
    }
    base::Json full;
    try {
        full = base::Json::parse(text);
    } catch (const base::Json::exception&) {
        fuzz::check(false, "plain JSON is JSON");
    }
    fuzz::check(*plain == full && plain->dump() == full.dump(), "plain JSON reads as JSON does");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_plain_json(fuzz::as_text(data, size));
    manifest::SnapshotManifest parsed;
    try {
        parsed = manifest::parse_manifest(fuzz::as_text(data, size));
    } catch (const base::AppError&) {
        return 0;
    }
    const std::string written = manifest::serialize_manifest(parsed);
    fuzz::check(manifest::parse_manifest(written) == parsed, "a written manifest reads back equal");
    fuzz::check(manifest::serialize_manifest(manifest::parse_manifest(written)) == written,
                "writing is stable");

    // Whatever a manifest records, the entries rendered from it are valid and ours.
    std::vector<bootloader::GeneratedEntry> entries;
    try {
        entries = bootloader::render_entries({parsed}, "snapwright");
    } catch (const base::AppError&) {
        return 0;
    }
    for (const bootloader::GeneratedEntry& entry : entries) {
        try {
            fuzz::check(
                bootloader::is_owned_entry(bootloader::parse_entry(entry.file_name, entry.text)),
                "a rendered entry parses back as owned");
        } catch (const base::AppError& error) {
            std::fprintf(stderr, "rendered entry refused: %s\n", error.what());
            fuzz::check(false, "a rendered entry parses");
        }
    }
    return 0;
}
