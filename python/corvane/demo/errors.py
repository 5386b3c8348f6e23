class DemoError(Exception):
    """A failure explained to the user in one message (no traceback on the terminal)."""


def first_line(exc):
    """An exception in one line: its message's first line, or its type's name."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
