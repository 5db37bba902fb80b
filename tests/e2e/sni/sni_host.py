#!/usr/bin/env python3
"""A small StatusNotifierItem watcher and host on the session bus.

Owns org.kde.StatusNotifierWatcher, keeps the list of registered items (an
item leaves when its bus name goes away) and registers itself as the one
host, the way a panel's tray does. Runs until terminated.

    sni_host.py [--ready FILE] [--delay SECONDS] [--no-reply]

FILE is written once the watcher is on the bus. With --delay, every call to
the watcher (its properties, registrations, introspection) is answered only
SECONDS after it arrived, in the order the calls came, as a watcher busy at
log-in answers. With --no-reply, every call to the watcher is answered at
once with the error NoReply, and written to standard output as a line
"no-reply INTERFACE MEMBER ARGUMENTS...". SIGUSR1 takes the host away (the watcher stays, as when a
panel ends but the session's watcher does not); SIGUSR2 brings it back.

An item registers by its bus name (its object at /StatusNotifierItem) or by
an object path (at that path on the caller's connection); either way it is
listed as "busname/path".
"""
import argparse
import asyncio
import os
import signal

from dbus_next import BusType, Message, MessageType, Variant
from dbus_next.aio import MessageBus

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
PROPERTIES = "org.freedesktop.DBus.Properties"
INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"

INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <signal name="StatusNotifierHostUnregistered"/>
 </interface>
</node>
"""


class Watcher:
    def __init__(self, bus):
        self.bus = bus
        self.items = []
        self.hosts = []

    def emit(self, member, signature="", body=()):
        self.bus.send(Message.new_signal(WATCHER_PATH, WATCHER, member, signature, list(body)))

    def properties(self):
        return {
            "RegisteredStatusNotifierItems": Variant("as", list(self.items)),
            "IsStatusNotifierHostRegistered": Variant("b", bool(self.hosts)),
            "ProtocolVersion": Variant("i", 0),
        }

    def register_item(self, sender, service):
        # An object path names an object of the caller; a bare bus name
        # means the item sits at the usual path.
        entry = sender + service if service.startswith("/") else service + "/StatusNotifierItem"
        if entry not in self.items:
            self.items.append(entry)
            self.emit("StatusNotifierItemRegistered", "s", [entry])

    def register_host(self, service):
        if service not in self.hosts:
            self.hosts.append(service)
            self.emit("StatusNotifierHostRegistered")

    def unregister_host(self, service):
        if service in self.hosts:
            self.hosts.remove(service)
            self.emit("StatusNotifierHostUnregistered")

    def name_gone(self, name):
        for entry in [e for e in self.items if e.split("/", 1)[0] == name]:
            self.items.remove(entry)
            self.emit("StatusNotifierItemUnregistered", "s", [entry])
        self.unregister_host(name)

    def answer(self, msg):
        """The reply to a call on the watcher's object."""
        def error(name, text):
            return Message.new_error(msg, name, text)

        iface, member = msg.interface, msg.member
        if iface == WATCHER and member == "RegisterStatusNotifierItem" and msg.signature == "s":
            self.register_item(msg.sender, msg.body[0])
            return Message.new_method_return(msg)
        if iface == WATCHER and member == "RegisterStatusNotifierHost" and msg.signature == "s":
            self.register_host(msg.body[0])
            return Message.new_method_return(msg)
        if iface == PROPERTIES and member == "Get" and msg.signature == "ss":
            props = self.properties()
            if msg.body[0] != WATCHER or msg.body[1] not in props:
                return error("org.freedesktop.DBus.Error.UnknownProperty", "no such property")
            return Message.new_method_return(msg, "v", [props[msg.body[1]]])
        if iface == PROPERTIES and member == "GetAll" and msg.signature == "s":
            return Message.new_method_return(msg, "a{sv}", [self.properties() if msg.body[0] == WATCHER else {}])
        if iface == INTROSPECTABLE and member == "Introspect":
            return Message.new_method_return(msg, "s", [INTROSPECTION])
        return error("org.freedesktop.DBus.Error.UnknownMethod", "%s.%s" % (iface, member))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ready")
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--no-reply", action="store_true")
    args = parser.parse_args()

    bus = await MessageBus(bus_type=BusType.SESSION).connect()
    watcher = Watcher(bus)
    loop = asyncio.get_running_loop()

    def on_message(msg):
        if (msg.message_type == MessageType.SIGNAL and msg.member == "NameOwnerChanged"
                and msg.interface == "org.freedesktop.DBus"):
            name, _old, new = msg.body
            if not new:
                watcher.name_gone(name)
            return None
        if msg.message_type != MessageType.METHOD_CALL or msg.path != WATCHER_PATH:
            return None
        if args.no_reply:
            print("no-reply", msg.interface, msg.member, *[str(a) for a in msg.body], flush=True)
            return Message.new_error(msg, "org.freedesktop.DBus.Error.NoReply", "no reply")
        if args.delay > 0:
            loop.call_later(args.delay, lambda: bus.send(watcher.answer(msg)))
            return True
        return watcher.answer(msg)

    bus.add_message_handler(on_message)
    await bus.call(Message(destination="org.freedesktop.DBus", path="/org/freedesktop/DBus",
                           interface="org.freedesktop.DBus", member="AddMatch", signature="s",
                           body=["type='signal',interface='org.freedesktop.DBus',member='NameOwnerChanged'"]))
    await bus.request_name(WATCHER)
    # The host: this process itself, under the name hosts take.
    host_name = "org.kde.StatusNotifierHost-%d" % os.getpid()
    await bus.request_name(host_name)
    watcher.register_host(host_name)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("ready\n")

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.add_signal_handler(signal.SIGUSR1, lambda: watcher.unregister_host(host_name))
    loop.add_signal_handler(signal.SIGUSR2, lambda: watcher.register_host(host_name))
    await stop.wait()
    bus.disconnect()


asyncio.run(main())
