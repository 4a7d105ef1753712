#!/usr/bin/env python3
"""Waits for a state of the X display named by DISPLAY, without polling.

  x11wait.py tray TIMEOUT            until a notification-area host owns the
                                     system tray selection of screen 0
  x11wait.py shown TIMEOUT QUIET     prints "bereit" once it watches, then
                                     waits until a top-level window that was
                                     not there at that moment is mapped, has
                                     been drawn and the screen then stayed
                                     unchanged for QUIET seconds (3 x QUIET
                                     after the map when no drawing is seen);
                                     prints the window's id

Start it before the program whose window it waits for, and start the program
once it has printed "bereit": so no map or drawing goes unseen.

Exit status 0 when the state was reached, 1 on timeout, 2 on bad arguments or
when the display cannot be opened. Between events the script blocks on the X
connection, so a wait costs nothing. Only libX11 and libXdamage are used,
through ctypes.
"""
import ctypes
import ctypes.util
import os
import select
import sys
import time

STRUCTURE_NOTIFY = 1 << 17
SUBSTRUCTURE_NOTIFY = 1 << 19
IS_VIEWABLE = 2
DAMAGE_REPORT_RAW_RECTANGLES = 0


class XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p), ("root", ctypes.c_ulong),
        ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long),
        ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p),
    ]


ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
# A window can vanish between listing and asking for its attributes; the
# default handler would end the process on that BadWindow.
_ignore_errors = ERROR_HANDLER(lambda dpy, err: 0)


def fail(message):
    print("x11wait: " + message, file=sys.stderr)
    sys.exit(2)


def load(name):
    path = ctypes.util.find_library(name)
    try:
        return ctypes.CDLL(path or "lib%s.so.1" % name)
    except OSError:
        fail("Bibliothek lib%s nicht gefunden" % name)


class Display:
    def __init__(self):
        x = self.x = load("X11")
        vp, ul, ci = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int
        x.XOpenDisplay.restype = vp
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ul
        x.XDefaultRootWindow.argtypes = [vp]
        x.XInternAtom.restype = ul
        x.XInternAtom.argtypes = [vp, ctypes.c_char_p, ci]
        x.XGetSelectionOwner.restype = ul
        x.XGetSelectionOwner.argtypes = [vp, ul]
        x.XSelectInput.argtypes = [vp, ul, ctypes.c_long]
        x.XConnectionNumber.argtypes = [vp]
        x.XPending.argtypes = [vp]
        x.XNextEvent.argtypes = [vp, vp]
        x.XQueryTree.argtypes = [vp, ul, ctypes.POINTER(ul), ctypes.POINTER(ul),
                                 ctypes.POINTER(ctypes.POINTER(ul)), ctypes.POINTER(ctypes.c_uint)]
        x.XGetWindowAttributes.argtypes = [vp, ul, ctypes.POINTER(XWindowAttributes)]
        x.XFree.argtypes = [vp]
        x.XSync.argtypes = [vp, ci]
        x.XSetErrorHandler(_ignore_errors)
        self.dpy = x.XOpenDisplay(None)
        if not self.dpy:
            fail("Bildschirm '%s' nicht erreichbar" % os.environ.get("DISPLAY", ""))
        self.root = x.XDefaultRootWindow(self.dpy)
        self.fd = x.XConnectionNumber(self.dpy)
        self.event = ctypes.create_string_buffer(192)  # sizeof(XEvent)

    def select_root(self):
        self.x.XSelectInput(self.dpy, self.root, STRUCTURE_NOTIFY | SUBSTRUCTURE_NOTIFY)

    def watch_damage(self):
        """Reports every drawing on the screen; returns the event type to expect."""
        xd = load("Xdamage")
        xd.XDamageQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                             ctypes.POINTER(ctypes.c_int)]
        xd.XDamageCreate.restype = ctypes.c_ulong
        xd.XDamageCreate.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int]
        event_base, error_base = ctypes.c_int(), ctypes.c_int()
        if not xd.XDamageQueryExtension(self.dpy, ctypes.byref(event_base),
                                        ctypes.byref(error_base)):
            return None
        xd.XDamageCreate(self.dpy, self.root, DAMAGE_REPORT_RAW_RECTANGLES)
        return event_base.value  # XDamageNotify is the extension's first event

    def events(self):
        """Yields the types of the events that are already queued."""
        while self.x.XPending(self.dpy):
            self.x.XNextEvent(self.dpy, self.event)
            yield ctypes.c_int.from_buffer(self.event).value

    def mapped_toplevels(self):
        x = self.x
        root_ret, parent_ret = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not x.XQueryTree(self.dpy, self.root, ctypes.byref(root_ret), ctypes.byref(parent_ret),
                            ctypes.byref(children), ctypes.byref(count)):
            return []
        ids = [children[i] for i in range(count.value)]
        if children:
            x.XFree(children)
        result = []
        for wid in ids:
            attrs = XWindowAttributes()
            if x.XGetWindowAttributes(self.dpy, wid, ctypes.byref(attrs)) and \
                    attrs.map_state == IS_VIEWABLE:
                result.append(wid)
        return result


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if value < 0:
        fail("'%s' ist keine Wartezeit in Sekunden" % text)
    return value


def wait_tray(d, timeout):
    selection = d.x.XInternAtom(d.dpy, b"_NET_SYSTEM_TRAY_S0", 0)
    deadline = time.monotonic() + timeout
    # Selected before the first look: the host announces itself on the root
    # window, so nothing can happen unseen in between.
    d.select_root()
    while True:
        for _ in d.events():
            pass
        owner = d.x.XGetSelectionOwner(d.dpy, selection)
        if owner:
            return owner
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        select.select([d.fd], [], [], left)


def wait_shown(d, timeout, quiet):
    deadline = time.monotonic() + timeout
    d.select_root()
    damage_event = d.watch_damage()
    known = set(d.mapped_toplevels())
    print("bereit", flush=True)
    window = None
    found_at = None
    last_drawing = None
    while True:
        now = time.monotonic()
        for kind in d.events():
            if window is not None and kind == damage_event:
                last_drawing = now
        if window is None:
            window = next((w for w in d.mapped_toplevels() if w not in known), None)
            if window is not None:
                found_at = now
        # Normally the window is drawn after we saw it mapped, and the quiet
        # time runs from the last drawing. Without any drawing seen (a server
        # without DAMAGE) the wait is longer, so that a slow first paint is
        # not missed.
        if last_drawing is not None:
            ready_at = last_drawing + quiet
        elif found_at is not None:
            ready_at = found_at + 3 * quiet
        else:
            ready_at = None
        if ready_at is not None and now >= ready_at:
            return 0, window
        left = deadline - now
        if left <= 0:
            return 1, window
        if ready_at is not None:
            left = min(left, ready_at - now)
        select.select([d.fd], [], [], left)


def main(argv):
    usage = {"tray": 3, "shown": 4}
    if len(argv) < 2 or usage.get(argv[1]) != len(argv):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    d = Display()
    if argv[1] == "tray":
        return 0 if wait_tray(d, seconds(argv[2])) else 1
    status, window = wait_shown(d, seconds(argv[2]), seconds(argv[3]))
    if window is not None:
        print(window, flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
