"""`python -m corvane.studio`: serves the studio on 127.0.0.1 and prints its URL (with the run's token).

Ctrl-C, SIGTERM and SIGHUP end it the same way: the server shuts down, then the studio's close sends
its own "S" and ends live decoding; signals arriving meanwhile do not cut that short. A process
ended by SIGTERM or SIGHUP then ends by that signal, as its parent expects."""
import argparse
import os
import signal
import sys

from corvane.pipeline.lsl import LslStreams
from corvane.studio.app import Studio
from corvane.studio.server import StudioServer


def main(argv=None):
    parser = argparse.ArgumentParser(prog="corvane studio", description="Corvane Studio: board, session, "
                                     "training and live decoding from one browser page, on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--base", default="studio_output", help="base directory for recordings and artefacts")
    parser.add_argument("--emulator", action="store_true",
                        help="offer the board emulator with a simulated subject first (no hardware needed)")
    parser.add_argument("--speed", type=float, default=1.0, help="the emulator's streaming speed (1 = real time)")
    parser.add_argument("--live-speed", type=float, default=None,
                        help="the emulator's speed during live decoding (default: --speed, at most 2)")
    parser.add_argument("--steps", type=int, default=None, help="training steps (default: the trainer's own)")
    parser.add_argument("--lsl", action="store_true", help="stream the EEG, the cues and the live decisions on "
                        "Lab Streaming Layer (announced on the local network)")
    args = parser.parse_args(argv)
    if args.speed <= 0 or (args.live_speed is not None and args.live_speed <= 0):
        parser.error("--speed and --live-speed must be positive")
    studio = Studio(args.base, speed=args.speed, live_speed=args.live_speed, emulator=args.emulator, steps=args.steps)
    try:
        server = StudioServer(studio, args.port)
    except OSError as exc:
        studio.close()
        raise SystemExit(f"Cannot listen on 127.0.0.1:{args.port} ({exc.strerror or exc}): another studio may be "
                         "running. Pass --port 0 for any free port.")
    ended_by = []

    def end(signum, frame):
        ended_by.append(signum)
        server.server.should_exit = True

    # uvicorn takes SIGINT and SIGTERM while it serves and hands them back afterwards (to this
    # handler, not the default that would end the process before the close below).
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, end)
    console = studio.output.console
    studio.lsl = LslStreams(output=console).open() if args.lsl else None   # read by the session and live pages
    if studio.blocked:
        print(studio.blocked, file=console, flush=True)
    print(f"Corvane Studio: {server.entry_url}\n(open it in a browser; Ctrl-C stops the studio, the board "
          "and the actuator)", file=console, flush=True)
    try:
        server.run()
    except KeyboardInterrupt:   # the server has shut down; the studio's parts stop below
        pass
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, end)
        studio.close()
        if studio.lsl is not None:
            studio.lsl.close()
    print("Corvane Studio stopped.", flush=True)
    if ended_by and ended_by[0] != signal.SIGINT:
        signal.signal(ended_by[0], signal.SIG_DFL)
        os.kill(os.getpid(), ended_by[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
