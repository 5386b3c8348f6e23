class StudioError(Exception):
    """A failure the page shows as it is: a plain sentence saying what to do."""
