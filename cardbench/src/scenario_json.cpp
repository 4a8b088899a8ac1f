#include "scenario_json.h"

#include <stdexcept>

namespace cardbench {
namespace {

// nlohmann reports the byte offset of a syntax error; people look for line and column.
std::string syntaxError(const std::string& text, const nlohmann::json::parse_error& error) {
    std::size_t line = 1, column = 1;
    const std::size_t end = error.byte == 0 ? 0 : std::min<std::size_t>(error.byte - 1, text.size());
    for (std::size_t i = 0; i < end; ++i) {
        column = text[i] == '\n' ? 1 : column + 1;
        line += text[i] == '\n';
    }
    // The library's text repeats the position after its own prefix; keep only the reason.
    std::string reason = error.what();
    if (const auto colon = reason.find(": ", reason.find(']')); colon != std::string::npos) {
        reason = reason.substr(colon + 2);
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + reason;
}

std::string memberPath(const std::string& parent, const std::string& key) {
    return parent.empty() ? key : parent + "." + key;
}

}  // namespace

ScenarioDocument parseScenarioDocument(const std::string& text) {
    try {
        return ScenarioDocument::parse(text, nullptr, true, true);
    } catch (const nlohmann::json::parse_error& error) {
        throw std::runtime_error(syntaxError(text, error));
    }
}

JsonView::JsonView(const ScenarioDocument& document, std::set<const ScenarioDocument*>& readValues)
    : JsonView(&document, "", readValues) {
    expect(document.is_object(), "an object");
}

JsonView::JsonView(const ScenarioDocument* value, std::string path, std::set<const ScenarioDocument*>& readValues)
    : value_(value), path_(std::move(path)), readValues_(&readValues) {
    if (value_ != nullptr) {
        readValues_->insert(value_);
    }
}

JsonView JsonView::operator[](const char* key) const {
    expect(isNull() || value_->is_object(), "an object");
    const ScenarioDocument* member = nullptr;
    if (!isNull()) {
        if (auto found = value_->find(key); found != value_->end()) {
            member = &*found;
        }
    }
    return JsonView(member, memberPath(path_, key), *readValues_);
}

std::vector<JsonView> JsonView::elements() const {
    expect(isNull() || value_->is_array(), "an array");
    std::vector<JsonView> views;
    for (std::size_t i = 0; !isNull() && i < value_->size(); ++i) {
        views.push_back(JsonView(&(*value_)[i], path_ + "[" + std::to_string(i) + "]", *readValues_));
    }
    return views;
}

std::vector<std::pair<std::string, JsonView>> JsonView::members() const {
    expect(isNull() || value_->is_object(), "an object");
    std::vector<std::pair<std::string, JsonView>> views;
    if (!isNull()) {
        for (const auto& [key, member] : value_->items()) {
            views.emplace_back(key, JsonView(&member, memberPath(path_, key), *readValues_));
        }
    }
    return views;
}

void JsonView::fail(const std::string& what) const {
    throw std::runtime_error((path_.empty() ? "top level" : path_) + ": " + what);
}

void JsonView::expect(bool ok, const char* what) const {
    if (!ok) {
        fail(std::string("expected ") + what + ", found " + (value_ == nullptr ? "nothing" : text()));
    }
}

namespace {

void rejectUnread(const ScenarioDocument& value, const std::string& path,
                  const std::set<const ScenarioDocument*>& readValues) {
    if (value.is_object()) {
        for (const auto& [key, member] : value.items()) {
            const std::string memberAt = memberPath(path, key);
            if (readValues.count(&member) == 0) {
                throw std::runtime_error(memberAt + ": unknown key");
            }
            rejectUnread(member, memberAt, readValues);
        }
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            rejectUnread(value[i], path + "[" + std::to_string(i) + "]", readValues);
        }
    }
}

}  // namespace

void rejectUnreadKeys(const ScenarioDocument& document, const std::set<const ScenarioDocument*>& readValues) {
    rejectUnread(document, "", readValues);
}

}  // namespace cardbench
