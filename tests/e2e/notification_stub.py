#!/usr/bin/python3
"""A desktop notification service for the end-to-end tests.

    notification_stub.py <record file> <ready file>

Owns org.freedesktop.Notifications on the session bus (DBUS_SESSION_BUS_ADDRESS)
and shows nothing: each Notify call becomes one JSON line in the record file
(app_name, replaces_id, app_icon, summary, body, desktop_entry, category,
sound_name; the last three null where the hint was not given). Writes the
ready file once the name is owned. Ends on SIGTERM.
"""
import asyncio
import json
import signal
import sys

from dbus_next.aio import MessageBus
from dbus_next.constants import RequestNameReply
from dbus_next.service import ServiceInterface, method

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


class Notifications(ServiceInterface):
    def __init__(self, record_path):
        super().__init__(NAME)
        self._record_path = record_path
        self._last_id = 0

    @method()
    def Notify(self, app_name: "s", replaces_id: "u", app_icon: "s", summary: "s", body: "s",
               actions: "as", hints: "a{sv}", expire_timeout: "i") -> "u":
        self._last_id += 1
        def hint(name):
            value = hints.get(name)
            return value.value if value is not None else None

        record = {
            "app_name": app_name,
            "replaces_id": replaces_id,
            "app_icon": app_icon,
            "summary": summary,
            "body": body,
            "desktop_entry": hint("desktop-entry"),
            "category": hint("category"),
            "sound_name": hint("sound-name"),
        }
        with open(self._record_path, "a", encoding="utf-8") as f:
            f.write(json.dumps(record, ensure_ascii=False) + "\n")
        return self._last_id

    @method()
    def GetCapabilities(self) -> "as":
        return ["body"]

    @method()
    def GetServerInformation(self) -> "ssss":
        return ["postwren-notification-stub", "postwren tests", "1", "1.2"]

    @method()
    def CloseNotification(self, id: "u"):
        pass


async def main(record_path, ready_path):
    bus = await MessageBus().connect()
    bus.export(PATH, Notifications(record_path))
    reply = await bus.request_name(NAME)
    if reply != RequestNameReply.PRIMARY_OWNER:
        print(f"notification_stub: {NAME} is taken ({reply})", file=sys.stderr)
        return 1
    open(ready_path, "w").close()
    stop = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set_result, None)
    await stop
    bus.disconnect()
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(asyncio.run(main(sys.argv[1], sys.argv[2])))
