"""Every sandbox service in one process, on loopback.

    python -m varden.sandbox                 serve until Ctrl-C
    python -m varden.sandbox --run SCRIPT    serve while SCRIPT runs with the kit pointed here

The data service, the question service, the simulated brokerage account and the trading
gateway start on their usual ports; a taken port is replaced by a free one (and said so),
except the gateway's, which the kit's gateway client fixes at 9999: then the sandbox says what
is in the way and runs without a gateway.
"""

import argparse
import contextlib
import errno
import os
import shlex
import subprocess
import sys
import tempfile
import threading

DATA_PORT = 19359
# Where the sandbox pins the live feed's clock: inside the afternoon session of the latest
# trading day, so that today's bars exist whenever the sandbox is run.
LIVE_CLOCK_TIME = "14:30"


def _settings_folder(args):
    # The kit reads VARDEN_ROOT when its settings module is first imported: decide it before.
    if args.root:
        os.environ["VARDEN_ROOT"] = os.path.abspath(args.root)
    elif args.run and "VARDEN_ROOT" not in os.environ:
        # A tour must not overwrite the user's real credential file with a sandbox login.
        os.environ["VARDEN_ROOT"] = tempfile.mkdtemp(prefix="varden-sandbox-")
    return os.environ.get("VARDEN_ROOT")


def _start(label, preferred, start, notes):
    """Start a service on its preferred port, or on a free one when that is taken."""
    try:
        return start(preferred)
    except OSError as exc:
        if exc.errno != errno.EADDRINUSE:
            raise
    service = start(0)
    notes.append("%s: port %d is taken, using a free one" % (label, preferred))
    return service


def _live_clock():
    import pandas as pd

    from varden.mod.stock.data.data_proxy import DataProxy
    from varden.mod.stock.data.fast_data_source import FastDataSource

    days = DataProxy(FastDataSource()).all_execution_days
    today = days[days <= pd.Timestamp.now().normalize()][-1]
    return "%s %s" % (today.strftime("%Y-%m-%d"), LIVE_CLOCK_TIME)


class OrderProgress:
    """Moves the simulated account's open orders along: when a client subscribes to an account's
    order pushes, the account's oldest open order fills shortly after and is pushed."""

    OPEN = "已报"

    def __init__(self, brokerage, delay=0.2):
        self._brokerage = brokerage
        self._delay = delay
        self._stop = threading.Event()
        self._seen = {}
        self._thread = threading.Thread(target=self._run, name="sandbox-orders", daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(self._delay):
            for token, book in self._brokerage.books.items():
                count = self._brokerage.subscriber_count(token)
                if count > self._seen.get(token, 0):
                    self._fill_one(token, book)
                self._seen[token] = count

    def _fill_one(self, token, book):
        order = next((o for o in book["orders"] if o["OrderStatusMsg"] == self.OPEN), None)
        if order is not None:
            self._brokerage.push_order_update(token, order["OrderID"], OrderStatusMsg="已成",
                                              TradeVolume=order["OrderQty"],
                                              AvgPx=order["OrderPrice"])

    def stop(self):
        self._stop.set()
        self._thread.join()


class Sandbox:
    """The running services and the environment that points the kit at them."""

    def __init__(self, gateway_port):
        from varden.sandbox import brokerage, dataservice, gateway, questions

        self.notes = []
        self._stack = contextlib.ExitStack()
        self.data = _start("data service", DATA_PORT,
                           lambda p: dataservice.DataService().start(p), self.notes)
        self._stack.callback(self.data.close)
        self.questions = _start("question service", questions.DEFAULT_PORT,
                                lambda p: questions.QuestionService().start(p), self.notes)
        self._stack.callback(self.questions.stop)
        self.brokerage = _start("brokerage", brokerage.DEFAULT_PORT,
                                lambda p: brokerage.BrokerageService().start(p), self.notes)
        self._stack.callback(self.brokerage.stop)
        self._stack.callback(OrderProgress(self.brokerage).stop)
        try:
            self.gateway = gateway.SandboxGateway(gateway_port)
        except OSError as exc:
            self.gateway = None
            self.notes.append("trading gateway not started: %s" % exc.strerror)
        else:
            self.gateway.start()
            self._stack.callback(self.gateway.stop)

    def environment(self):
        return {
            "VARDEN_URL": self.data.url,
            "VARDEN_QUERYBAY_URL": self.questions.url,
            "VARDEN_BROKER_ADDR": self.brokerage.address,
            "VARDEN_LIVE_CLOCK": os.environ.get("VARDEN_LIVE_CLOCK") or _live_clock(),
        }

    def describe(self, root):
        lines = ["varden sandbox on loopback:",
                 "  data service      %s" % self.data.url,
                 "  question service  %s" % self.questions.url,
                 "  brokerage         %s" % self.brokerage.address]
        if self.gateway is not None:
            lines.append("  trading gateway   %s:%d" % (self.gateway.host, self.gateway.port))
        lines += ["  " + note for note in self.notes]
        lines.append("Point the kit at it (before importing varden):")
        # Quoted for the shell: the pinned clock holds a blank, a settings path may too.
        lines += ["  export %s=%s" % (name, shlex.quote(value))
                  for name, value in self.environment().items()]
        if root:
            lines.append("  export VARDEN_ROOT=%s" % shlex.quote(root))
        users = ", ".join("%s/%s" % item for item in sorted(self.data.users.items()))
        lines.append("Sandbox users (name/password): %s" % users)
        return "\n".join(lines)

    def close(self):
        self._stack.close()


def add_arguments(parser):
    """The sandbox's options, shared with `varden sandbox`."""
    parser.add_argument("--run", metavar="SCRIPT", help="run SCRIPT against the sandbox, then stop")
    parser.add_argument("--root", help="settings folder for the kit (VARDEN_ROOT)")
    parser.add_argument("--gateway-port", type=int, default=9999, help=argparse.SUPPRESS)


def serve(args):
    """Serve until Ctrl-C, or while `args.run` runs; the script's exit status, else 0."""
    root = _settings_folder(args)
    sandbox = Sandbox(args.gateway_port)
    try:
        print(sandbox.describe(root), flush=True)
        if args.run:
            env = dict(os.environ, **sandbox.environment())
            print(flush=True)
            return subprocess.call([sys.executable, args.run], env=env)
        print("Ctrl-C stops the sandbox.", flush=True)
        with contextlib.suppress(KeyboardInterrupt):
            threading.Event().wait()
        print("\nsandbox stopped", flush=True)
        return 0
    finally:
        sandbox.close()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m varden.sandbox", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add_arguments(parser)
    return serve(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
