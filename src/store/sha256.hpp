#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace snapwright::store {

// The block function that does the work. `Automatic` is the fastest one this CPU offers,
// chosen once per process.
enum class Sha256Backend {
    Automatic,
    Portable,
    // The x86 SHA extensions (with SSSE3 and SSE4.1).
    ShaExtensions,
};

// Whether the CPU can run `backend` (Automatic and Portable always can).
bool sha256_backend_available(Sha256Backend backend);

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256 (FIPS 180-4). Feed bytes with `update` in pieces of any size, then take
// the digest once with `finish`; the object is spent afterwards.
class Sha256 {
  public:
    // Throws std::invalid_argument when the CPU lacks the requested backend.
    explicit Sha256(Sha256Backend backend = Sha256Backend::Automatic);

    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    Sha256Digest finish();

    using BlockFunction = void (*)(std::uint32_t state[8], const std::uint8_t* blocks,
                                   std::size_t count);

  private:
    BlockFunction blocks_;
    std::uint32_t state_[8];
    std::uint8_t pending_[64];
    std::size_t pending_size_ = 0;
    std::uint64_t total_bytes_ = 0;
};

// 64 lower-case hexadecimal digits.
std::string sha256_hex(const Sha256Digest& digest);
// The digest of `bytes` as hexadecimal text.
std::string sha256_hex(std::string_view bytes, Sha256Backend backend = Sha256Backend::Automatic);

}  // namespace snapwright::store
