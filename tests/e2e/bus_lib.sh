# A private D-Bus daemon's configuration, for the tests that run their own
# session or system bus, and the start of a private session bus. Sourced,
# after lib.sh.

# Prints the configuration of a bus of the given type ("session" or "system")
# listening in DIR, where anyone connected may own any name and hear everything.
private_bus_config() {
    local type=$1 dir=$2
    cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>$type</type>
  <listen>unix:dir=$dir</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
}

# Starts a private session bus listening in DIR, its daemon's messages in
# LOG, and exports its address as DBUS_SESSION_BUS_ADDRESS for what is
# started afterwards; the daemon's process is left in $bus_pid.
start_private_session_bus() {
    local dir=$1 log=$2
    private_bus_config session "$dir" >"$dir/bus.conf"
    dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile --print-address=1 >"$dir/bus.address" 2>"$log" &
    bus_pid=$!
    wait_until test -s "$dir/bus.address" || fail "the private session bus did not start"
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$dir/bus.address")
    export DBUS_SESSION_BUS_ADDRESS
}
