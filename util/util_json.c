#include "util_json.h"

#include "util_log.h"

#define JSON_TAG "Util"
#define JSON_LEVEL 5

static const cJSON* member(const cJSON* object, const char* key)
{
    if (!object || !key)
        return NULL;
    return cJSON_GetObjectItem(object, key);
}

cJSON* json_parse(const char* text)
{
    if (!text) {
        util_log(1, JSON_LEVEL, JSON_TAG, "parse json error [%s]", "(null)");
        return NULL;
    }
    cJSON* tree = cJSON_Parse(text);
    if (!tree) {
        const char* where = cJSON_GetErrorPtr();
        if (where)
            util_log(1, JSON_LEVEL, JSON_TAG, "Error before: %s [%s]", where, text);
        else
            util_log(1, JSON_LEVEL, JSON_TAG, "parse json error [%s]", text);
    }
    return tree;
}

void json_delete(cJSON* tree) { cJSON_Delete(tree); }

cJSON* json_get_array(const cJSON* object, const char* key)
{
    const cJSON* item = member(object, key);
    if (!cJSON_IsArray(item)) {
        util_log(1, JSON_LEVEL, JSON_TAG, "not found or not a object [%s]", key ? key : "");
        return NULL;
    }
    return (cJSON*)item;
}

int json_get_bool(const cJSON* object, const char* key)
{
    const cJSON* item = member(object, key);
    if (!cJSON_IsBool(item)) {
        util_log(1, JSON_LEVEL, JSON_TAG, "not found or not a number [%s]", key ? key : "");
        return -1;
    }
    return cJSON_IsTrue(item) ? 1 : 0;
}

int json_get_int(const cJSON* object, const char* key)
{
    const cJSON* item = member(object, key);
    if (!cJSON_IsNumber(item)) {
        util_log(1, JSON_LEVEL, JSON_TAG, "not found or not a number [%s]", key ? key : "");
        return -1;
    }
    return item->valueint;
}

double json_get_double(const cJSON* object, const char* key)
{
    const cJSON* item = member(object, key);
    if (!cJSON_IsNumber(item)) {
        util_log(1, JSON_LEVEL, JSON_TAG, "not found or not a number [%s]", key ? key : "");
        return 1.0;
    }
    return item->valuedouble;
}

const char* json_get_string(const cJSON* object, const char* key)
{
    const cJSON* item = member(object, key);
    if (!cJSON_IsString(item) || !item->valuestring) {
        util_log(1, JSON_LEVEL, JSON_TAG, "not found or not a string [%s]", key ? key : "");
        return NULL;
    }
    return item->valuestring;
}
