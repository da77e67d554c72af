#include "sdk/json_envelope.h"

#include <cjson/cJSON.h>

namespace kestrel {

JsonObjectWriter::JsonObjectWriter() : root_(cJSON_CreateObject()), ok_(root_ != nullptr) {}

JsonObjectWriter::~JsonObjectWriter() {
    cJSON_Delete(root_);
}

JsonObjectWriter& JsonObjectWriter::Str(const char* key, const std::string& value) {
    ok_ = ok_ && cJSON_AddStringToObject(root_, key, value.c_str()) != nullptr;
    return *this;
}

JsonObjectWriter& JsonObjectWriter::Raw(const char* key, const std::string& json) {
    ok_ = ok_ && cJSON_AddRawToObject(root_, key, json.c_str()) != nullptr;
    return *this;
}

std::string JsonObjectWriter::Text() const {
    char* text = ok_ ? cJSON_PrintUnformatted(root_) : nullptr;
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

std::string JsonQuote(const std::string& value) {
    cJSON* item = cJSON_CreateString(value.c_str());
    char* printed = item ? cJSON_PrintUnformatted(item) : nullptr;
    std::string out = printed ? printed : "\"\"";
    cJSON_free(printed);
    cJSON_Delete(item);
    return out;
}

std::string JsonEnvelope(const std::string& id, const char* version, const std::string& params,
                         const std::string& method) {
    JsonObjectWriter w;
    w.Str("id", id).Str("version", version).Raw("params", params).Str("method", method);
    return w.Text();
}

}  // namespace kestrel
