#include "program_data.h"

#include "json_object.h"
#include "link/ftd2xx_program_data_fields.h"

namespace recorder {
namespace {

void addText(JsonObject& object, const char* key, const char* text, std::size_t capacity) {
    if (text) {
        object.boundedText(key, text, capacity);
    } else {
        object.null(key);
    }
}

}  // namespace

std::string programDataJson(const FT_PROGRAM_DATA& data) {
    JsonObject object;
#define NEXIR_ADD_FIELD(name) object.number(#name, data.name);
    NEXIR_LEADING_FIELDS(NEXIR_ADD_FIELD)
    addText(object, "Manufacturer", data.Manufacturer, 32);
    addText(object, "ManufacturerId", data.ManufacturerId, 16);
    addText(object, "Description", data.Description, 64);
    addText(object, "SerialNumber", data.SerialNumber, 16);
    NEXIR_TRAILING_FIELDS(NEXIR_ADD_FIELD)
#undef NEXIR_ADD_FIELD
    return object.text();
}

}  // namespace recorder
