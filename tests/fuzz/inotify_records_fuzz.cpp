#include <cstring>
#include <string>

#include "base/app_error.hpp"
#include "fuzz_check.hpp"
#include "triggers/inotify_records.hpp"

using namespace snapwright;

// The bytes of one read from an inotify descriptor.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes, so that any read past the end is caught.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        const triggers::EventBatch batch = triggers::walk_inotify_records(bytes);
        // A valid stream stays valid, and no less urgent, with one more record appended.
        std::string longer = bytes;
        longer.append(16, '\0');
        const triggers::EventBatch more = triggers::walk_inotify_records(longer);
        fuzz::check((!batch.trigger || more.trigger) && (!batch.invalidated || more.invalidated),
                    "an appended empty record takes nothing away");
    } catch (const base::AppError&) {
    }
    return 0;
}
