#include "triggers/debounce_claim.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <thread>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "store/fs_routines.hpp"

namespace snapwright::triggers {
namespace {

bool valid_claim_name(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

void check_real_directory(const std::filesystem::path& directory) {
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0) {
        base::throw_os_error("inspect debounce directory " + base::display_path(directory), errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        base::throw_error("debounce root is not a real directory: " +
                          base::display_path(directory));
    }
}

}  // namespace

std::string claim_token(long pid, std::uint64_t seconds, std::uint32_t nanoseconds) {
    // seconds * 10^9 + nanoseconds, written out digit by digit so that no width can overflow.
    std::string nanos = std::to_string(nanoseconds);
    std::string since_epoch =
        seconds == 0 ? nanos : std::to_string(seconds) + std::string(9 - nanos.size(), '0') + nanos;
    return std::to_string(pid) + "-" + since_epoch;
}

DebounceClaim place_debounce_claim(const std::string& name, const std::filesystem::path& run_root) {
    const std::filesystem::path directory =
        store::ensure_directory(run_root, base::kRuntimeDirectoryName);
    if (!valid_claim_name(name)) {
        base::throw_error("invalid debounce claim name");
    }
    check_real_directory(directory);

    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    if (since_epoch.count() < 0) {
        base::throw_error("system clock is before the Unix epoch");
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);

    DebounceClaim claim{
        directory / (name + ".token"),
        claim_token(static_cast<long>(::getpid()), static_cast<std::uint64_t>(seconds.count()),
                    static_cast<std::uint32_t>(nanoseconds.count()))};
    store::write_file_atomically(claim.path, claim.token, 0600);
    return claim;
}

bool claim_still_current(const DebounceClaim& claim, std::chrono::milliseconds wait) {
    if (wait.count() > 0) {
        std::this_thread::sleep_for(wait);
    }
    struct stat status {};
    if (::lstat(claim.path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        base::throw_io_error(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return false;
    }
    const std::string content = base::read_text_file(claim.path);
    return base::trim(content) == claim.token;
}

}  // namespace snapwright::triggers
