#!/usr/bin/python3
# A Secret Service that never answers: owns org.freedesktop.secrets on the
# session bus, takes every method call and replies to none. Touches READY_FILE
# once the name is its own; runs until it is ended.
#
#   silent_secrets.py READY_FILE
import asyncio
import sys

from dbus_next import MessageType
from dbus_next.aio import MessageBus


async def main(ready):
    bus = await MessageBus().connect()
    # A handler that says "handled" and sends nothing: the caller waits.
    bus.add_message_handler(lambda m: True if m.message_type == MessageType.METHOD_CALL else None)
    await bus.request_name("org.freedesktop.secrets")
    open(ready, "w").close()
    await asyncio.get_running_loop().create_future()


asyncio.run(main(sys.argv[1]))
