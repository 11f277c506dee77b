#include "base/json.h"

bool JsonText(const JsonValue& value, std::string* text) {
  try {
    *text = value.dump(2, ' ', false, JsonValue::error_handler_t::replace) + "\n";
    return true;
  } catch (const JsonValue::exception&) {
    // The library throws rather than returns; the callers speak codes.
    return false;
  }
}
