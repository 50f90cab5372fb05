// The streams of a recording as every stage and host knows them: the name
// each goes by, the channels and units of those a table holds, and the rate
// each takes from the settings. One table, here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/recording.h"

namespace kinovar {

// A stream as hosts receive it: its name, its key, its channels' names and units.
struct StreamLayout {
  const char* name;
  uint32_t key;
  std::vector<const char*> channels;
  std::vector<const char*> units;
};
// The table's streams: accel, gyro, baro, events, orientation.
const std::vector<StreamLayout>& streamLayouts();

// accel, gyro, baro, threeAxis, events, radioTime, orientation (the
// quaternion), secondEvents; "" for a key no recording has.
const char* streamName(uint32_t key);
// The unit of a table stream's channel; "" where it has none.
const char* unitOf(uint32_t key, size_t channel);
// The samples per second the settings give a stream: the quaternion is
// estimated at each gyroscope sample, so it takes the gyroscope's.
int32_t rateOf(const DeviceSettings& settings, uint32_t key);

}  // namespace kinovar
