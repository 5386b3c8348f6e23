"""A hub's EEG on LSL without taking a sample from capture_hub.

capture_hub empties the board's buffer at every start_recording and reads the trial out of it at
stop_recording (get_board_data), so the stream may neither remove samples nor miss those the hub
removes. Two paths feed it, each sample going out once:
- a thread peeks at the newest samples (get_current_board_data, which leaves them in the buffer)
  every POLL seconds, so the stream follows the board closely;
- hub.board is wrapped for the feed's life in a pass-through whose get_board_data hands what it
  took to the feed too, so what the hub drains between two peeks still goes out.
A sample is known by its BrainFlow timestamp and package number; the feed remembers the last one
it pushed. Its LSL timestamp is BrainFlow's (the Unix time the driver received it) moved onto
LSL's clock, so it tells when the sample arrived, not when it was pushed."""
import threading
import time

import numpy as np

POLL = 0.02          # seconds between two peeks
PEEK = 256           # samples a peek looks at first (more when the last one pushed is not among them)


class TeeBoard:
    """The hub's board, passed through, except that what get_board_data takes is pushed first."""

    def __init__(self, board, feed):
        self._board, self._feed = board, feed

    def get_board_data(self, *args, **kwargs):
        with self._feed.lock:
            data = self._board.get_board_data(*args, **kwargs)
            self._feed.push(data)
        return data

    def __getattr__(self, name):
        return getattr(self._board, name)


class EegFeed:
    """Streams the wired EEG rows of `hub`'s board to `outlet` from start() to stop()."""

    def __init__(self, hub, outlet, hub_lock=None):
        from brainflow.board_shim import BoardShim
        from corvane.facts import BOARD_ID, WIRED_EEG_ROWS
        self.hub, self.outlet, self.hub_lock = hub, outlet, hub_lock
        self.rows = list(WIRED_EEG_ROWS)
        self.time_row = BoardShim.get_timestamp_channel(BOARD_ID)
        self.number_row = BoardShim.get_package_num_channel(BOARD_ID)
        self.lock = threading.Lock()
        self.last = None            # (timestamp, package number) of the last sample pushed
        self.pushed = 0
        self._stop = threading.Event()
        self._thread = None

    def start(self):
        """Streams from the board's newest sample on. The caller holds the hub's lock."""
        board = self._wrap()
        if board is not None:
            with self.lock:
                try:
                    newest = board._board.get_current_board_data(1)
                except Exception:
                    newest = None
                if newest is not None and newest.shape[1]:
                    self.last = (newest[self.time_row, -1], newest[self.number_row, -1])
        self._thread = threading.Thread(target=self._run, name="lsl-eeg", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """One last peek, then the hub gets its own board back. The caller holds the hub's lock."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        self.peek(wrap=False)
        board = getattr(self.hub, "board", None)
        if isinstance(board, TeeBoard) and board._feed is self:
            self.hub.board = board._board

    def _run(self):
        while not self._stop.wait(POLL):
            self.peek()

    def _wrap(self):
        """The hub's board, wrapped if it is not yet (a reconnect gives the hub a new board)."""
        board = getattr(self.hub, "board", None)
        if board is None or self._ours(board):
            return board
        board = TeeBoard(board, self)
        self.hub.board = board
        return board

    def _ours(self, board):
        return isinstance(board, TeeBoard) and board._feed is self

    def _wrapped(self, wrap=True):
        """The hub's wrapped board, or None. Wrapping a new board waits for the hub's lock (up to
        POLL), so it never races the hub replacing its board."""
        board = getattr(self.hub, "board", None)
        if board is None or self._ours(board):
            return board
        acquire = getattr(self.hub_lock, "acquire", None)
        if not wrap or (acquire is not None and not acquire(timeout=POLL)):
            return None
        try:
            return self._wrap()
        finally:
            if acquire is not None:
                self.hub_lock.release()

    def peek(self, wrap=True):
        """Pushes the samples that arrived since the last push, leaving them in the buffer."""
        try:
            board = self._wrapped(wrap)
            if not self._ours(board):
                return
            with self.lock:
                data = board._board.get_current_board_data(PEEK)
                if data.shape[1] == PEEK and not self._holds_last(data):
                    data = board._board.get_current_board_data(max(PEEK, board._board.get_board_data_count()))
                self.push(data)
        except Exception:   # a board released meanwhile, a failed push: the next peek tries again
            pass

    def _holds_last(self, data):
        return self.last is not None and data[self.time_row, 0] <= self.last[0]

    def push(self, data):
        """Pushes the samples of `data` (board rows) newer than the last one pushed. Called with
        the lock held."""
        try:
            fresh = self._fresh(data)
            if not fresh.shape[1]:
                return
            offset = _lsl_offset()
            self.outlet.push_chunk(np.ascontiguousarray(fresh[self.rows].T, dtype=np.float32),
                                   (fresh[self.time_row] + offset).tolist())
            self.last = (fresh[self.time_row, -1], fresh[self.number_row, -1])
            self.pushed += fresh.shape[1]
        except Exception:
            pass

    def _fresh(self, data):
        if data is None or not data.shape[1] or self.last is None:
            return data if data is not None else np.empty((0, 0))
        stamps, numbers = data[self.time_row], data[self.number_row]
        same = np.flatnonzero((stamps == self.last[0]) & (numbers == self.last[1]))
        if same.size:
            return data[:, same[-1] + 1:]
        return data[:, stamps > self.last[0]]


def _lsl_offset():
    """LSL's clock minus the Unix clock, read close together."""
    import pylsl
    before = time.time()
    lsl = pylsl.local_clock()
    after = time.time()
    return lsl - (before + after) / 2
