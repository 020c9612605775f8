#!/usr/bin/python3
"""The key wait of the real Zelvoran.exe on a terminal, hosted by tmux: a run shows its text and
waits for one key; the usage exits at once."""
import os
import shlex
import subprocess
import sys
import time
import unittest


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wine_prefix as wp
from test_e2e import DAMAGED, USED, ZelvoranTest, binary, interface, store_value

EXE = os.environ.get("ZELVORAN_EXE", "Zelvoran.exe")


def socket(session):
    # A tmux server per session, so that one test's server going down never meets the next.
    return "zelvoran-e2e-%d-%s" % (os.getpid(), session)


def tmux(session, *arguments):
    return subprocess.run(["tmux", "-L", socket(session)] + list(arguments),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)


def screen(session):
    return tmux(session, "capture-pane", "-p", "-t", session).stdout


def wait_for(session, text, seconds=90):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if text in screen(session):
            return True
        time.sleep(0.2)
    return False


class TerminalTest(ZelvoranTest):
    def start(self, session, arguments):
        wine_env = wp.environment(wp.prefix_path())
        env = " ".join("%s=%s" % (k, shlex.quote(v)) for k, v in wine_env.items()
                       if k.startswith("WINE"))
        command = "env %s %s %s %s; echo EXIT=$?; sleep 300" % (
            env, wp.WINE64, shlex.quote(EXE), " ".join(shlex.quote(a) for a in arguments))
        self.session = session
        started = tmux(session, "new-session", "-d", "-s", session, "-x", "120", "-y", "30",
                       command)
        self.assertEqual(started.returncode, 0, started.stderr)

    def tearDown(self):
        tmux(self.session, "kill-server")

    def test_run_waits_for_one_key(self):
        self.seed({"6": [binary(USED, DAMAGED)]}, [store_value(interface(5, 6))])
        self.start("run", ["/iftype", "6"])
        self.assertTrue(wait_for("run", "Press any key."), screen("run"))
        text = screen("run")
        self.assertIn("Repair successful.", text)
        self.assertIn("You need to restart your computer.", text)
        time.sleep(2)
        self.assertNotIn("EXIT=", screen("run"))
        tmux("run", "send-keys", "-t", "run", "x")
        self.assertTrue(wait_for("run", "EXIT=1", 30), screen("run"))
        # The key is read without echo.
        self.assertNotIn("x", screen("run").split("Press any key.")[1].split("EXIT=")[0])

    def test_usage_exits_without_waiting(self):
        self.start("usage", ["/?"])
        self.assertTrue(wait_for("usage", "EXIT=0"), screen("usage"))
        self.assertIn("Usage:", screen("usage"))
        self.assertNotIn("Press any key.", screen("usage"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
