/* Typed access to cJSON trees for the engine: each getter logs (tag "Util")
 * and returns a fixed fallback when the member is missing or of another type.
 * Members are looked up with cJSON_GetObjectItem (case-insensitive, first
 * match). */
#pragma once

#include <cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Parses NUL-terminated text. On failure logs "Error before: %s [%s]" (rest
 * of the text from the error position, whole text) or, without a position,
 * "parse json error [%s]", and returns NULL. NULL text returns NULL. */
cJSON* json_parse(const char* text);

/* Releases a tree (NULL is allowed). */
void json_delete(cJSON* tree);

/* The member when it is an array, else NULL ("not found or not a object [key]"). */
cJSON* json_get_array(const cJSON* object, const char* key);

/* 1 for true, 0 for false, -1 when missing or not a boolean
 * ("not found or not a number [key]"). */
int json_get_bool(const cJSON* object, const char* key);

/* The member's integer value (cJSON's valueint, saturated to the int range),
 * or -1 when missing or not a number ("not found or not a number [key]"). */
int json_get_int(const cJSON* object, const char* key);

/* The member's value, or 1.0 when missing or not a number
 * ("not found or not a number [key]"). */
double json_get_double(const cJSON* object, const char* key);

/* The member's text (owned by the tree, valid until it is deleted), or NULL
 * when missing or not a string ("not found or not a string [key]"). */
const char* json_get_string(const cJSON* object, const char* key);

#ifdef __cplusplus
}
#endif
