// The AMF0 reader on arbitrary bytes, as a command body and as an object,
// with an item table that exercises every stored type. A read that succeeds
// must stay inside the input.
#include <cstdint>
#include <cstdlib>

#include "proto/amf0.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* end = data + size;
    char name[8] = {}, text[64] = {}, inner_text[4] = {};
    double number = 0, element = 0;
    uint8_t flag = 0;
    amf_date_t date{};
    amf_object_item_t array[] = {{AMF_NUMBER, "", &element, 0}, {AMF_STRING, "", text, 2}};
    amf_object_item_t inner[] = {{AMF_STRING, "t", inner_text, sizeof inner_text}};
    amf_object_item_t object[] = {{AMF_NUMBER, "n", &number, 0},
                                  {AMF_BOOLEAN, "b", &flag, 0},
                                  {AMF_STRING, "s", text, sizeof text},
                                  {AMF_LONG_STRING, "l", text, sizeof text},
                                  {AMF_DATE, "d", &date, 0},
                                  {AMF_STRICT_ARRAY, "a", array, 2},
                                  {AMF_ECMA_ARRAY, "e", inner, 1},
                                  {AMF_OBJECT, "o", inner, 1}};
    amf_object_item_t items[] = {{AMF_STRING, "", name, sizeof name},
                                 {AMF_NUMBER, "", &number, 0},
                                 {AMF_OBJECT, "", object, 8},
                                 {AMF_OBJECT, "", object, 8}};
    const uint8_t* p = amf_read_items(data, end, items, 4);
    if (p && (p < data || p > end)) {
        abort();
    }
    p = amf_read_object(data, end, object, 8);
    if (p && (p <= data || p > end)) {
        abort();
    }
    if (size > 0) {
        p = amf_read_item(data + 1, end, static_cast<AMFDataType>(data[0]), &object[7]);
        if (p && (p <= data || p > end)) {
            abort();
        }
    }
    return 0;
}
