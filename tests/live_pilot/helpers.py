"""Driving main() step by step from the windows it commands."""
import time


def run_main(live_pilot, steps):
    """Runs main(); steps[k]() runs as the (k+1)-th window's command goes to the simulator.
    Returns the exception main raised (or None) and the time the last step ran."""
    send, sent, last_step = live_pilot.simulation.send_command, [], [None]

    def send_command(command):
        result = send(command)
        sent.append(command)
        if len(sent) <= len(steps):
            last_step[0] = time.monotonic()
            steps[len(sent) - 1]()
        return result

    live_pilot.simulation.send_command = send_command
    try:
        live_pilot.main()
        return None, last_step[0]
    except Exception as error:
        return error, last_step[0]
    finally:
        del live_pilot.simulation.send_command


def interrupt():
    raise KeyboardInterrupt


def nothing():
    pass
