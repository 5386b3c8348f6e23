"""A Cyton board on a pseudo-terminal, for tests and for trying the toolkit without hardware.

BrainFlow's own CYTON_BOARD driver opens the pty path in `port` as it would a serial port. The
emulator answers "v" with the board's banner (ending in "$$$"), streams 33-byte packets after "b"
and stops after "s"; other commands are accepted silently. Packet layout: 0xA0, sample counter,
eight 24-bit big-endian signed EEG values, six aux bytes, 0xC0.

    with CytonEmulator(signal=my_signal, speed=10) as board:
        hub.initialize_board(port=board.port)

`python -m corvane.standins.cyton_emulator [--speed S] [--recording FILE]` runs one until Ctrl-C and
prints its port; with --recording it streams that file (see recording_playback; a BIDS root takes
--bids-subject/-session/-task/-run, see bids_recording) instead of a quiet signal, says on stderr
what it plays, and each time the file starts over.
"""

import argparse
import errno
import os
import pty
import select
import sys
import threading
import time
import tty

import numpy as np

from corvane.facts import BOARD_EEG_CHANNELS as EEG_CHANNELS, SAMPLING_RATE
from corvane.standins.bids_recording import add_bids_options, bids_entities, recording_source
from corvane.standins.quiet_signal import quiet_signal

PACKET_SIZE = 33
START_BYTE = 0xA0
END_BYTE = 0xC0
# BrainFlow's Cyton scale: 4.5 V reference, gain 24, 24-bit signed counts, in microvolts.
MICROVOLTS_PER_COUNT = 4.5 / 24 / (2**23 - 1) * 1e6
COUNT_MIN = -(2**23)
COUNT_MAX = 2**23 - 1

BANNER = (
    b"OpenBCI V3 8-16 channel\n"
    b"On Board ADS1299 Device ID: 0x3E\n"
    b"LIS3DH Device ID: 0x33\n"
    b"Firmware: v3.1.2\n"
    b"$$$"
)

# Packets queued for the reader beyond this are not generated: a board whose host stopped reading
# loses samples, as a real serial link would, instead of blocking the emulator.
MAX_PENDING_BYTES = 64 * 1024
# At most this many packets are generated per loop, so commands are still answered promptly.
MAX_PACKETS_PER_STEP = 500
POLL_SECONDS = 0.005
# Samples are generated in bursts of at least this long (as a USB serial adapter delivers them):
# each call on the signal source costs about half a millisecond whatever its length, so generating
# every poll would cost the process a sixth of a core at any speed.
BURST_SECONDS = 0.02


def microvolts_to_counts(microvolts):
    """Rounds microvolts to the nearest 24-bit count, clipped to the converter's range."""
    counts = np.rint(np.asarray(microvolts, dtype=np.float64) / MICROVOLTS_PER_COUNT)
    return np.clip(counts, COUNT_MIN, COUNT_MAX).astype(np.int32)


def encode_packets(first_sample, microvolts):
    """Packets for samples first_sample, first_sample + 1, ... as one bytes object."""
    values = np.asarray(microvolts, dtype=np.float64)
    count = values.shape[0]
    if values.shape != (count, EEG_CHANNELS):
        raise ValueError(f"signal must return shape ({count}, {EEG_CHANNELS}), got {values.shape}")
    counts = microvolts_to_counts(values).astype(np.uint32) & 0xFFFFFF
    packets = np.zeros((count, PACKET_SIZE), dtype=np.uint8)
    packets[:, 0] = START_BYTE
    packets[:, 1] = (np.arange(first_sample, first_sample + count) & 0xFF).astype(np.uint8)
    eeg = packets[:, 2 : 2 + 3 * EEG_CHANNELS].reshape(count, EEG_CHANNELS, 3)
    eeg[:, :, 0] = (counts >> 16) & 0xFF
    eeg[:, :, 1] = (counts >> 8) & 0xFF
    eeg[:, :, 2] = counts & 0xFF
    packets[:, -1] = END_BYTE
    return packets.tobytes()


class CytonEmulator:
    def __init__(self, signal=None, speed=1.0):
        if not speed > 0:
            raise ValueError("speed must be positive")
        self.signal = signal if signal is not None else quiet_signal
        self.speed = float(speed)
        self.port = None
        self.samples_sent = 0
        # While False the board ignores commands and sends nothing: a board that stopped answering.
        self.responsive = True
        self.commands = []
        self._master = None
        self._slave = None
        self._thread = None
        self._stop = threading.Event()
        self._streaming = False
        self._pending = b""
        self._stream_origin = 0.0

    def start(self):
        if self._thread is not None:
            return self
        self._master, self._slave = pty.openpty()
        # Raw mode: no echo or line translation on the emulated serial line. The emulator keeps
        # the slave side open so the master never sees a hang-up between BrainFlow sessions.
        tty.setraw(self._slave)
        os.set_blocking(self._master, False)
        self.port = os.ttyname(self._slave)
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, name="cyton-emulator", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        self._thread = None
        for fd in (self._master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self._master = self._slave = None
        self._streaming = False

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def streaming(self):
        return self._streaming

    def _run(self):
        while not self._stop.is_set():
            # Commands wake the loop at once; otherwise it wakes for the next burst, or sooner to
            # go on writing what the reader has not taken yet.
            readable, _, _ = select.select([self._master], [], [], POLL_SECONDS if self._pending else BURST_SECONDS)
            if readable:
                self._read_commands()
            if self._streaming:
                if self.responsive:
                    self._queue_due_packets()
                else:
                    # A silent board produces nothing; when it answers again it goes on from now.
                    self._stream_origin = time.monotonic() - self.samples_sent / (SAMPLING_RATE * self.speed)
            self._flush()

    def _read_commands(self):
        try:
            data = os.read(self._master, 1024)
        except OSError as error:
            if error.errno in (errno.EAGAIN, errno.EIO):
                return
            raise
        if not self.responsive:
            return
        for byte in data:
            self._command(chr(byte))

    def _command(self, command):
        self.commands.append(command)
        # Reset and stop end the stream at once: packets not yet on the line are never sent
        # (a reset also starts the count afresh with the next "b").
        if command == "v":
            self._streaming = False
            self._pending = BANNER
        elif command == "b":
            self.samples_sent = 0
            self._stream_origin = time.monotonic()
            self._streaming = True
        elif command == "s":
            self._streaming = False
            self.samples_sent -= len(self._pending) // PACKET_SIZE
            self._pending = b""

    def _queue_due_packets(self):
        elapsed = time.monotonic() - self._stream_origin
        due = int(elapsed * SAMPLING_RATE * self.speed) - self.samples_sent
        if due <= 0 or due < SAMPLING_RATE * self.speed * BURST_SECONDS:
            return
        if len(self._pending) > MAX_PENDING_BYTES:
            # The reader is behind: drop these samples from the timeline rather than queue them.
            self._stream_origin += due / (SAMPLING_RATE * self.speed)
            return
        count = min(due, MAX_PACKETS_PER_STEP)
        first = self.samples_sent
        self._pending += encode_packets(first, self.signal(first, count))
        self.samples_sent = first + count

    def _flush(self):
        if not self._pending:
            return
        try:
            written = os.write(self._master, self._pending)
        except BlockingIOError:
            return
        except OSError as error:
            if error.errno == errno.EIO:
                return
            raise
        self._pending = self._pending[written:]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Emulated Cyton board on a pseudo-terminal.")
    parser.add_argument("--speed", type=float, default=1.0, help="stream at the board's rate times SPEED")
    parser.add_argument("--recording", metavar="FILE",
                        help="play this EEG file (FIF, EDF, BDF, GDF; or one in a BIDS dataset, or a BIDS root "
                             "with the --bids options) instead of a quiet signal; it loops")
    add_bids_options(parser)
    args = parser.parse_args(argv)
    if bids_entities(args) and not args.recording:
        parser.error("the --bids options need --recording (a BIDS dataset's root folder)")
    if args.speed <= 0:
        parser.error("--speed must be above 0")
    playback = None
    if args.recording:
        from corvane.standins.recording_playback import RecordingPlayback
        try:
            playback = RecordingPlayback(recording_source(args.recording, **bids_entities(args)))
        except Exception as exc:   # unreadable, unsupported or lacking electrodes
            parser.error(f"cannot play {args.recording}: {exc}")
    with CytonEmulator(signal=playback, speed=args.speed) as board:
        print(board.port, flush=True)
        loops = 0
        if playback is not None:
            print(f"playing {args.recording}: {len(playback.data) / SAMPLING_RATE:.1f} s, "
                  f"{len(playback.annotations)} annotations ({', '.join(playback.names) or 'none'})",
                  file=sys.stderr, flush=True)
        try:
            while True:
                time.sleep(1)
                if playback is not None and playback.loops != loops:
                    loops = playback.loops
                    print("the recording starts over from its beginning", file=sys.stderr, flush=True)
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
