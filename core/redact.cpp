#include "core/redact.h"

#include <algorithm>
#include <cctype>

namespace kestrel {

namespace {

const char kEllipsis[] = "\xe2\x80\xa6";  // "…"

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool name_is_url(const std::string& name) {
    std::string n = lower(name);
    return n.size() >= 3 &&
           (n.compare(n.size() - 3, 3, "url") == 0 || n.compare(n.size() - 3, 3, "uri") == 0);
}

bool name_is_secret(const std::string& name) {
    std::string n = lower(name);
    for (const char* word : {"key", "token", "secret", "password", "sign"}) {
        if (n.find(word) != std::string::npos)
            return true;
    }
    // A relay's session id is the token of the URL that started it.
    return n == "iv" || n == "sessionid";
}

// True for characters that end a URL written into free text or JSON.
bool url_end(char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\\' || c == '\'' ||
           c == ',' || c == '}' || c == ']' || c == '>';
}

// Cuts the query of every "scheme://" URL inside free text.
std::string strip_queries(const std::string& s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t sep = s.find("://", i);
        if (sep == std::string::npos) {
            out.append(s, i, std::string::npos);
            break;
        }
        size_t start = sep;
        while (start > i && std::isalpha(static_cast<unsigned char>(s[start - 1])))
            --start;
        size_t end = sep + 3;
        while (end < s.size() && !url_end(s[end]))
            ++end;
        out.append(s, i, start - i);
        out += start < sep ? redact_url(s.substr(start, end - start)) : s.substr(start, end - start);
        i = end;
    }
    return out;
}

// Finds where a JSON string value that opens at `open` (its opening quote, or
// the backslash before it when `escaped`) ends: the index just past its closing
// quote, or npos.
size_t value_end(const std::string& s, size_t open, bool escaped) {
    if (escaped) {
        size_t close = s.find("\\\"", open + 2);
        return close == std::string::npos ? close : close + 2;
    }
    for (size_t k = open + 1; k < s.size(); ++k) {
        if (s[k] == '\\') {
            ++k;
        } else if (s[k] == '"') {
            return k + 1;
        }
    }
    return std::string::npos;
}

std::string redact_json(const std::string& s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t q = s.find('"', i);
        if (q == std::string::npos) {
            out.append(s, i, std::string::npos);
            break;
        }
        size_t name_end = s.find('"', q + 1);
        if (name_end == std::string::npos) {
            out.append(s, i, std::string::npos);
            break;
        }
        std::string name = s.substr(q + 1, name_end - q - 1);
        bool escaped = !name.empty() && name.back() == '\\';
        if (escaped)
            name.pop_back();
        size_t j = name_end + 1;
        while (j < s.size() && s[j] == ' ')
            ++j;
        if (j >= s.size() || s[j] != ':') {
            out.append(s, i, name_end + 1 - i);
            i = name_end + 1;
            continue;
        }
        ++j;
        while (j < s.size() && s[j] == ' ')
            ++j;
        const std::string opener = escaped ? "\\\"" : "\"";
        if (s.compare(j, opener.size(), opener) != 0) {
            out.append(s, i, j - i);  // a number, object, array: scanned on
            i = j;
            continue;
        }
        size_t end = value_end(s, j, escaped);
        if (end == std::string::npos)
            end = s.size();
        size_t vstart = j + opener.size();
        size_t vlen = end >= vstart + opener.size() ? end - opener.size() - vstart : s.size() - vstart;
        std::string value = s.substr(vstart, vlen);
        out.append(s, i, vstart - i);
        if (name_is_secret(name))
            out += redact_secret(value);
        else if (name_is_url(name))
            out += redact_url(value);
        else
            out += redact_json(value);  // a JSON text carried as a string
        out.append(s, vstart + vlen, end - vstart - vlen);
        i = end;
    }
    return out;
}

}  // namespace

std::string redact_secret(const std::string& secret) {
    if (secret.empty())
        return secret;
    std::string out;
    if (secret.size() > 8)
        out = secret.substr(0, 4);
    return out + kEllipsis + "(" + std::to_string(secret.size()) + ")";
}

std::string redact_url(const std::string& url) {
    size_t cut = url.find_first_of("?#");
    std::string head = cut == std::string::npos ? url : url.substr(0, cut);
    // user:password@host
    size_t scheme = head.find("://");
    size_t auth_from = scheme == std::string::npos ? 0 : scheme + 3;
    size_t at = head.find('@', auth_from);
    size_t slash = head.find('/', auth_from);
    if (at != std::string::npos && (slash == std::string::npos || at < slash) &&
        head.substr(auth_from, at - auth_from).find(kEllipsis) == std::string::npos)
        head = head.substr(0, auth_from) + redact_secret(head.substr(auth_from, at - auth_from)) +
               head.substr(at);
    if (cut == std::string::npos)
        return head;
    if (url.compare(cut + 1, sizeof(kEllipsis) - 1, kEllipsis) == 0)
        return head + url.substr(cut);  // cut already
    return head + url[cut] + kEllipsis + "(" + std::to_string(url.size() - cut - 1) + ")";
}

std::string redact_text(const std::string& text) {
    return strip_queries(redact_json(text));
}

}  // namespace kestrel
