#!/usr/bin/python3
"""Stand-ins for NetworkManager and logind on a private system bus, for the
end-to-end tests, and the commands that drive them.

    system_bus_stub.py serve <ready file> <network>
    system_bus_stub.py network offline|asleep|connecting|online
    system_bus_stub.py sleep|wake

"serve" owns org.freedesktop.NetworkManager and org.freedesktop.login1 on the
bus in DBUS_SYSTEM_BUS_ADDRESS, with the properties and the signal a desktop
program reads of them: NetworkManager's State and Connectivity (Get, GetAll,
PropertiesChanged) and logind's PrepareForSleep. It writes the ready file once
both names are owned, and ends on SIGTERM.

The other commands ask the serving stand-in, through its control object, to
change NetworkManager's state (announced with PropertiesChanged) or to say
PrepareForSleep(true) or (false). Each returns once the change is announced;
it exits 1 when the stand-in does not answer.
"""
import asyncio
import signal
import sys

from dbus_next import BusType, Message, MessageType
from dbus_next.aio import MessageBus
from dbus_next.constants import PropertyAccess, RequestNameReply
from dbus_next.service import ServiceInterface, dbus_property, method, signal as dbus_signal

NM_NAME = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
LOGIN_NAME = "org.freedesktop.login1"
LOGIN_PATH = "/org/freedesktop/login1"
LOGIN_MANAGER = "org.freedesktop.login1.Manager"
CONTROL_NAME = "org.postwren.SystemStub"
CONTROL_PATH = "/org/postwren/SystemStub"

# NetworkManager's NMState and NMConnectivityState for each state we play.
NETWORK_STATES = {
    "offline": (20, 1),     # NM_STATE_DISCONNECTED, no connectivity
    "asleep": (10, 1),      # NM_STATE_ASLEEP: networking is off for the sleep
    "connecting": (40, 1),  # NM_STATE_CONNECTING
    "online": (70, 4),      # NM_STATE_CONNECTED_GLOBAL, full connectivity
}


class NetworkManager(ServiceInterface):
    def __init__(self, network):
        super().__init__(NM_NAME)
        self._state, self._connectivity = NETWORK_STATES[network]

    @dbus_property(access=PropertyAccess.READ)
    def State(self) -> "u":
        return self._state

    @dbus_property(access=PropertyAccess.READ)
    def Connectivity(self) -> "u":
        return self._connectivity

    def play(self, network):
        self._state, self._connectivity = NETWORK_STATES[network]
        self.emit_properties_changed({"State": self._state, "Connectivity": self._connectivity})


class LoginManager(ServiceInterface):
    def __init__(self):
        super().__init__(LOGIN_MANAGER)

    @dbus_signal()
    def PrepareForSleep(self, start) -> "b":
        return start


class Control(ServiceInterface):
    def __init__(self, network, login):
        super().__init__(CONTROL_NAME)
        self._network = network
        self._login = login

    @method()
    def Network(self, state: "s"):
        self._network.play(state)

    @method()
    def Sleep(self, start: "b"):
        self._login.PrepareForSleep(start)


async def serve(ready_path, network):
    bus = await MessageBus(bus_type=BusType.SYSTEM).connect()
    nm = NetworkManager(network)
    login = LoginManager()
    bus.export(NM_PATH, nm)
    bus.export(LOGIN_PATH, login)
    bus.export(CONTROL_PATH, Control(nm, login))
    for name in (NM_NAME, LOGIN_NAME, CONTROL_NAME):
        reply = await bus.request_name(name)
        if reply != RequestNameReply.PRIMARY_OWNER:
            print(f"system_bus_stub: {name} is taken ({reply})", file=sys.stderr)
            return 1
    open(ready_path, "w").close()
    stop = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set_result, None)
    await stop
    bus.disconnect()
    return 0


async def control(member, signature, body):
    bus = await MessageBus(bus_type=BusType.SYSTEM).connect()
    reply = await bus.call(Message(destination=CONTROL_NAME, path=CONTROL_PATH, interface=CONTROL_NAME,
                                   member=member, signature=signature, body=body))
    bus.disconnect()
    if reply.message_type == MessageType.ERROR:
        print(f"system_bus_stub: {member}: {reply.error_name} {reply.body}", file=sys.stderr)
        return 1
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "serve" and argv[3] in NETWORK_STATES:
        return asyncio.run(serve(argv[2], argv[3]))
    if len(argv) == 3 and argv[1] == "network" and argv[2] in NETWORK_STATES:
        return asyncio.run(control("Network", "s", [argv[2]]))
    if len(argv) == 2 and argv[1] in ("sleep", "wake"):
        return asyncio.run(control("Sleep", "b", [argv[1] == "sleep"]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
