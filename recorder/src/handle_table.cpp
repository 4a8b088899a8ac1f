#include "handle_table.h"

#include <cstring>

namespace recorder {
namespace {

char lastLetter(const char* text, std::size_t capacity) {
    const std::size_t length = strnlen(text, capacity);
    return length ? text[length - 1] : 0;
}

// "KRO_NX|2.1 A" / "NX4711A": channel A. Either name marking A is enough.
char channelLetter(const FT_DEVICE_LIST_INFO_NODE& node) {
    const std::size_t length = strnlen(node.Description, sizeof(node.Description));
    const char described = length >= 2 && node.Description[length - 2] == ' ' ? node.Description[length - 1] : 0;
    const char serial = lastLetter(node.SerialNumber, sizeof(node.SerialNumber));
    if (described == 'A' || serial == 'A') return 'A';
    if (described == 'B' || serial == 'B') return 'B';
    return 0;
}

}  // namespace

void HandleTable::deviceList(const FT_DEVICE_LIST_INFO_NODE* nodes, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    channelLetters_.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i) channelLetters_[i] = channelLetter(nodes[i]);
}

HandleTable::Entry HandleTable::opened(FT_HANDLE handle, int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool listed = index >= 0 && static_cast<std::size_t>(index) < channelLetters_.size();
    Handle& entry = handles_[handle];
    entry = {{nextId_++, index}, listed ? channelLetters_[index] : char(0), false};
    return entry.entry;
}

void HandleTable::closed(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.erase(handle);
}

HandleTable::Handle& HandleTable::lookUp(FT_HANDLE handle) {
    auto found = handles_.find(handle);
    if (found == handles_.end()) found = handles_.emplace(handle, Handle{{nextId_++, -1}, 0, false}).first;
    return found->second;
}

void HandleTable::baudRateSet(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle) lookUp(handle).baudRateSet = true;
}

HandleTable::Entry HandleTable::find(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return handle ? lookUp(handle).entry : Entry{};
}

int HandleTable::known(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handle) return 0;
    const auto found = handles_.find(handle);
    return found == handles_.end() ? -1 : found->second.entry.id;
}

bool HandleTable::isUart(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = handles_.find(handle);
    return handle && found != handles_.end() && found->second.baudRateSet && found->second.channel != 'A';
}

}  // namespace recorder
