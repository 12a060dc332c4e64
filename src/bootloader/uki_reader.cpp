#include "bootloader/uki_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/app_error.hpp"
#include "base/directory.hpp"
#include "base/file_io.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "store/file_hash.hpp"
#include "system/host_identity.hpp"

namespace snapwright::bootloader {
namespace {

namespace fs = std::filesystem;

constexpr const char* kType2Directory = "EFI/Linux";
constexpr std::size_t kMaxTextSection = 65536;
constexpr std::size_t kMaxFileNameBytes = 255;
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// A file found by its own name rather than read for a bad entry line: worth a message when
// passed over. An efi line may name any EFI program; only one with a .linux section matters.
enum class Found { Type2, UkiLine, EfiLine };

FileIdentity identity_of(const struct stat& st) {
    return FileIdentity{
        .device = st.st_dev,
        .inode = st.st_ino,
        .size = static_cast<std::uint64_t>(st.st_size),
        .modified_seconds = st.st_mtim.tv_sec,
        .modified_nanoseconds = st.st_mtim.tv_nsec,
        .changed_seconds = st.st_ctim.tv_sec,
        .changed_nanoseconds = st.st_ctim.tv_nsec,
    };
}

ReadBytes reader_of(int fd, std::uint64_t base_offset, const std::string& shown) {
    return [fd, base_offset, shown](std::uint64_t offset, std::size_t length) {
        std::string bytes(length, '\0');
        std::size_t done = 0;
        while (done < length) {
            const ssize_t got =
                base::pread_retrying(fd, bytes.data() + done, length - done,
                                     static_cast<off_t>(base_offset + offset + done));
            if (got < 0) {
                base::throw_os_error("read " + shown, errno);
            }
            if (got == 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        return bytes;
    };
}

// Control characters shown as "?", so that a message stays one line.
std::string shown_printable(std::string name) {
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return name;
}

[[noreturn]] void refuse(const std::string& shown, const std::string& what) {
    base::throw_error("malformed PE image " + shown + ": " + what);
}

std::string text_section(const ReadBytes& read, const PeSection& section,
                         const std::string& shown) {
    if (section.size > kMaxTextSection) {
        refuse(shown, "section " + section.name + " is larger than " +
                          std::to_string(kMaxTextSection) + " bytes");
    }
    std::string text = read(section.offset, static_cast<std::size_t>(section.size));
    if (text.size() != section.size) {
        refuse(shown, "short read of section " + section.name);
    }
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos) {
        text.resize(nul);
    }
    if (!base::is_valid_utf8(text)) {
        refuse(shown, "section " + section.name + " is not valid UTF-8");
    }
    return text;
}

// Reads one image; throws for a malformed file. Nothing when an efi line names an EFI program
// that is no image.
std::optional<UnifiedKernelImage> read_image(int fd, const struct stat& st,
                                             const std::string& location, Found found,
                                             system::SecureBoot secure_boot, bool with_digest) {
    const std::string& shown = location;
    const ReadBytes read = reader_of(fd, 0, shown);
    const PeImage pe = read_pe_image(static_cast<std::uint64_t>(st.st_size), read, shown);
    if (found == Found::EfiLine &&
        std::none_of(pe.sections.begin(), pe.sections.end(),
                     [](const PeSection& section) { return section.name == ".linux"; })) {
        return std::nullopt;
    }
    UnifiedKernelImage image;
    image.locations.push_back(location);
    image.file_name = fs::path(location).filename().native();
    image.identity = identity_of(st);
    image.sections = uki_sections(pe, shown);

    // systemd-boot starts the unpacked kernel as an EFI program of its own.
    const PeSection& linux = image.sections.linux;
    const PeImage kernel = read_pe_image(linux.size, reader_of(fd, linux.offset, shown),
                                         "in section .linux of " + shown);
    image.kernel_signed = kernel.has_signature;
    if (image.sections.cmdline) {
        image.cmdline =
            kernel_command_line_text(text_section(read, *image.sections.cmdline, shown));
    }
    if (image.sections.osrel) {
        image.os_name = system::parse_os_name(text_section(read, *image.sections.osrel, shown),
                                              "section .osrel of " + shown);
    }
    if (image.sections.uname) {
        const std::string uname(base::trim(text_section(read, *image.sections.uname, shown)));
        if (std::any_of(uname.begin(), uname.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
            refuse(shown, "section .uname holds control characters");
        }
        if (!uname.empty()) {
            image.uname = uname;
        }
    }
    if (secure_boot == system::SecureBoot::Enabled && !image.kernel_signed) {
        base::throw_error("Secure Boot is enabled and the kernel in " + shown +
                          " is not signed on its own, so snapshot entries made from it could "
                          "not boot");
    }
    if (with_digest) {
        if (::lseek(fd, 0, SEEK_SET) != 0) {
            base::throw_io_error(errno);
        }
        image.digest = store::hash_descriptor(fd).digest;
    }
    return image;
}

class Scanner {
  public:
    Scanner(system::SecureBoot secure_boot, bool with_digest)
        : secure_boot_(secure_boot), with_digest_(with_digest) {}

    // Reads the file open at `fd` (or refuses it) unless it was read already under another name.
    void add(base::UniqueFd fd, const std::string& location, Found found) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            scan_.refusals.push_back("inspect " + location + ": " +
                                     base::OsError::from_errno(errno).text);
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            if (found != Found::EfiLine) {
                scan_.refusals.push_back("unified kernel image is not a regular file: " + location);
            }
            return;
        }
        for (UnifiedKernelImage& image : scan_.images) {
            if (image.identity.device == st.st_dev && image.identity.inode == st.st_ino) {
                if (std::find(image.locations.begin(), image.locations.end(), location) ==
                    image.locations.end()) {
                    image.locations.push_back(location);
                }
                return;
            }
        }
        try {
            if (auto image =
                    read_image(fd.get(), st, location, found, secure_boot_, with_digest_)) {
                scan_.images.push_back(std::move(*image));
            }
        } catch (const base::AppError& error) {
            // A refused image is passed over like an unusable entry; the scan goes on.
            scan_.refusals.push_back(error.display());
        }
    }

    // Opens a file that an entry names and adds it; a missing file or a link is a refusal.
    void add_named(const fs::path& boot_root, const std::string& value, Found found) {
        try {
            check_asset_path(value);
        } catch (const base::AppError& error) {
            scan_.refusals.push_back(error.display());
            return;
        }
        const std::string location = normal_boot_path(value);
        const fs::path path = base::join_under(boot_root, location);
        base::UniqueFd fd(::open(path.c_str(), kOpenFlags));
        if (!fd) {
            scan_.refusals.push_back(
                (errno == ELOOP
                     ? "unified kernel image is a symbolic link: " + location
                     : "open " + location + ": " + base::OsError::from_errno(errno).text));
            return;
        }
        add(std::move(fd), location, found);
    }

    void refuse(std::string message) { scan_.refusals.push_back(std::move(message)); }

    UkiScan take() { return std::move(scan_); }

  private:
    system::SecureBoot secure_boot_;
    bool with_digest_;
    UkiScan scan_;
};

bool is_image_name(const std::string& name) {
    return name.size() > 4 && !name.starts_with('.') &&
           base::equals_ignore_ascii_case(std::string_view(name).substr(name.size() - 4), ".efi");
}

// The name goes into recorded texts line by line: it must be one an entry file could have.
bool is_usable_name(const std::string& name) {
    return name.size() <= kMaxFileNameBytes && base::is_valid_utf8(name) &&
           std::none_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\';
           });
}

}  // namespace

UkiScan scan_unified_kernel_images(const fs::path& boot_root, const std::vector<BootEntry>& entries,
                                   system::SecureBoot secure_boot, bool with_digest) {
    Scanner scanner(secure_boot, with_digest);
    const base::UniqueFd directory = base::open_directory(boot_root / kType2Directory, O_NOFOLLOW);
    if (directory) {
        std::vector<std::string> names = base::list_directory_at(directory.get());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!is_image_name(name)) {
                continue;
            }
            if (!is_usable_name(name)) {
                scanner.refuse("unified kernel image file name is not a valid entry file name: /" +
                               std::string(kType2Directory) + "/" +
                               base::lossy_utf8(shown_printable(name)));
                continue;
            }
            const std::string location = "/" + std::string(kType2Directory) + "/" + name;
            base::UniqueFd fd(::openat(directory.get(), name.c_str(), kOpenFlags));
            if (!fd) {
                scanner.add_named(boot_root, location, Found::Type2);  // reports why
                continue;
            }
            scanner.add(std::move(fd), location, Found::Type2);
        }
    } else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && errno != EACCES) {
        // No directory, a link in its place, or one an ordinary user running status may not
        // read: no image there.
        base::throw_io_error(errno);
    }
    for (const BootEntry& entry : entries) {
        if (is_owned_entry(entry) || !entry.linux.empty()) {
            continue;
        }
        if (entry.uki) {
            scanner.add_named(boot_root, *entry.uki, Found::UkiLine);
        } else if (entry.efi) {
            scanner.add_named(boot_root, *entry.efi, Found::EfiLine);
        }
    }
    return scanner.take();
}

base::UniqueFd reopen_unified_kernel_image(const fs::path& boot_root, const std::string& location,
                                           const FileIdentity& identity) {
    const fs::path path = base::join_under(boot_root, location);
    base::UniqueFd fd(::open(path.c_str(), kOpenFlags));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || identity_of(st) != identity) {
        base::throw_error("unified kernel image " + location + " changed since it was read");
    }
    return fd;
}

}  // namespace snapwright::bootloader
