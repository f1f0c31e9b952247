"""Talks to the logind mock on the test's private system bus.

Runs under a Python that has dbus-python (python3-dbusmock brings it), which need not be the one
that runs the tests; the harness calls it as a command and reads JSON from its output.

    logind_ctl.py wait             until org.freedesktop.login1 answers
    logind_ctl.py shutdown true    emit PrepareForShutdown(true) (false: the shutdown is off)
    logind_ctl.py inhibitors       the inhibitors logind holds, as JSON
    logind_ctl.py calls            the Inhibit calls it was given, as JSON
"""

import json
import sys
import time

import dbus

NAME = "org.freedesktop.login1"
PATH = "/org/freedesktop/login1"
MANAGER = "org.freedesktop.login1.Manager"
MOCK = "org.freedesktop.DBus.Mock"


def manager():
    return dbus.SystemBus().get_object(NAME, PATH)


def wait(timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            bus = dbus.SystemBus()
            if bus.name_has_owner(NAME):
                # The name is taken before the template has added its methods.
                manager().ListInhibitors(dbus_interface=MANAGER)
                return 0
        except dbus.DBusException:
            pass
        if time.monotonic() > deadline:
            print("logind mock did not come up", file=sys.stderr)
            return 1
        time.sleep(0.05)


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "wait":
        return wait()
    if command == "shutdown" and len(argv) == 3 and argv[2] in ("true", "false"):
        manager().EmitSignal(MANAGER, "PrepareForShutdown", "b", [dbus.Boolean(argv[2] == "true")],
                             dbus_interface=MOCK)
        return 0
    if command == "inhibitors":
        held = manager().ListInhibitors(dbus_interface=MANAGER)
        print(json.dumps([[str(field) if isinstance(field, str) else int(field) for field in row]
                          for row in held]))
        return 0
    if command == "calls":
        calls = manager().GetCalls(dbus_interface=MOCK)
        print(json.dumps([[str(name), [str(a) for a in args]] for _, name, args in calls
                          if str(name) == "Inhibit"]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
