#include "model/streams.h"

namespace kinovar {

const std::vector<StreamLayout>& streamLayouts() {
  static const std::vector<StreamLayout> layouts = {
      {"accel", kAccelKey, {"x", "y", "z"}, {"g", "g", "g"}},
      {"gyro", kGyroKey, {"x", "y", "z"}, {"deg/s", "deg/s", "deg/s"}},
      {"baro", kBaroKey, {"pressure", "temperature"}, {"mBar", "degree C"}},
      {"events", kEventKey, {"value"}, {""}},
      {"orientation", kQuaternionKey, {"w", "x", "y", "z"}, {"", "", "", ""}}};
  return layouts;
}

const char* streamName(uint32_t key) {
  for (const StreamLayout& layout : streamLayouts())
    if (layout.key == key) return layout.name;
  switch (key) {
    case kChannel10Key: return "threeAxis";
    case kRadioTimeKey: return "radioTime";
    case kSecondEventKey: return "secondEvents";
    default: return "";
  }
}

const char* unitOf(uint32_t key, size_t channel) {
  for (const StreamLayout& layout : streamLayouts())
    if (layout.key == key) return channel < layout.units.size() ? layout.units[channel] : "";
  return "";
}

int32_t rateOf(const DeviceSettings& settings, uint32_t key) {
  switch (key) {
    case kAccelKey: return settings.accel.frequency;
    case kGyroKey:
    case kQuaternionKey: return settings.gyro.frequency;
    case kBaroKey: return settings.baro.frequency;
    case kChannel10Key: return settings.channel10.frequency;
    case kEventKey: return settings.event.frequency;
    case kRadioTimeKey: return settings.radioTime.frequency;
    case kSecondEventKey: return settings.secondEvent.frequency;
    default: return 0;
  }
}

}  // namespace kinovar
