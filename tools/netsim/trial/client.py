"""Plays the gateway's side against kelvara-netsim: log-in, device list, and a
count of the uplinks pushed in the next seconds. Run with Debian's python3
(python3-websockets): /usr/bin/python3 client.py PORT LOGIN PASSWORD SECONDS"""
import asyncio
import json
import sys
import time

import websockets


def compact(message):
    return json.dumps(message, separators=(",", ":"), sort_keys=True)


async def main(port, login, password, seconds):
    async with websockets.connect(f"ws://127.0.0.1:{port}") as ws:
        await ws.send(compact({"cmd": "cmd"}))
        print("ping reply:", await ws.recv())
        await ws.send(compact({"cmd": "auth_req", "login": login, "password": password}))
        print("auth reply:", await ws.recv())
        await ws.send(compact({"cmd": "get_devices_req",
                               "select": {"appEui_list": ["4B454C5641524101", "4B454C5641524102"]}}))
        uplinks, first = 0, None
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                message = json.loads(await asyncio.wait_for(ws.recv(), 1))
            except asyncio.TimeoutError:
                continue
            except websockets.ConnectionClosed:
                break
            if message["cmd"] == "get_devices_resp":
                print("device list:", compact(message))
            elif message["cmd"] == "rx":
                uplinks += 1
                first = first or message
        print("uplinks received:", uplinks)
        print("first uplink:", compact(first) if first else None)


asyncio.run(main(int(sys.argv[1]), sys.argv[2], sys.argv[3], float(sys.argv[4])))
