class StudioError(Exception):
    """A plain message for the page; `details` (internal file names, a module's own words) goes on
    the page's smaller "details" line under it."""

    def __init__(self, message, details=None):
        super().__init__(message)
        self.details = details


def error_body(exc):
    """The JSON a failed action answers with: the message, and its details when there are any."""
    body = {"error": str(exc)}
    details = getattr(exc, "details", None)
    if details:
        body["details"] = str(details)
    return body
