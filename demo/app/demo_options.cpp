#include "demo/app/demo_options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

// Copies at most size - 1 characters; the buffer is zeroed beforehand.
void CopyCut(char* dst, size_t size, const char* src) {
    strncpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}

// A whole decimal number within lo..hi.
bool ParseRange(const char* text, long lo, long hi, long* value) {
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

bool ParsePort(const char* text, uint16_t* port) {
    long v = 0;
    if (!ParseRange(text, 1, 65535, &v))
        return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

// "HOST" or "HOST:PORT"; the host text stays in argv (cut at the colon).
bool ParseHostPort(char* text, const char** host, uint16_t* port) {
    char* colon = strrchr(text, ':');
    *port = 0;
    if (colon) {
        if (!ParsePort(colon + 1, port))
            return false;
        *colon = '\0';
    }
    *host = text;
    return text[0] != '\0';
}

bool NonEmpty(char option, const char* text) {
    if (text[0] != '\0')
        return true;
    fprintf(stderr, "Option -%c needs a value\n", option);
    return false;
}

// One setter per option: false (with a message on stderr) refuses the value.
using OptionSetter = bool (*)(char* value, demo_options_s* out);

// Identity texts: cut to their buffers.
template <size_t N, char (demo_options_s::*Field)[N]>
bool SetCut(char* value, demo_options_s* out) {
    CopyCut(out->*Field, N, value);
    return true;
}

// Host and file names: any text but an empty one, kept in argv.
template <char Option, const char* demo_options_s::*Field>
bool SetText(char* value, demo_options_s* out) {
    if (!NonEmpty(Option, value))
        return false;
    out->*Field = value;
    return true;
}

bool SetLogLevel(char* value, demo_options_s* out) {
    out->log_level = demo_log_level(value);
    return true;
}

bool SetBrokerPort(char* value, demo_options_s* out) {
    if (ParsePort(value, &out->broker_port))
        return true;
    fprintf(stderr, "Invalid broker port: %s (1..65535)\n", value);
    return false;
}

bool SetBootstrap(char* value, demo_options_s* out) {
    if (ParseHostPort(value, &out->bootstrap_host, &out->bootstrap_port))
        return true;
    fprintf(stderr, "Invalid bootstrap service: %s (HOST or HOST:PORT)\n", value);
    return false;
}

bool SetRetryMax(char* value, demo_options_s* out) {
    long v = 0;
    if (!ParseRange(value, 100, 60000, &v)) {
        fprintf(stderr, "Invalid retry pause: %s (100..60000 ms)\n", value);
        return false;
    }
    out->retry_max_ms = static_cast<uint32_t>(v);
    return true;
}

bool SetHelp(char*, demo_options_s* out) {
    out->help = 1;
    return true;
}

struct OptionRule {
    char option;
    bool takes_value;
    OptionSetter set;
};

// The command line, in the order getopt is told about it.
const OptionRule kOptions[] = {
    {'p', true, SetCut<DEMO_PRODUCT_KEY_SIZE, &demo_options_s::product_key>},
    {'n', true, SetCut<DEMO_DEVICE_NAME_SIZE, &demo_options_s::device_name>},
    {'s', true, SetCut<DEMO_DEVICE_SECRET_SIZE, &demo_options_s::device_secret>},
    {'l', true, SetLogLevel},
    {'t', true, SetCut<DEMO_PRODUCT_SECRET_SIZE, &demo_options_s::product_secret>},
    {'H', true, SetText<'H', &demo_options_s::broker_host>},
    {'P', true, SetBrokerPort},
    {'C', true, SetText<'C', &demo_options_s::trust_anchor>},
    {'S', true, SetText<'S', &demo_options_s::storage_anchor>},
    {'m', true, SetText<'m', &demo_options_s::media_dir>},
    {'B', true, SetBootstrap},
    {'F', true, SetText<'F', &demo_options_s::firmware_file>},
    {'R', true, SetRetryMax},
    {'h', false, SetHelp},
};

// getopt's option string, made from the table: "p:n:s:l:t:H:P:C:S:m:B:F:R:h".
std::string OptionString() {
    std::string text;
    for (const OptionRule& rule : kOptions) {
        text += rule.option;
        if (rule.takes_value)
            text += ':';
    }
    return text;
}

const OptionRule* FindOption(int c) {
    for (const OptionRule& rule : kOptions) {
        if (rule.option == c)
            return &rule;
    }
    return nullptr;
}

}  // namespace

void demo_options_usage(FILE* out, const char* program) {
    fprintf(out,
            "Usage: %s -p PRODUCT_KEY -n DEVICE_NAME [-s DEVICE_SECRET] [-t PRODUCT_SECRET]\n"
            "          [-l LEVEL] [-H HOST] [-P PORT] [-C CA_FILE] [-S CA_FILE] [-m MEDIA_DIR]\n"
            "          [-B HOST[:PORT]] [-F FIRMWARE_FILE] [-R MS] [-h]\n"
            "A simulated IP camera online through the cloud link; runs until SIGINT or SIGTERM.\n"
            "  -p PRODUCT_KEY    product key (at most 20 characters, longer is cut)\n"
            "  -n DEVICE_NAME    device name (at most 32)\n"
            "  -s DEVICE_SECRET  device secret (at most 64); without it the secret is\n"
            "                    registered with the product secret and kept in tether_kv.bin\n"
            "  -t PRODUCT_SECRET product secret (at most 64), for that registration\n"
            "  -l LEVEL          SDK log level 2 (errors) .. 6 (verbose), default 5\n"
            "  -H HOST           MQTT broker host; without it the broker is found through\n"
            "                    the platform's bootstrap service\n"
            "  -P PORT           MQTT broker port (1..65535), default 443\n"
            "  -C CA_FILE        PEM trust anchor for every TLS connection of the cloud link\n"
            "  -S CA_FILE        PEM trust anchor for picture uploads to object storage, in\n"
            "                    addition to the built-in root\n"
            "  -m MEDIA_DIR      directory of the sample media and 1.jpg (default: the\n"
            "                    working directory)\n"
            "  -B HOST[:PORT]    bootstrap and registration service (default: the platform's,\n"
            "                    port 443)\n"
            "  -F FIRMWARE_FILE  where a downloaded firmware image is written once verified\n"
            "                    (default /tmp/arboota.bin)\n"
            "  -R MS             longest pause between attempts to reach the cloud at start\n"
            "                    (100..60000, default 60000; the first is 1 s, then doubling)\n"
            "  -h                print this help and exit\n",
            program ? program : "kestrel_demo");
}

int demo_log_level(const char* value) {
    if (value && value[0] >= '2' && value[0] <= '6')
        return value[0] - '0';
    return DEMO_DEFAULT_LOG_LEVEL;
}

int demo_options_parse(int argc, char* const argv[], demo_options_s* out) {
    memset(out, 0, sizeof(*out));
    out->log_level = DEMO_DEFAULT_LOG_LEVEL;
    // Unknown options are ignored on purpose, so getopt must not complain;
    // optind 0 makes glibc restart its scan (the parser may run more than once).
    opterr = 0;
    optind = 0;
    const std::string options = OptionString();
    int c;
    while ((c = getopt(argc, argv, options.c_str())) != -1) {
        const OptionRule* rule = FindOption(c);
        if (rule && !rule->set(optarg, out))
            return -1;
    }
    return 0;
}
