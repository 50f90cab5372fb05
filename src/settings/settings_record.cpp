#include "settings/settings_record.h"

#include <algorithm>
#include <array>

namespace kinovar {

namespace {

// Fields are int32 holding the bit pattern of what the record stores, so a
// u32 of 2^31 or more reads back negative.
int32_t u8(const uint8_t* p) { return p[0]; }
int32_t u16(const uint8_t* p) { return (p[0] << 8) | p[1]; }
uint32_t u32raw(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
int32_t s32(const uint8_t* p) { return static_cast<int32_t>(u32raw(p)); }

void decodeDate(DateTimeFields& date, const uint8_t* p) {
  date.second = u8(p);
  date.minute = u8(p + 1);
  date.hour = u8(p + 2);
  date.day = u8(p + 3);
  date.month = u8(p + 4);
  date.year = u16(p + 5);
}

// The two generations of sensor record: type 2 keeps a raw range byte and
// unscaled calibration; type 3 has range codes and values in 1/10000.
void decodeLegacySensor(SensorSettings& sensor, const uint8_t* p) {
  sensor.frameId = u8(p);
  sensor.present = true;
  sensor.frequency = u8(p + 1);
  sensor.range = u8(p + 2);
  for (int axis = 0; axis < 3; ++axis) {
    sensor.offset[axis] = s32(p + 3 + 4 * axis);
    sensor.gain[axis] = s32(p + 15 + 4 * axis);
  }
}

void decodeSensor(SensorSettings& sensor, const uint8_t* p, int32_t range) {
  sensor.frameId = u8(p);
  sensor.present = true;
  sensor.frequency = u16(p + 1);
  sensor.range = range;
  for (int axis = 0; axis < 3; ++axis) {
    sensor.offset[axis] = s32(p + 4 + 4 * axis) / 10000.0;
    sensor.gain[axis] = s32(p + 16 + 4 * axis) / 10000.0;
  }
  sensor.tailWord = u16(p + 28);
}

int32_t accelRange(uint8_t code) {
  switch (code) {
    case 0: return 2;
    case 1: return 16;
    case 2: return 4;
    case 3: return 8;
    default: return 4;
  }
}

int32_t gyroRange(uint8_t code) {
  switch (code) {
    case 0: return 245;
    case 1: return 500;
    case 2: return 1000;
    case 3: return 2000;
    case 4: return 125;
    default: return 1000;
  }
}

template <typename Group>
void decodeChannel(Group& group, const uint8_t* p) {
  group.frameId = u8(p);
  group.present = true;
  group.frequency = u16(p + 1);
  group.tailWord = u16(p + 3);
}

void decodeSource(FrameSource& source, const uint8_t* p) {
  source.frameId = u8(p);
  source.present = true;
  source.frequency = u16(p + 1);
}

void decodeWordChannel(WordChannelSettings& group, const uint8_t* p) {
  group.frameId = u8(p);
  group.present = true;
  group.word1 = u16(p + 1);
  group.word2 = u16(p + 3);
}

// Least payload length of each recognised record; -1 for an unknown one.
int minimumLength(int type, int subtype) {
  if (type == 1) {
    switch (subtype) {
      case 1: return 6;
      case 2: return 4;
      case 5: return 2;
      default: return -1;
    }
  }
  if (type == 2) {
    switch (subtype) {
      case 0:
      case 1: return 27;
      case 2: return 2;
      default: return -1;
    }
  }
  if (type == 3) {
    static constexpr std::array<int, 23> kMin = {7, 4, 30, 30, 5, -1, 7, 5, 2, 8, 5, 4,
                                                 4, 4, 4, 4,  3, 5, 21, 5, 5, 2, 3};
    return subtype >= 0 && subtype < static_cast<int>(kMin.size()) ? kMin[static_cast<size_t>(subtype)] : -1;
  }
  return -1;
}

// The firmware version: one number (major, minor and patch as its digits)
// or three words.
bool decodeVersion(DeviceSettings& s, const uint8_t* p, int length) {
  if (length == 4) {
    const int32_t n = s32(p);
    if (n <= 999) {
      s.version = n / 100;
      s.majorVersion = (n - 100 * s.version) / 10;
      s.minorVersion = n - 100 * s.version - 10 * s.majorVersion;
    } else {
      s.version = s.majorVersion = s.minorVersion = 0;
    }
  } else if (length == 6) {
    s.version = u16(p);
    s.majorVersion = u16(p + 2);
    s.minorVersion = u16(p + 4);
  } else {
    return false;
  }
  s.hasDeviceInfo = true;
  return true;
}

bool decodeGps(GpsSettings& gps, const uint8_t* p, int length) {
  if (length == 5) {
    gps.frequency = u16(p + 1);
    gps.tailWord = u16(p + 3);
  } else if (length == 8) {
    // A period of 0 ms names no rate; report 0 rather than divide by it.
    const uint32_t period = u32raw(p + 1);
    gps.frequency = period == 0 ? 0 : static_cast<int32_t>(1.0 / (period * 0.001));
    gps.extraByte = u8(p + 5);
    gps.tailWord = u16(p + 6);
  } else {
    return false;
  }
  gps.frameId = u8(p);
  gps.present = true;
  return true;
}

void decodeRadioTime(RadioTimeSettings& r, const uint8_t* p) {
  r.frameId = u8(p);
  r.present = true;
  r.frequency = u16(p + 1);
  r.role = u8(p + 3);
  r.channel = u8(p + 4);
}

void decodeTimeMarks(TimeMarksSettings& t, const uint8_t* p) {
  t.frameId = u8(p);
  t.present = true;
  t.value1 = u16(p + 1);
  t.value2 = u8(p + 3);
  t.value3 = u8(p + 4);
  t.value4 = u8(p + 5);
  t.value5 = u16(p + 6);
  t.value6 = s32(p + 8);
  t.value7 = u8(p + 12);
  t.value8 = u8(p + 13);
  t.value9 = u8(p + 14);
  t.value10 = u16(p + 15);
  t.value11 = s32(p + 17);
}

// `p` is the payload; the caller has checked that L reaches the minimum.
// Returns false when the length is not one the record allows.
bool decodeKnown(DeviceSettings& s, int type, int subtype, const uint8_t* p, int length) {
  switch (type * 256 + subtype) {
    case 0x101:
      s.deviceId = s32(p);
      s.deviceType = u8(p + 4);
      s.bodyLocation = u8(p + 5);
      s.hasDeviceInfo = true;
      return true;
    case 0x102: return decodeVersion(s, p, length);
    case 0x105:
      s.radioMode = u8(p);
      s.radioChannel = u8(p + 1);
      return true;
    case 0x200: decodeLegacySensor(s.accel, p); return true;
    case 0x201: decodeLegacySensor(s.gyro, p); return true;
    case 0x202:
      s.baro.frameId = u8(p);
      s.baro.present = true;
      s.baro.frequency = u8(p + 1);
      return true;
    case 0x300: decodeDate(s.createdAt, p); return true;
    case 0x301:
      s.auxWord = u16(p);
      s.auxByteA = u8(p + 2);
      s.auxByteB = u8(p + 3);
      return true;
    case 0x302: decodeSensor(s.accel, p, accelRange(p[3])); return true;
    case 0x303: decodeSensor(s.gyro, p, gyroRange(p[3])); return true;
    case 0x304: decodeChannel(s.baro, p); return true;
    case 0x306: decodeDate(s.endDate, p); return true;
    case 0x307: return decodeGps(s.gps, p, length);
    case 0x308: s.frequency = u16(p); return true;
    case 0x309:
      // At L = 8 the last byte of word B is the record's first trailer byte:
      // still inside the record, so it is read as devices have always had it.
      s.radioMode = u8(p);
      s.radioWordA = s32(p + 1);
      s.radioWordB = s32(p + 5);
      if (length >= 10) s.radioChannel = u8(p + 9);
      return true;
    case 0x30A: decodeChannel(s.channel10, p); return true;
    case 0x30B: s.accel.word32 = s32(p); return true;
    case 0x30C: s.gyro.word32 = s32(p); return true;
    case 0x30D: s.baro.word32 = s32(p); return true;
    case 0x30E: s.gps.word32 = s32(p); return true;
    case 0x30F: s.channel10.word32 = s32(p); return true;
    case 0x310: decodeSource(s.event, p); return true;
    case 0x311: decodeRadioTime(s.radioTime, p); return true;
    case 0x312: decodeTimeMarks(s.timeMarks, p); return true;
    case 0x313: decodeWordChannel(s.channel19, p); return true;
    case 0x314: decodeWordChannel(s.channel20, p); return true;
    case 0x315: s.measureId = u16(p); return true;
    case 0x316: decodeSource(s.secondEvent, p); return true;
    default: return true;  // unreachable: minimumLength admits only the cases above
  }
}

bool hasMagic(const uint8_t* p) { return p[0] == 'Q' && p[1] == '7'; }

}  // namespace

int decodeSettingsRecord(DeviceSettings& settings, bool& recognised, const uint8_t* record,
                         size_t available) {
  if (available < 2 || !hasMagic(record)) return -1;
  if (available < 5) return -1;
  const int type = record[2];
  const int subtype = record[3];
  const int length = record[4];
  // A record cut by the end of the block is not read at all.
  if (static_cast<size_t>(length) + 7 > available) return -1;
  const int minimum = minimumLength(type, subtype);
  if (minimum < 0) {
    recognised = false;
  } else if (length < minimum || !decodeKnown(settings, type, subtype, record + 5, length)) {
    settings.malformed = true;
  }
  return length + 7;
}

int firstSettingsRecord(const uint8_t* block) {
  constexpr size_t kLastStart = kSettingsBlockSize - 5;  // room for magic, type, subtype, length
  for (size_t offset = 0; offset <= kLastStart; ++offset)
    if (hasMagic(block + offset)) return static_cast<int>(offset);
  return -1;
}

bool holdsSettingsRecord(std::span<const uint8_t> head) {
  std::array<uint8_t, kSettingsBlockSize> block{};
  std::copy_n(head.begin(), std::min(head.size(), block.size()), block.begin());
  return firstSettingsRecord(block.data()) >= 0;
}

int walkSettingsBlock(DeviceSettings& settings, const uint8_t* block,
                      const std::function<void(const SettingsRecordSpan&)>& visit) {
  const int first = firstSettingsRecord(block);
  if (first < 0) return -1;
  size_t offset = static_cast<size_t>(first);
  while (offset < kSettingsBlockSize) {
    bool recognised = true;
    const int size = decodeSettingsRecord(settings, recognised, block + offset, kSettingsBlockSize - offset);
    if (size < 0) break;
    visit({offset, block[offset + 2], block[offset + 3], size - 7, recognised});
    offset += static_cast<size_t>(size);
  }
  return static_cast<int>(offset);
}

bool decodeSettingsBlock(DeviceSettings& settings, const uint8_t* block) {
  return walkSettingsBlock(settings, block, [&](const SettingsRecordSpan& record) {
           if (record.recognised) return;
           const uint8_t* start = block + record.start;
           settings.unknownRecords.insert(settings.unknownRecords.end(), start, start + record.length + 7);
         }) >= 0;
}

bool decodeSettingsFile(DeviceSettings& settings, std::span<const uint8_t> bytes) {
  std::array<uint8_t, kSettingsBlockSize> block{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
  return decodeSettingsBlock(settings, block.data());
}

}  // namespace kinovar
