"""`corvane export-bids BASE BIDS_ROOT`: the sessions recorded under BASE written as a BIDS EEG
dataset (see corvane.pipeline.bids)."""
import argparse
import sys

from corvane.pipeline.bids import DEFAULT_SUBJECT, DEFAULT_TASK, RAW_FORMAT, export_bids
from corvane.pipeline.events import PipelineError


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="corvane export-bids",
        description="Write recorded sessions as a BIDS EEG dataset (BrainVision files, events from the trials' "
                    "labels, channel table, dataset_description.json, participants table). Nothing is left "
                    "half-written: the dataset is staged beside BIDS_ROOT and moved in once complete.")
    p.add_argument("base", metavar="BASE", help="the base directory the sessions were recorded under")
    p.add_argument("bids_root", metavar="BIDS_ROOT", help="the BIDS dataset's folder (made, or added to)")
    p.add_argument("--session", dest="sessions", type=int, action="append", metavar="N",
                   help="a session number to export (repeat for several; default: every recorded session)")
    p.add_argument("--subject", default=DEFAULT_SUBJECT, help="the BIDS subject label (default: %(default)s)")
    p.add_argument("--task", default=DEFAULT_TASK, help="the BIDS task label (default: %(default)s)")
    p.add_argument("--bids-session", metavar="LABEL",
                   help="one BIDS session label for all exported sessions, which become its runs "
                        "(default: each session's own number)")
    p.add_argument("--run", type=int, metavar="N",
                   help="the BIDS run (number of the first, with --bids-session and several sessions)")
    p.add_argument("--line-freq", type=float, metavar="HZ", help="the mains frequency, 50 or 60 (default: n/a)")
    p.add_argument("--overwrite", action="store_true", help="replace recordings already in the dataset")
    return p.parse_args(argv)


def show(event):
    print(f"[{event.done}/{event.total}] {event.text}", flush=True)


def main(argv=None):
    o = parse_args(sys.argv[1:] if argv is None else argv)
    from brainflow.board_shim import BoardShim
    BoardShim.disable_board_logger()   # the log is read without a board: the driver's "no port" is noise
    try:
        exported = export_bids(o.base, o.bids_root, sessions=o.sessions, subject=o.subject, task=o.task,
                               session_label=o.bids_session, run=o.run, line_freq=o.line_freq,
                               overwrite=o.overwrite, progress=show)
    except PipelineError as exc:
        print(f"corvane export-bids: {exc}", file=sys.stderr)
        return 2
    for session in exported.sessions:
        counts = ", ".join(f"{label} {n}" for label, n in session.counts.items())
        print(f"session {session.session}: {session.file} ({RAW_FORMAT}; {counts})")
    return 0
