#include "proto/http.h"

#include <cstring>

namespace kestrel {

namespace {

const char kHeadEnd[] = "\r\n\r\n";
constexpr size_t kHeadEndLen = 4;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_ows(char c) {
    return c == ' ' || c == '\t';
}

// RFC 7230 token characters: what a header name may consist of.
bool is_tchar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!is_tchar(c)) {
            return false;
        }
    }
    return true;
}

// What must never reach a head line: it would end the line or the string.
bool has_break(const std::string& text) {
    return text.find_first_of("\r\n\0", 0, 3) != std::string::npos;
}

std::string trim_ows(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_ows(text[begin])) {
        ++begin;
    }
    while (end > begin && is_ows(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Digits only, no sign, no overflow.
bool parse_decimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

bool http_name_equal(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool HttpNameLess::operator()(const std::string& a, const std::string& b) const {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(lower(a[i]));
        unsigned char cb = static_cast<unsigned char>(lower(b[i]));
        if (ca != cb) {
            return ca < cb;
        }
    }
    return a.size() < b.size();
}

const char* HttpProtocolAssistant::MethodString(int method) {
    switch (method) {
        case METHOD_POST:
            return "POST";
        case METHOD_GET:
            return "GET";
        case METHOD_PUT:
            return "PUT";
        default:
            return "INVALID";
    }
}

const char* HttpProtocolAssistant::VersionString(int version) {
    switch (version) {
        case VERSION_1_0:
            return "HTTP/1.0";
        case VERSION_2_0:
            return "HTTP/2.0";
        default:
            return "HTTP/1.1";
    }
}

bool HttpProtocolAssistant::CheckVersionString(const std::string& version) {
    return version == "HTTP/1.0" || version == "HTTP/1.1" || version == "HTTP/2.0";
}

void HttpRequestConstruct::SetRequestLine(int method, const std::string& target, int version) {
    bool known =
        method >= HttpProtocolAssistant::METHOD_POST && method <= HttpProtocolAssistant::METHOD_PUT;
    method_ = known ? HttpProtocolAssistant::MethodString(method) : "";
    target_ = target;
    version_ = HttpProtocolAssistant::VersionString(version);
}

int HttpRequestConstruct::SetHost(const std::string& host) {
    return SetHeader("Host", host);
}

int HttpRequestConstruct::SetHeader(const std::string& name, const std::string& value) {
    if (name.empty() || value.empty()) {
        return HTTP_REQUEST_OK;
    }
    if (http_name_equal(name, "Content-Length")) {
        return HTTP_REQUEST_CONTENT_LENGTH;
    }
    if (!is_token(name) || has_break(value)) {
        return HTTP_REQUEST_BAD_TEXT;
    }
    for (auto it = headers_.begin(); it != headers_.end(); ++it) {
        if (http_name_equal(it->first, name)) {
            headers_.erase(it);
            break;
        }
    }
    headers_[name] = value;
    return HTTP_REQUEST_OK;
}

int HttpRequestConstruct::GetHeaderString(std::string& out) const {
    out.clear();
    if (method_.empty() || target_.empty() || version_.empty()) {
        return HTTP_REQUEST_LINE_MISSED;
    }
    if (has_break(target_) || target_.find_first_of(" \t") != std::string::npos) {
        return HTTP_REQUEST_BAD_TEXT;
    }
    out.reserve(128 + target_.size());
    out.append(method_).append(" ").append(target_).append(" ").append(version_).append("\r\n");
    out.append("Content-Length: ").append(std::to_string(content_length_)).append("\r\n");
    for (const auto& h : headers_) {
        out.append(h.first).append(": ").append(h.second).append("\r\n");
    }
    out.append("\r\n");
    return HTTP_REQUEST_OK;
}

size_t HttpResponseParse::AppendData(const char* data, size_t len) {
    if (data == nullptr || len == 0 || result_ != HTTP_HEAD_INCOMPLETE) {
        return 0;
    }
    // Only what can still belong to a head of the largest size is taken, so
    // the buffer stays bounded whatever the peer sends.
    size_t old_size = buffer_.size();
    size_t take = HTTP_MAX_HEAD - old_size;
    if (take > len) {
        take = len;
    }
    buffer_.append(data, take);
    size_t from = old_size >= kHeadEndLen - 1 ? old_size - (kHeadEndLen - 1) : 0;
    size_t end = buffer_.find(kHeadEnd, from, kHeadEndLen);
    if (end == std::string::npos) {
        if (buffer_.size() >= HTTP_MAX_HEAD) {
            result_ = HTTP_HEAD_TOO_LARGE;
        }
        return take;
    }
    buffer_.resize(end + kHeadEndLen);
    result_ = Parse();
    return buffer_.size() - old_size;
}

std::string HttpResponseParse::GetHeaderValue(const std::string& name) const {
    if (result_ != HTTP_HEAD_OK) {
        return std::string();
    }
    auto it = headers_.find(name);
    return it == headers_.end() ? std::string() : it->second;
}

void HttpResponseParse::HeaderTraverse(TraverseFn fn, void* param) const {
    if (result_ != HTTP_HEAD_OK || fn == nullptr) {
        return;
    }
    for (const auto& h : headers_) {
        fn(param, h.first, h.second);
    }
}

void HttpResponseParse::ClearData() {
    *this = HttpResponseParse();
}

int HttpResponseParse::Parse() {
    // The buffer ends with the empty line; every line before it ends in CRLF.
    size_t pos = buffer_.find("\r\n");
    int ret = ParseStatusLine(buffer_.substr(0, pos));
    size_t head_end = buffer_.size() - 2;
    while (ret == HTTP_HEAD_OK && pos + 2 < head_end) {
        size_t next = buffer_.find("\r\n", pos + 2);
        ret = ParseHeaderLine(buffer_.substr(pos + 2, next - pos - 2));
        pos = next;
    }
    if (ret == HTTP_HEAD_OK) {
        ret = ParseFraming();
    }
    if (ret != HTTP_HEAD_OK) {
        status_code_ = 0;
        version_.clear();
        reason_.clear();
        headers_.clear();
        content_length_ = 0;
        other_coding_ = false;
    }
    return ret;
}

int HttpResponseParse::ParseStatusLine(const std::string& line) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos || !HttpProtocolAssistant::CheckVersionString(line.substr(0, sp))) {
        return HTTP_HEAD_INVALID;
    }
    // Some servers leave out the space before an empty reason phrase.
    size_t sp2 = line.find(' ', sp + 1);
    std::string code =
        line.substr(sp + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp - 1);
    uint64_t value = 0;
    if (code.size() != 3 || !parse_decimal(code, &value) || value < 100 || value > 599) {
        return HTTP_HEAD_INVALID;
    }
    std::string reason = sp2 == std::string::npos ? std::string() : line.substr(sp2 + 1);
    if (has_break(reason)) {
        return HTTP_HEAD_INVALID;
    }
    version_ = line.substr(0, sp);
    status_code_ = static_cast<int>(value);
    reason_ = reason;
    return HTTP_HEAD_OK;
}

int HttpResponseParse::ParseHeaderLine(const std::string& line) {
    // No whitespace is allowed before the colon, and folded lines are long
    // obsolete: both are refused rather than guessed at.
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        return HTTP_HEAD_INVALID;
    }
    std::string name = line.substr(0, colon);
    std::string value = trim_ows(line.substr(colon + 1));
    if (!is_token(name) || has_break(value)) {
        return HTTP_HEAD_INVALID;
    }
    auto it = headers_.find(name);
    if (it != headers_.end()) {
        // Two lengths that disagree leave the body's end unknown.
        if (http_name_equal(name, "Content-Length") && it->second != value) {
            return HTTP_HEAD_INVALID;
        }
        headers_.erase(it);
    }
    headers_.emplace(name, value);
    return HTTP_HEAD_OK;
}

int HttpResponseParse::ParseFraming() {
    auto te = headers_.find("Transfer-Encoding");
    if (te != headers_.end() && !http_name_equal(te->second, "identity")) {
        other_coding_ = true;
    }
    auto cl = headers_.find("Content-Length");
    if (cl != headers_.end() && !parse_decimal(cl->second, &content_length_)) {
        return HTTP_HEAD_INVALID;
    }
    return HTTP_HEAD_OK;
}

}  // namespace kestrel
