class DemoError(Exception):
    """A failure explained to the user in one message (no traceback on the terminal)."""
