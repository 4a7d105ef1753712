#!/usr/bin/python3
"""A StatusNotifierItem panel for one test run.

  sni_watcher.py TEST-PROGRAM [ARGUMENT...]

Starts a private session bus (dbus-daemon) and an X display (Xvfb), owns
org.kde.StatusNotifierWatcher on that bus as a panel's watcher does, and runs
the test program there. Each item that registers is checked for its title
("Chronark") and then clicked: the watcher calls its Activate method, as a
panel does on a left click. Exits with the test program's status, or 1 when
an item had a wrong title.
"""

import os
import subprocess
import sys
import tempfile

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus, on_item):
        self.items = []
        self.on_item = on_item
        self.name = dbus.service.BusName(WATCHER, bus)
        super().__init__(self.name, "/StatusNotifierWatcher")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Either a bus name (its object is /StatusNotifierItem) or a path of the sender.
        name, path = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        self.items.append(name + path)
        self.StatusNotifierItemRegistered(name + path)
        GLib.idle_add(self.on_item, name, path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    # Qt reads IsStatusNotifierHostRegistered through the introspected
    # interface, so the properties have to be announced there.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }


def start_display(folder):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "Xvfb.log"), "w"))
    os.close(write_end)
    # Xvfb writes the number and then a newline; closing earlier would end it.
    with os.fdopen(read_end, "rb") as pipe:
        number = pipe.readline().decode().strip()
    if not number.isdigit():
        raise RuntimeError("Xvfb ist nicht gestartet")
    return xvfb, ":" + number


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    started = []
    status = 1
    with tempfile.TemporaryDirectory() as folder:
        try:
            bus_daemon = subprocess.Popen(
                ["dbus-daemon", "--session", "--nofork", "--print-address"],
                stdout=subprocess.PIPE, text=True)
            started.append(bus_daemon)
            address = bus_daemon.stdout.readline().strip()
            xvfb, display = start_display(folder)
            started.append(xvfb)

            DBusGMainLoop(set_as_default=True)
            bus = dbus.bus.BusConnection(address)
            loop = GLib.MainLoop()
            failures = []

            def on_item(name, path):
                # Only calls that do not wait: the program may be waiting for
                # an answer of this watcher at the same time.
                item = bus.get_object(name, path, introspect=False)

                def check_title(title):
                    if title != "Chronark":
                        failures.append("Titel des Symbols: %r statt 'Chronark'" % str(title))
                    item.Activate(0, 0, dbus_interface=ITEM, reply_handler=lambda: None,
                                  error_handler=lambda error: failures.append(str(error)))

                item.Get(ITEM, "Title", dbus_interface=dbus.PROPERTIES_IFACE,
                         reply_handler=check_title,
                         error_handler=lambda error: failures.append(str(error)))
                return False

            watcher = Watcher(bus, on_item)
            environment = dict(os.environ, DISPLAY=display, DBUS_SESSION_BUS_ADDRESS=address,
                               QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=folder)
            environment.pop("WAYLAND_DISPLAY", None)
            program = subprocess.Popen(sys.argv[1:], env=environment)
            started.append(program)
            result = {}

            def on_end(pid, code):
                result["status"] = os.waitstatus_to_exitcode(code)
                loop.quit()

            GLib.child_watch_add(GLib.PRIORITY_DEFAULT, program.pid, on_end)
            loop.run()
            del watcher
            for failure in failures:
                print(failure, file=sys.stderr)
            status = result.get("status", 1) if not failures else 1
        finally:
            for process in reversed(started):
                if process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(5)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()
    return status


if __name__ == "__main__":
    sys.exit(main())
