// The engine's JSON helpers: json_parse on any text, then every typed getter
// on every member the tree holds (and on a few keys the engine asks for).
// A getter's fallback must match the member's type exactly.
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "util_json.h"
#include "util_log.h"

static const char* const kKeys[] = {"is_360",         "out_path",    "lights", "lines",
                                    "colorDeep",      "in_aud_path", "list",   "gamma",
                                    "min_brightness", "in_width",    "",       "IS_360"};

static void probe(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);

    const cJSON* array = json_get_array(object, key);
    FUZZ_CHECK(array == (cJSON_IsArray(item) ? item : nullptr), "json_get_array [%s]", key);

    const int b = json_get_bool(object, key);
    FUZZ_CHECK(b ==
                   (cJSON_IsTrue(item)        ? 1
                        : cJSON_IsFalse(item) ? 0
                                              : -1),
               "json_get_bool [%s]", key);

    const int i = json_get_int(object, key);
    FUZZ_CHECK(i == (cJSON_IsNumber(item) ? item->valueint : -1), "json_get_int [%s]", key);

    const double d = json_get_double(object, key);
    if (cJSON_IsNumber(item))
        FUZZ_CHECK(d == item->valuedouble || (std::isnan(d) && std::isnan(item->valuedouble)),
                   "double [%s]", key);
    else
        FUZZ_CHECK(d == 1.0, "json_get_double fallback [%s]", key);

    const char* s = json_get_string(object, key);
    FUZZ_CHECK(s == (cJSON_IsString(item) ? item->valuestring : nullptr), "json_get_string [%s]",
               key);
}

static void walk(const cJSON* node, int depth)
{
    if (!node || depth > 64)
        return;
    for (const char* key : kKeys)
        probe(node, key);
    const cJSON* child = nullptr;
    cJSON_ArrayForEach(child, node)
    {
        if (child->string)
            probe(node, child->string);
        walk(child, depth + 1);
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data),
                           size); // stops at the first NUL for cJSON
    cJSON* tree = json_parse(text.c_str());
    walk(tree, 0);
    // The getters also take a null object.
    probe(nullptr, "lights");
    json_delete(tree);
    util_log(1, 5, "Util", "%s", text.c_str());
    return 0;
}
