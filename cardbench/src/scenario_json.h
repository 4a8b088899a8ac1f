// Strict reading of a scenario document. Every value is reached through a view that
// knows its key path ("cards.slot3.upgrade.stage_ms[1]"), checks the value's type when
// it is converted, and marks it as read. Once the whole scenario has been read, any key
// that no parser asked for is reported as unknown, so a misspelled key fails loudly
// instead of silently leaving a default in place. Declaring a new key is its one read.
#pragma once

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace cardbench {

using ScenarioDocument = nlohmann::ordered_json;

// Parses scenario text (comments allowed). A syntax error throws std::runtime_error
// with the line and column of the fault.
ScenarioDocument parseScenarioDocument(const std::string& text);

class JsonView {
public:
    // The root of `document`; `readValues` collects every value a parser looked at.
    JsonView(const ScenarioDocument& document, std::set<const ScenarioDocument*>& readValues);

    // Missing keys and JSON null read as null.
    bool isNull() const { return value_ == nullptr || value_->is_null(); }
    bool isString() const { return !isNull() && value_->is_string(); }
    bool isNumber() const { return !isNull() && value_->is_number(); }
    bool isArray() const { return !isNull() && value_->is_array(); }
    const std::string& path() const { return path_; }

    // The member `key` of this object (a null view when missing). Marks it as read.
    JsonView operator[](const char* key) const;
    // Array elements; object members with their keys. Null gives none.
    std::vector<JsonView> elements() const;
    std::vector<std::pair<std::string, JsonView>> members() const;

    // Converts with a type (and range) check; throws naming the path on a mismatch.
    template <typename T>
    T as() const;

    template <typename T>
    T valueOr(const char* key, T fallback) const {
        const JsonView member = (*this)[key];
        return member.isNull() ? fallback : member.template as<T>();
    }

    // The value as JSON text, for messages and for values that may be of several types.
    std::string text() const { return isNull() ? "null" : value_->dump(); }

    [[noreturn]] void fail(const std::string& what) const;

private:
    JsonView(const ScenarioDocument* value, std::string path, std::set<const ScenarioDocument*>& readValues);
    void expect(bool ok, const char* what) const;

    const ScenarioDocument* value_;
    std::string path_;
    std::set<const ScenarioDocument*>* readValues_;
};

template <typename T>
T JsonView::as() const {
    if constexpr (std::is_same_v<T, bool>) {
        expect(!isNull() && value_->is_boolean(), "true or false");
    } else if constexpr (std::is_same_v<T, std::string>) {
        expect(isString(), "a string");
    } else if constexpr (std::is_floating_point_v<T>) {
        expect(isNumber(), "a number");
    } else {
        static_assert(std::is_integral_v<T>, "scenario values are booleans, strings or numbers");
        using Limits = std::numeric_limits<T>;
        expect(!isNull() && value_->is_number_integer(), "an integer");
        const bool inRange = value_->is_number_unsigned()
                                 ? value_->template get<std::uint64_t>() <= static_cast<std::uint64_t>(Limits::max())
                                 : value_->template get<std::int64_t>() >= static_cast<std::int64_t>(Limits::min());
        expect(inRange,
               ("an integer from " + std::to_string(Limits::min()) + " to " + std::to_string(Limits::max())).c_str());
    }
    return value_->template get<T>();
}

// Throws naming the path of the first key (in document order) that was never read.
void rejectUnreadKeys(const ScenarioDocument& document, const std::set<const ScenarioDocument*>& readValues);

}  // namespace cardbench
