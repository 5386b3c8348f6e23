"""Corvane: record cued EEG sessions, train a decoder and drive a device from the live stream.

The four modules (capture_hub, policy_forge, live_pilot, run_profile) do the work; this package is
the host side a researcher installs with them:

- corvane.pipeline: record, combine, train, score and place the artefacts, as plain functions;
- corvane.standins: the board emulator, simulated subject, recording playback, movement simulator,
  session store and controller stand-in, so everything runs without hardware;
- corvane.web: the guard the local HTTP servers share, and the headless browser driver;
- corvane.demo and corvane.studio: the two front ends;
- corvane.facts: what the modules define that hosts need.

`corvane --help` lists the commands.
"""
