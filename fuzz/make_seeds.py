#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the harnesses into fuzz/corpus/<harness>/seed-*.

Run again after changing a seed; the fuzzer's own finds sit beside them under hash names."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
EXAMPLES = os.path.join(HERE, "..", "examples")


def write(harness, name, data):
    folder = os.path.join(CORPUS, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as out:
        out.write(data)


def request(tid, function, start, quantity, unit=1, protocol=0, length=6, extra=b""):
    return struct.pack(">HHHBBHH", tid, protocol, length, unit, function, start, quantity) + extra


def modbus_input(stream, segments=()):
    return bytes([len(segments)]) + bytes(segments) + stream


def modbus_seeds():
    write("modbus", "holding", modbus_input(request(1, 3, 0, 10)))
    write("modbus", "input", modbus_input(request(2, 4, 7, 1)))
    write("modbus", "max-quantity", modbus_input(request(3, 3, 0, 125)))
    write("modbus", "top-of-space", modbus_input(request(4, 4, 65535, 1, unit=0xFF)))
    write("modbus", "illegal-function", modbus_input(request(5, 6, 0, 1)))
    write("modbus", "quantity-zero", modbus_input(request(6, 3, 0, 0)))
    write("modbus", "quantity-126", modbus_input(request(7, 3, 0, 126)))
    write("modbus", "past-space", modbus_input(request(8, 3, 65535, 2)))
    two = request(9, 3, 0, 2) + request(10, 4, 5, 3)
    write("modbus", "two-frames-split", modbus_input(two, (3, 7, 1)))
    write("modbus", "byte-by-byte", modbus_input(request(11, 3, 1, 4), (1,)))
    write("modbus", "empty-reads", modbus_input(two, (0, 5, 0, 19)))
    write("modbus", "short-then-valid", modbus_input(struct.pack(">HHHBB", 12, 0, 2, 1, 3) + request(13, 3, 0, 1)))
    write("modbus", "longer-body", modbus_input(request(14, 3, 0, 1, length=9, extra=b"\x00\x01\x02")))
    write("modbus", "too-long-closes", modbus_input(request(15, 3, 0, 1) + struct.pack(">HHH", 16, 0, 255), (6, 6)))
    write("modbus", "header-only", modbus_input(struct.pack(">HHH", 17, 0, 6)))
    write("modbus", "largest-frame", modbus_input(request(18, 3, 0, 1, length=254, extra=bytes(248)), (200, 100)))


def template_seeds():
    for name in ("th-sensor", "pulse-counter", "status-reporter"):
        with open(os.path.join(EXAMPLES, name + ".json"), "rb") as sample:
            write("template", name, sample.read())
    write("template", "worked-example", json.dumps(WORKED_EXAMPLE).encode())
    broken = dict(WORKED_EXAMPLE, server_data=[{"data_code": "nope", "reg_map_bias": 0, "reg_bit_bias": 0,
                                               "reg_bit_size": 16, "data_name": "X"}])
    write("template", "unknown-keyword", json.dumps(broken).encode())
    high = json.loads(json.dumps(WORKED_EXAMPLE))
    high["device_packets"].append(dict(high["device_packets"][0], packet_type=255))
    high["device_packets"].append(dict(high["device_packets"][0], packet_type=-1))
    write("template", "high-packet-types", json.dumps(high).encode())
    write("template", "null-value", b'{"app_eui": null, "dev_type": "x", "device_packets": []}')
    # Numbers that would take the register map out of the register space or a field out of its packet.
    field = WORKED_EXAMPLE["device_packets"][0]["packet_fields"][0]
    for name, keys in (("reg-bit-size-int-max", {"reg_bit_size": 2147483647}),
                       ("reg-bit-size-overflowing", {"reg_bit_size": 2147483637}),
                       ("reg-map-bias-top", {"reg_map_bias": 65535, "reg_bit_size": 32}),
                       ("reg-map-bias-negative", {"reg_map_bias": -2147483648}),
                       ("reg-bit-bias-int-max", {"reg_bit_bias": 2147483647}),
                       ("data-bit-size-int-max", {"data_bit_size": 2147483647}),
                       ("packet-bias-int-max", {"packet_bias": 2147483647})):
        wide = json.loads(json.dumps(WORKED_EXAMPLE))
        wide["device_packets"][0]["packet_fields"] = [dict(field, **keys)]
        write("template", name, json.dumps(wide).encode())
    server = json.loads(json.dumps(WORKED_EXAMPLE))
    server["server_data"][0]["reg_bit_size"] = 2147483647
    write("template", "server-reg-bit-size-int-max", json.dumps(server).encode())


WORKED_EXAMPLE = {
    "app_eui": "0a0b0c0d01020304",
    "dev_type": "Meter",
    "server_data": [{"data_code": "ts", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32,
                     "data_name": "Time"}],
    "device_packets": [{"packet_type": 1, "packet_size": 5, "packet_fields": [
        {"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger", "reg_map_bias": 2,
         "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter"}]}],
}


def uplink(payload, dev_eui="70b3d5e75e00a1b2", **extra):
    message = {"cmd": "rx", "type": "UNCONF_UP", "devEui": dev_eui, "ts": 1700000000123,
               "gatewayId": "00000000000000ab+1", "ack": False, "fcnt": 17, "port": 2, "data": payload,
               "freq": 868100000, "dr": 5, "rssi": -97, "snr": -7.25}
    message.update(extra)
    return json.dumps(message).encode()


def uplink_input(template_choice, params, start, message, template=b""):
    selector = template_choice | (params << 2) | (start << 5)
    head = bytes([selector])
    if template_choice == 3:
        head += struct.pack("<H", len(template)) + template
    return head + message


def uplink_seeds():
    write("uplink", "th-sensor", uplink_input(0, 0, 2, uplink("01ff00e8035a00")))
    write("uplink", "pulse-counter", uplink_input(1, 1, 3, uplink("02452301000102030405060708")))
    write("uplink", "status-reporter", uplink_input(2, 0, 0, uplink("0301020048656c6c6f0000ab")))
    write("uplink", "status-text-full", uplink_input(2, 7, 4, uplink("030102004b656c766172612e")))
    write("uplink", "wrong-size", uplink_input(0, 0, 0, uplink("01ff00")))
    write("uplink", "unknown-type", uplink_input(1, 0, 0, uplink("7f")))
    write("uplink", "empty-payload", uplink_input(0, 0, 0, uplink("")))
    write("uplink", "confirmed-strings", uplink_input(
        0, 2, 1, uplink("01ff00e8035a00", type="CONF_UP", ts="1700000000999", fcnt="65536")))
    write("uplink", "worked-example", uplink_input(
        3, 0, 2, uplink("0145230100"), json.dumps(WORKED_EXAMPLE).encode()))
    scaled = uplink_input(3, 1, 2, uplink("0145230100"), json.dumps(WORKED_EXAMPLE).encode())
    write("uplink", "worked-example-scaled", scaled)
    identifiers = json.loads(json.dumps(WORKED_EXAMPLE))
    identifiers["server_data"] = [
        {"data_code": "gatewayId", "reg_map_bias": 4, "reg_bit_bias": 0, "reg_bit_size": 64, "data_name": "GW"},
        {"data_code": "devEui", "reg_map_bias": 8, "reg_bit_bias": 0, "reg_bit_size": 40, "data_name": "EUI"},
        {"data_code": "snr", "reg_map_bias": 12, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "SNR"}]
    write("uplink", "identifiers", uplink_input(3, 6, 7, uplink("0145230100", dev_eui="70b3d5"),
                                                json.dumps(identifiers).encode()))
    write("uplink", "not-uplink", uplink_input(0, 0, 0, b'{"cmd":"rx","type":"JOIN_REQ","devEui":"0a","data":"10"}'))
    # Values the server link refuses rather than store.
    write("uplink", "odd-hex", uplink_input(0, 0, 0, uplink("007856341")))
    write("uplink", "fcnt-past-32-bits", uplink_input(0, 0, 0, uplink("01ff00e8035a00", fcnt="18446744073709551621")))
    write("uplink", "ts-negative", uplink_input(0, 0, 0, uplink("01ff00e8035a00", ts=-1)))


def mqtt_input(selector, topic, message):
    return bytes([selector, len(topic)]) + topic + json.dumps(message).encode()


def mqttuplink_seeds():
    cs_topic = b"application/9a0b1c2d/device/0102030405060708/event/up"
    tts_topic = b"v3/rooms@ttn/devices/room-1/up"
    chirpstack = {
        "deduplicationId": "3ac7e3c4", "time": "2023-05-01T12:34:56.789+00:00",
        "deviceInfo": {"applicationId": "9a0b1c2d", "deviceProfileName": "Room sensor", "deviceName": "room 1",
                       "devEui": "0102030405060708"},
        "fCnt": 42, "fPort": 2, "data": "AQDiWgu4AQIBAAwCAZ8=",
        "object": {"temperature": 22.6, "sensors": [{"value": 12}, {"value": 415}], "door": "open",
                   "a.b": {"c": 70000}, "ok": True, "fw": "1.4.2"},
        "rxInfo": [{"gatewayId": "0016c001f1500812", "rssi": -57, "snr": 10.5}], "txInfo": {"frequency": 868100000}}
    write("mqttuplink", "chirpstack-object", mqtt_input(0, cs_topic, chirpstack))
    write("mqttuplink", "chirpstack-no-object",
          mqtt_input(0, cs_topic, {k: v for k, v in chirpstack.items() if k != "object"}))
    write("mqttuplink", "chirpstack-object-list", mqtt_input(2, cs_topic, dict(chirpstack, object=[1, 2])))
    tts = {
        "end_device_ids": {"device_id": "room-1", "application_ids": {"application_id": "rooms"},
                           "dev_eui": "70B3D57ED0000101", "join_eui": "800000000000000C"},
        "received_at": "2023-05-01T15:15:45.787123456Z",
        "uplink_message": {
            "f_port": 2, "f_cnt": 7, "frm_payload": "AQDiWgu4AQIBAAwCAZ8=",
            "decoded_payload": {"temperature": -4000, "sensors": [{"value": 1e40}, {"value": "x"}], "door": "open",
                                "ok": 0, "fw": 12},
            "rx_metadata": [{"gateway_ids": {"gateway_id": "gw-west"}, "rssi": -90, "snr": 4.2}],
            "settings": {"frequency": "868300000"}}}
    write("mqttuplink", "tts-decoded", mqtt_input(1, tts_topic, tts))
    bare = json.loads(json.dumps(tts))
    del bare["uplink_message"]["decoded_payload"]
    write("mqttuplink", "tts-no-decoded", mqtt_input(3, tts_topic, bare))
    write("mqttuplink", "not-json", bytes([1, len(tts_topic)]) + tts_topic + b'{"end_device_ids":')


def decodedpath_seeds():
    for name, path in [("plain", "temperature"), ("index-key", "sensors[1].value"), ("quoted", '["a.b"].c'),
                       ("escapes", '["x\\"y\\\\z"][0]'), ("empty-key", '[""]'), ("bad", "a..b[")]:
        write("decodedpath", name, path.encode())


def codecyaml_seeds():
    with open(os.path.join(EXAMPLES, "room-sensor-codec.yaml"), "rb") as example:
        write("codecyaml", "repository", example.read())
    write("codecyaml", "errors", b"uplinkDecoder:\n  examples:\n    - description: x\n"
          b"      input: {fPort: 42, bytes: [1, 0x2a]}\n      output:\n        errors: [unknown FPort]\n")
    write("codecyaml", "anchors", b"a: &a [1, 2, {b: *a}]\nuplinkDecoder:\n  examples:\n"
          b"    - input: {fPort: 1, bytes: [1]}\n      output: {data: {x: *a, 'q': \"t\", n: ~, f: 1.5e3}}\n")
    write("codecyaml", "broken", b"uplinkDecoder: [\n")


ADMIN = "Authorization: Bearer " + "a" * 64
VIEWER = "Authorization: Bearer " + "b" * 64


def http(line, headers=(), body=""):
    return ("%s HTTP/1.1\r\n%s\r\n%s" % (line, "".join(h + "\r\n" for h in headers), body)).encode()


def web_seeds():
    write("web", "status", http("GET /api/v1/status", [VIEWER]))
    write("web", "add", http("POST /api/v1/devices", [ADMIN, "Content-Type: application/json"],
                             '{"devEui":"4B454C5600000002","template":"TH sensor","port":1502,"startAddress":0}'))
    write("web", "edit", http("PATCH /api/v1/devices/4B454C5600000001", [ADMIN],
                              '{"registers":[{"address":6,"multiplier":0.1}]}'))
    write("web", "viewer-delete", http("DELETE /api/v1/devices/4B454C5600000001", [VIEWER]))
    write("web", "login", http("POST /login", ["Content-Type: application/x-www-form-urlencoded"],
                               "user=boss&password=pw"))
    write("web", "login-wrong", http("POST /login", [], "user=boss&password=wrong%2C"))
    write("web", "traversal", http("GET /../settings.conf"))
    write("web", "traversal-encoded", http("GET /static/%2e%2e%2fweb-users"))
    write("web", "log", http("GET /api/v1/log?lines=5", [VIEWER]))
    write("web", "map", http("GET /api/v1/map?format=md", [VIEWER]))
    write("web", "metrics", http("GET /metrics", [VIEWER]))
    write("web", "cookie", http("POST /api/v1/devices", ["Cookie: kelvara_session=00", "X-CSRF-Token: 00"], "{}"))
    write("web", "page", http("GET /device?eui=4B454C5600000001"))
    write("web", "export", http("GET /api/v1/export?format=json", [VIEWER]))


if __name__ == "__main__":
    modbus_seeds()
    template_seeds()
    uplink_seeds()
    web_seeds()
    mqttuplink_seeds()
    decodedpath_seeds()
    codecyaml_seeds()
