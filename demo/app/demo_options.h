// The demo's command line.
#pragma once

#include <stdint.h>
#include <stdio.h>

// Sizes of the identity buffers (text + NUL); longer values are cut.
#define DEMO_PRODUCT_KEY_SIZE 21
#define DEMO_DEVICE_NAME_SIZE 33
#define DEMO_DEVICE_SECRET_SIZE 65
#define DEMO_PRODUCT_SECRET_SIZE 65
#define DEMO_DEFAULT_LOG_LEVEL 5

typedef struct {
    char product_key[DEMO_PRODUCT_KEY_SIZE];        // -p
    char device_name[DEMO_DEVICE_NAME_SIZE];        // -n
    char device_secret[DEMO_DEVICE_SECRET_SIZE];    // -s
    char product_secret[DEMO_PRODUCT_SECRET_SIZE];  // -t
    int log_level;                                  // -l: first character '2'..'6', else 5
    const char* broker_host;                        // -H: MQTT broker (null: the platform's)
    uint16_t broker_port;                           // -P: 0 = the library's default
    const char* trust_anchor;                       // -C: PEM file for every TLS connection
    const char* storage_anchor;                     // -S: PEM file trusted for picture uploads
    const char* media_dir;                          // -m: sample media and picture (null: cwd)
    const char* bootstrap_host;                     // -B: bootstrap / registration service host
    uint16_t bootstrap_port;                        // -B HOST:PORT (0 = the library's default)
    const char* firmware_file;                      // -F: where a new firmware image goes
    uint32_t retry_max_ms;                          // -R: longest pause between connects (0: 60 s)
    int help;                                       // -h: print the usage and exit
} demo_options_s;

// Parses argv with getopt ("p:n:s:l:t:" plus "H:P:C:S:m:B:F:R:h"); unknown options are
// ignored. The text pointers point into argv. Returns 0, or -1 with a message
// on stderr when a value cannot be used (a port outside 1..65535, an empty
// -H, -C, -S, -m or -F, a -B that is not HOST or HOST:PORT, an -R outside 100..60000).
int demo_options_parse(int argc, char* const argv[], demo_options_s* out);

// The options and what they do, for -h and for a command line in error.
void demo_options_usage(FILE* out, const char* program);

// Log level from an -l value: only its first character counts.
int demo_log_level(const char* value);
