#!/usr/bin/env python3
"""A small StatusNotifierItem watcher and host on the session bus.

Owns org.kde.StatusNotifierWatcher, keeps the list of registered items (an
item leaves when its bus name goes away) and registers itself as the one
host, the way a panel's tray does. Runs until terminated.

    sni_host.py [--ready FILE]    FILE is written once the watcher is on the bus
"""
import argparse
import asyncio
import os
import signal

from dbus_next import BusType, Message, MessageType
from dbus_next.aio import MessageBus
from dbus_next.service import PropertyAccess, ServiceInterface, dbus_property, method, signal as dbus_signal

WATCHER = "org.kde.StatusNotifierWatcher"


class Watcher(ServiceInterface):
    def __init__(self):
        super().__init__(WATCHER)
        self.items = []
        self.hosts = []

    @method()
    def RegisterStatusNotifierItem(self, service: "s"):
        # A bare bus name means the item sits at the usual path.
        entry = service if "/" in service else service + "/StatusNotifierItem"
        if entry not in self.items:
            self.items.append(entry)
            self.StatusNotifierItemRegistered(entry)

    @method()
    def RegisterStatusNotifierHost(self, service: "s"):
        if service not in self.hosts:
            self.hosts.append(service)
            self.StatusNotifierHostRegistered()

    @dbus_property(access=PropertyAccess.READ)
    def RegisteredStatusNotifierItems(self) -> "as":
        return self.items

    @dbus_property(access=PropertyAccess.READ)
    def IsStatusNotifierHostRegistered(self) -> "b":
        return bool(self.hosts)

    @dbus_property(access=PropertyAccess.READ)
    def ProtocolVersion(self) -> "i":
        return 0

    @dbus_signal()
    def StatusNotifierItemRegistered(self, service) -> "s":
        return service

    @dbus_signal()
    def StatusNotifierItemUnregistered(self, service) -> "s":
        return service

    @dbus_signal()
    def StatusNotifierHostRegistered(self):
        pass

    def name_gone(self, name):
        for entry in [e for e in self.items if e.split("/", 1)[0] == name]:
            self.items.remove(entry)
            self.StatusNotifierItemUnregistered(entry)
        if name in self.hosts:
            self.hosts.remove(name)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ready")
    args = parser.parse_args()

    bus = await MessageBus(bus_type=BusType.SESSION).connect()
    watcher = Watcher()

    def on_message(msg):
        if (msg.message_type == MessageType.SIGNAL and msg.member == "NameOwnerChanged"
                and msg.interface == "org.freedesktop.DBus"):
            name, _old, new = msg.body
            if not new:
                watcher.name_gone(name)

    bus.add_message_handler(on_message)
    await bus.call(Message(destination="org.freedesktop.DBus", path="/org/freedesktop/DBus",
                           interface="org.freedesktop.DBus", member="AddMatch", signature="s",
                           body=["type='signal',interface='org.freedesktop.DBus',member='NameOwnerChanged'"]))
    bus.export("/StatusNotifierWatcher", watcher)
    await bus.request_name(WATCHER)
    # The host: this process itself, under the name hosts take.
    host_name = "org.kde.StatusNotifierHost-%d" % os.getpid()
    await bus.request_name(host_name)
    watcher.RegisterStatusNotifierHost(host_name)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("ready\n")

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    bus.disconnect()


asyncio.run(main())
