// File-backed key-value store, configuration file and firmware file.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "port/linux/hal_internal.h"
#include "tether/hal.h"

using tether_port::prt;

namespace {

std::mutex g_dir_lock;
std::string g_storage_dir;

}  // namespace

int HAL_SetStorageDir(const char* dir) {
    if (dir != nullptr && strlen(dir) > 1024) {
        prt(LOG_ERR_LEVEL, "storage dir too long");
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_dir_lock);
    g_storage_dir = dir ? dir : "";
    return 0;
}

namespace tether_port {

std::string storage_path(const char* name) {
    std::lock_guard<std::mutex> lock(g_dir_lock);
    if (g_storage_dir.empty()) {
        return std::string("./") + name;
    }
    std::string p = g_storage_dir;
    if (p.back() != '/') {
        p += '/';
    }
    return p + name;
}

}  // namespace tether_port

// ---------------------------------------------------------------------------
// Key-value store
// ---------------------------------------------------------------------------
namespace {

constexpr int kRows = 384;
constexpr int kKeyBytes = 128;
constexpr int kValueBytes = HAL_KV_VALUE_MAX;
constexpr int kSlotBytes = kKeyBytes + kValueBytes + 4;  // 644
constexpr int kSlotsPerRow = 2;
constexpr int kRowBytes = kSlotBytes * kSlotsPerRow;  // 1288
constexpr off_t kFileBytes = static_cast<off_t>(kRowBytes) * kRows;

// One lock for the whole store: every operation is a read-modify-write of a
// row, and rows are not independent of file creation.
std::mutex g_kv_lock;

uint32_t kv_hash(const char* key) {
    uint32_t h = 0;
    for (const char* p = key; *p != '\0'; ++p) {
        h = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p))) + h * 33u;
    }
    return h;
}

struct Slot {
    unsigned char* base;
    bool has_key(const char* key, size_t key_len) const {
        return strnlen(reinterpret_cast<const char*>(base), kKeyBytes) == key_len &&
               memcmp(base, key, key_len) == 0;
    }
    int32_t length() const {
        const unsigned char* p = base + kKeyBytes + kValueBytes;
        return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                    static_cast<uint32_t>(p[2]) << 16 |
                                    static_cast<uint32_t>(p[3]) << 24);
    }
    bool empty() const { return length() == 0; }
    unsigned char* value() const { return base + kKeyBytes; }
    void store(const char* key, size_t key_len, const void* val, int32_t len) {
        memset(base, 0, kSlotBytes);
        memcpy(base, key, key_len);
        memcpy(base + kKeyBytes, val, static_cast<size_t>(len));
        unsigned char* p = base + kKeyBytes + kValueBytes;
        uint32_t u = static_cast<uint32_t>(len);
        p[0] = u & 0xff;
        p[1] = (u >> 8) & 0xff;
        p[2] = (u >> 16) & 0xff;
        p[3] = (u >> 24) & 0xff;
    }
    void clear() { memset(base, 0, kSlotBytes); }
};

bool write_all(int fd, const void* buf, size_t len, off_t off) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, off);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
        off += n;
    }
    return true;
}

// Builds the zero-filled store under a temporary name and links it into
// place, so no other opener ever sees a half-written file.
bool create_store(const std::string& path) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "open err - '%s' (%d): %s", strerror(errno), errno, tmp.c_str());
        return false;
    }
    std::vector<unsigned char> zeros(kRowBytes, 0);
    bool ok = true;
    for (int r = 0; ok && r < kRows; ++r) {
        ok = write_all(fd, zeros.data(), zeros.size(), static_cast<off_t>(r) * kRowBytes);
    }
    ok = ok && fsync(fd) == 0;
    close(fd);
    if (!ok) {
        prt(LOG_ERR_LEVEL, "kv write failed - '%s' (%d)", strerror(errno), errno);
        unlink(tmp.c_str());
        return false;
    }
    if (link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        prt(LOG_ERR_LEVEL, "open err - '%s' (%d): %s", strerror(errno), errno, path.c_str());
        unlink(tmp.c_str());
        return false;
    }
    unlink(tmp.c_str());
    return true;
}

int kv_open() {
    std::string path = tether_port::storage_path(HAL_KV_FILE_NAME);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (!create_store(path)) {
            return -1;
        }
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "open err - '%s' (%d): %s", strerror(errno), errno, path.c_str());
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        prt(LOG_ERR_LEVEL, "fstat err - '%s' (%d)", strerror(errno), errno);
        close(fd);
        return -1;
    }
    if (st.st_size < kFileBytes) {
        prt(LOG_ERR_LEVEL, "read overstep: %s is %lld bytes, expected %lld", path.c_str(),
            static_cast<long long>(st.st_size), static_cast<long long>(kFileBytes));
        close(fd);
        return -1;
    }
    return fd;
}

bool read_row(int fd, int row, unsigned char* buf) {
    size_t got = 0;
    off_t off = static_cast<off_t>(row) * kRowBytes;
    while (got < static_cast<size_t>(kRowBytes)) {
        ssize_t n = pread(fd, buf + got, kRowBytes - got, off + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            prt(LOG_ERR_LEVEL, "read err - '%s' (%d)", strerror(errno), errno);
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool write_row(int fd, int row, const unsigned char* buf) {
    if (!write_all(fd, buf, kRowBytes, static_cast<off_t>(row) * kRowBytes) || fdatasync(fd) != 0) {
        prt(LOG_ERR_LEVEL, "kv write failed - '%s' (%d)", strerror(errno), errno);
        return false;
    }
    return true;
}

bool key_ok(const char* key) {
    if (key == nullptr || key[0] == '\0' || strlen(key) > HAL_KV_KEY_MAX) {
        prt(LOG_ERR_LEVEL, "paras err: key %s", key == nullptr ? "NULL" : "empty or too long");
        return false;
    }
    return true;
}

// Holds the lock, the open file and the key's row for one operation.
struct RowOp {
    std::lock_guard<std::mutex> lock{g_kv_lock};
    int fd = -1;
    int row = 0;
    unsigned char buf[kRowBytes];
    Slot slot(int i) { return Slot{buf + i * kSlotBytes}; }
    bool load(const char* key) {
        fd = kv_open();
        if (fd < 0) {
            prt(LOG_ERR_LEVEL, "kv_open failed");
            return false;
        }
        row = static_cast<int>(kv_hash(key) % kRows);
        if (!read_row(fd, row, buf)) {
            prt(LOG_ERR_LEVEL, "read kv err");
            return false;
        }
        return true;
    }
    ~RowOp() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

}  // namespace

int HAL_Kv_Set(const char* key, const void* value, int len) {
    if (!key_ok(key) || value == nullptr || len <= 0) {
        prt(LOG_ERR_LEVEL, "paras err");
        return -1;
    }
    if (len > kValueBytes) {
        prt(LOG_WARNING_LEVEL, "kv value of '%s' cut from %d to %d bytes", key, len, kValueBytes);
        len = kValueBytes;
    }
    RowOp op;
    if (!op.load(key)) {
        return -1;
    }
    size_t key_len = strlen(key);
    // The key's own slot wins over an empty one, so re-setting a key never
    // leaves a stale second copy behind that later fills the row.
    int target = -1;
    for (int i = 0; i < kSlotsPerRow && target < 0; ++i) {
        if (op.slot(i).has_key(key, key_len)) {
            target = i;
        }
    }
    for (int i = 0; i < kSlotsPerRow && target < 0; ++i) {
        if (op.slot(i).empty()) {
            target = i;
        }
    }
    if (target < 0) {
        prt(LOG_ERR_LEVEL, "hash row full");
        return -1;
    }
    op.slot(target).store(key, key_len, value, len);
    for (int i = 0; i < kSlotsPerRow; ++i) {
        if (i != target && op.slot(i).has_key(key, key_len)) {
            op.slot(i).clear();
        }
    }
    if (!write_row(op.fd, op.row, op.buf)) {
        prt(LOG_ERR_LEVEL, "write_kv_item err");
        return -1;
    }
    return 0;
}

int HAL_Kv_Get(const char* key, void* buffer, int* buffer_len) {
    if (!key_ok(key) || buffer == nullptr || buffer_len == nullptr || *buffer_len < 0) {
        prt(LOG_ERR_LEVEL, "paras err");
        return -1;
    }
    RowOp op;
    if (!op.load(key)) {
        return -1;
    }
    size_t key_len = strlen(key);
    for (int i = 0; i < kSlotsPerRow; ++i) {
        Slot s = op.slot(i);
        if (s.empty() || !s.has_key(key, key_len)) {
            continue;
        }
        int32_t len = s.length();
        if (len < 0 || len > kValueBytes) {
            prt(LOG_ERR_LEVEL, "read kv err: corrupt length %d for '%s'", len, key);
            return -1;
        }
        if (len > *buffer_len) {
            prt(LOG_ERR_LEVEL, "kv buffer too small for '%s': %d < %d", key, *buffer_len, len);
            *buffer_len = len;
            return -1;
        }
        memcpy(buffer, s.value(), static_cast<size_t>(len));
        *buffer_len = len;
        return 0;
    }
    prt(LOG_DEBUG_LEVEL, "kv key not found: '%s'", key);
    return -1;
}

int HAL_Kv_Del(const char* key) {
    if (!key_ok(key)) {
        return -1;
    }
    RowOp op;
    if (!op.load(key)) {
        return -1;
    }
    size_t key_len = strlen(key);
    bool changed = false;
    for (int i = 0; i < kSlotsPerRow; ++i) {
        if (op.slot(i).has_key(key, key_len)) {
            op.slot(i).clear();
            changed = true;
        }
    }
    if (changed && !write_row(op.fd, op.row, op.buf)) {
        prt(LOG_ERR_LEVEL, "write_kv_item err");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Configuration file
// ---------------------------------------------------------------------------
int HAL_Config_Write(const char* buffer, int length) {
    if (buffer == nullptr || length < 0) {
        prt(LOG_ERR_LEVEL, "paras err");
        return -1;
    }
    // Written aside and renamed: a failed write keeps the previous file whole.
    std::string path = tether_port::storage_path(HAL_CONFIG_FILE_NAME);
    std::string part = path + ".part";
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "open err - '%s' (%d): %s", strerror(errno), errno, part.c_str());
        return -1;
    }
    bool ok = write_all(fd, buffer, static_cast<size_t>(length), 0) && fsync(fd) == 0;
    int err = errno;
    close(fd);
    if (ok && rename(part.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        prt(LOG_ERR_LEVEL, "config write failed - '%s' (%d): %s", strerror(err), err, path.c_str());
        unlink(part.c_str());
        return -1;
    }
    return length;
}

int HAL_Config_Read(char* buffer, int length) {
    if (buffer == nullptr || length < 0) {
        prt(LOG_ERR_LEVEL, "paras err");
        return -1;
    }
    std::string path = tether_port::storage_path(HAL_CONFIG_FILE_NAME);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "open err - '%s' (%d): %s", strerror(errno), errno, path.c_str());
        return -1;
    }
    int got = 0;
    while (got < length) {
        ssize_t n = read(fd, buffer + got, static_cast<size_t>(length - got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            prt(LOG_ERR_LEVEL, "read err - '%s' (%d)", strerror(errno), errno);
            close(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<int>(n);
    }
    close(fd);
    return got;
}

// ---------------------------------------------------------------------------
// Firmware file
// ---------------------------------------------------------------------------
namespace {

std::mutex g_fw_lock;
std::string g_fw_path = HAL_FIRMWARE_DEFAULT_PATH;
std::string g_fw_part;  // the image being written
FILE* g_fw_file = nullptr;

}  // namespace

int HAL_Firmware_SetPath(const char* path) {
    std::lock_guard<std::mutex> lock(g_fw_lock);
    g_fw_path = (path && path[0]) ? path : HAL_FIRMWARE_DEFAULT_PATH;
    return 0;
}

// The image is written beside the current one and takes its place only when
// it is committed: a transfer cut short, a wrong digest or a failed write
// never leaves a partial image where the current firmware is.
void HAL_Firmware_Persistence_Start(void) {
    std::lock_guard<std::mutex> lock(g_fw_lock);
    if (g_fw_file != nullptr) {
        fclose(g_fw_file);
    }
    g_fw_part = g_fw_path + ".part";
    g_fw_file = fopen(g_fw_part.c_str(), "wbe");
    if (g_fw_file == nullptr) {
        prt(LOG_ERR_LEVEL, "open err - '%s' (%d): %s", strerror(errno), errno, g_fw_part.c_str());
    }
}

int HAL_Firmware_Persistence_Write(const char* buffer, uint32_t length) {
    std::lock_guard<std::mutex> lock(g_fw_lock);
    if (g_fw_file == nullptr || (buffer == nullptr && length > 0)) {
        prt(LOG_ERR_LEVEL, "firmware write: %s", g_fw_file ? "paras err" : "not started");
        return -1;
    }
    if (fwrite(buffer, 1, length, g_fw_file) != length) {
        prt(LOG_ERR_LEVEL, "firmware write failed - '%s' (%d)", strerror(errno), errno);
        return -1;
    }
    return 0;
}

int HAL_Firmware_Persistence_Stop(void) {
    std::lock_guard<std::mutex> lock(g_fw_lock);
    if (g_fw_file == nullptr) {
        return -1;
    }
    bool ok = fflush(g_fw_file) == 0 && fsync(fileno(g_fw_file)) == 0;
    ok = (fclose(g_fw_file) == 0) && ok;
    g_fw_file = nullptr;
    if (!ok || rename(g_fw_part.c_str(), g_fw_path.c_str()) != 0) {
        prt(LOG_ERR_LEVEL, "firmware commit of %s failed - '%s' (%d)", g_fw_path.c_str(),
            strerror(errno), errno);
        unlink(g_fw_part.c_str());
        return -1;
    }
    return 0;
}

int HAL_Firmware_Persistence_Abort(void) {
    std::lock_guard<std::mutex> lock(g_fw_lock);
    if (g_fw_file == nullptr) {
        return -1;
    }
    fclose(g_fw_file);
    g_fw_file = nullptr;
    if (unlink(g_fw_part.c_str()) != 0) {
        prt(LOG_ERR_LEVEL, "firmware discard of %s failed - '%s' (%d)", g_fw_part.c_str(),
            strerror(errno), errno);
        return -1;
    }
    return 0;
}
