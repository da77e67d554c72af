#include "property_parser.h"

#include <cjson/cJSON.h>
#include <stdio.h>

namespace kestrel {
namespace camera {

namespace {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    snprintf(esc, sizeof(esc), "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

bool IsJsonValue(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    const char* end = nullptr;
    cJSON* value = cJSON_ParseWithOpts(text.c_str(), &end, 1);
    if (value == nullptr) {
        return false;
    }
    cJSON_Delete(value);
    return true;
}

}  // namespace

PropertyParser::PropertyParser(PropertySink sink, void* user)
    : sink_(sink),
      user_(user),
      properties_{{"MicSwitch", "0"},
                  {"SpeakerSwitch", "0"},
                  {"StatusLightSwitch", "0"},
                  {"DayNightMode", "0"},
                  {"StreamVideoQuality", "0"},
                  {"SubStreamVideoQuality", "0"},
                  {"ImageFlipState", "0"},
                  {"EncryptSwitch", "0"},
                  {"AlarmSwitch", "0"},
                  {"MotionDetectSensitivity", "0"},
                  {"VoiceDetectionSensitivity", "0"},
                  {"AlarmFrequencyLevel", "0"},
                  {"StorageStatus", "1"},
                  {"StorageTotalCapacity", "128.000"},
                  {"StorageRemainCapacity", "64.12"},
                  {"StorageRecordMode", "0"}} {}

std::string PropertyParser::JsonMember(const std::string& name, const std::string& value) {
    return JsonString(name) + ":" + (IsJsonValue(value) ? value : JsonString(value));
}

int PropertyParser::SetProperty(const std::string& name, const std::string& value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = properties_.find(name);
        if (it != properties_.end()) {
            it->second = value;
        }
    }
    return Report("{" + JsonMember(name, value) + "}");
}

int PropertyParser::GetAllProperty() {
    std::string json = "{";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : properties_) {
            if (json.size() > 1) {
                json += ",";
            }
            json += JsonMember(entry.first, entry.second);
        }
    }
    return Report(json + "}");
}

bool PropertyParser::GetProperty(const std::string& name, std::string* value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = properties_.find(name);
    if (it == properties_.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

int PropertyParser::Report(const std::string& json) {
    if (sink_(user_, json.c_str()) < 0) {
        printf("Report property failed: %s\n", json.c_str());
        return -1;
    }
    return 0;
}

}  // namespace camera
}  // namespace kestrel
