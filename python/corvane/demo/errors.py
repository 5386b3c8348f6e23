from corvane.pipeline.events import PipelineError, first_line  # noqa: F401


class DemoError(PipelineError):
    """A failure explained to the user in one message (no traceback on the terminal)."""
