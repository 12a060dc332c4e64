#include "base/plain_json.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace snapwright::base {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kMaxDepth = 64;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A parser that gives up, rather than report, at the first thing it does not read.
class PlainParser {
  public:
    explicit PlainParser(std::string_view text)
        : position_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Json> document() {
        Json result;
        if (!value(result, 0)) {
            return std::nullopt;
        }
        skip_space();
        if (position_ != end_) {
            return std::nullopt;
        }
        return result;
    }

  private:
    void skip_space() {
        while (position_ != end_ && (*position_ == ' ' || *position_ == '\n' ||
                                     *position_ == '\r' || *position_ == '\t')) {
            ++position_;
        }
    }

    // Skips white space and then `c`, if that is what comes.
    bool take(char c) {
        skip_space();
        if (position_ == end_ || *position_ != c) {
            return false;
        }
        ++position_;
        return true;
    }

    bool value(Json& out, int depth) {
        skip_space();
        if (position_ == end_) {
            return false;
        }
        switch (*position_) {
            case '{':
                return object(out, depth + 1);
            case '[':
                return array(out, depth + 1);
            case '"': {
                std::string text;
                if (!string(text)) {
                    return false;
                }
                out = std::move(text);
                return true;
            }
            case 't':
                return literal("true", out, true);
            case 'f':
                return literal("false", out, false);
            case 'n':
                return literal("null", out, nullptr);
            default:
                return number(out);
        }
    }

    template <typename Value>
    bool literal(std::string_view word, Json& out, Value value) {
        if (static_cast<std::size_t>(end_ - position_) < word.size() ||
            std::string_view(position_, word.size()) != word) {
            return false;
        }
        position_ += word.size();
        out = value;
        return true;
    }

    bool object(Json& out, int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        ++position_;
        out = Json::object();
        auto& members = out.get_ref<Json::object_t&>();
        if (take('}')) {
            return true;
        }
        do {
            skip_space();
            std::string name;
            if (position_ == end_ || *position_ != '"' || !string(name) || out.contains(name) ||
                !take(':')) {
                return false;
            }
            Json member;
            if (!value(member, depth)) {
                return false;
            }
            members.emplace_back(std::move(name), std::move(member));
        } while (take(','));
        return take('}');
    }

    bool array(Json& out, int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        ++position_;
        out = Json::array();
        auto& elements = out.get_ref<Json::array_t&>();
        if (take(']')) {
            return true;
        }
        do {
            Json element;
            if (!value(element, depth)) {
                return false;
            }
            elements.push_back(std::move(element));
        } while (take(','));
        return take(']');
    }

    // At the opening quote; ASCII text with the short escapes only.
    bool string(std::string& out) {
        ++position_;
        while (position_ != end_) {
            const char* run = position_;
            while (position_ != end_ && *position_ != '"' && *position_ != '\\' &&
                   static_cast<unsigned char>(*position_) >= 0x20 &&
                   static_cast<unsigned char>(*position_) < 0x80) {
                ++position_;
            }
            out.append(run, position_);
            if (position_ == end_) {
                return false;
            }
            const char c = *position_++;
            if (c == '"') {
                return true;
            }
            if (c != '\\' || position_ == end_) {
                return false;
            }
            switch (*position_++) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                default:
                    return false;
            }
        }
        return false;
    }

    // An integer: unsigned when it has no sign, signed when it has one, as the full reader types
    // them; a fraction, an exponent or a magnitude beyond 64 bits is left to that reader.
    bool number(Json& out) {
        const bool negative = *position_ == '-';
        if (negative) {
            ++position_;
        }
        if (position_ == end_ || !is_digit(*position_)) {
            return false;
        }
        std::uint64_t magnitude = 0;
        if (*position_ == '0') {
            ++position_;
        } else {
            while (position_ != end_ && is_digit(*position_)) {
                const auto digit = static_cast<std::uint64_t>(*position_ - '0');
                if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                    return false;
                }
                magnitude = magnitude * 10 + digit;
                ++position_;
            }
        }
        if (position_ != end_ &&
            (is_digit(*position_) || *position_ == '.' || *position_ == 'e' || *position_ == 'E')) {
            return false;
        }
        if (!negative) {
            out = magnitude;
            return true;
        }
        constexpr std::uint64_t kLargestNegative =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
        if (magnitude > kLargestNegative) {
            return false;
        }
        out = magnitude == kLargestNegative ? std::numeric_limits<std::int64_t>::min()
                                            : -static_cast<std::int64_t>(magnitude);
        return true;
    }

    const char* position_;
    const char* end_;
};

}  // namespace

std::optional<nlohmann::ordered_json> parse_plain_json(std::string_view text) {
    return PlainParser(text).document();
}

}  // namespace snapwright::base
