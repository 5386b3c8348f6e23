"""Corvane Studio: a local web app that takes a person from the board's electrodes through a cued
session and training to live decoding, one page per stage. `python -m tools.studio --help`."""
