// Key-value store: file layout, row placement, slot handling and errors.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "port_test_util.h"
#include "tether/hal.h"

namespace {

constexpr size_t kRowBytes = 1288;
constexpr size_t kSlotBytes = 644;

// Row of a key, computed the way the store's file format defines it.
size_t row_of(const std::string& key) {
    uint32_t h = 0;
    for (char c : key) {
        h = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c))) + h * 33u;
    }
    return h % 384;
}

struct SlotView {
    std::string key;  // up to the first NUL
    std::string value;
    int32_t length;
};

SlotView slot_at(const std::string& file, size_t row, int slot) {
    size_t base = row * kRowBytes + static_cast<size_t>(slot) * kSlotBytes;
    SlotView v;
    v.key = std::string(file.c_str() + base);
    const unsigned char* len = reinterpret_cast<const unsigned char*>(file.data() + base + 640);
    v.length = static_cast<int32_t>(len[0] | len[1] << 8 | len[2] << 16 |
                                    static_cast<uint32_t>(len[3]) << 24);
    v.value = file.substr(base + 128, 512);
    return v;
}

// Three distinct keys sharing one row.
std::vector<std::string> colliding_keys(size_t n) {
    std::vector<std::vector<std::string>> by_row(384);
    for (int i = 0;; ++i) {
        std::string k = "key" + std::to_string(i);
        auto& bucket = by_row[row_of(k)];
        bucket.push_back(k);
        if (bucket.size() == n) {
            return bucket;
        }
    }
}

class HalKvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, HAL_SetStorageDir(dir_.path().c_str()));
        LITE_set_loglevel(LOG_DEBUG_LEVEL);
    }
    void TearDown() override { HAL_SetStorageDir(nullptr); }
    std::string file() { return port_test::read_file(dir_.file(HAL_KV_FILE_NAME)); }
    port_test::TempDir dir_;
};

TEST_F(HalKvTest, FileIsCreatedZeroFilledAtFullSize) {
    char buf[8];
    int len = sizeof(buf);
    EXPECT_EQ(-1, HAL_Kv_Get("absent", buf, &len));
    std::string f = file();
    ASSERT_EQ(494592u, f.size());
    EXPECT_EQ(std::string(494592, '\0'), f);
}

TEST_F(HalKvTest, EntryLandsInItsHashRowWithExactSlotLayout) {
    // Bytes above 0x7f take part as signed values.
    const std::vector<std::string> keys = {"abc", "DyncRegDeviceSecret", "\xe9t\xe9\xff",
                                           std::string(127, 'k')};
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        std::string value = "value of " + key.substr(0, 8);
        ASSERT_EQ(0, HAL_Kv_Set(key.c_str(), value.data(), static_cast<int>(value.size())));
        std::string f = file();
        ASSERT_EQ(494592u, f.size());
        size_t row = row_of(key);
        SlotView s = slot_at(f, row, 0);
        EXPECT_EQ(key, s.key);
        EXPECT_EQ(static_cast<int32_t>(value.size()), s.length);
        EXPECT_EQ(value, s.value.substr(0, value.size()));
        // Key and value padding are NUL.
        size_t base = row * kRowBytes;
        EXPECT_EQ(std::string(128 - key.size(), '\0'),
                  f.substr(base + key.size(), 128 - key.size()));
        EXPECT_EQ(std::string(512 - value.size(), '\0'), s.value.substr(value.size()));
        char out[HAL_KV_VALUE_MAX];
        int len = sizeof(out);
        ASSERT_EQ(0, HAL_Kv_Get(key.c_str(), out, &len));
        EXPECT_EQ(value, std::string(out, static_cast<size_t>(len)));
    }
}

TEST_F(HalKvTest, LongValueIsCutTo512Bytes) {
    std::string value;
    for (int i = 0; i < 600; ++i) {
        value += static_cast<char>('a' + i % 26);
    }
    ASSERT_EQ(0, HAL_Kv_Set("long", value.data(), 600));
    char out[1024];
    int len = sizeof(out);
    ASSERT_EQ(0, HAL_Kv_Get("long", out, &len));
    ASSERT_EQ(512, len);
    EXPECT_EQ(value.substr(0, 512), std::string(out, 512));
    EXPECT_EQ(512, slot_at(file(), row_of("long"), 0).length);
}

TEST_F(HalKvTest, ThirdKeyOfARowFailsAndFreedSlotIsReused) {
    std::vector<std::string> k = colliding_keys(3);
    size_t row = row_of(k[0]);
    ASSERT_EQ(0, HAL_Kv_Set(k[0].c_str(), "one", 3));
    ASSERT_EQ(0, HAL_Kv_Set(k[1].c_str(), "two", 3));
    {
        port_test::StdoutCapture out;
        EXPECT_EQ(-1, HAL_Kv_Set(k[2].c_str(), "three", 5));
        EXPECT_NE(std::string::npos, out.text().find("hash row full"));
    }
    std::string f = file();
    EXPECT_EQ(k[0], slot_at(f, row, 0).key);
    EXPECT_EQ(k[1], slot_at(f, row, 1).key);

    // Replacing a key keeps its slot even when an earlier slot is free, so
    // the row does not fill up with stale copies.
    ASSERT_EQ(0, HAL_Kv_Del(k[0].c_str()));
    f = file();
    EXPECT_EQ(std::string(kSlotBytes, '\0'), f.substr(row * kRowBytes, kSlotBytes));
    ASSERT_EQ(0, HAL_Kv_Set(k[1].c_str(), "TWO", 3));
    f = file();
    EXPECT_EQ(0, slot_at(f, row, 0).length);
    EXPECT_EQ(k[1], slot_at(f, row, 1).key);
    ASSERT_EQ(0, HAL_Kv_Set(k[2].c_str(), "three", 5));
    EXPECT_EQ(k[2], slot_at(file(), row, 0).key);

    char out[16];
    int len = sizeof(out);
    ASSERT_EQ(0, HAL_Kv_Get(k[1].c_str(), out, &len));
    EXPECT_EQ("TWO", std::string(out, static_cast<size_t>(len)));
    len = sizeof(out);
    EXPECT_EQ(-1, HAL_Kv_Get(k[0].c_str(), out, &len));
}

TEST_F(HalKvTest, GetHonoursTheCallersBufferSize) {
    ASSERT_EQ(0, HAL_Kv_Set("secret", "0123456789", 10));
    char out[16] = {};
    int len = 4;
    EXPECT_EQ(-1, HAL_Kv_Get("secret", out, &len));
    EXPECT_EQ(10, len);
    EXPECT_EQ('\0', out[0]);
    len = 10;
    EXPECT_EQ(0, HAL_Kv_Get("secret", out, &len));
    EXPECT_EQ("0123456789", std::string(out, 10));
}

TEST_F(HalKvTest, DeleteOfAMissingKeyIsHarmless) {
    ASSERT_EQ(0, HAL_Kv_Set("keep", "x", 1));
    EXPECT_EQ(0, HAL_Kv_Del("missing"));
    char out[4];
    int len = sizeof(out);
    EXPECT_EQ(0, HAL_Kv_Get("keep", out, &len));
}

TEST_F(HalKvTest, BadArgumentsAreRefused) {
    const std::string too_long(128, 'k');
    char out[8];
    int len = sizeof(out);
    struct Case {
        const char* key;
        const char* value;
        int len;
    } cases[] = {{nullptr, "v", 1}, {"", "v", 1},  {too_long.c_str(), "v", 1},
                 {"k", nullptr, 1}, {"k", "v", 0}, {"k", "v", -3}};
    for (const Case& c : cases) {
        EXPECT_EQ(-1, HAL_Kv_Set(c.key, c.value, c.len));
    }
    EXPECT_EQ(-1, HAL_Kv_Get(nullptr, out, &len));
    EXPECT_EQ(-1, HAL_Kv_Get("k", nullptr, &len));
    EXPECT_EQ(-1, HAL_Kv_Get("k", out, nullptr));
    EXPECT_EQ(-1, HAL_Kv_Del(too_long.c_str()));
}

TEST_F(HalKvTest, TruncatedStoreFileIsRejectedNotOverrun) {
    ASSERT_EQ(0, HAL_Kv_Set("a", "1", 1));
    ASSERT_EQ(0, truncate(dir_.file(HAL_KV_FILE_NAME).c_str(), 1000));
    char out[4];
    int len = sizeof(out);
    EXPECT_EQ(-1, HAL_Kv_Get("a", out, &len));
    EXPECT_EQ(-1, HAL_Kv_Set("a", "1", 1));
}

TEST_F(HalKvTest, CorruptLengthFieldIsAnError) {
    ASSERT_EQ(0, HAL_Kv_Set("c", "1", 1));
    std::string path = dir_.file(HAL_KV_FILE_NAME);
    FILE* f = fopen(path.c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    fseek(f, static_cast<long>(row_of("c") * kRowBytes + 640), SEEK_SET);
    const unsigned char big[4] = {0x00, 0x10, 0x00, 0x00};  // 4096 > 512
    fwrite(big, 1, 4, f);
    fclose(f);
    char out[HAL_KV_VALUE_MAX * 16];
    int len = sizeof(out);
    EXPECT_EQ(-1, HAL_Kv_Get("c", out, &len));
}

}  // namespace
