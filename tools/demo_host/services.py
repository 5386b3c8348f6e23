"""Stage 0: the movement simulator, the controller stand-in and the browser showing the page."""
import os
import urllib.request

from tools.demo_host.errors import DemoError
from tools.standins.movement_simulator import MovementSimulator
from tools.testing.testbed import LoopbackServer, controller_reply


def start_services(host):
    o = host.o
    try:
        host.simulator = MovementSimulator(o.port).start()
    except OSError as exc:
        raise DemoError(f"Port {o.port} on 127.0.0.1 is in use ({exc.strerror or exc}): "
                        "another simulator or demo may be running. Stop it, or pass --port.")
    host.on_exit("simulator", host.simulator.stop)
    os.environ["CORVANE_SIMULATOR_URL"] = host.simulator.url
    host.say(f"Movement simulator: {host.simulator.url}/  (open it in a browser to watch)")
    host.on_exit("temporary files", host.remove_tmp_dir)

    host.controller = None
    if "CORVANE_ACTUATOR_HOST" in os.environ and not o.controller_stand_in:
        host.say(f"Actuator controller: {os.environ['CORVANE_ACTUATOR_HOST']}:80 (yours)")
    else:
        os.environ["CORVANE_ACTUATOR_HOST"] = "127.0.0.1"
        try:
            host.controller = LoopbackServer(controller_reply, port=80)
            host.on_exit("controller", host.controller.close)
            host.say("Actuator controller: stand-in on 127.0.0.1:80")
        except OSError as exc:
            host.say(f"Actuator controller: none (127.0.0.1:80 unavailable: {exc.strerror}); "
                     "live_pilot's controller requests will fail harmlessly")
    host.on_exit("stop command", send_stop, host)   # runs before both servers stop

    if o.browser:
        from tools.dev.headless_chromium import HeadlessChromium
        host.browser = HeadlessChromium(width=760, height=480, profile_parent=host.tmp_dir())
        try:
            host.browser.start()
        except Exception as exc:
            raise DemoError(f"Headless Chromium did not start: {exc}. "
                            "Run scripts/setup-browser, or pass --no-browser.")
        host.on_exit("browser", host.browser.stop)
        host.browser.open(host.simulator.url + "/", wait_for="window.simulatorState().connected")


def send_stop(host):
    """"S" to the simulator (and the stand-in controller): the vehicle stops whatever happened."""
    urllib.request.urlopen(host.simulator.url + "/command/S", timeout=2).read()
    if host.controller is not None:
        urllib.request.urlopen("http://127.0.0.1:80/S", timeout=2).read()
