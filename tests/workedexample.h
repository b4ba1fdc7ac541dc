#pragma once

#include <QByteArray>

// The design's worked example: a meter whose uplink timestamp lands in registers
// 0-1 and whose 32-bit counter (payload bytes 1-4 of a 5-byte packet of type 1)
// lands in registers 2-3.
inline const QByteArray workedExampleTemplate = R"({
    "app_eui": "0a0b0c0d01020304", "dev_type": "Meter",
    "server_data": [ { "data_code": "ts", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Time" } ],
    "device_packets": [ { "packet_type": 1, "packet_size": 5, "packet_fields": [
        { "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger",
          "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter" } ] } ]
})";
