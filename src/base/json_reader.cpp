#include "base/json_reader.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "base/app_error.hpp"
#include "base/plain_json.hpp"
#include "base/text.hpp"

namespace snapwright::base {
namespace {

// Reading: nlohmann's lexer and grammar drive a SAX handler that builds the document, refuses
// duplicate members (nlohmann's own DOM builder silently keeps the last one) and remembers where
// each value ended, so that errors can name a line and column. Positions are recorded only by a
// second parse that an error asks for: a document that reads without one, as nearly every does,
// is parsed once without building a path for each of its values.

std::string path_segment(std::string_view name) {
    std::string segment;
    for (char c : name) {
        if (c == '~') {
            segment += "~0";
        } else if (c == '/') {
            segment += "~1";
        } else {
            segment += c;
        }
    }
    return segment;
}

// " at line L column C" for the byte offset: the line and column of the last byte taken.
std::string location(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view taken = text.substr(0, offset);
    const auto line = 1 + std::count(taken.begin(), taken.end(), '\n');
    const std::size_t last_newline = taken.rfind('\n');
    const std::size_t column =
        last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// Hands the text to the lexer byte by byte and counts what it took, so that every SAX event
// knows how far the lexer has read.
class CountingIterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator() = default;
    CountingIterator(const char* position, std::size_t* taken)
        : position_(position), taken_(taken) {}

    reference operator*() const { return *position_; }
    CountingIterator& operator++() {
        ++position_;
        if (taken_ != nullptr) {
            ++*taken_;
        }
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator& other) const { return position_ == other.position_; }
    bool operator!=(const CountingIterator& other) const { return position_ != other.position_; }

  private:
    const char* position_ = nullptr;
    std::size_t* taken_ = nullptr;
};

}  // namespace

class DocumentBuilder final : public nlohmann::json_sax<Json> {
  public:
    DocumentBuilder(std::string_view text, const std::size_t& taken, bool record_positions)
        : text_(text), taken_(taken), record_positions_(record_positions) {}

    bool null() override { return add(nullptr, taken_); }
    bool boolean(bool value) override { return add(value, taken_); }
    bool number_integer(number_integer_t value) override { return add(value, number_end()); }
    bool number_unsigned(number_unsigned_t value) override { return add(value, number_end()); }
    bool number_float(number_float_t value, const string_t& literal) override {
        if (record_positions_) {
            positions_.float_text[next_path()] = literal;
        }
        return add(value, number_end());
    }
    bool string(string_t& value) override { return add(std::move(value), taken_); }
    // The JSON lexer never produces binary values.
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& name) override {
        if (stack_.back().node->contains(name)) {
            error_ = "duplicate field `" + name + "`" + location(text_, taken_);
            return false;
        }
        key_ = std::move(name);
        return true;
    }
    bool end_object() override {
        if (record_positions_) {
            positions_.end[stack_.back().path] = taken_;
        }
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override {
        stack_.pop_back();
        return true;
    }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        // Drop the "[json.exception.parse_error.101] " tag; the rest names line and column.
        std::string message = error.what();
        const std::size_t tag_end = message.find("] ");
        if (!message.empty() && message.front() == '[' && tag_end != std::string::npos) {
            message.erase(0, tag_end + 2);
        }
        // The lexer quotes what it last read, which may be the invalid byte itself.
        error_ = lossy_utf8(message);
        return false;
    }

    Json& document() { return document_; }
    JsonReader::Positions& positions() { return positions_; }
    const std::string& error() const { return error_; }

  private:
    struct Open {
        Json* node;
        std::string path;
    };

    // The lexer reads one byte past a number to see where it ends, unless the text ends there.
    std::size_t number_end() const {
        const bool looked_ahead =
            taken_ > 0 &&
            std::string_view("0123456789+-.eE").find(text_[taken_ - 1]) == std::string_view::npos;
        return looked_ahead ? taken_ - 1 : taken_;
    }

    std::string next_path() const {
        if (stack_.empty()) {
            return "";
        }
        const Open& top = stack_.back();
        if (top.node->is_array()) {
            return top.path + "/" + std::to_string(top.node->size());
        }
        return member_path(top.path, key_);
    }

    // A container is never appended to while a child of it is open, so the pointers on the stack
    // stay valid.
    Json* insert(Json value) {
        if (stack_.empty()) {
            document_ = std::move(value);
            return &document_;
        }
        Json& parent = *stack_.back().node;
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        Json& slot = parent[key_];
        slot = std::move(value);
        return &slot;
    }

    bool add(Json value, std::size_t offset) {
        if (record_positions_) {
            positions_.value[next_path()] = offset;
        }
        insert(std::move(value));
        return true;
    }

    bool open(Json container) {
        std::string path;
        if (record_positions_) {
            path = next_path();
            positions_.value[path] = taken_;
        }
        Json* node = insert(std::move(container));
        stack_.push_back(Open{node, std::move(path)});
        return true;
    }

    std::string_view text_;
    const std::size_t& taken_;
    bool record_positions_;
    Json document_;
    std::vector<Open> stack_;
    std::string key_;
    JsonReader::Positions positions_;
    std::string error_;
};

void fail_json(std::string cause) {
    throw_io_text_error(kJsonFailed, std::move(cause));
}

std::string member_path(const std::string& parent, std::string_view name) {
    return parent + "/" + path_segment(name);
}

namespace {

// Parses `text` into `builder`; throws the parse error.
void parse_into(std::string_view text, std::size_t& taken, DocumentBuilder& builder) {
    const CountingIterator first(text.data(), &taken);
    const CountingIterator last(text.data() + text.size(), nullptr);
    if (!Json::sax_parse(first, last, &builder)) {
        fail_json(builder.error().empty() ? std::string("invalid JSON document") : builder.error());
    }
}

}  // namespace

JsonReader::JsonReader(std::string_view text) : text_(text) {
    // The documents this program writes take the short way; anything else, an error included,
    // is read again in full.
    if (std::optional<Json> plain = parse_plain_json(text)) {
        document_ = std::move(*plain);
        return;
    }
    std::size_t taken = 0;
    DocumentBuilder builder(text, taken, false);
    parse_into(text, taken, builder);
    document_ = std::move(builder.document());
}

const JsonReader::Positions& JsonReader::positions() const {
    if (!positions_) {
        // The text parsed once already, so this parse finds the same document.
        std::size_t taken = 0;
        DocumentBuilder builder(text_, taken, true);
        parse_into(text_, taken, builder);
        positions_ = std::move(builder.positions());
    }
    return *positions_;
}

std::string JsonReader::string(const Json& node, const std::string& path) {
    if (!node.is_string()) {
        invalid_type(node, path, "a string");
    }
    return node.get<std::string>();
}

std::map<std::string, std::string> JsonReader::string_map(const Json& node,
                                                          const std::string& path) {
    if (!node.is_object()) {
        invalid_type(node, path, "a map");
    }
    std::map<std::string, std::string> result;
    for (auto it = node.begin(); it != node.end(); ++it) {
        result.emplace(it.key(), string(it.value(), member_path(path, it.key())));
    }
    return result;
}

std::map<std::string, std::vector<std::string>> JsonReader::string_list_map(
    const Json& node, const std::string& path) {
    if (!node.is_object()) {
        invalid_type(node, path, "a map");
    }
    std::map<std::string, std::vector<std::string>> result;
    for (auto it = node.begin(); it != node.end(); ++it) {
        result.emplace(it.key(),
                       sequence(it.value(), member_path(path, it.key()),
                                [&](const Json& v, const std::string& p) { return string(v, p); }));
    }
    return result;
}

std::uint64_t JsonReader::unsigned_integer(const Json& node, const std::string& path,
                                           std::uint64_t max, const char* expected) {
    const std::string wanted = std::string(", expected ") + expected;
    if (node.is_number_unsigned()) {
        const auto value = node.get<std::uint64_t>();
        if (value > max) {
            fail_json("invalid value: integer `" + std::to_string(value) + "`" + wanted + at(path));
        }
        return value;
    }
    if (node.is_number_integer()) {
        const auto value = node.get<std::int64_t>();
        if (value < 0) {
            fail_json("invalid value: integer `" + std::to_string(value) + "`" + wanted + at(path));
        }
        return static_cast<std::uint64_t>(value);
    }
    if (node.is_number_float()) {
        // An integer literal too large for 64 bits reaches us as a floating-point number.
        const std::string& literal = float_literal(node, path);
        const bool integer_literal =
            !literal.empty() && literal.find_first_not_of("-0123456789") == std::string::npos;
        if (integer_literal) {
            fail_json("invalid value: integer `" + literal + "`" + wanted + at(path));
        }
    }
    invalid_type(node, path, expected);
}

void JsonReader::invalid_type(const Json& node, const std::string& path,
                              const std::string& expected) {
    fail_json("invalid type: " + unexpected(node, path) + ", expected " + expected + at(path));
}

std::string JsonReader::unexpected(const Json& node, const std::string& path) {
    switch (node.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return std::string("boolean `") + (node.get<bool>() ? "true" : "false") + "`";
        case Json::value_t::number_integer:
            return "integer `" + std::to_string(node.get<std::int64_t>()) + "`";
        case Json::value_t::number_unsigned:
            return "integer `" + std::to_string(node.get<std::uint64_t>()) + "`";
        case Json::value_t::number_float:
            return "floating point `" + float_literal(node, path) + "`";
        case Json::value_t::string:
            return "string " + node.dump(-1, ' ', false, Json::error_handler_t::replace);
        case Json::value_t::array:
            return "sequence";
        case Json::value_t::object:
            return "map";
        default:
            return "value";
    }
}

const std::string& JsonReader::float_literal(const Json& node, const std::string& path) {
    const auto& float_text = positions().float_text;
    const auto found = float_text.find(path);
    if (found == float_text.end()) {
        scratch_ = node.dump();
        return scratch_;
    }
    return found->second;
}

std::string JsonReader::at(const std::string& path) const {
    const auto& value = positions().value;
    const auto found = value.find(path);
    return found == value.end() ? "" : location(text_, found->second);
}

std::string JsonReader::at_end(const std::string& path) const {
    const auto& end = positions().end;
    const auto found = end.find(path);
    return found == end.end() ? "" : location(text_, found->second);
}

}  // namespace snapwright::base
