"""Stand-ins a user runs without hardware: the Cyton emulator, the simulated subject, the movement
simulator, the session store and the sample recording."""
