"""The host's pipeline as a library: the steps a script, the demo and the studio share."""
