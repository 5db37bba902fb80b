# A private D-Bus daemon's configuration, for the tests that run their own
# session or system bus. Sourced.

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
