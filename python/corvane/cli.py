"""The `corvane` command: one subcommand per front end and stand-in, each with its own --help."""
import argparse
import importlib
import sys

# name: (module whose main(argv) runs it, one line for the list)
COMMANDS = {
    "demo": ("corvane.demo.host", "record, train and decode end to end on a simulated subject"),
    "studio": ("corvane.studio.__main__", "the studio: board, session, training and live in a browser"),
    "emulator": ("corvane.standins.cyton_emulator", "an emulated Cyton board on a pseudo-terminal"),
    "simulator": ("corvane.standins.movement_simulator", "the movement simulator on 127.0.0.1"),
    "store": ("corvane.standins.session_store", "the remote session store on 127.0.0.1"),
    "controller": ("corvane.standins.actuator_controller", "an actuator controller stand-in on 127.0.0.1"),
    "sample-recording": ("corvane.standins.make_sample_recording", "write the sample recording under a base directory"),
    "export-bids": ("corvane.export_bids", "write recorded sessions as a BIDS EEG dataset"),
}


def parser():
    p = argparse.ArgumentParser(
        prog="corvane", description="Corvane, a brain-computer-interface toolkit.",
        epilog="`corvane COMMAND --help` tells more about each.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (_, summary) in COMMANDS.items():
        sub.add_parser(name, help=summary, add_help=False)
    return p


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    # The command's own arguments (--help included) go to it untouched.
    options, rest = parser().parse_known_args(argv[:1])
    module = importlib.import_module(COMMANDS[options.command][0])
    previous, sys.argv[0] = sys.argv[0], f"corvane {options.command}"
    try:
        return module.main(argv[1:]) or 0
    finally:
        sys.argv[0] = previous
