#include "demo/app/demo_options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Copies at most size - 1 characters; the buffer is zeroed beforehand.
void CopyCut(char* dst, size_t size, const char* src) {
    strncpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}

bool ParsePort(const char* text, uint16_t* port) {
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 65535)
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
    int c;
    while ((c = getopt(argc, argv, "p:n:s:l:t:H:P:C:S:m:B:F:R:h")) != -1) {
        switch (c) {
            case 'p':
                CopyCut(out->product_key, sizeof(out->product_key), optarg);
                break;
            case 'n':
                CopyCut(out->device_name, sizeof(out->device_name), optarg);
                break;
            case 's':
                CopyCut(out->device_secret, sizeof(out->device_secret), optarg);
                break;
            case 't':
                CopyCut(out->product_secret, sizeof(out->product_secret), optarg);
                break;
            case 'l':
                out->log_level = demo_log_level(optarg);
                break;
            case 'H':
                if (!NonEmpty('H', optarg))
                    return -1;
                out->broker_host = optarg;
                break;
            case 'P':
                if (!ParsePort(optarg, &out->broker_port)) {
                    fprintf(stderr, "Invalid broker port: %s (1..65535)\n", optarg);
                    return -1;
                }
                break;
            case 'C':
                if (!NonEmpty('C', optarg))
                    return -1;
                out->trust_anchor = optarg;
                break;
            case 'S':
                if (!NonEmpty('S', optarg))
                    return -1;
                out->storage_anchor = optarg;
                break;
            case 'h':
                out->help = 1;
                break;
            case 'B':
                if (!ParseHostPort(optarg, &out->bootstrap_host, &out->bootstrap_port)) {
                    fprintf(stderr, "Invalid bootstrap service: %s (HOST or HOST:PORT)\n", optarg);
                    return -1;
                }
                break;
            case 'R': {
                char* end = nullptr;
                errno = 0;
                long v = strtol(optarg, &end, 10);
                if (errno != 0 || end == optarg || *end != '\0' || v < 100 || v > 60000) {
                    fprintf(stderr, "Invalid retry pause: %s (100..60000 ms)\n", optarg);
                    return -1;
                }
                out->retry_max_ms = static_cast<uint32_t>(v);
                break;
            }
            case 'F':
                if (!NonEmpty('F', optarg))
                    return -1;
                out->firmware_file = optarg;
                break;
            case 'm':
                if (!NonEmpty('m', optarg))
                    return -1;
                out->media_dir = optarg;
                break;
            default:
                break;
        }
    }
    return 0;
}
