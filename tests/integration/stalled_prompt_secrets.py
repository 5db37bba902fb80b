#!/usr/bin/python3
# A Secret Service whose unlock prompt never completes: every item is locked,
# Unlock answers with a prompt, Prompt is accepted, and no Completed signal
# ever follows (a prompter that hangs). Other calls get no answer. Touches
# READY_FILE once the name is its own; runs until it is ended.
#
#   stalled_prompt_secrets.py READY_FILE
import asyncio
import sys

from dbus_next import Message, MessageType, Variant
from dbus_next.aio import MessageBus

ITEM = "/org/freedesktop/secrets/collection/login/1"
PROMPT = "/org/freedesktop/secrets/prompt/p1"


def answer(m):
    if m.message_type != MessageType.METHOD_CALL:
        return None
    if m.member == "OpenSession":
        return Message.new_method_return(m, "vo", [Variant("s", ""), "/org/freedesktop/secrets/session/s1"])
    if m.member == "SearchItems":
        return Message.new_method_return(m, "aoao", [[], [ITEM]])
    if m.member == "Unlock":
        return Message.new_method_return(m, "aoo", [[], PROMPT])
    if m.member in ("Prompt", "Dismiss", "Close"):
        return Message.new_method_return(m, "", [])
    return True


async def main(ready):
    bus = await MessageBus().connect()
    bus.add_message_handler(answer)
    await bus.request_name("org.freedesktop.secrets")
    open(ready, "w").close()
    await asyncio.get_running_loop().create_future()


asyncio.run(main(sys.argv[1]))
