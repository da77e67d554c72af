#include <kestrel/ks_api.h>

// Linking is the test; running it checks the library is usable uninitialised.
int main() {
    return ks_stream_send_cmd(1, KS_STORAGE_RECORD_COMPLETE) == -1 ? 0 : 1;
}
