
import pytest

from corvane.facts import AGENT_ARCHIVE_FILE
from corvane.studio.errors import StudioError
from corvane.studio.training_run import TrainingRun
from tests.support.studio_session import record_cued_session

pytestmark = pytest.mark.slow


def test_training_scores_both_decoders_on_the_same_epochs_and_places_loadable_artefacts(trained):
    from stable_baselines3 import DQN

    result, events, artefacts = trained
    classes, held_out = result["classes"], result["held_out"]
    assert set(classes) == {"left", "right", "blinking", "jaw", "relax"} and held_out >= len(classes)
    for name in ("agent", "csp_lda"):
        assert 0.0 <= result[name] <= 1.0
        counts = result["confusion"][name]
        assert [len(row) for row in counts] == [len(classes)] * len(classes)
        # Every held-out epoch once, in its own class's row; undecided epochs counted apart.
        undecided = result["undecided"]["agent"] if name == "agent" else [0] * len(classes)
        assert sum(map(sum, counts)) + sum(undecided) == held_out
    standard_correct = sum(result["confusion"]["csp_lda"][k][k] for k in range(len(classes)))
    assert result["csp_lda"] == pytest.approx(standard_correct / held_out, abs=1e-3)

    assert sorted(result["artefacts"]) == sorted(str(artefacts / n) for n in (
        "csp_filters_ovr.pkl", "scaler.pkl", AGENT_ARCHIVE_FILE))
    agent = DQN.load(str(artefacts / AGENT_ARCHIVE_FILE))
    assert agent.action_space.n == len(classes)
    assert not [p for p in artefacts.iterdir() if p.name.startswith(".incoming")]

    progress = [e for e in events if e["kind"] == "progress"]
    assert progress[-1]["steps"] == progress[-1]["total"] > 0 and progress[-1]["steps_per_s"] > 0
    assert [e["steps"] for e in progress] == sorted(e["steps"] for e in progress)
    assert any(e["kind"] == "stage" for e in events) and not any(e["kind"] == "error" for e in events)


def test_what_cannot_be_trained_is_said_plainly(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    few = tmp_path / "few"
    record_cued_session(few, trials_per_class=2)
    for base, wanted in ((tmp_path / "missing", "does not exist"), (empty, "record a session first"),
                         (few, "Too few trials")):
        events = []
        with pytest.raises(StudioError, match=wanted):
            TrainingRun(base, tmp_path / "artefacts", steps=10, on_event=events.append).run()
        assert not (tmp_path / "artefacts" / "scaler.pkl").exists()


def test_cancel_stops_a_training_and_places_nothing(recorded, tmp_path):
    artefacts = tmp_path / "cancelled"
    run = TrainingRun(recorded, artefacts, steps=10**6,
                      on_event=lambda e: e["kind"] == "progress" and run.cancel())
    with pytest.raises(StudioError, match="^Training cancelled$"):
        run.run()
    assert run._child.poll() is not None and list(artefacts.iterdir()) == []

    early = TrainingRun(recorded, artefacts, steps=10, on_event=print)
    early.cancel()
    with pytest.raises(StudioError, match="cancelled"):
        early.run()
