"""The Train page's words and progress: the sessions used, how rough a score is for the epochs
held out, the sessions a page may choose, and one progress share moving over every stage."""
import pytest

from corvane.studio.errors import StudioError
from corvane.studio.train_page import chosen_sessions, sessions_used, spread_note
from corvane.studio.training_progress import STAGES, StageProgress


def test_what_the_result_says():
    assert spread_note(0.6, 0.12, 45, 3).startswith(
        "± 12 from 15 held-out epochs is a rough figure: one epoch more or less right moves a score by 7 points, "
        "and with 15 epochs a decoder whose true accuracy is 60 % scores anywhere from 35 % to 85 %")
    assert "from 0 % to" in spread_note(0.0, 0.0, 3, 3)   # all wrong still has a range
    used = {"sessions": [{"session": 1, "trials": 15, "subject": None}, {"session": 3, "trials": 10, "subject": "P07"}],
            "trials": 25, "epochs": 25}
    assert sessions_used(used) == "Sessions 1 (15 trials), 3 (10 trials, subject P07): 25 trials, 25 epochs."
    for value, expected in ((None, None), ([3, 1, 3], [1, 3]), ([], "at least one"), ("1", "by their numbers"),
                            ([0], "by their numbers"), ([True], "by their numbers")):
        if isinstance(expected, str):
            with pytest.raises(StudioError, match=expected):
                chosen_sessions(value)
        else:
            assert chosen_sessions(value) == expected


def test_progress_moves_over_every_stage_and_ends_full():
    now, events = [0.0], []
    progress = StageProgress(lambda **e: events.append(e), steps=300, splits=3, clock=lambda: now[0])
    shares = []

    def run(stage, seconds, steps=0):
        progress.enter(stage)
        for k in range(1, 5):
            now[0] += seconds / 4
            if steps:
                progress.step(k * steps // 4, steps)
            shares.append(progress.overall())

    run("combine", 1.0)
    run("epochs", 8.0)
    run("learn", 3.0, steps=300)
    run("score", 9.0, steps=3)
    run("place", 0.5)
    progress.finish()
    named = [e["text"] for e in events if e["kind"] == "stage"]
    assert named == [name for _, name in STAGES]
    overall = [e for e in events if e["kind"] == "overall"]
    assert overall[-1]["name"] == "Training finished" and overall[-1]["overall"] == 1.0
    assert shares == sorted(shares) and 0 < shares[0] and shares[-1] < 1.0
    # Neither empty through preparing nor full before scoring ends (what following the agent's steps did).
    assert shares[7] > 0.1 and shares[11] < 0.7 and shares[-6] < 0.97
