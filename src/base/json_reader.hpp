#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

namespace snapwright::base {

// Objects keep their members in insertion order, so writing follows the declared field order and
// reading sees the members in document order.
using Json = nlohmann::ordered_json;

// Throws "JSON operation failed" with `cause`.
[[noreturn]] void fail_json(std::string cause);

// The path of member `name` below `parent` ("" is the document, "/a/0" an element of member a).
std::string member_path(const std::string& parent, std::string_view name);

// A JSON document read strictly, with the place of every value in the text, and typed accessors
// whose failures name what was found, what was expected and where ("... at line L column C").
// Every failure is "JSON operation failed" with the problem as cause. The text must outlive the
// reader.
class JsonReader {
  public:
    // Parses `text`; a syntax error carries the lexer's own message, and a member that appears
    // twice in one object is "duplicate field `name` at line L column C".
    explicit JsonReader(std::string_view text);

    const Json& document() const { return document_; }

    // The value of a string, or "invalid type: <found>, expected a string <at>".
    std::string string(const Json& node, const std::string& path);
    // An object whose members are all strings ("a map").
    std::map<std::string, std::string> string_map(const Json& node, const std::string& path);
    // An object whose members are all sequences of strings.
    std::map<std::string, std::vector<std::string>> string_list_map(const Json& node,
                                                                    const std::string& path);
    // A non-negative integer no larger than `max`; `expected` names the type in messages.
    std::uint64_t unsigned_integer(const Json& node, const std::string& path, std::uint64_t max,
                                   const char* expected);
    // Throws "invalid type: <what was found>, expected <expected> <where>".
    [[noreturn]] void invalid_type(const Json& node, const std::string& path,
                                   const std::string& expected);
    // " at line L column C" just after the value at `path`, or just after the end of the object
    // at `path`; empty for a path the document does not have.
    std::string at(const std::string& path) const;
    std::string at_end(const std::string& path) const;

    // Visits the members in document order; `member` returns false for a name it does not know,
    // which is skipped. Missing required fields are reported after the whole record, first in
    // declared order.
    template <typename Member>
    void read_record(const Json& node, const std::string& path, const char* expected,
                     std::initializer_list<const char*> required, Member member) {
        if (!node.is_object()) {
            invalid_type(node, path, expected);
        }
        std::set<std::string> seen;
        for (auto it = node.begin(); it != node.end(); ++it) {
            if (member(it.key(), it.value(), member_path(path, it.key()))) {
                seen.insert(it.key());
            }
        }
        for (const char* field : required) {
            if (seen.count(field) == 0) {
                fail_json(std::string("missing field `") + field + "`" + at_end(path));
            }
        }
    }

    template <typename Element>
    std::vector<std::invoke_result_t<Element, const Json&, const std::string&>> sequence(
        const Json& node, const std::string& path, Element element) {
        if (!node.is_array()) {
            invalid_type(node, path, "a sequence");
        }
        std::vector<std::invoke_result_t<Element, const Json&, const std::string&>> result;
        result.reserve(node.size());
        for (std::size_t i = 0; i < node.size(); ++i) {
            result.push_back(element(node[i], path + "/" + std::to_string(i)));
        }
        return result;
    }

  private:
    // Byte offsets into the text, by the path of the value.
    struct Positions {
        // Just after a scalar, or just after the opening bracket of a container.
        std::map<std::string, std::size_t> value;
        // Just after the closing brace of an object.
        std::map<std::string, std::size_t> end;
        // The literal text of floating-point numbers, for messages.
        std::map<std::string, std::string> float_text;
    };
    friend class DocumentBuilder;

    std::string unexpected(const Json& node, const std::string& path);
    const std::string& float_literal(const Json& node, const std::string& path);
    // Recorded on first use, by parsing the text again.
    const Positions& positions() const;

    std::string_view text_;
    Json document_;
    mutable std::optional<Positions> positions_;
    std::string scratch_;
};

}  // namespace snapwright::base
