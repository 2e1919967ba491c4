// The persistent user settings: one native store in user scope, addressed
// with the same organisation and application names everywhere.
#pragma once

#include <QLatin1String>

namespace Settings {

inline constexpr const char* Organisation = "Tessel";
inline constexpr const char* Application = "Marrowfield";

// Keys (the complete list).
inline constexpr const char* Language = "language";          // "en", "zh" or "ru"
inline constexpr const char* LastVideoDir = "lastVideoDir";  // folder of the last chosen input
inline constexpr const char* OutputFolder = "outputFolder";  // last chosen output folder
inline constexpr const char* ConvertIndex = "convert_index"; // next sequence number
// What a language restart brings back (the loaded file, its times, framing,
// flips, model, output field), as a JSON object; written just before the
// restart, read and removed by the next start.
inline constexpr const char* RestartState = "restartState";

} // namespace Settings
