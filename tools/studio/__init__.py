"""Corvane Studio: a local web app that runs a whole session, board to driven device."""
