#!/usr/bin/python3
"""The suite's menu and monitor for Linux (programs/suite/), as whole processes.

A private session bus runs as the user `nobody` and admits nobody else (not root): a notification
that reaches the fake notification server there (python3-dbusmock's notification daemon template,
which logs every call) was sent with that user's rights, never root's. The menu and monitor are
asked over their pipes as the program asks them (tests/peers/ask_peer), and in the end-to-end case
by the program itself on a model machine, with the driver and usbsim.

    peers_test.py <build folder> [unittest arguments]
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
MENU = "peers/halvarmenu.exe"
MONITOR = "peers/halvarmon.exe"
ASK = "tests/ask_peer"
DEVICE = {"producent": "Acme <Labs>", "produkt": "Flash & Go", "numer": "S-42", "klasa": "USB",
          "opis": "Mass storage", "checksum": "0123456789ABCDEF0123456789ABCDEF01234567", "user": "ann"}


def wait_for(check, seconds=10.0, what="the condition"):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Machine:
    """A scratch folder (other users may pass through it), a platform root, a trace file, and the
    processes started in it, ended at the close."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zelmusb-peers-")
        os.chmod(self.dir, 0o711)
        self.env = dict(os.environ, ZELMUSB_PLATFORM_ROOT=os.path.join(self.dir, "root"),
                        ZELMUSB_TRACE_FILE=os.path.join(self.dir, "trace.txt"),
                        ALLUSERSPROFILE=os.path.join(self.dir, "ProgramData"),
                        ASAN_OPTIONS="detect_leaks=1")
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.procs = []

    def start(self, *args, env=None, **kw):
        # A session of its own: what it starts (the menu's helper, a tracer's tracee) ends with it.
        p = subprocess.Popen(list(args), env=env or self.env, cwd=self.dir, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def trace(self):
        try:
            with open(self.env["ZELMUSB_TRACE_FILE"], encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def close(self):
        for p in reversed(self.procs):
            try:
                os.killpg(p.pid, 9)
            except ProcessLookupError:
                pass
            p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class SessionBus:
    """A session bus of `nobody` with the fake notification server on it."""

    def __init__(self, machine):
        folder = os.path.join(machine.dir, "bus")
        os.mkdir(folder)
        shutil.chown(folder, "nobody")
        self.address = "unix:path=" + os.path.join(folder, "socket")
        config = os.path.join(machine.dir, "bus.conf")
        with open(config, "w") as f:
            f.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>{self.address}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="nobody"/><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>""")
        bus = machine.start(*NOBODY, "dbus-daemon", "--config-file=" + config, "--nofork", "--print-address",
                            stdout=subprocess.PIPE)
        bus.stdout.readline()
        bus.stdout.close()
        self.log = os.path.join(folder, "notifications.log")
        self.env = dict(machine.env, DBUS_SESSION_BUS_ADDRESS=self.address)
        machine.start(*NOBODY, "/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon",
                      "-l", self.log, env=self.env, stdout=subprocess.DEVNULL)
        wait_for(lambda: self.gdbus("org.freedesktop.Notifications.GetServerInformation").returncode == 0,
                 what="the notification server")

    def gdbus(self, method, *args, as_nobody=True):
        command = ["gdbus", "call", "--session", "--dest", "org.freedesktop.Notifications", "--object-path",
                   "/org/freedesktop/Notifications", "--method", method, *args]
        return subprocess.run((NOBODY if as_nobody else []) + command, env=self.env, capture_output=True, text=True)

    def calls(self):
        """The calls the server got, each a (method, text after the method) pair."""
        try:
            with open(self.log, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return [(m.group(1), m.group(2)) for m in
                re.finditer(r"^\d+\.\d+ (\w+)(.*?)(?=^\d+\.\d+ |\Z)", text, re.M | re.S)]

    def notifications(self):
        return [rest for method, rest in self.calls() if method == "Notify"]

    def emit(self, signal, signature, *values):
        """The server's signal, as a desktop's notification server sends it when the user acts."""
        r = self.gdbus("org.freedesktop.DBus.Mock.EmitSignal", "org.freedesktop.Notifications", signal, signature,
                       "[" + ", ".join(values) + "]")
        assert r.returncode == 0, r.stderr


def build(path):
    return os.path.join(BUILD, path)


def ask(machine, who, question, channel="usb_device", as_nobody=False):
    """Starts one question (returns the process; its answer is its output line)."""
    return machine.start(*(NOBODY if as_nobody else []), build(ASK), str(who), channel, question,
                         stdout=subprocess.PIPE, text=True)


def answer_of(p, seconds=30):
    out, _ = p.communicate(timeout=seconds)
    return out.rstrip("\n")


class MenuTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.machine = Machine()
        cls.bus = SessionBus(cls.machine)
        cls.menu = cls.machine.start(build(MENU), "--session", "65534:" + cls.bus.address,
                                     "--answer-limit-ms", "2000")
        wait_for(lambda: "listener" in cls.machine.trace(), what="the menu's listener")

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()

    def ask_device(self, device=DEVICE, menu=None):
        before = len(self.bus.notifications())
        p = ask(self.machine, (menu or self.menu).pid, "ask_usb_device|" + json.dumps(device))
        return p, before

    def shown(self, before):
        """Waits for the question's notification; its id and text."""
        shown = wait_for(lambda: len(self.bus.notifications()) > before and self.bus.notifications(),
                         what="the notification")
        return len(shown), shown[before]

    def test_question_shows_one_notification_with_both_actions_and_names(self):
        p, before = self.ask_device()
        nid, text = self.shown(before)
        self.assertIn('["allow", "Allow", "block", "Block"]', text)
        # The device's own texts, as markup that cannot change the notification's.
        for name in ("Acme &lt;Labs&gt;", "Flash &amp; Go", "S-42", "USB"):
            self.assertIn(name, text)
        self.assertNotIn("<Labs>", text)
        self.bus.emit("ActionInvoked", "us", f"<uint32 {nid}>", '<"allow">')
        self.assertEqual(answer_of(p), "1")
        self.assertEqual(len(self.bus.notifications()), before + 1, "one notification per question")

    def test_anything_but_allow_is_the_empty_answer(self):
        cases = [  # what the user does (nothing: the limit passes)
            ("block", lambda nid: self.bus.emit("ActionInvoked", "us", f"<uint32 {nid}>", '<"block">')),
            ("dismissed", lambda nid: self.bus.emit("NotificationClosed", "uu", f"<uint32 {nid}>", "<uint32 2>")),
            ("time-out", None),
        ]
        for what, act in cases:
            with self.subTest(what):
                started = time.monotonic()
                p, before = self.ask_device()
                nid, _ = self.shown(before)
                if act:
                    act(nid)
                self.assertEqual(answer_of(p), "")
                if act is None:
                    self.assertGreaterEqual(time.monotonic() - started, 1.9)
                    # The question does not stay on the screen to be answered in vain.
                    wait_for(lambda: any(m == "CloseNotification" and rest.strip() == str(nid)
                                         for m, rest in self.bus.calls()), what="the notification closed")

    def test_no_session_is_the_empty_answer_and_nothing_shown(self):
        menu = self.machine.start(build(MENU), "--session", "none")
        wait_for(lambda: f"zelmar_comm_usb_device_{menu.pid}" in self.machine.trace(), what="the second menu")
        p, before = self.ask_device(menu=menu)
        self.assertEqual(answer_of(p), "")
        time.sleep(0.2)
        self.assertEqual(len(self.bus.notifications()), before)

    def test_blocked_notice_shows(self):
        before = len(self.bus.notifications())
        p = ask(self.machine, self.menu.pid, "usb_device_blocked|" + json.dumps(DEVICE))
        self.assertEqual(answer_of(p), "")
        _, text = self.shown(before)
        self.assertIn("USB device blocked", text)
        self.assertIn("Flash &amp; Go", text)
        self.assertIn("[]", text)  # a notice: nothing to answer

    def test_question_from_nobody_is_refused(self):
        before = len(self.bus.notifications())
        p = ask(self.machine, self.menu.pid, "ask_usb_device|" + json.dumps(DEVICE), as_nobody=True)
        self.assertEqual(answer_of(p), "")
        time.sleep(0.3)
        self.assertEqual(len(self.bus.notifications()), before, "nobody's question is not put to the user")

    def test_the_bus_admits_only_its_user(self):
        # What makes the tests above show that the notification came with the user's rights.
        self.assertNotEqual(self.bus.gdbus("org.freedesktop.Notifications.GetServerInformation",
                                           as_nobody=False).returncode, 0)


SETTINGS = {"other": {"kept": "yes"},
            "usb": {"active": 1, "action": 2, "report_on_allow": 1,
                    "rules": [[{"produkt": "Keyboard"}, 1], [{"producent": "=Acme", "produkt": "=Flash & Go"}, 0]]}}


def rule_message(allow, device=DEVICE):
    copy = dict(device)
    for key in ("producent", "produkt", "klasa", "opis", "numer"):
        if copy.get(key):
            copy[key] = "=" + copy[key]
    copy["etykieta"] = "Acme/Flash/USB/2026.12.11 10:00:00"
    return f"usb_device_add_rule{1 if allow else 0}:" + json.dumps(copy)


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class MonitorTest(unittest.TestCase):
    def setUp(self):
        self.machine = Machine()
        self.settings = os.path.join(self.machine.dir, "cfg.json")
        with open(self.settings, "w") as f:
            json.dump(SETTINGS, f)
        os.chmod(self.settings, 0o640)
        # A process named as the program, to see the monitor's "cfg" (the suite stand-in's log).
        os.mkdir(os.path.join(self.machine.dir, "bin"))
        self.program = os.path.join(self.machine.dir, "bin", "zelmarusb")
        os.link(build("suite/halvarmon.exe"), self.program)
        self.program_log = os.path.join(self.machine.dir, "program.log")
        self.machine.start(self.program, "--log", self.program_log)
        self.monitor = self.machine.start(build(MONITOR), "--settings", self.settings)
        wait_for(lambda: f"zelmar_comm_default_{self.monitor.pid}" in self.machine.trace(), what="the monitor")

    def tearDown(self):
        self.machine.close()

    def ask(self, question, as_nobody=False):
        return answer_of(ask(self.machine, self.monitor.pid, question, "default", as_nobody))

    def program_got(self):
        try:
            with open(self.program_log) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def test_get_config_is_the_file_with_left_out_settings_as_zero(self):
        config = json.loads(self.ask("get_config"))
        self.assertEqual(config["usb"]["rules"], SETTINGS["usb"]["rules"])
        self.assertEqual(config["usb"]["action"], 2)
        for key in ("allow_io", "allow_printers", "allow_network", "allow_initial"):
            self.assertEqual(config["usb"][key], 0, key)  # as the program reads them from the file
        # Left out, "active" reads 0 from either; it stays out, so that the settings check says so.
        with open(self.settings, "w") as f:
            json.dump({"usb": {"action": 2}}, f)
        self.assertNotIn("active", json.loads(self.ask("get_config"))["usb"])

    def test_get_config_of_a_file_that_cannot_be_used_is_empty(self):
        for what, content in [("does not parse", "active: 1"), ("no usb", '{"USB": {"active": 1}}'),
                              ("cut short", '{"usb": {"active": 1, "rules": ['),
                              ("missing", None)]:
            with self.subTest(what):
                os.remove(self.settings)
                if content is not None:
                    with open(self.settings, "w") as f:
                        f.write(content)
                self.assertEqual(self.ask("get_config"), "")

    def test_a_rule_is_stored_first_once_and_the_program_reloads(self):
        self.assertEqual(self.ask(rule_message(True)), "1")
        stored = read_json(self.settings)
        expected = [{"producent": "=Acme <Labs>", "produkt": "=Flash & Go", "numer": "=S-42", "klasa": "=USB",
                     "opis": "=Mass storage"}, 1]
        self.assertEqual(stored["usb"]["rules"], [expected] + SETTINGS["usb"]["rules"])
        self.assertEqual(stored["other"], SETTINGS["other"])
        self.assertEqual({k: v for k, v in stored["usb"].items() if k != "rules"},
                         {k: v for k, v in SETTINGS["usb"].items() if k != "rules"})
        self.assertEqual(os.stat(self.settings).st_mode & 0o777, 0o640)
        wait_for(lambda: "cfg" in self.program_got(), what="cfg to the program")
        # The same answer again: not a second rule. The opposite answer replaces it.
        self.assertEqual(self.ask(rule_message(True)), "1")
        self.assertEqual(read_json(self.settings)["usb"]["rules"][:2], [expected, SETTINGS["usb"]["rules"][0]])
        self.assertEqual(self.ask(rule_message(False)), "1")
        rules = read_json(self.settings)["usb"]["rules"]
        self.assertEqual(rules, [[expected[0], 0]] + SETTINGS["usb"]["rules"])
        self.assertEqual([n for n in os.listdir(self.machine.dir) if n.startswith("cfg.json")], ["cfg.json"])

    def test_a_malformed_request_changes_nothing_and_is_traced(self):
        with open(self.settings, "rb") as f:
            before = f.read()
        cases = [
            ("no action", "usb_device_add_rule:" + json.dumps(DEVICE)),
            ("action 2", "usb_device_add_rule2:" + json.dumps(DEVICE)),
            ("not an object", 'usb_device_add_rule1:["=Acme"]'),
            ("cut short", 'usb_device_add_rule1:{"producent": "=Acme", "produkt": "=Fl'),
            ("a number for a text", 'usb_device_add_rule1:{"producent": 5, "produkt": "=Flash"}'),
            ("nothing to name it by", 'usb_device_add_rule1:{"producent": "", "produkt": "=", "checksum": "AB"}'),
            ("another head", "usb_device_add_rules1:" + json.dumps(DEVICE)),
        ]
        for what, message in cases:
            with self.subTest(what):
                self.assertEqual(self.ask(message), "")
                with open(self.settings, "rb") as f:
                    self.assertEqual(f.read(), before)
        self.assertGreaterEqual(self.machine.trace().count("Rule not stored"), len(cases) - 1)
        self.assertNotIn("cfg", self.program_got())

    def test_a_settings_file_the_reader_takes_only_part_of_is_not_replaced(self):
        cases = [("cut short", '{"usb": {"active": 1, "rules": ['),
                 # The settings reader stops at a fraction: a rewrite would lose the rules and "zz".
                 ("a fraction", '{"usb": {"active": 1, "x": 1.5, "rules": [[{"produkt": "K"}, 1]]}, "zz": [2]}')]
        for what, content in cases:
            with self.subTest(what):
                with open(self.settings, "w") as f:
                    f.write(content)
                self.assertEqual(self.ask(rule_message(True)), "")
                with open(self.settings) as f:
                    self.assertEqual(f.read(), content)

    def test_the_programs_block_without_the_users_is_not_kept(self):
        # The program sends a blocking rule for a question nobody answered; the user's own Block is
        # what the menu records (the end-to-end tests show both).
        asker = os.path.join(self.machine.dir, "program", "zelmarusb")
        os.mkdir(os.path.dirname(asker))
        os.link(build(ASK), asker)
        with open(self.settings, "rb") as f:
            before = f.read()
        p = self.machine.start(asker, str(self.monitor.pid), "default", rule_message(False),
                               stdout=subprocess.PIPE, text=True)
        self.assertEqual(answer_of(p), "")
        with open(self.settings, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertIn("Blocking rule not kept", self.machine.trace())
        # Its allowing rule is kept.
        p = self.machine.start(asker, str(self.monitor.pid), "default", rule_message(True),
                               stdout=subprocess.PIPE, text=True)
        self.assertEqual(answer_of(p), "1")

    def test_requests_from_nobody_are_refused(self):
        with open(self.settings, "rb") as f:
            before = f.read()
        self.assertEqual(self.ask("get_config", as_nobody=True), "")
        self.assertEqual(self.ask(rule_message(True), as_nobody=True), "")
        with open(self.settings, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertIn("Refused", self.machine.trace())


class EndToEndTest(unittest.TestCase):
    """The program, its driver on an empty model machine, and the menu and monitor: a device
    no rule decides is put to the user, allowed, stored as a rule, and admitted by that rule when it
    comes again, without a question."""

    def setUp(self):
        self.machine = m = Machine()
        self.addCleanup(self.stop)
        os.makedirs(m.env["ZELMUSB_PLATFORM_ROOT"])
        with open(os.path.join(m.env["ZELMUSB_PLATFORM_ROOT"], "machine.json"), "w") as f:
            f.write('{"controllers": []}')
        m.env["PATH"] = build("tools") + ":" + m.env["PATH"]  # sc.exe for the program
        subprocess.run([build("tools/reg"), "add", "HKLM\\Software\\halvar", "/v", "RootPath", "/t", "REG_SZ",
                        "/d", os.path.join(m.dir, "suite"), "/f"], env=m.env, check=True, capture_output=True)
        self.settings = os.path.join(m.dir, "cfg.json")
        with open(self.settings, "w") as f:
            json.dump({"usb": {"active": 1, "action": 2, "report_on_allow": 1,
                               "rules": [[{"produkt": "Keyboard"}, 1]]}}, f)
        self.bus = SessionBus(m)
        m.start(build(MONITOR), "--settings", self.settings)
        m.start(build(MENU), "--session", "65534:" + self.bus.address, "--answer-limit-ms", "20000")
        wait_for(lambda: m.trace().count("listener [") >= 2, what="the menu and the monitor")
        self.program = m.start(build("zelmarusb"), "/start")
        wait_for(lambda: "User mode enable done." in m.trace(), 30, "the program's user test")
        self.device = os.path.join(m.dir, "device.json")
        with open(self.device, "w") as f:
            json.dump({"idVendor": 4660, "idProduct": 22136, "bcdDevice": 256,
                       "DeviceDescriptor": {"Manufacturer": "Gizmo", "Product": "Gadget", "SerialNumber": "G-003"},
                       "DeviceProperty": {"ClassName": "USB", "DeviceDescription": "Gizmo Gadget"}}, f)

    def stop(self):
        m = self.machine
        subprocess.run([build("zelmarusb"), "/stop"], env=m.env, capture_output=True)
        try:
            self.program.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass
        for verb in ("stop", "delete"):
            subprocess.run([build("tools/sc"), verb, "ZelmUsb"], env=m.env, capture_output=True)
        m.close()

    def raise_device(self):
        return self.machine.start(build("tools/usbsim"), "raise", self.device, "--wait", stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)

    def test_allowed_by_the_user_then_by_the_stored_rule(self):
        m = self.machine
        before = len(self.bus.notifications())
        usbsim = self.raise_device()
        shown = wait_for(lambda: len(self.bus.notifications()) > before and self.bus.notifications(), 30,
                         "the question on the desktop")
        self.assertIn("Gizmo Gadget", shown[before])
        self.bus.emit("ActionInvoked", "us", f"<uint32 {len(shown)}>", '<"allow">')
        self.assertIn("verdict allowed (answered)", answer_of(usbsim, 60))
        rule = [{"producent": "=Gizmo", "produkt": "=Gadget", "numer": "=G-003", "klasa": "=USB",
                 "opis": "=Gizmo Gadget"}, 1]
        wait_for(lambda: read_json(self.settings)["usb"]["rules"][0] == rule, what="the rule in the settings")
        wait_for(lambda: "rules      : 2" in m.trace(), 30, "the program reading the rule")

        again = self.raise_device()
        self.assertIn("verdict allowed (answered)", answer_of(again, 60))
        self.assertEqual(len(self.bus.notifications()), before + 1, "no second question")
        verdicts = [line for line in m.trace().splitlines() if "Verdict allow=" in line]
        self.assertIn("the user's answer", verdicts[-2])
        self.assertIn("decided by main rule 1", verdicts[-1])

    def test_only_the_users_block_is_kept(self):
        m = self.machine
        with open(self.settings, "rb") as f:
            kept = f.read()
        # Closed without an answer: blocked now, not for good.
        usbsim = self.raise_device()
        shown = wait_for(lambda: len(self.bus.notifications()) == 1 and self.bus.notifications(), 30, "the question")
        self.bus.emit("NotificationClosed", "uu", "<uint32 1>", "<uint32 2>")
        self.assertIn("verdict blocked (answered)", answer_of(usbsim, 60))
        wait_for(lambda: "Blocking rule not kept" in m.trace(), what="the monitor passing the rule over")
        with open(self.settings, "rb") as f:
            self.assertEqual(f.read(), kept)
        # So it is asked about again; the user blocks it: kept, and the next arrival is blocked by
        # the rule without a question.
        usbsim = self.raise_device()
        wait_for(lambda: len(self.bus.notifications()) == 2, 30, "the second question")
        self.bus.emit("ActionInvoked", "us", "<uint32 2>", '<"block">')
        self.assertIn("verdict blocked (answered)", answer_of(usbsim, 60))
        wait_for(lambda: read_json(self.settings)["usb"]["rules"][0][1] == 0, what="the blocking rule")
        self.assertEqual(read_json(self.settings)["usb"]["rules"][0][0]["numer"], "=G-003")
        wait_for(lambda: "rules      : 2" in m.trace(), 30, "the program reading the rule")
        self.assertIn("verdict blocked (answered)", answer_of(self.raise_device(), 60))
        # No question: the notice that a rule blocked it.
        notice = wait_for(lambda: len(self.bus.notifications()) == 3 and self.bus.notifications()[2], 30, "the notice")
        self.assertIn("USB device blocked", notice)
        self.assertIn("[]", notice)
        self.assertIn("decided by main rule 1", [l for l in m.trace().splitlines() if "Verdict allow=" in l][-1])


if __name__ == "__main__":
    if not BUILD:
        sys.exit("usage: peers_test.py <build folder>")
    if os.geteuid() != 0:
        print("skipped: the menu drops to another user's rights, which takes root")
        sys.exit(77)
    unittest.main(verbosity=2)
