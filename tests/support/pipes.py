"""Pipes a reader can stall: small, so a writer meets a full pipe after a few lines, not 64 KiB."""
import fcntl
import os

F_SETPIPE_SZ = 1031   # fcntl's command for a pipe's capacity (Linux)
PIPE_BYTES = 4096


def small_pipe():
    """(read end, write end) of a pipe that holds PIPE_BYTES."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, PIPE_BYTES)
    return read_end, write_end


def fill_pipe(write_end):
    """Fills the pipe through a descriptor of its own (non-blocking without touching the writer's)."""
    own = os.open(f"/proc/self/fd/{write_end}", os.O_WRONLY | os.O_NONBLOCK)
    try:
        while True:
            os.write(own, b"#\n")
    except BlockingIOError:
        pass
    finally:
        os.close(own)
