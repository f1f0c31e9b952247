"""The accessibility side of a test desktop: a private AT-SPI bus and a reader of its tree.

The bus launcher runs on the desktop's own session bus and display, so the accessibility bus,
its registry and the X root window's AT_SPI_BUS property belong to the test alone. The program
started afterwards registers on it; this process reads it through pyatspi, with libatspi's cache
off so that every state and text is asked of the program afresh.
"""

import functools
import os
import subprocess
import sys

from harness import Failure, _spawn, check, poll

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
SYSTEM_PYTHON = "/usr/bin/python3"


@functools.lru_cache(maxsize=None)
def _imports_pyatspi(python):
    return subprocess.run([python, "-c", "import pyatspi"], capture_output=True).returncode == 0


def use_pyatspi_python():
    """Runs this script again under a Python that has pyatspi (Debian's), when this one has not.
    Answers the reason when there is none."""
    if _imports_pyatspi(sys.executable):
        return None
    if os.path.exists(SYSTEM_PYTHON) and os.path.realpath(SYSTEM_PYTHON) != os.path.realpath(
            sys.executable) and _imports_pyatspi(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    return "python3-pyatspi"


def missing():
    """What the accessibility tests need and this machine lacks."""
    needs = []
    if not os.access(LAUNCHER, os.X_OK):
        needs.append("at-spi2-core")
    if not _imports_pyatspi(sys.executable):
        needs.append("python3-pyatspi")
    return needs


class A11y:
    """Starts the accessibility bus on desktop; call before the program starts."""

    def __init__(self, desktop):
        self.desktop = desktop
        proc = _spawn([LAUNCHER, "--launch-immediately"], desktop.env,
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        desktop._procs.append(proc)
        self.address = poll(self._bus_address, 10, what="the accessibility bus")
        # The program finds the bus through the session bus and the display. Not through
        # AT_SPI_BUS_ADDRESS: Qt 6.4 given that address never registers with the registry.
        desktop.env.update({"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1"})
        # libatspi reads these once, at its first call.
        os.environ.update({"AT_SPI_BUS_ADDRESS": self.address, "DISPLAY": desktop.env["DISPLAY"],
                           "DBUS_SESSION_BUS_ADDRESS": desktop.env["DBUS_SESSION_BUS_ADDRESS"]})
        import pyatspi
        self.pyatspi = pyatspi
        self.root = None

    def _bus_address(self):
        out = self.desktop.run("xprop", "-root", "AT_SPI_BUS").stdout
        if '"' not in out:
            return None
        address = out.split('"')[1]
        # The launcher sets the property before its bus listens; the runtime folder is the test's.
        path = address.split("unix:path=", 1)[-1].split(",", 1)[0]
        return address if os.path.exists(path) else None

    # ----- finding

    def application(self, program, timeout=10):
        """The program's application object, found by its process id."""
        def found():
            desktop = self.pyatspi.Registry.getDesktop(0)
            desktop.setCacheMask(self.pyatspi.cache.NONE)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                try:
                    if app is not None and app.get_process_id() == program.pid:
                        return app
                except Exception:  # an application that went meanwhile
                    continue
            return None
        self.root = poll(found, timeout, interval=0.1, what="the program on the accessibility bus")
        self.root.setCacheMask(self.pyatspi.cache.NONE)
        return self.root

    def window(self, title, timeout=10):
        """The shown top-level accessible named title."""
        def found():
            for i in range(self.root.childCount):
                child = self.root.getChildAtIndex(i)
                if child is not None and child.name == title and self.has(child, "showing"):
                    return child
            return None
        return poll(found, timeout, interval=0.1, what=f"the accessible window {title!r}")

    def window_gone(self, title, timeout=10):
        def gone():
            return not any(c is not None and c.name == title and self.has(c, "showing")
                           for c in self.children(self.root))
        poll(gone, timeout, interval=0.1, what=f"the accessible window {title!r} to go")

    @staticmethod
    def children(node):
        return [node.getChildAtIndex(i) for i in range(node.childCount)]

    def walk(self, node):
        yield node
        for child in self.children(node):
            if child is not None:
                yield from self.walk(child)

    def all_named(self, within, name, role=None):
        return [n for n in self.walk(within)
                if n.name == name and (role is None or n.getRoleName() == role)]

    def find(self, within, name, role=None):
        """The one accessible named name (and of role, a role name such as "check box")."""
        found = self.all_named(within, name, role)
        check(found, f"no accessible named {name!r}" + (f" of role {role!r}" if role else "")
              + f" in {within.name!r}; the names there: {self.names(within)}")
        check(len(found) == 1, f"{len(found)} accessibles named {name!r} in {within.name!r}")
        return found[0]

    def names(self, within):
        return sorted({f"{n.getRoleName()}:{n.name}" for n in self.walk(within) if n.name})

    def labelled(self, within, label, roles=("text", "label")):
        """The accessible of one of roles that a label captioned label names (labelled-by)."""
        for node in self.walk(within):
            if node.getRoleName() not in roles:
                continue
            for relation in node.getRelationSet():
                if relation.getRelationType() != self.pyatspi.RELATION_LABELLED_BY:
                    continue
                targets = [relation.getTarget(i) for i in range(relation.getNTargets())]
                if any(t.name == label and t.getRoleName() == "label" for t in targets):
                    return node
        raise Failure(f"nothing of the roles {list(roles)} labelled by {label!r} in "
                      f"{within.name!r}")

    def tabs(self, within):
        """The page tabs of the one tab strip in within."""
        strip = [n for n in self.walk(within) if n.getRoleName() == "page tab list"]
        check(len(strip) == 1, f"{len(strip)} tab strips in {within.name!r}, expected one")
        return [c for c in self.children(strip[0]) if c.getRoleName() == "page tab"]

    def current_tab(self, within):
        """The name of the selected page tab. Qt 6.4 marks it as focused, never as selected."""
        marked = [t.name for t in self.tabs(within)
                  if self.has(t, "selected") or self.has(t, "focused")]
        return marked[0] if len(marked) == 1 else None

    # ----- reading

    def has(self, node, state):
        """Whether node's state set holds state, a name such as "checked" or "enabled"."""
        value = getattr(self.pyatspi, "STATE_" + state.upper().replace(" ", "_"))
        return node.getState().contains(value)

    def text(self, node):
        iface = node.queryText()
        return iface.getText(0, iface.characterCount)

    def focused(self, within):
        """The name of the accessible under within that has the keyboard focus, or None.
        A tab strip with the focus answers with its selected tab's name (its own name too)."""
        def search(node):
            role = node.getRoleName()
            if role == "page tab list":
                # Its tabs' focused marks tell the selection, not the focus.
                return node.name if self.has(node, "focused") else None
            if role not in ("filler", "panel", "frame") and self.has(node, "focused"):
                return node.name
            for child in self.children(node):
                if child is not None:
                    found = search(child)
                    if found is not None:
                        return found
            return None
        return search(within)

    def wait_focus(self, within, name, timeout=5):
        try:
            self.wait(lambda: self.focused(within) == name, f"the focus on {name!r}", timeout)
        except Failure:
            raise Failure(f"the focus is on {self.focused(within)!r}, expected {name!r}") from None

    def wait(self, condition, what, timeout=5):
        return poll(condition, timeout, interval=0.05, what=what)

    def wait_state(self, node, state, on=True, timeout=5):
        self.wait(lambda: self.has(node, state) == on,
                  f"{node.name!r} to {'be' if on else 'stop being'} {state}", timeout)

    def wait_text(self, node, expected, timeout=5):
        """Waits for node's text (or name, for a label) to read expected."""
        def reads():
            return (self.text(node) if "Text" in node.get_interfaces() else node.name) == expected
        try:
            self.wait(reads, f"{node.name!r} to read {expected!r}", timeout)
        except Failure:
            now = self.text(node) if "Text" in node.get_interfaces() else node.name
            raise Failure(f"{node.name!r} reads {now!r}, expected {expected!r}") from None

    def center(self, node):
        """The node's centre on the screen, for a real click."""
        box = node.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        check(box.width > 0 and box.height > 0, f"{node.name!r} has no extent on the screen")
        return box.x + box.width // 2, box.y + box.height // 2

    # ----- acting

    def act(self, node, *names):
        """Does the first of node's actions whose name is one of names (case ignored)."""
        action = node.queryAction()
        offered = [action.getName(i) for i in range(action.nActions)]
        for i, offer in enumerate(offered):
            if offer.lower() in names:
                check(action.doAction(i), f"{node.name!r} refused its action {offer!r}")
                return offer
        raise Failure(f"{node.name!r} offers the actions {offered}, none of {list(names)}")
