import signal

# A shell that starts a job in the background makes it ignore interrupts, and the children of such
# a job inherit that. Several tests stop tools and modules the way a user does, with an interrupt,
# so the suite restores the normal handler; children started from here then hear SIGINT again.
signal.signal(signal.SIGINT, signal.default_int_handler)
