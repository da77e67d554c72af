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
            "          [-l LEVEL] [-H HOST] [-P PORT] [-C CA_FILE] [-m MEDIA_DIR] [-h]\n"
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
            "  -m MEDIA_DIR      directory of the sample media and 1.jpg (default: the\n"
            "                    working directory)\n"
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
    while ((c = getopt(argc, argv, "p:n:s:l:t:H:P:C:m:h")) != -1) {
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
            case 'h':
                out->help = 1;
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
