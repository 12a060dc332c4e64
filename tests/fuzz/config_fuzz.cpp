#include <string>

#include "base/app_error.hpp"
#include "config/config.hpp"
#include "fuzz_check.hpp"

using namespace snapwright;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    try {
        const config::Config parsed = config::parse_config(text);
        // Blank, comment and unknown lines mean nothing, wherever they stand.
        const std::string padded =
            "# comment\n\nUNKNOWN_KEY=x\n" + std::string(text) + "\n  # end\n";
        fuzz::check(config::parse_config(padded) == parsed,
                    "comments, blank lines and unknown keys change nothing");
    } catch (const base::AppError&) {
    }
    return 0;
}
