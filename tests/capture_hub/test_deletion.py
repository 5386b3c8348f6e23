import os
import subprocess
import sys
import textwrap

import pytest

from tests.capture_hub.helpers import SEPARATOR, annotation_text, make_recordings, recordings, write_annotations

LOG = (
    f"\nsession1\nLeft_Hand\nRelax\n{SEPARATOR}\n"
    f"\nsession10\nBlinking\n{SEPARATOR}\n"
    f"\nsession2\nJaw_Clenching\n\n{SEPARATOR}\n"
)


def touch(directory, name):
    open(os.path.join(directory, name), "w").close()


def test_deleting_session_1_leaves_session_10(hub):
    ones = make_recordings(hub, 1, [10, 10])
    tens = make_recordings(hub, 10, [10])
    touch(hub.processed_dir, "session1_features.npy")
    touch(hub.processed_dir, "session10_features.npy")
    touch(hub.formatted_dir, "session1_combined.fif")
    touch(hub.formatted_dir, "S03.fif")
    write_annotations(hub, LOG)
    before = {n: hub._read_annotations_file(n) for n in (1, 2, 10)}
    hub.next_session_number = 11
    hub.current_session_num = 1
    assert hub.delete_session(1) is None
    assert recordings(hub) == tens and set(ones).isdisjoint(os.listdir(hub.raw_dir))
    assert os.listdir(hub.processed_dir) == ["session10_features.npy"]
    assert os.listdir(hub.formatted_dir) == ["S03.fif"]
    # The blank line before the deleted header stays; every other line is kept as it was.
    assert annotation_text(hub) == "\n" + LOG.split(f"{SEPARATOR}\n", 1)[1]
    assert hub._read_annotations_file(1) == []
    assert {n: hub._read_annotations_file(n) for n in (2, 10)} == {n: before[n] for n in (2, 10)}
    assert (hub.next_session_number, hub.current_session_num) == (11, 1)
    assert sorted(os.listdir(hub.data_dir)) == ["annotations.txt", "formatted", "processed", "raw"]


@pytest.mark.parametrize(
    "log, session, kept",
    [
        # A session never stopped ends at the next header; that header's blank line stays.
        (f"\nsession1\nLeft_Hand\n\nsession2\nRelax\n{SEPARATOR}\n", 1, f"\n\nsession2\nRelax\n{SEPARATOR}\n"),
        (f"\nsession1\nRelax\n{SEPARATOR}\n\nsession2\nBlinking\n", 2, f"\nsession1\nRelax\n{SEPARATOR}\n\n"),
        (f"\nsession3\nRelax\n\nsession3\nBlinking\n{SEPARATOR}\n\nsession4\n", 3, "\n\nsession4\n"),
    ],
)
def test_a_block_without_separator_ends_at_the_next_header(hub, log, session, kept):
    write_annotations(hub, log)
    hub.delete_session(session)
    assert annotation_text(hub) == kept


def test_deleting_an_unknown_session_or_without_a_log(hub):
    make_recordings(hub, 3, [10])
    write_annotations(hub, LOG)
    hub.delete_session(7)
    assert annotation_text(hub) == LOG and len(recordings(hub)) == 1
    os.remove(hub.annotation_file)
    hub.delete_session(3)
    assert recordings(hub) == [] and not os.path.exists(hub.annotation_file)


def test_a_failed_rewrite_keeps_the_log(hub):
    # The log is rewritten with a file-size limit below its size: the write fails part way.
    text = LOG + "".join(f"\nsession{n}\n" + "Relax\n" * 50 + SEPARATOR + "\n" for n in range(20, 40))
    write_annotations(hub, text)
    script = textwrap.dedent(
        """
        import resource, signal, sys
        from capture_hub import CaptureHub
        hub = CaptureHub()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (2048, resource.RLIM_INFINITY))
        try:
            hub.delete_session(1)
        except OSError as error:
            sys.exit(3)
        """
    )
    env = dict(os.environ, CORVANE_SERIAL_PORT=os.path.join(hub.data_dir, "no-port"))
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, timeout=120)
    assert result.returncode == 3, result.stderr.decode()[-2000:]
    assert annotation_text(hub) == text
    assert sorted(os.listdir(hub.data_dir)) == ["annotations.txt", "formatted", "processed", "raw"]


def test_delete_all_sessions_resets_numbering(hub, capsys):
    make_recordings(hub, 1, [10])
    touch(hub.processed_dir, "anything.bin")
    touch(hub.formatted_dir, "S03.fif")
    os.mkdir(os.path.join(hub.raw_dir, "folder"))
    write_annotations(hub, LOG)
    hub.next_session_number, hub.current_session_num = 11, 2
    capsys.readouterr()
    assert hub.delete_all_sessions() is None
    folder = os.path.join(hub.raw_dir, "folder")
    assert capsys.readouterr().out.startswith(f"Error deleting {folder}: ")
    assert os.listdir(hub.raw_dir) == ["folder"]
    assert os.listdir(hub.processed_dir) == [] and os.listdir(hub.formatted_dir) == []
    assert annotation_text(hub) == ""
    assert (hub.next_session_number, hub.current_session_num) == (1, None)
    os.remove(hub.annotation_file)
    hub.delete_all_sessions()
    assert annotation_text(hub) == ""
