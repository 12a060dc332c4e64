#include "base/text.hpp"

namespace snapwright::base {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The length a sequence with this lead byte has and the range its second byte lies in; length
// 0 for a byte that cannot lead one.
struct SequenceShape {
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
};

SequenceShape shape_of(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return {2};
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return {3, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
                static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF)};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return {4, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
                static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF)};
    }
    return {};
}

// How many bytes from text[pos] (the lead byte included) follow `shape`, up to the first that
// does not.
std::size_t matching_prefix(std::string_view text, std::size_t pos, const SequenceShape& shape) {
    std::size_t taken = 1;
    for (std::size_t i = 1; i < shape.length && pos + i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if (b < (i == 1 ? shape.low : 0x80) || b > (i == 1 ? shape.high : 0xBF)) {
            break;
        }
        ++taken;
    }
    return taken;
}

// Length of the valid UTF-8 sequence starting at text[pos], or 0 when it is not valid.
std::size_t valid_sequence_length(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        return 1;
    }
    const SequenceShape shape = shape_of(lead);
    if (shape.length == 0) {
        return 0;
    }
    return matching_prefix(text, pos, shape) == shape.length ? shape.length : 0;
}

// How many bytes of an invalid sequence form its maximal subpart (always at least one).
std::size_t invalid_subpart_length(std::string_view text, std::size_t pos) {
    const SequenceShape shape = shape_of(static_cast<unsigned char>(text[pos]));
    return shape.length == 0 ? 1 : matching_prefix(text, pos, shape);
}

}  // namespace

char32_t decode_utf8(std::string_view text, std::size_t& pos) {
    const std::size_t length = valid_sequence_length(text, pos);
    if (length == 0) {
        pos += invalid_subpart_length(text, pos);
        return kReplacement;
    }
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    char32_t cp = 0;
    switch (length) {
        case 1:
            cp = byte(0);
            break;
        case 2:
            cp = (char32_t(byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
            break;
        case 3:
            cp = (char32_t(byte(0) & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) |
                 (byte(2) & 0x3F);
            break;
        default:
            cp = (char32_t(byte(0) & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) |
                 (char32_t(byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    }
    pos += length;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string lossy_utf8(std::string_view bytes) {
    // Nearly all text is valid: it is copied whole rather than one character at a time.
    if (is_valid_utf8(bytes)) {
        return std::string(bytes);
    }
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t length = valid_sequence_length(bytes, pos);
        if (length == 0) {
            pos += invalid_subpart_length(bytes, pos);
            out += "\xEF\xBF\xBD";
        } else {
            out.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t length = valid_sequence_length(bytes, pos);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!is_unicode_space(decode_utf8(text, next))) {
            break;
        }
        begin = next;
    }
    // An ASCII byte is always a character of its own, valid text or not, so trailing ASCII is
    // judged from the end; only a line that ends in other bytes is decoded from the front.
    std::size_t end = text.size();
    while (end > begin && static_cast<unsigned char>(text[end - 1]) < 0x80) {
        if (!is_unicode_space(static_cast<char32_t>(text[end - 1]))) {
            return text.substr(begin, end - begin);
        }
        --end;
    }
    const std::string_view rest = text.substr(0, end);
    std::size_t last = begin;
    std::size_t pos = begin;
    while (pos < rest.size()) {
        const char32_t cp = decode_utf8(rest, pos);
        if (!is_unicode_space(cp)) {
            last = pos;
        }
    }
    return text.substr(begin, last - begin);
}

std::string_view trim_ascii(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_ascii_space(text[begin]))
        ++begin;
    while (end > begin && is_ascii_space(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_unicode_whitespace(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    std::size_t word_start = std::string_view::npos;
    while (pos < text.size()) {
        const std::size_t here = pos;
        const char32_t cp = decode_utf8(text, pos);
        if (is_unicode_space(cp)) {
            if (word_start != std::string_view::npos) {
                words.push_back(text.substr(word_start, here - word_start));
                word_start = std::string_view::npos;
            }
        } else if (word_start == std::string_view::npos) {
            word_start = here;
        }
    }
    if (word_start != std::string_view::npos) {
        words.push_back(text.substr(word_start));
    }
    return words;
}

std::vector<std::string_view> split_ascii_whitespace(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && is_ascii_space(text[pos]))
            ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && !is_ascii_space(text[pos]))
            ++pos;
        if (pos > start) {
            words.push_back(text.substr(start, pos - start));
        }
    }
    return words;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool terminated = end != std::string_view::npos;
        if (!terminated) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (terminated && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && to_lower_ascii(a) == to_lower_ascii(b);
}

bool is_ascii_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_portable_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

}  // namespace snapwright::base
