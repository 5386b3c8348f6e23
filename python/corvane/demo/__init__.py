"""The demo host: records, trains and decodes end to end with the four modules, no hardware needed.

    python -m corvane.demo [--base DIR] [--trials-per-class N] [--steps N] [--windows N] ...

It is an ordinary host of the modules. A simulated subject streams through the Cyton emulator
(faster than real time) into `capture_hub`, which records a full cued session; the session is
combined into S03.fif; `policy_forge` trains the DQN agent on it (process_epochs, setup_training,
learn); the agent and 8-30 Hz CSP with linear discriminant analysis are scored on the same
repeated splits, each refitted within every split; the artefacts go to the artefact directory; `live_pilot` is imported and decodes the stream while the
subject follows a cue sequence the host knows, driving the movement simulator on 127.0.0.1. A
report (report.json, two PNG figures, a summary on the terminal) ends the run. Everything is
written under one base directory. With CORVANE_SERIAL_PORT set, the same host records from that
real board instead, showing each cue to the person at real-time pace. With --recording FILE a
recorded file plays through the emulator in place of the subject (see playback); a BIDS dataset's
root with --bids-subject/--bids-session/--bids-task/--bids-run names one of its recordings.

Stages, one module each, over corvane.pipeline (which records, combines, trains, scores and places
the artefacts): services (simulator, controller stand-in, browser), recording, training, live,
report (with figures), and playback for a played file; host runs them in order, unwinds what they
started, and keeps the console (what the modules print goes to demo.log).
"""
