/* The built-in fan model table. */
#include "fan_models.h"

#include <string.h>

static const fan_model models[] = {
    {"VEGA", 116, 520, 6},     {"RIGEL", 144, 520, 6},    {"ALTAIR", 176, 700, 6},
    {"DENEB", 192, 920, 6},    {"CAPELLA", 133, 520, 6},  {"POLLUX", 224, 700, 6},
    {"CASTOR", 256, 700, 6},   {"ANTARES", 85, 400, 6},   {"ACRUX", 64, 520, 6},
    {"ARCTURUS", 128, 520, 6}, {"BELLATRIX", 48, 300, 5}, {"CANOPUS", 80, 360, 5},
};

int fan_model_count(void) { return (int)(sizeof(models) / sizeof(models[0])); }

const fan_model* fan_model_at(int index)
{
    if (index < 0 || index >= fan_model_count())
        return NULL;
    return &models[index];
}

const fan_model* fan_model_find(const char* name)
{
    if (!name)
        return NULL;
    for (int i = 0; i < fan_model_count(); i++) {
        if (strcmp(models[i].name, name) == 0)
            return &models[i];
    }
    return NULL;
}
