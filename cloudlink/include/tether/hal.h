// Port layer of the cloud link library: every operating-system service the
// library needs (identity, memory, time, timers, random numbers, printing,
// locks, semaphores, threads, the key-value store, firmware and configuration
// files, TLS, DNS) and the library's log routine. The library itself never
// calls the operating system directly; it calls these functions.
//
// Every function may be called from any thread. Failures are reported by the
// return value (NULL, -1, 0 handle or a negative code) and printed as a line
// starting with "[QX-PRT] "; none of them ends the process.
#ifndef TETHER_HAL_H
#define TETHER_HAL_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
// What this header declares is what a shared library exports.
#pragma GCC visibility push(default)

// ---------------------------------------------------------------------------
// Identity
// ---------------------------------------------------------------------------
// Buffer sizes: the getters copy into a caller buffer of LEN + 1 bytes.
#define HAL_PRODUCT_KEY_LEN 20
#define HAL_PRODUCT_SECRET_LEN 64
#define HAL_DEVICE_NAME_LEN 32
#define HAL_DEVICE_SECRET_LEN 64
#define HAL_DEVICE_ID_LEN (HAL_PRODUCT_KEY_LEN + 1 + HAL_DEVICE_NAME_LEN)
#define HAL_PARTNER_ID_LEN 64
#define HAL_MODULE_ID_LEN 64
#define HAL_CHIP_ID_LEN 64
#define HAL_FIRMWARE_VERSION_LEN 64
#define HAL_NETIF_INFO_LEN 64
#define HAL_IPV4_TEXT_LEN 16

// Setters copy the text into the port layer and return its length, or -1
// (nothing stored) for NULL or a text longer than the limit above: a cut
// identity would only make every login fail later with a wrong signature.
int HAL_SetProductKey(const char* product_key);
int HAL_SetProductSecret(const char* product_secret);
int HAL_SetDeviceName(const char* device_name);
int HAL_SetDeviceSecret(const char* device_secret);

// Getters fill buf (LEN + 1 bytes, always NUL-terminated) and return the
// length of the text (0 when it was never set).
int HAL_GetProductKey(char product_key[HAL_PRODUCT_KEY_LEN + 1]);
int HAL_GetProductSecret(char product_secret[HAL_PRODUCT_SECRET_LEN + 1]);
int HAL_GetDeviceName(char device_name[HAL_DEVICE_NAME_LEN + 1]);
int HAL_GetDeviceSecret(char device_secret[HAL_DEVICE_SECRET_LEN + 1]);
int HAL_GetPartnerID(char pid[HAL_PARTNER_ID_LEN + 1]);
int HAL_GetModuleID(char mid[HAL_MODULE_ID_LEN + 1]);
int HAL_GetChipID(char cid[HAL_CHIP_ID_LEN + 1]);
// "<product key>.<device name>"
int HAL_GetDeviceID(char device_id[HAL_DEVICE_ID_LEN + 1]);
int HAL_GetFirmwareVersion(char version[HAL_FIRMWARE_VERSION_LEN + 1]);
int HAL_GetNetifInfo(char nif_str[HAL_NETIF_INFO_LEN + 1]);

// ---------------------------------------------------------------------------
// Memory (the standard allocator)
// ---------------------------------------------------------------------------
void* HAL_Malloc(uint32_t size);
void* HAL_Calloc(uint32_t nmemb, uint32_t size);
void* HAL_Realloc(void* ptr, uint32_t size);
void HAL_Free(void* ptr);

// ---------------------------------------------------------------------------
// Time and timers
// ---------------------------------------------------------------------------
uint64_t HAL_UptimeMs(void);  // monotonic clock, ms
void HAL_SleepMs(uint32_t ms);
// Local time as "MM-DD hh:mm:ss.mmm" into buf; returns buf.
char* HAL_GetTimeStr(char* buf, int len);
// Platform time: HAL_UTC_Set(ms) remembers the offset to the wall clock,
// HAL_UTC_Get() returns the wall clock (ms since the epoch) plus that offset.
void HAL_UTC_Set(uint64_t ms);
uint64_t HAL_UTC_Get(void);

// One-shot timer on the monotonic clock; each expiry runs the function on a
// new thread. HAL_Timer_Start re-arms (also a pending timer). HAL_Timer_Delete waits for a callback
// that is running at that moment (unless called from inside that callback), so after it returns the
// function is never called again and the context may be freed.
void* HAL_Timer_Create(const char* name, void (*func)(void*), void* user_data);
int HAL_Timer_Start(void* timer, int ms);
int HAL_Timer_Stop(void* timer);
int HAL_Timer_Delete(void* timer);

// ---------------------------------------------------------------------------
// Random (not for cryptography: TLS and signing draw from mbedTLS)
// ---------------------------------------------------------------------------
void HAL_Srandom(uint32_t seed);
uint32_t HAL_Random(uint32_t region);  // random() % region, 0 for region 0

// ---------------------------------------------------------------------------
// Printing
// ---------------------------------------------------------------------------
void HAL_Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int HAL_Snprintf(char* str, int len, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int HAL_Vsnprintf(char* str, int len, const char* fmt, va_list ap);

// ---------------------------------------------------------------------------
// Locks (non-recursive) and semaphores
// ---------------------------------------------------------------------------
void* HAL_MutexCreate(void);
void HAL_MutexDestroy(void* mutex);
void HAL_MutexLock(void* mutex);
void HAL_MutexUnlock(void* mutex);

#define HAL_WAIT_FOREVER 0xFFFFFFFFu
void* HAL_SemaphoreCreate(void);
void HAL_SemaphoreDestroy(void* sem);
void HAL_SemaphorePost(void* sem);
// 0 when taken, -1 on time-out. HAL_WAIT_FOREVER blocks until posted. The
// deadline runs on the monotonic clock and survives signal interruptions.
int HAL_SemaphoreWait(void* sem, uint32_t timeout_ms);

// Waker: lets one thread block on its inputs and another one end that wait
// at once (an eventfd). Signals do not count up: any number of them before a
// wait ends one wait.
void* HAL_WakerCreate(void);  // NULL on failure
void HAL_WakerDestroy(void* waker);
void HAL_WakerSignal(void* waker);  // async-signal-safe
// Blocks until signalled or timeout_ms passes (< 0: for ever). 1 when
// signalled (and reset), 0 on time-out.
int HAL_WakerWait(void* waker, int timeout_ms);

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
typedef struct {
    const char* name;  // given to the thread as its system name (cut to 15)
    int stack_size;    // not used: default POSIX stack
    int priority;      // not used
} hal_thread_param_t;

// Starts work_routine(arg) on a new, already detached thread and stores an
// opaque handle in *thread_handle. The handle must later be passed once to
// HAL_ThreadDelete (wait for the routine to end) or HAL_ThreadDetach (forget
// it); either releases the handle. thread_handle may be NULL when the caller
// never needs the handle. *stack_used is set to 0. 0 or -1.
int HAL_ThreadCreate(void** thread_handle, void* (*work_routine)(void*), void* arg,
                     hal_thread_param_t* param, int* stack_used);
void HAL_ThreadDetach(void* thread_handle);
// Waits until the thread's routine has returned, then releases the handle.
// NULL does nothing; a thread deleting its own handle only releases it.
void HAL_ThreadDelete(void* thread_handle);

// ---------------------------------------------------------------------------
// Key-value store: file "tether_kv.bin", 384 rows x 2 slots, values up to
// 512 bytes (longer ones are cut to 512, with a warning).
// ---------------------------------------------------------------------------
#define HAL_KV_FILE_NAME "tether_kv.bin"
#define HAL_KV_KEY_MAX 127
#define HAL_KV_VALUE_MAX 512

// Directory of the store file and of the configuration file; NULL or "" means
// the working directory (the default). 0, or -1 for a path that is too long.
int HAL_SetStorageDir(const char* dir);

// 0 or -1 ("hash row full" when the key's row holds two other keys).
int HAL_Kv_Set(const char* key, const void* value, int len);
// *buffer_len is the buffer size in and the value length out. A buffer that
// is too small fails with -1 and *buffer_len set to the stored length.
int HAL_Kv_Get(const char* key, void* buffer, int* buffer_len);
// 0 (also when the key was not stored) or -1 on a file error.
int HAL_Kv_Del(const char* key);

// ---------------------------------------------------------------------------
// Firmware and configuration files
// ---------------------------------------------------------------------------
#define HAL_FIRMWARE_DEFAULT_PATH "/tmp/arboota.bin"
#define HAL_CONFIG_FILE_NAME "arboconf"
// Where a committed image goes; NULL restores the default.
int HAL_Firmware_SetPath(const char* path);
// Starts a new image in "<path>.part"; the current image stays untouched.
void HAL_Firmware_Persistence_Start(void);
// 0 or -1 (not started, short write).
int HAL_Firmware_Persistence_Write(const char* buffer, uint32_t length);
// Commits the image: flushed to disk, then renamed over the path. 0 or -1
// (the partial file is removed, the current image kept).
int HAL_Firmware_Persistence_Stop(void);
// Discards the image being written; the current one stays. 0 or -1.
int HAL_Firmware_Persistence_Abort(void);

// Whole-file write / read of "<storage dir>/arboconf" (the write goes to a
// side file renamed into place, so a failure keeps the old file); bytes or -1.
int HAL_Config_Write(const char* buffer, int length);
int HAL_Config_Read(char* buffer, int length);

// ---------------------------------------------------------------------------
// System
// ---------------------------------------------------------------------------
void HAL_Reboot(void);
// IPv4 address of the interface (the default route's interface when ifname is
// NULL or empty) in dotted form into ip_str; returns the address in network
// byte order, or (uint32_t)-1.
uint32_t HAL_Wifi_Get_IP(char ip_str[HAL_IPV4_TEXT_LEN], const char* ifname);

// ---------------------------------------------------------------------------
// TLS (mbedTLS, TLS 1.2, peer verification required)
// ---------------------------------------------------------------------------
// Allocator for the port layer's per-connection TLS records; both NULL
// restores the standard allocator. 0 or -1.
int HAL_SSLHooks_set(void* (*malloc_fn)(uint32_t size), void (*free_fn)(void* ptr));

// Trust anchor override for every TLS connection of the library: pem_or_path
// is either PEM text (it contains "-----BEGIN") or the path of a PEM file,
// which is read at once. It must hold at least one parseable certificate.
// When set, it replaces whatever anchor a caller passes to
// HAL_SSL_Establish (the built-in one included). NULL or "" removes the
// override. 0, or -1 (override unchanged) when the text or file is unusable.
int HAL_SetTrustAnchorPem(const char* pem_or_path);
// The library's built-in anchor (PEM, NUL-terminated, static storage).
const char* HAL_GetBuiltinTrustAnchorPem(void);
// The anchor a connection made now would use: the override when set, else
// the built-in one. Valid until the next HAL_SetTrustAnchorPem call.
const char* HAL_GetTrustAnchorPem(void);

// A connection may be used from any thread, but by one thread at a time.
// Connects to host:port over TLS 1.2. The anchor is the override when set,
// else ca_crt (ca_crt_len bytes of PEM, with or without its NUL), else the
// built-in one. The server name is sent (SNI) and checked against the
// certificate for host names; for IP literals only the chain is verified.
// Returns a connection handle, or 0 with HAL_SSL_LastError() telling why.
uintptr_t HAL_SSL_Establish(const char* host, uint16_t port, const char* ca_crt,
                            uint32_t ca_crt_len);
// Reads until len bytes arrived or timeout_ms passed (0 = only what is there
// now). Returns the bytes read (possibly 0), -2 when the peer closed before
// any byte arrived, -1 on any other error.
int HAL_SSL_Read(uintptr_t handle, char* buf, int len, int timeout_ms);
// Writes until len bytes are sent or timeout_ms passed; bytes written or -1.
int HAL_SSL_Write(uintptr_t handle, const char* buf, int len, int timeout_ms);
// Sends close-notify, closes the socket, frees the connection. 0 or -1.
int32_t HAL_SSL_Destroy(uintptr_t handle);
// Blocks until the connection has something to read (bytes already
// decrypted count, so do a peer's close and socket errors), the waker (may
// be NULL) is signalled, or timeout_ms passes (< 0: for ever). 1 readable, 0
// signalled or timed out (the waker is reset), -1 for an unknown handle. Call
// it from the connection's reading thread; writers may write meanwhile.
int HAL_SSL_WaitReadable(uintptr_t handle, void* waker, int timeout_ms);

// The device's own certificate and private key, presented when a server asks
// for one (mutual TLS). Each argument is PEM text (it contains "-----BEGIN")
// or the path of a PEM file, read at once; key_password may be NULL. Both
// must parse and the key must match the certificate. Applies to every
// connection made afterwards; NULL, NULL removes them. 0, or -1 (nothing
// changed) with the reason printed.
int HAL_SetClientCertificate(const char* cert_pem_or_path, const char* key_pem_or_path,
                             const char* key_password);

// Why the calling thread's last HAL_SSL_Establish failed (0 after success).
enum {
    HAL_SSL_OK = 0,
    HAL_SSL_ERR_PARAM = -1,           // missing/over-long host, port 0
    HAL_SSL_ERR_CA = -2,              // the anchor did not parse
    HAL_SSL_ERR_CONNECT = -3,         // no address could be resolved or connected
    HAL_SSL_ERR_HANDSHAKE = -4,       // TLS handshake failed (not a certificate fault)
    HAL_SSL_ERR_CERT_EXPIRED = -5,    // "ERROR_CERTIFICATE_EXPIRED"
    HAL_SSL_ERR_CERT_REVOKED = -6,    //
    HAL_SSL_ERR_CN_MISMATCH = -7,     // the certificate does not name the host
    HAL_SSL_ERR_CERT_UNTRUSTED = -8,  // not signed by the anchor
    HAL_SSL_ERR_MEMORY = -9,
};
int HAL_SSL_LastError(void);

// ---------------------------------------------------------------------------
// DNS: the library's own resolver (A queries over UDP) in front of the system
// resolver.
// ---------------------------------------------------------------------------
#define DNS_MAX_SERVERS 3
#define DNS_MAX_ADDRS 3
#define DNS_DEFAULT_TIMEOUT_MS 3000

// Resolver list, each "a.b.c.d" or "a.b.c.d:port" (port 53 when absent); at
// most DNS_MAX_SERVERS. NULL or count 0 restores the built-in public
// resolvers. 0, or -1 (list unchanged) for a malformed entry.
int dns_set_servers(const char* const* servers, int count);
// Query time-out (each of: socket writable, answer arrived) and, for
// HAL_SSL_Establish, the number of resolution attempts and the pause between
// them. Values <= 0 restore the defaults (3000 ms, 8 attempts, 1000 ms).
void dns_set_policy(int query_timeout_ms, int attempts, int retry_pause_ms);

// One A query to one server ("a.b.c.d" or "a.b.c.d:port"). Fills up to max
// IPv4 addresses (network byte order) and returns how many (>= 1), or -1.
int dns_resolve(const char* server, const char* host, uint32_t* addrs, int max);
// Asks the configured resolvers in order and stops at the first that answers;
// an IPv4 literal is returned as is without a query. Count (>= 1) or -1.
int dns_getaddrinfo(const char* host, uint32_t addrs[DNS_MAX_ADDRS]);

// ---------------------------------------------------------------------------
// Logging
// ---------------------------------------------------------------------------
#define LOG_NONE_LEVEL 0
#define LOG_CRIT_LEVEL 1
#define LOG_ERR_LEVEL 2
#define LOG_WARNING_LEVEL 3
#define LOG_INFO_LEVEL 4
#define LOG_DEBUG_LEVEL 5
#define LOG_MSG_MAXLEN 512

// Current level 0..5 (default LOG_INFO_LEVEL); a value out of range is
// ignored and returns -1, else 0.
int LITE_set_loglevel(int level);
int LITE_get_loglevel(void);
// Level name ("QX-NON" .. "QX-DBG"), NULL when out of range.
const char* LITE_level_name(int level);

// Prints one line when level <= current level (and level >= 1):
// "\033[0m[QX-INF](<uptime ms>) func(line): message" + "\r\n" unless the
// message ends in '\n', then "\033[0m". Messages longer than 512 characters
// are cut and end in " ...".
void LITE_syslog(const char* module, const char* func, const int line, const int level,
                 const char* fmt, ...) __attribute__((format(printf, 5, 6)));
void LITE_hexdump(const char* title, const void* buf, const int len);

#define log_crit(mod, ...) LITE_syslog(mod, __func__, __LINE__, LOG_CRIT_LEVEL, __VA_ARGS__)
#define log_err(mod, ...) LITE_syslog(mod, __func__, __LINE__, LOG_ERR_LEVEL, __VA_ARGS__)
#define log_warning(mod, ...) LITE_syslog(mod, __func__, __LINE__, LOG_WARNING_LEVEL, __VA_ARGS__)
#define log_info(mod, ...) LITE_syslog(mod, __func__, __LINE__, LOG_INFO_LEVEL, __VA_ARGS__)
#define log_debug(mod, ...) LITE_syslog(mod, __func__, __LINE__, LOG_DEBUG_LEVEL, __VA_ARGS__)

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TETHER_HAL_H
