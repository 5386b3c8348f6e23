class StudioError(Exception):
    """A plain message for the page."""
