"""Corvane Studio: a local web app that runs a whole session, board to driven device, one page per
stage (board, session, training, live). `python -m corvane.studio --help`."""
