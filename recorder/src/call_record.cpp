#include "call_record.h"

#include <cstring>
#include <exception>

namespace recorder {
CallRecord::CallRecord(Session& session, const char* function)
    : session_(session), function_(function), start_(session.now()) {}

CallRecord::CallRecord(Session& session, const char* function, FT_HANDLE handle) : CallRecord(session, function) {
    const HandleTable::Entry entry = session.handles.find(handle);
    arguments_.number("h", entry.id).number("dev", entry.device);
}

void CallRecord::returned(FT_STATUS status) {
    end_ = session_.now();
    status_ = status;
}

FT_STATUS CallRecord::submit(bool poll) {
    try {
        JsonObject body;
        body.bytes("fn", function_, std::strlen(function_));
        std::string line = body.members();
        if (!arguments_.members().empty()) line += "," + arguments_.members();
        line += ",\"status\":" + std::to_string(status_);
        if (!results_.members().empty()) line += "," + results_.members();
        session_.recording->add(start_, end_, line, poll);
    } catch (const std::exception&) {
        // A line that cannot be made is lost; the program's call goes on unharmed.
    }
    return status_;
}

}  // namespace recorder
