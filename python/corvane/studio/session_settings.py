"""The Session page's settings: a run_profile.RunProfile checked and filled from the page's body,
the subject's name, and the session's length at the studio's speed."""
import re

from corvane.facts import ACTION_LABELS
from corvane.studio.errors import StudioError

FIXATION_S = 1.0   # the cross shown before each cue
DEFAULT_ACTIONS = {
    "Right_Hand": "Imagine or perform right hand movement",
    "Left_Hand": "Imagine or perform left hand movement",
    "Blinking": "Blink your eyes at a comfortable pace",
    "Jaw_Clenching": "Clench your jaw with moderate force",
    "Relax": "Relax your body and mind, do nothing",
}
# Letters, digits, "-" and "_", starting with a letter or digit: safe in a file name and in FIF.
SUBJECT = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,31}")


def default_profile():
    import run_profile
    profile = run_profile.RunProfile()
    profile.actions = dict(DEFAULT_ACTIONS)
    return profile


def apply_settings(profile, body):
    """Checks and copies the page's settings into `profile`; a plain error for a bad value."""
    def number(key, low, high, kind=float):
        value = body.get(key, getattr(profile, key))
        try:
            value = kind(value)
        except (TypeError, ValueError):
            raise StudioError(f"{key.replace('_', ' ')} must be a number") from None
        if not low <= value <= high:
            raise StudioError(f"{key.replace('_', ' ')} must be between {low} and {high}")
        return value

    profile.repetitions = number("repetitions", 1, 200, int)
    profile.record_duration = number("record_duration", 1, 60)
    profile.break_duration = number("break_duration", 0, 60)
    actions = body.get("actions", profile.actions)
    if not isinstance(actions, dict) or not actions:
        raise StudioError("choose at least one action")
    unknown = sorted(set(actions) - set(ACTION_LABELS))
    if unknown:
        raise StudioError(f"unknown action {unknown[0]!r}; the actions are {', '.join(ACTION_LABELS)}")
    profile.actions = {str(name): str(text) for name, text in actions.items()}
    return profile


def subject_name(value):
    """The subject's name from the page ("" or None: no name), or a plain error."""
    if value is None or (isinstance(value, str) and not value.strip()):
        return None
    if not isinstance(value, str) or not SUBJECT.fullmatch(value.strip()):
        raise StudioError("The subject's name may hold letters, digits, '-' and '_' (up to 32, starting "
                          "with a letter or digit), for example P07.")
    return value.strip()

