"""Placing the trained artefacts where live_pilot loads them (its artefact directory): the filters
and scaler the trainer wrote, and the agent's archive. Each lands whole: all three are first put in
a staging folder beside them, then renamed into place, so a stop part-way leaves no half-written
file where live_pilot loads."""
import os
import shutil
from dataclasses import dataclass
from pathlib import Path

from corvane.facts import AGENT_ARCHIVE, AGENT_ARCHIVE_FILE, FILTERS_FILE, SCALER_FILE
from corvane.pipeline.events import module_output

ARTEFACT_FILES = (FILTERS_FILE, SCALER_FILE, AGENT_ARCHIVE_FILE)


@dataclass
class PlacedArtefacts:
    directory: str
    files: list   # the three paths, in ARTEFACT_FILES order


def place_artefacts(trained, artefact_dir, *, output=None) -> PlacedArtefacts:
    """Moves the trainer's filters and scaler and saves the agent of `trained` (see train) into
    `artefact_dir`; live_pilot loads them with CORVANE_ARTEFACT_DIR pointing there."""
    artefact_dir = Path(artefact_dir)
    staging = artefact_dir / f".incoming-{os.getpid()}"
    try:
        (staging / AGENT_ARCHIVE).parent.mkdir(parents=True, exist_ok=True)
        shutil.move(trained.forge.csp_filters_path, staging / FILTERS_FILE)
        shutil.move(trained.forge.scaler_path, staging / SCALER_FILE)
        with module_output(output):
            trained.model.save(str(staging / AGENT_ARCHIVE))
        placed = []
        for name in ARTEFACT_FILES:
            (artefact_dir / name).parent.mkdir(parents=True, exist_ok=True)
            os.replace(staging / name, artefact_dir / name)
            placed.append(str(artefact_dir / name))
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return PlacedArtefacts(str(artefact_dir), placed)


def missing_artefacts(artefact_dir):
    """The artefact files not (yet) in `artefact_dir`."""
    return [name for name in ARTEFACT_FILES if not (Path(artefact_dir) / name).is_file()]
