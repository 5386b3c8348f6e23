"""The pipeline a host runs, as plain functions: record a cued session, combine it, train the agent,
score it beside the standard decoder, place the artefacts live_pilot loads, run live_pilot.

    from corvane import pipeline
    hub = pipeline.open_hub(port, base)
    session = pipeline.record_session(hub, trial_seconds=6.0)
    combined = pipeline.combine(hub)
    trained = pipeline.train(combined.file, work_dir=base, steps=2500, seed=3)   # prepare, then learn
    pipeline.place_artefacts(trained, artefact_dir)

Each takes its configuration as arguments and returns a small result object. Nothing prints:
progress goes to an optional `progress` callback (Progress events), and what the modules print
goes to the `output` stream given (discarded by default). Where a module reads an environment
variable, `module_environment` sets it for the call and restores the environment after.
"""
from corvane.pipeline.artefacts import ARTEFACT_FILES, PlacedArtefacts, missing_artefacts, place_artefacts
from corvane.pipeline.combining import Combined, check_trials, combine
from corvane.pipeline.constants import DEFAULT_STEPS, MIN_TRIAL_SECONDS, MIN_TRIALS_PER_CLASS, class_order
from corvane.pipeline.cues import CuePlayer
from corvane.pipeline.environment import module_environment, module_variables
from corvane.pipeline.live import LiveError, LiveRun, send_stop, timed_stop
from corvane.pipeline.events import BoardSilent, PipelineError, Progress, module_output
from corvane.pipeline.lsl import LslStreams
from corvane.pipeline.recording import RecordedSession, Trial, open_hub, record_session, wait_for_samples
from corvane.pipeline.scoring import (HeldOutScores, SplitScores, confusion, decide_held_out, score_held_out,
                                      score_splits)
from corvane.pipeline.training import TrainedAgent, learn, prepare, train

__all__ = [
    "ARTEFACT_FILES", "BoardSilent", "LiveError", "LiveRun", "send_stop", "timed_stop", "Combined", "CuePlayer", "DEFAULT_STEPS", "HeldOutScores", "LslStreams",
    "MIN_TRIAL_SECONDS", "MIN_TRIALS_PER_CLASS", "PipelineError", "PlacedArtefacts", "Progress",
    "RecordedSession", "SplitScores", "TrainedAgent", "Trial", "check_trials", "class_order", "combine",
    "confusion", "decide_held_out", "learn", "missing_artefacts", "module_environment", "module_output",
    "module_variables", "open_hub", "place_artefacts", "prepare", "record_session", "score_held_out",
    "score_splits", "train", "wait_for_samples",
]
