/* The built-in fan models: the one table that the app, the command-line tools
 * and the fan simulator share. Order is the model selector's order; the first
 * model is also the device link's default model name. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fan_model {
    const char* name;
    int lights;    /* LEDs along one radius */
    int lines;     /* angular lines per revolution */
    int colorDeep; /* bits kept per colour channel */
} fan_model;

/* Number of models in the table. */
int fan_model_count(void);

/* Model at index (0-based), or NULL when out of range. */
const fan_model* fan_model_at(int index);

/* Model with exactly this name (case-sensitive), or NULL. */
const fan_model* fan_model_find(const char* name);

#ifdef __cplusplus
}
#endif
