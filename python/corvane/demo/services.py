"""Stage 0: the movement simulator, the controller stand-in and the browser showing the page."""
import os
import urllib.request

from corvane.demo.errors import DemoError, first_line
from corvane.standins.actuator_controller import ActuatorController
from corvane.standins.movement_simulator import MovementSimulator


def start_services(host):
    o = host.o
    try:
        host.simulator = MovementSimulator(o.port).start()
    except OSError as exc:
        raise DemoError(f"Port {o.port} on 127.0.0.1 is in use ({exc.strerror or exc}): "
                        "another simulator or demo may be running. Stop it, or pass --port.")
    host.on_exit("simulator", host.simulator.stop)
    host.say(f"Movement simulator: {host.simulator.url}/  (open it in a browser to watch)")
    host.on_exit("temporary files", host.remove_tmp_dir)

    host.controller = None
    # live_pilot drives the controller named by CORVANE_ACTUATOR_HOST, else the stand-in here.
    host.actuator_host = os.environ.get("CORVANE_ACTUATOR_HOST")
    if host.actuator_host is not None and not o.controller_stand_in:
        host.say(f"Actuator controller: {host.actuator_host}:80 (yours)")
    else:
        host.actuator_host = "127.0.0.1"
        try:
            host.controller = ActuatorController(port=80).start()
            host.on_exit("controller", host.controller.stop)
            host.say("Actuator controller: stand-in on 127.0.0.1:80")
        except OSError as exc:
            host.say(f"Actuator controller: none (127.0.0.1:80 unavailable: {exc.strerror}); "
                     "live_pilot's controller requests will fail harmlessly")
    host.on_exit("stop command", send_stop, host)   # runs before both servers stop

    if o.browser:
        host.browser = start_browser(host)


def start_browser(host):
    """Headless Chromium showing the simulator page, or None (said in one line) when it cannot
    start: the page is only there to watch, so the demo goes on without its screenshot."""
    from corvane.web.browser import HeadlessBrowser

    browser = HeadlessBrowser(width=760, height=480)
    try:
        with host.console.capture():   # the driver's own output goes to demo.log
            browser.start()
            browser.open(host.simulator.url + "/", wait_for="window.simulatorState().connected")
    except Exception as exc:
        browser.stop()
        reason = first_line(exc)
        host.say(f"Browser: headless Chromium did not start ({reason}); going on without the "
                 "page's screenshot")
        host.report["page_screenshot_skipped"] = f"the browser did not start: {reason}"
        return None
    host.on_exit("browser", browser.stop)
    return browser


def send_stop(host):
    """"S" to the simulator (and the stand-in controller): the vehicle stops whatever happened."""
    urllib.request.urlopen(host.simulator.url + "/command/S", timeout=2).read()
    if host.controller is not None:
        urllib.request.urlopen("http://127.0.0.1:80/S", timeout=2).read()
