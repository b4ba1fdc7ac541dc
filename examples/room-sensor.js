// Kelvara room sensor RS-1: payload codec (LoRa Alliance payload codec API).
//
// Uplink fPort 2, measurement:
//   byte 0      message type, 0x01
//   bytes 1-2   temperature, signed, 0.1 degC, big endian
//   byte 3      relative humidity, 0.5 %
//   bytes 4-5   battery voltage, mV, big endian
//   byte 6      door contact: 0 closed, 1 open, 2 tampered
//   byte 7      number of extra sensors that follow (0-4), each:
//               one byte type (1 PM2.5 ug/m3, 2 CO2 ppm), two bytes value, big endian
// Uplink fPort 3, status: firmware major, minor, uptime in hours (two bytes, big endian).
// Downlink fPort 10: 0x10 + two bytes reporting interval in minutes (1-1440), 0x20 + 0/1 LED.

var DOOR_STATES = ["closed", "open", "tampered"];
var SENSOR_TYPES = { 1: "pm2.5", 2: "co2" };
var LOW_BATTERY_MV = 2500;

function uint16(bytes, i) {
  return (bytes[i] << 8) | bytes[i + 1];
}

function int16(bytes, i) {
  var value = uint16(bytes, i);
  return value > 0x7fff ? value - 0x10000 : value;
}

function decodeMeasurement(bytes) {
  if (bytes.length < 8 || bytes[0] !== 0x01) {
    return { errors: ["not a measurement"] };
  }
  var count = bytes[7];
  if (count > 4 || bytes.length !== 8 + 3 * count) {
    return { errors: ["sensor list of " + count + " does not fit " + bytes.length + " bytes"] };
  }
  var warnings = [];
  var door = DOOR_STATES[bytes[6]];
  if (door === undefined) {
    warnings.push("unknown door state " + bytes[6]);
    door = "unknown";
  }
  var sensors = [];
  for (var i = 0; i < count; i++) {
    var at = 8 + 3 * i;
    sensors.push({ type: SENSOR_TYPES[bytes[at]] || "unknown", value: uint16(bytes, at + 1) });
  }
  var millivolts = uint16(bytes, 4);
  return {
    data: {
      temperature: int16(bytes, 1) / 10,
      humidity: bytes[3] / 2,
      battery: { millivolts: millivolts, low: millivolts < LOW_BATTERY_MV },
      door: door,
      sensors: sensors
    },
    warnings: warnings
  };
}

function decodeStatus(bytes) {
  if (bytes.length !== 4) {
    return { errors: ["a status is 4 bytes, not " + bytes.length] };
  }
  return { data: { firmware: bytes[0] + "." + bytes[1], uptime_hours: uint16(bytes, 2) } };
}

function decodeUplink(input) {
  switch (input.fPort) {
    case 2:
      return decodeMeasurement(input.bytes);
    case 3:
      return decodeStatus(input.bytes);
    default:
      return { errors: ["unknown fPort " + input.fPort] };
  }
}

function encodeDownlink(input) {
  var data = input.data;
  if (data.interval !== undefined) {
    var minutes = Math.round(data.interval);
    if (minutes < 1 || minutes > 1440) {
      return { errors: ["interval must be 1-1440 minutes"] };
    }
    return { bytes: [0x10, (minutes >> 8) & 0xff, minutes & 0xff], fPort: 10 };
  }
  if (data.led !== undefined) {
    return { bytes: [0x20, data.led ? 1 : 0], fPort: 10 };
  }
  return { errors: ["unknown command"] };
}
