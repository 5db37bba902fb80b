#!/usr/bin/env python3
"""A desktop notification server for tests: owns org.freedesktop.Notifications
and appends every notification to a file, one JSON object a line
({"app": ..., "summary": ..., "body": ...}). Runs until terminated.

    notify_server.py LOG [--ready FILE]
"""
import argparse
import asyncio
import json
import signal

from dbus_next.aio import MessageBus
from dbus_next.service import ServiceInterface, method

parser = argparse.ArgumentParser()
parser.add_argument("log")
parser.add_argument("--ready")
args = parser.parse_args()


class Notifications(ServiceInterface):
    def __init__(self):
        super().__init__("org.freedesktop.Notifications")
        self.next_id = 1

    @method()
    def Notify(self, app: "s", replaces: "u", icon: "s", summary: "s", body: "s", actions: "as",
               hints: "a{sv}", timeout: "i") -> "u":
        with open(args.log, "a", encoding="utf-8") as f:
            f.write(json.dumps({"app": app, "summary": summary, "body": body}, ensure_ascii=False) + "\n")
        self.next_id += 1
        return self.next_id - 1

    @method()
    def CloseNotification(self, nid: "u"):
        pass

    @method()
    def GetCapabilities(self) -> "as":
        return ["body"]

    @method()
    def GetServerInformation(self) -> "ssss":
        return ["test-notifications", "postwren-tests", "1", "1.2"]


async def main():
    bus = await MessageBus().connect()
    bus.export("/org/freedesktop/Notifications", Notifications())
    await bus.request_name("org.freedesktop.Notifications")
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("ready\n")
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()


asyncio.run(main())
